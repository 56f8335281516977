// The scratch directory of one fuzz process: under $LE_FUZZ_SCRATCH when the
// runner gives one (scripts/run-fuzz.sh removes it afterwards, whatever the
// process did), else under /dev/shm (or /tmp). Removed when the process
// exits normally; `setup` runs once, when it is made.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "le/bundle/fsutil.h"

namespace le::fuzz {

inline const std::string& scratchDir(const char* name, void (*setup)(const std::string&) = nullptr) {
  static const std::string dir = [name, setup] {
    const char* given = std::getenv("LE_FUZZ_SCRATCH");
    std::string t;
    for (const std::string& base : {std::string(given && *given ? given : "/dev/shm"), std::string("/tmp")}) {
      t = base + "/le_" + name + ".XXXXXX";
      if (::mkdtemp(t.data())) break;
      t.clear();
    }
    if (t.empty()) std::abort();
    static std::string forExit;
    forExit = t;
    std::atexit([] { le::fs::rmTree(forExit); });
    if (setup) setup(t);
    return t;
  }();
  return dir;
}

// Replaces `path` with the bytes; a scratch file that cannot be written ends
// the run, since every later check would test the wrong input.
inline void writeFile(const std::string& path, const void* data, size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || (size > 0 && std::fwrite(data, 1, size, f) != size)) std::abort();
  std::fclose(f);
}
inline void writeFile(const std::string& path, const std::string& bytes) {
  writeFile(path, bytes.data(), bytes.size());
}

inline std::string readFile(const std::string& path) {
  std::string s;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
    std::fclose(f);
  }
  return s;
}

#ifdef LE_FIXTURES_DIR
// Runs the python fixture generator (`lefix ARGS`) for a seed; a seed that
// cannot be written ends the process.
inline void runFixture(const std::string& args) {
  const std::string cmd = "PYTHONPATH=" LE_FIXTURES_DIR " " LE_PYTHON " -m lefix " + args + " >/dev/null";
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "fuzz seed could not be written: lefix %s\n", args.c_str());
    std::abort();
  }
}
#endif

}  // namespace le::fuzz
