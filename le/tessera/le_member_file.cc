// Tessera member files: opened non-blocking, checked to be regular files of
// at most 64 MiB with fstat on the open descriptor, then read whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "le/tessera/member_file.h"

namespace le::tessera {

namespace {

class Fd {
 public:
  explicit Fd(const std::string& path)
      : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // The size of a regular file, or -1 for anything else.
  int64_t regularSize() const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return int64_t(st.st_size);
  }

 private:
  int fd_;
};

template <class Bytes>
Bytes readWhole(const std::string& path) {
  Fd fd(path);
  const int64_t size = fd.regularSize();
  if (size < 0) throw std::runtime_error("teeth: cannot open " + path);
  if (uint64_t(size) > kMaxMemberBytes) throw std::runtime_error("teeth: " + path + " is over 64 MiB");
  Bytes out(size_t(size), 0);
  size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = ::read(fd.get(), out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("teeth: short read " + path);
    got += size_t(n);
  }
  return out;
}

}  // namespace

bool regularMember(const std::string& path) { return Fd(path).regularSize() >= 0; }

std::string readMemberText(const std::string& path) { return readWhole<std::string>(path); }

std::vector<uint8_t> readMemberBytes(const std::string& path) {
  return readWhole<std::vector<uint8_t>>(path);
}

}  // namespace le::tessera
