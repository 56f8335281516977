// The borrow's two binary decoders on one input. The blend-head checkpoint
// reader: any bytes give weights of one of the two accepted sizes, all
// finite, or a refusal; nothing is read outside the input. The bank track
// decoder: the bytes after the first four, with a geometry and order taken
// from those, decode to exactly n x h x w x 3 bytes or are refused.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "le/tessera/bankdec.h"
#include "le/tessera/head.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly sized heap copies, so the sanitizer sees any read past the end.
  const std::vector<uint8_t> bytes(data, data + size);
  try {
    const le::tessera::HeadWeights w = le::tessera::loadHeadPt(bytes);
    if (w.params() != 4082 && w.params() != 3489) std::abort();
    for (const auto& t : le::tessera::headTensors())
      for (float v : w.*t.field)
        if (!std::isfinite(v)) std::abort();
  } catch (const std::runtime_error&) {
  }
  if (size < 4) return 0;
  const int n = 1 + data[0] % 16, w = 1 + data[1] % 64, h = 1 + data[2] % 64;
  // A rotation of 0..n-1, or (for odd seeds) a non-permutation.
  std::vector<int> order(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) order[size_t(i)] = (i + data[3]) % n;
  if (data[3] & 0x80) order[0] = order[size_t(n - 1)];
  const std::vector<uint8_t> track(data + 4, data + size);
  try {
    const std::vector<uint8_t> bank = le::tessera::decodeBankTrack(track.data(), track.size(), n, h, w, order);
    if (bank.size() != size_t(n) * size_t(h) * size_t(w) * 3) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
