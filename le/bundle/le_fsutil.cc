#include "le/bundle/fsutil.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace le::fs {

std::string rstripSlash(const std::string& p) {
  size_t n = p.size();
  while (n > 1 && p[n - 1] == '/') --n;
  return p.substr(0, n);
}

std::string baseName(const std::string& p) {
  const size_t s = p.rfind('/');
  return s == std::string::npos ? p : p.substr(s + 1);
}

std::string dirName(const std::string& p) {
  const std::string q = rstripSlash(p);
  const size_t s = q.rfind('/');
  if (s == std::string::npos) return ".";
  if (s == 0) return "/";
  return q.substr(0, s);
}

bool isDirectory(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isRegularFile(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool existsNoFollow(const std::string& p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0;
}

bool exists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

bool readable(const std::string& p) {
  // Non-blocking: opening a FIFO for reading would otherwise wait for a
  // writer. fstat on the open descriptor: what was opened is what is judged.
  const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st;
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  return regular;
}

bool mkdirs(const std::string& p) {
  if (p.empty() || p == "." || p == "/") return true;
  if (isDirectory(p)) return true;
  // Iterative, one mkdir per component: a hostile member name may hold
  // thousands of levels.
  const std::string q = rstripSlash(p);
  for (size_t i = 1; i <= q.size(); ++i) {
    if (i < q.size() && q[i] != '/') continue;
    if (q[i - 1] == '/') continue;
    ::mkdir(q.substr(0, i).c_str(), 0755);
  }
  return isDirectory(q);
}

namespace {
// Paths are bounded by PATH_MAX, so a real tree never nears this depth.
constexpr int kMaxTreeDepth = 4096;

bool rmTreeAt(const std::string& p, int depth) {
  if (depth > kMaxTreeDepth) return false;
  struct stat st;
  if (::lstat(p.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return ::unlink(p.c_str()) == 0 || errno == ENOENT;
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(p.c_str()), ::closedir);
  bool ok = d != nullptr;
  if (d) {
    while (const dirent* e = ::readdir(d.get())) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      ok = rmTreeAt(p + "/" + name, depth + 1) && ok;
    }
  }
  d.reset();
  return (::rmdir(p.c_str()) == 0 || errno == ENOENT) && ok;
}
}  // namespace

bool rmTree(const std::string& p) { return rmTreeAt(p, 0); }

}  // namespace le::fs
