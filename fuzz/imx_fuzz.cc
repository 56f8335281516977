// Container reader and unwrap: any bytes as a container must unwrap or be
// refused, and never write outside the unwrap root.
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>

#include "fuzz_scratch.h"
#include "le/bundle/fsutil.h"
#include "le/bundle/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = le::fuzz::scratchDir("imx_fuzz", [](const std::string& t) {
    ::mkdir((t + "/root").c_str(), 0755);
    ::setenv("LE_IMX_UNWRAP_ROOT", (t + "/root").c_str(), 1);
  });
  le::fuzz::writeFile(dir + "/c.imx", data, size);
  try {
    le::imx::unwrapOnce(dir + "/c.imx");
  } catch (const std::exception&) {
  }
  // Only the unwrap directory, its marker and its lock may appear under the root.
  le::fs::rmTree(dir + "/root/c.lebundle");
  ::unlink((dir + "/root/c.lebundle.imx_unwrapped").c_str());
  ::unlink((dir + "/root/c.lebundle.imx_lock").c_str());
  if (::rmdir((dir + "/root").c_str()) != 0) std::abort();  // something else was written
  ::mkdir((dir + "/root").c_str(), 0755);
  return 0;
}
