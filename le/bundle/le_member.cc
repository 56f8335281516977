// Confinement of member names and the one way members are opened.
#include "le/bundle/member.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <utility>

namespace le::member {

namespace {

[[noreturn]] void leaves(std::string_view what, std::string_view name, const std::string& dir,
                         const std::string& reason) {
  std::string m(what);
  m += " '";
  m += name;
  m += "' leaves the bundle directory ";
  m += dir;
  m += " (";
  m += reason;
  m += ") \xE2\x80\x94 refusing";
  throw std::runtime_error(m);
}

// realpath as a string; nullopt with errno set when it fails.
std::optional<std::string> realPath(const std::string& p) {
  std::unique_ptr<char, void (*)(void*)> r(::realpath(p.c_str(), nullptr), std::free);
  if (!r) return std::nullopt;
  return std::string(r.get());
}

bool within(const std::string& real, const std::string& realDir) {
  if (realDir == "/") return true;
  return real.size() >= realDir.size() && real.compare(0, realDir.size(), realDir) == 0 &&
         (real.size() == realDir.size() || real[realDir.size()] == '/');
}

// The deepest existing prefix of path decides: the kernel resolves every
// link on the way, so its real path shows where an open would land. A
// missing tail cannot be opened and leads nowhere.
void checkLinks(const std::string& dir, const std::string& path, std::string_view what,
                std::string_view name) {
  const std::optional<std::string> realDir = realPath(dir);
  if (!realDir) return;  // no directory, nothing inside it to follow
  std::string probe = path;
  while (probe.size() > dir.size()) {
    if (const std::optional<std::string> real = realPath(probe)) {
      if (!within(*real, *realDir)) leaves(what, name, dir, "through a symbolic link to " + *real);
      return;
    }
    if (errno != ENOENT && errno != ENOTDIR) return;  // a loop or no permission: the open fails
    const size_t slash = probe.rfind('/');
    if (slash == std::string::npos) return;
    probe.resize(slash);
  }
}

}  // namespace

bool staysInside(std::string_view name) {
  if (name.find('\0') != std::string_view::npos) return false;
  if (!name.empty() && name.front() == '/') return false;
  int64_t depth = 0;
  for (size_t b = 0; b <= name.size();) {
    size_t e = name.find('/', b);
    if (e == std::string_view::npos) e = name.size();
    const std::string_view part = name.substr(b, e - b);
    if (part == "..") {
      if (--depth < 0) return false;
    } else if (!part.empty() && part != ".") {
      ++depth;
    }
    b = e + 1;
  }
  return true;
}

std::string confined(const std::string& dir, std::string_view name, std::string_view what) {
  if (name.find('\0') != std::string_view::npos)
    leaves(what, name.substr(0, name.find('\0')), dir, "a NUL byte cuts the name short");
  if (!name.empty() && name.front() == '/') leaves(what, name, dir, "an absolute path");
  if (!staysInside(name)) leaves(what, name, dir, "'..' climbs above it");
  std::string path = dir;
  path += '/';
  path += name;
  checkLinks(dir, path, what, name);
  return path;
}

std::optional<File> File::open(const std::string& path, uint64_t maxBytes, std::string_view kind,
                               bool missingThrows) {
  File f;
  f.path_ = path;
  f.fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (f.fd_ < 0) {
    if (!missingThrows) return std::nullopt;
    throw std::runtime_error("cannot open " + path);
  }
  struct stat st {};
  if (::fstat(f.fd_, &st) != 0) throw std::runtime_error("cannot open " + path);
  // Only a regular file has a size to bound and an end; anything else is
  // refused as members always were: as not opening.
  if (!S_ISREG(st.st_mode)) throw std::runtime_error("cannot open " + path);
  f.size_ = st.st_size < 0 ? 0 : uint64_t(st.st_size);
  if (f.size_ > maxBytes) {
    std::string m = path + " holds " + std::to_string(f.size_) + " bytes, more than a ";
    m += kind;
    m += " may (" + std::to_string(maxBytes) + ") \xE2\x80\x94 refusing";
    throw std::runtime_error(m);
  }
  return f;
}

File::File(const std::string& path, uint64_t maxBytes, std::string_view kind) {
  *this = std::move(*open(path, maxBytes, kind, true));
}

std::optional<File> File::tryOpen(const std::string& path, uint64_t maxBytes,
                                  std::string_view kind) {
  return open(path, maxBytes, kind, false);
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

File::File(File&& o) noexcept
    : path_(std::move(o.path_)), fd_(std::exchange(o.fd_, -1)), size_(o.size_) {}

File& File::operator=(File&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    path_ = std::move(o.path_);
    fd_ = std::exchange(o.fd_, -1);
    size_ = o.size_;
  }
  return *this;
}

uint64_t File::read(void* dst, uint64_t n) {
  auto* out = static_cast<char*>(dst);
  uint64_t done = 0;
  while (done < n) {
    // One read moves at most 1 GiB: Linux caps a single read below 2 GiB.
    const uint64_t want = std::min<uint64_t>(n - done, uint64_t{1} << 30);
    const ssize_t got = ::read(fd_, out + done, static_cast<size_t>(want));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw std::runtime_error("cannot read " + path_);
    if (got == 0) break;
    done += uint64_t(got);
  }
  return done;
}

std::string File::readAll() {
  std::string out(static_cast<size_t>(size_), '\0');
  uint64_t got = 0;
  try {
    got = read(out.data(), size_);
  } catch (const std::runtime_error&) {
    got = 0;  // an I/O error part way is a short read of the whole
  }
  if (got != size_) throw std::runtime_error("short read " + path_);
  return out;
}

void require(const std::string& path, uint64_t maxBytes, std::string_view kind) {
  File f(path, maxBytes, kind);
}

}  // namespace le::member
