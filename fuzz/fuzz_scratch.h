// The scratch directory of one fuzz process: under $LE_FUZZ_SCRATCH when the
// runner gives one (scripts/run-fuzz.sh removes it afterwards, whatever the
// process did), else under /dev/shm (or /tmp). Removed when the process
// exits normally.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "le/bundle/fsutil.h"

namespace le::fuzz {

inline const std::string& scratchDir(const char* name) {
  static const std::string dir = [name] {
    const char* given = std::getenv("LE_FUZZ_SCRATCH");
    std::string t;
    for (const std::string base : {std::string(given && *given ? given : "/dev/shm"), std::string("/tmp")}) {
      t = base + "/le_" + name + ".XXXXXX";
      if (::mkdtemp(t.data())) break;
      t.clear();
    }
    if (t.empty()) std::abort();
    static std::string forExit;
    forExit = t;
    std::atexit([] { le::fs::rmTree(forExit); });
    return t;
  }();
  return dir;
}

}  // namespace le::fuzz
