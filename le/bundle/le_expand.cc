// Unwrapping an IMX v2 container into its cache directory. The marker beside
// the directory names the container it was made from (base name, size,
// modification time, inode) and is written last, so an interrupted unwrap
// leaves no valid marker and is redone on the next open.
//
// Processes share the directory: an advisory lock on a file beside it
// (<dir>.imx_lock) is held while unwrapping, and the marker is checked again
// once the lock is taken, so a finished unwrap is reused. While an unwrap runs
// the lock file names the container; a process killed part way leaves that
// record, which tells the next one the half-filled directory is ours to
// replace. A directory that carries neither record of this container nor is
// empty is never removed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "le/bundle/fsutil.h"
#include "le/bundle/member.h"
#include "le/bundle/paths.h"
#include "le/runtime/env.h"
#include "le/runtime/log.h"

namespace le::imx {

namespace {

constexpr size_t kCopyChunk = 8u << 20;            // 8 MiB copy buffer
constexpr uint64_t kSyntheticProbeMax = 4u << 20;  // largest manifest probed
constexpr char kSyntheticTag[] = "_imx_synthetic_manifest";

std::mutex& unwrapMutex() {
  static std::mutex m;
  return m;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string trimmed(const std::string& s) {
  const char* ws = " \t\r\n";
  const size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

// Reads at most `max` bytes of a regular file; false when it cannot be
// opened or is no regular file (a FIFO planted as marker must not block).
// Plain read(2): this is the whole cost of a valid cache besides two stats.
bool readSmallFile(const std::string& path, std::string& out, size_t max) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  out.resize(max);
  size_t got = 0;
  while (got < max) {
    const size_t want = max - got;
    const ssize_t n = ::read(fd, out.data() + got, want);
    if (n <= 0) break;
    got += size_t(n);
    if (size_t(n) < want) break;  // a short read of a regular file is its end
  }
  ::close(fd);
  out.resize(got);
  return true;
}

constexpr char kMarkerTag[] = "imx-unwrapped.v2 ";
constexpr char kPendingTag[] = "imx-unwrapping.v2 ";

std::string markerContent(const std::string& C, const struct stat& st) {
  const uint64_t ns = uint64_t(st.st_mtim.tv_sec) * 1000000000ull + uint64_t(st.st_mtim.tv_nsec);
  return kMarkerTag + fs::baseName(C) + " " + std::to_string(uint64_t(st.st_size)) + " " +
         std::to_string(ns) + " " + std::to_string(uint64_t(st.st_ino));
}

// A marker (current or stale) or an unfinished-unwrap record of container C.
bool namesContainer(const std::string& text, const std::string& C) {
  const std::string t = trimmed(text);
  const std::string base = fs::baseName(C) + " ";
  for (const std::string tag : {kMarkerTag, kPendingTag})
    if (t.compare(0, tag.size() + base.size(), tag + base) == 0) return true;
  return false;
}

bool unsafeName(const std::string& n) {
  return n.empty() || n[0] == '/' || n[0] == '\\' || n.find("..") != std::string::npos ||
         n.find('\0') != std::string::npos;
}

// Every directory between D and the member's parent must be a real directory:
// a symbolic link there would carry the write outside the bundle.
void checkInside(const std::string& D, const std::string& name) {
  for (size_t s = name.find('/'); s != std::string::npos; s = name.find('/', s + 1)) {
    if (s == 0 || name[s - 1] == '/') continue;
    struct stat st;
    const std::string p = D + "/" + name.substr(0, s);
    if (::lstat(p.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      throw std::runtime_error("refusing to write member " + name + ": " + p +
                               " is not a directory inside the bundle");
  }
}

// A member in the making: written to T + ".part" and renamed to T when
// complete; removed again on every other path.
class PartFile {
 public:
  explicit PartFile(std::string target) : target_(std::move(target)), part_(target_ + ".part") {
    const int fd = ::open(part_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot write " + part_);
    f_ = ::fdopen(fd, "wb");
    if (!f_) {
      ::close(fd);
      ::unlink(part_.c_str());
      throw std::runtime_error("cannot write " + part_);
    }
  }
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;
  ~PartFile() {
    if (f_) std::fclose(f_);
    if (!placed_) ::unlink(part_.c_str());
  }

  void write(const char* data, size_t n) {
    if (std::fwrite(data, 1, n, f_) != n) throw std::runtime_error("short write materialising " + target_);
  }

  void place() {
    const bool flushed = std::fflush(f_) == 0;
    const bool closed = std::fclose(f_) == 0;
    f_ = nullptr;
    if (!flushed || !closed) throw std::runtime_error("flush failed materialising " + target_);
    if (::rename(part_.c_str(), target_.c_str()) != 0)
      throw std::runtime_error("cannot place member " + target_);
    placed_ = true;
  }

 private:
  std::string target_, part_;
  std::FILE* f_ = nullptr;
  bool placed_ = false;
};

bool isSyntheticManifest(std::FILE* f, const Member& m) {
  if (m.name != "manifest.json" || m.size < 1 || m.size > kSyntheticProbeMax) return false;
  if (::fseeko(f, off_t(m.offset), SEEK_SET) != 0) return false;
  std::string body(m.size, '\0');
  if (std::fread(body.data(), 1, body.size(), f) != body.size()) return false;
  return body.find(kSyntheticTag) != std::string::npos;
}

void writeMember(std::FILE* f, const std::string& C, const std::string& D, const Member& m,
                 uint64_t fileSize, std::vector<char>& buf) {
  const std::string T = D + "/" + m.name;
  const std::string parent = fs::dirName(T);
  if (!fs::mkdirs(parent)) throw std::runtime_error("cannot create " + parent);
  checkInside(D, m.name);
  if (::fseeko(f, off_t(m.offset), SEEK_SET) != 0)
    throw std::runtime_error(C + ": cannot seek to member " + m.name);
  // Refuse a payload past the end before writing any of it. Offsets and sizes
  // come from the file: compare without forming offset + size.
  if (m.size > 0 && (m.offset > fileSize || m.size > fileSize - m.offset))
    throw std::runtime_error(C + ": truncated payload for member " + m.name);

  PartFile out(T);
  for (uint64_t left = m.size; left > 0;) {
    const size_t want = left < buf.size() ? size_t(left) : buf.size();
    const size_t got = std::fread(buf.data(), 1, want, f);
    if (got == 0) throw std::runtime_error(C + ": truncated payload for member " + m.name);
    out.write(buf.data(), got);
    left -= got;
  }
  out.place();
}

void writeMarker(const std::string& marker, const std::string& content) {
  const int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot write unwrap marker " + marker);
  File f(::fdopen(fd, "wb"));
  if (!f) {
    ::close(fd);
    throw std::runtime_error("cannot write unwrap marker " + marker);
  }
  const bool ok = std::fwrite(content.data(), 1, content.size(), f.get()) == content.size() &&
                  std::fflush(f.get()) == 0;
  if (!ok || std::fclose(f.release()) != 0)
    throw std::runtime_error("short write on unwrap marker " + marker);
}

bool markerMatches(const std::string& D, const std::string& marker, const std::string& expected) {
  std::string found;
  return fs::isDirectory(D) && readSmallFile(marker, found, expected.size() + 256) &&
         trimmed(found) == expected;
}

// The advisory lock that serialises unwraps into one directory between
// processes. The file stays (removing it would let two processes lock two
// different files); while an unwrap runs it holds the pending record.
class UnwrapLock {
 public:
  explicit UnwrapLock(std::string path) : path_(std::move(path)) {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) fail();
    int r;
    do {
      r = ::flock(fd_, LOCK_EX);
    } while (r != 0 && errno == EINTR);
    if (r != 0) fail();
  }
  UnwrapLock(const UnwrapLock&) = delete;
  UnwrapLock& operator=(const UnwrapLock&) = delete;
  ~UnwrapLock() { ::close(fd_); }  // closing releases the lock

  // The pending record a previous holder left, if any.
  std::string record() const {
    std::string text(512, '\0');
    const ssize_t n = ::pread(fd_, text.data(), text.size(), 0);
    text.resize(n > 0 ? size_t(n) : 0);
    return text;
  }
  void setRecord(const std::string& text) {
    if (::ftruncate(fd_, 0) != 0 ||
        (!text.empty() && ::pwrite(fd_, text.data(), text.size(), 0) != ssize_t(text.size())))
      throw std::runtime_error("cannot write unwrap lock " + path_);
  }

 private:
  [[noreturn]] void fail() {
    if (fd_ >= 0) ::close(fd_);
    throw std::runtime_error("cannot lock unwrap dir " + path_);
  }
  std::string path_;
  int fd_ = -1;
};

bool emptyDirectory(const std::string& D) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(D.c_str()), ::closedir);
  if (!d) return false;
  while (const dirent* e = ::readdir(d.get()))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) return false;
  return true;
}

// D may be replaced only when it does not exist, is empty, or carries a
// record of this container (its marker, stale or current, or the pending
// record of an unwrap that never finished). Anything else may be a user's
// own directory.
void requireReplaceable(const std::string& C, const std::string& D, const std::string& marker,
                        const UnwrapLock& lock) {
  struct stat dst;
  if (::lstat(D.c_str(), &dst) != 0) return;
  // A container named like its own destination (x.lebundle) is a file there.
  if (!S_ISDIR(dst.st_mode))
    throw std::runtime_error("refusing to unwrap " + C + ": destination " + D +
                             " exists and is not a directory (set LE_IMX_UNWRAP_ROOT to unwrap "
                             "elsewhere)");
  std::string found;
  if (readSmallFile(marker, found, 4096) && namesContainer(found, C)) return;
  if (namesContainer(lock.record(), C)) return;
  if (emptyDirectory(D)) return;
  throw std::runtime_error("refusing to unwrap " + C + ": " + D + " exists and is not an unwrap of " +
                           C + "; remove it or set LE_IMX_UNWRAP_ROOT");
}

// Payloads inside the file must not share bytes: 65535 entries over one
// payload would otherwise write 65535 copies of it. Entries reaching past the
// end are left to the copy, which refuses them by name.
void refuseOverlaps(const std::string& C, const std::vector<Member>& toc, uint64_t fileSize) {
  std::vector<const Member*> inFile;
  for (const Member& m : toc)
    if (m.size > 0 && m.offset <= fileSize && m.size <= fileSize - m.offset) inFile.push_back(&m);
  // Stable: of entries at one offset, the refusal names the first listed.
  std::stable_sort(inFile.begin(), inFile.end(),
            [](const Member* a, const Member* b) { return a->offset < b->offset; });
  for (size_t i = 1; i < inFile.size(); ++i) {
    const Member& a = *inFile[i - 1];
    const Member& b = *inFile[i];
    if (b.offset - a.offset >= a.size) continue;
    throw std::runtime_error(C + ": members '" + a.name + "' (bytes " + std::to_string(a.offset) +
                             "+" + std::to_string(a.size) + ") and '" + b.name + "' (bytes " +
                             std::to_string(b.offset) + "+" + std::to_string(b.size) +
                             ") overlap \xE2\x80\x94 refusing a container whose payloads share "
                             "bytes");
  }
}

// Opens C as a regular file and reads and checks its table before anything
// on disk changes.
struct Container {
  File f;
  uint64_t size = 0;
  std::vector<Member> toc;
};

Container openContainer(const std::string& C) {
  Container c;
  std::optional<member::File> mf;
  try {
    mf = member::File::tryOpen(C, member::kNoBound, "container");
  } catch (const std::runtime_error&) {
    mf.reset();  // not a regular file
  }
  if (!mf) throw std::runtime_error("cannot open container " + C);
  c.size = mf->size();
  const int fd = ::dup(mf->fd());
  if (fd < 0 || !(c.f = File(::fdopen(fd, "rb")))) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot open container " + C);
  }
  c.toc = readToc(c.f.get(), C);
  for (const Member& m : c.toc)
    if (unsafeName(m.name))
      throw std::runtime_error(C + ": refusing unsafe member name '" + m.name + "'");
  refuseOverlaps(C, c.toc, c.size);
  return c;
}

// The members in table order into D (created empty by the caller).
void writeMembers(Container& c, const std::string& C, const std::string& D) {
  std::vector<char> buf(kCopyChunk, 0);
  for (const Member& m : c.toc) {
    if (isSyntheticManifest(c.f.get(), m)) continue;
    writeMember(c.f.get(), C, D, m, c.size, buf);
  }
}

}  // namespace

std::optional<std::string> cachedUnwrap(const std::string& C) {
  struct stat cst;
  if (::lstat(C.c_str(), &cst) != 0 || !S_ISREG(cst.st_mode)) return std::nullopt;
  std::string D = unwrapDir(C);
  if (!markerMatches(D, markerPath(D), markerContent(C, cst))) return std::nullopt;
  return D;
}

std::string unwrapDir(const std::string& C) {
  std::string stem = fs::baseName(C);
  if (endsWith(stem, ".imx")) stem.resize(stem.size() - 4);
  if (!endsWith(stem, ".lebundle")) stem += ".lebundle";
  const std::string root = env::nonEmpty("LE_IMX_UNWRAP_ROOT").value_or(fs::dirName(C));
  std::string r = root;
  while (!r.empty() && r.back() == '/') r.pop_back();
  return r + "/" + stem;
}

std::string markerPath(const std::string& D) { return D + ".imx_unwrapped"; }

std::string unwrapOnce(const std::string& C) {
  const std::string D = unwrapDir(C);
  const std::string marker = markerPath(D);
  std::lock_guard<std::mutex> lock(unwrapMutex());  // threads of this process

  struct stat cst;
  if (::lstat(C.c_str(), &cst) != 0) throw std::runtime_error("cannot stat container " + C);
  const std::string expected = markerContent(C, cst);
  if (markerMatches(D, marker, expected)) return D;

  // Other processes: whoever holds the lock unwraps; the others find its
  // marker once they get the lock.
  if (!fs::mkdirs(fs::dirName(D))) throw std::runtime_error("cannot create unwrap dir " + D);
  UnwrapLock processes(D + ".imx_lock");
  if (markerMatches(D, marker, expected)) return D;

  Container c = openContainer(C);
  requireReplaceable(C, D, marker, processes);
  // Recorded before the directory changes: a process killed from here on
  // leaves the record that lets the next one start over.
  processes.setRecord(kPendingTag + expected.substr(sizeof kMarkerTag - 1));
  ::unlink(marker.c_str());
  if (!fs::rmTree(D) || !fs::mkdirs(D)) throw std::runtime_error("cannot create unwrap dir " + D);
  writeMembers(c, C, D);
  c.f.reset();
  writeMarker(marker, expected);
  processes.setRecord("");
  log::linef(log::Level::Info, "[le] unwrapped %s -> %s", C.c_str(), D.c_str());
  return D;
}

}  // namespace le::imx
