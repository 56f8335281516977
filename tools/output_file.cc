#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace le::tool {
namespace {

std::string dirOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

[[noreturn]] void refuse(const char* what, const std::string& path, const std::string& why) {
  throw std::runtime_error(std::string("cannot write ") + what + " " + path + ": " + why);
}

}  // namespace

void checkOutputPath(const std::string& path, const char* what) {
  if (path == "-") {
    // Binary video would fill the terminal with garbage.
    if (::isatty(STDOUT_FILENO) == 1) refuse(what, path, "standard output is a terminal (pipe it into a player or a file)");
    return;
  }
  if (path.empty() || path.back() == '/') refuse(what, path, "not a file name");
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) refuse(what, path, "it is a directory");
  const std::string dir = dirOf(path);
  if (::stat(dir.c_str(), &st) != 0) refuse(what, path, "directory " + dir + " does not exist");
  if (!S_ISDIR(st.st_mode)) refuse(what, path, dir + " is not a directory");
  if (::access(dir.c_str(), W_OK | X_OK) != 0) refuse(what, path, "directory " + dir + ": " + std::strerror(errno));
}

void makeOutputDir(const std::string& dir, const char* what) {
  std::string d = dir;
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  struct stat st {};
  if (::stat(d.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    if (::access(d.c_str(), W_OK | X_OK) != 0) refuse(what, dir, std::strerror(errno));
    return;
  }
  if (::stat(d.c_str(), &st) == 0) refuse(what, dir, "it is not a directory");
  checkOutputPath(d, what);
  if (::mkdir(d.c_str(), 0777) != 0 && errno != EEXIST) refuse(what, dir, std::strerror(errno));
}

OutputFile::OutputFile(std::string path, const char* what) : path_(std::move(path)) {
  checkOutputPath(path_, what);
  if (toStdout()) return;
  // Hidden, in the same directory (rename never crosses file systems), unique
  // per process.
  temp_ = dirOf(path_) + "/." + baseOf(path_) + ".part-" + std::to_string(::getpid());
}

OutputFile::~OutputFile() {
  if (!committed_ && !toStdout()) ::unlink(temp_.c_str());
}

void OutputFile::commit() {
  if (committed_ || toStdout()) return;
  if (std::rename(temp_.c_str(), path_.c_str()) != 0)
    throw std::runtime_error("cannot move " + temp_ + " to " + path_ + ": " + std::strerror(errno));
  committed_ = true;
}

void writeFileAtomically(const std::string& path, const std::string& bytes, const char* what) {
  OutputFile out(path, what);
  std::FILE* f = out.toStdout() ? stdout : std::fopen(out.writePath().c_str(), "wb");
  if (!f) refuse(what, path, std::strerror(errno));
  const bool wrote = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const bool closed = out.toStdout() ? std::fflush(f) == 0 : std::fclose(f) == 0;
  if (!wrote || !closed) refuse(what, path, std::strerror(errno));
  out.commit();
}

}  // namespace le::tool
