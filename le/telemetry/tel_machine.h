// The fixed description of the machine every telemetry snapshot carries.
#pragma once

#include <cstdint>
#include <string>

namespace le::tel {

struct Machine {
  std::string os;
  std::string osVersion;    // uname release; empty when uname fails
  std::string deviceModel;  // always empty: only the host knows it
  std::string arch;         // uname machine; empty when uname fails
  int64_t cpuCores = 0;
  uint64_t ramBytes = 0;    // 0 when sysinfo fails
};

// Asks uname, the thread library and sysinfo.
Machine describeMachine();

}  // namespace le::tel
