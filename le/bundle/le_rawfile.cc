// Exact-size access to raw bundle members.
#include "le/bundle/rawfile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <stdexcept>
#include <utility>

namespace le::raw {

uint64_t checkedProduct(std::initializer_list<int64_t> factors, std::string_view what) {
  uint64_t p = 1;
  bool bad = false;
  for (int64_t f : factors) {
    if (f < 0 || __builtin_mul_overflow(p, uint64_t(f), &p)) bad = true;
  }
  // Sizes are compared with off_t, so the signed range is the real limit.
  if (!bad && p <= uint64_t(std::numeric_limits<int64_t>::max())) return p;
  std::string msg(what);
  msg += ": ";
  bool first = true;
  for (int64_t f : factors) {
    if (!first) msg += " x ";
    msg += std::to_string(f);
    first = false;
  }
  msg += " bytes is negative or overflows 64 bits — refusing";
  throw std::runtime_error(msg);
}

Mapping::~Mapping() {
  if (base_) ::munmap(base_, static_cast<size_t>(len_));
}

Mapping::Mapping(Mapping&& o) noexcept
    : base_(std::exchange(o.base_, nullptr)), len_(std::exchange(o.len_, 0)) {}

Mapping& Mapping::operator=(Mapping&& o) noexcept {
  if (this != &o) {
    if (base_) ::munmap(base_, static_cast<size_t>(len_));
    base_ = std::exchange(o.base_, nullptr);
    len_ = std::exchange(o.len_, 0);
  }
  return *this;
}

ExactFile::ExactFile(const std::string& path, uint64_t bytes) : path_(path), bytes_(bytes) {
  // O_NONBLOCK: a FIFO planted under a member name must not hang the open.
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    throw std::runtime_error("cannot open " + path);
  }
  if (st.st_size < 0 || uint64_t(st.st_size) != bytes) {
    ::close(fd_);
    fd_ = -1;
    throw std::runtime_error("size mismatch " + path);
  }
}

ExactFile::~ExactFile() {
  if (fd_ >= 0) ::close(fd_);
}

void ExactFile::readAll(void* dst) {
  auto* out = static_cast<uint8_t*>(dst);
  uint64_t done = 0;
  while (done < bytes_) {
    const uint64_t want = std::min<uint64_t>(bytes_ - done, uint64_t{1} << 30);
    const ssize_t got = ::read(fd_, out + done, static_cast<size_t>(want));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw std::runtime_error("cannot open " + path_);
    if (got == 0) throw std::runtime_error("size mismatch " + path_);
    done += uint64_t(got);
  }
  char extra;
  ssize_t more;
  do {
    more = ::read(fd_, &extra, 1);
  } while (more < 0 && errno == EINTR);
  if (more != 0) throw std::runtime_error("size mismatch " + path_);
}

Mapping mapFile(const std::string& path, uint64_t expectedBytes) {
  ExactFile f(path, expectedBytes);
  if (expectedBytes == 0 || expectedBytes > std::numeric_limits<size_t>::max())
    throw std::runtime_error("mmap failed " + path);
  void* p = ::mmap(nullptr, static_cast<size_t>(expectedBytes), PROT_READ, MAP_PRIVATE, f.fd_, 0);
  if (p == MAP_FAILED) throw std::runtime_error("mmap failed " + path);
  Mapping m;
  m.base_ = p;
  m.len_ = expectedBytes;
  return m;
}

}  // namespace le::raw
