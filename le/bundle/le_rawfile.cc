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

namespace {
member::File openExact(const std::string& path, uint64_t bytes) {
  member::File f(path, member::kNoBound, "member");
  if (f.size() != bytes) throw std::runtime_error("size mismatch " + path);
  return f;
}
}  // namespace

ExactFile::ExactFile(const std::string& path, uint64_t bytes) : file_(openExact(path, bytes)) {}

void ExactFile::readAll(void* dst) {
  const std::string& path = file_.path();
  uint64_t got = 0;
  try {
    got = file_.read(dst, file_.size());
  } catch (const std::runtime_error&) {
    throw std::runtime_error("cannot open " + path);
  }
  if (got != file_.size()) throw std::runtime_error("size mismatch " + path);
  char extra;
  if (file_.read(&extra, 1) != 0) throw std::runtime_error("size mismatch " + path);
}

Mapping mapFile(const std::string& path, uint64_t expectedBytes) {
  ExactFile f(path, expectedBytes);
  if (expectedBytes == 0 || expectedBytes > std::numeric_limits<size_t>::max())
    throw std::runtime_error("mmap failed " + path);
  void* p = ::mmap(nullptr, static_cast<size_t>(expectedBytes), PROT_READ, MAP_PRIVATE,
                   f.file_.fd(), 0);
  if (p == MAP_FAILED) throw std::runtime_error("mmap failed " + path);
  Mapping m;
  m.base_ = p;
  m.len_ = expectedBytes;
  return m;
}

}  // namespace le::raw
