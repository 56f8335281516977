#include "input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace le::tool {

InputFile::InputFile(const std::string& path, uint64_t maxBytes, const char* what)
    : path_(path), what_(what) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd_ >= 0) ::close(fd_);
    throw std::runtime_error("cannot open " + what_ + " " + path);
  }
  size_ = st.st_size < 0 ? 0 : uint64_t(st.st_size);
  if (size_ > maxBytes) {
    ::close(fd_);
    throw std::runtime_error(what_ + " " + path + " holds " + std::to_string(size_) + " bytes, more than " +
                             std::to_string(maxBytes));
  }
}

InputFile::~InputFile() { ::close(fd_); }

void InputFile::read(void* dst, uint64_t n) {
  auto* out = static_cast<char*>(dst);
  while (n > 0) {
    const ssize_t got = ::read(fd_, out, n < (uint64_t{1} << 30) ? size_t(n) : size_t{1} << 30);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) throw std::runtime_error("cannot read " + what_ + " " + path_);
    out += got;
    n -= uint64_t(got);
  }
}

std::string InputFile::readAll() {
  std::string s(size_, '\0');
  read(s.data(), size_);
  return s;
}

}  // namespace le::tool
