// Blend-head checkpoint reader: any bytes give weights of one of the two
// accepted sizes, all finite, or a refusal; nothing is read outside the input.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "le/tessera/head.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exactly sized heap copy, so the sanitizer sees any read past the end.
  const std::vector<uint8_t> bytes(data, data + size);
  try {
    const le::tessera::HeadWeights w = le::tessera::loadHeadPt(bytes);
    if (w.params() != 4082 && w.params() != 3489) std::abort();
    for (const auto& t : le::tessera::headTensors())
      for (float v : w.*t.field)
        if (!std::isfinite(v)) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
