// Machine description from uname and sysinfo.
#include <sys/sysinfo.h>
#include <sys/utsname.h>

#include <thread>

#include "le/telemetry/tel_machine.h"

namespace le::tel {

Machine describeMachine() {
  Machine m;
  m.os = "linux";
  struct utsname u {};
  if (uname(&u) == 0) {
    m.osVersion = u.release;
    m.arch = u.machine;
  }
  m.cpuCores = static_cast<int64_t>(std::thread::hardware_concurrency());
  struct sysinfo si {};
  if (sysinfo(&si) == 0) {
    // mem_unit is at most a page; the product of two 64-bit values saturates
    // rather than wrapping on a machine too large to matter.
    const uint64_t total = si.totalram, unit = si.mem_unit ? si.mem_unit : 1;
    m.ramBytes = total > UINT64_MAX / unit ? UINT64_MAX : total * unit;
  }
  return m;
}

}  // namespace le::tel
