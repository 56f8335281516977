// Shared helpers for le_core's tests: per-test temporary directories, file
// I/O, scoped environment variables, raw IMX container bytes and the python
// fixture generator.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "le/le_utt.h"

namespace le::test {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Sets (or with nullopt unsets) an environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
// Native-endian float32 files, as the python fixtures write them.
std::vector<float> readF32(const std::string& path);
void writeF32(const std::string& path, const std::vector<float>& v);
bool exists(const std::string& path);
// A vector's bytes as they lie in memory, for writing raw members.
template <class T>
std::string bytesOf(const std::vector<T>& v) {
  return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}
// Names in a directory (without "." and ".."), sorted; empty when unreadable.
std::vector<std::string> listDir(const std::string& dir);

// Raw IMX container bytes; entries may lie about offsets and sizes.
struct ImxEntry {
  ImxEntry(std::string n, std::string p, std::optional<uint64_t> off = std::nullopt,
           std::optional<uint64_t> sz = std::nullopt)
      : name(std::move(n)), payload(std::move(p)), offset(off), size(sz) {}
  std::string name;
  std::string payload;
  std::optional<uint64_t> offset;  // default: where the payload is placed
  std::optional<uint64_t> size;    // default: payload size
};
std::string imxBytes(const std::vector<ImxEntry>& entries, uint16_t version = 2);

// Runs `python3 -m lefix <args>` from tests/fixtures; returns the exit status.
int runFixture(const std::vector<std::string>& args);

// The message of the exception f throws, or "(no error)" when it throws none.
template <class F>
std::string errorOf(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

// Counts non-overlapping occurrences of needle in hay.
int countOf(const std::string& hay, const std::string& needle);

// le_utt_ready polled every millisecond until it leaves 0 or `ms` pass: 1
// warmed up, -1 failed, 0 still warming. Inline, so that the kernel test
// executables, which use the testkit but not the pipeline, link no onnxruntime.
inline int uttReadyWithin(le_utt* u, int ms) {
  int r = le_utt_ready(u);
  for (int i = 0; i < ms && r == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    r = le_utt_ready(u);
  }
  return r;
}

// The names of this process's threads, one per live thread.
std::vector<std::string> threadNames();

// Returns once thread tid (set by the thread itself; 0 until then) sleeps in
// the kernel: a test then knows the call under test is what wakes it. Throws
// after 10 s without that.
void untilAsleep(const std::atomic<pid_t>& tid);

}  // namespace le::test
