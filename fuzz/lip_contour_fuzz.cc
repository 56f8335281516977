// The lip contour: any template text is read or refused with a runtime
// error; a template built from fuzzed numbers (vertices, feather, map
// coefficients) rasterises fuzzed keypoints inside the canvas, with values in
// [0, 1], and the delivered mask is never lit outside the pi mask.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_bytes.h"
#include "le/tessera/lip_contour.h"
#include "le/tessera/tessera_pi.h"

namespace {

using le::fuzz::Bytes;
using le::tessera::LipContour;
using le::tessera::UnifiedPi;

std::string number(Bytes& b) {
  const float f = b.f32();
  if (!std::isfinite(f)) return "0";
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.9g", double(f));
  return buf;
}

std::string skeleton(Bytes& b, int canvas) {
  const int nv = 1 + b.u8() % 12;
  std::string u;
  for (int i = 0; i < nv; ++i) u += (i ? ",[" : "[") + number(b) + "," + number(b) + "]";
  std::string t = "{\"format\":\"lip-template-v1\",\"canvas\":" + std::to_string(canvas) +
                  ",\"feather_px\":" + std::to_string(0.25 + b.u8() % 16) + ",\"u_canon\":[" + u +
                  "],\"lip_idx\":[6,12,14,17,19,20]";
  if (b.u8() & 1) {
    const int k = 1 + b.u8() % 8;
    std::string idx, W, bb;
    for (int i = 0; i < k; ++i) idx += (i ? "," : "") + std::to_string(b.u8() % 21);
    for (int r = 0; r < 2 * nv; ++r) {
      std::string row;
      for (int c = 0; c < 2 * k; ++c) row += (c ? "," : "") + number(b);
      W += (r ? ",[" : "[") + row + "]";
      bb += (r ? "," : "") + number(b);
    }
    t += ",\"lip_map\":{\"schema\":\"lip-map-v1\",\"kind\":\"anchor-linear\",\"lip_idx\":[" + idx +
         "],\"W\":[" + W + "],\"b\":[" + bb + "]}";
  }
  return t + "}";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes b{data, size};
  const int canvas = 1 + b.u8() % 64;
  const std::string text = b.u8() & 1 ? b.text(size_t(b.u8()) * 8) : skeleton(b, canvas);
  std::vector<LipContour> lc;
  if (le::fuzz::refused([&] { lc.push_back(LipContour::fromTemplateJson(text, canvas)); })) return 0;
  const UnifiedPi pi = UnifiedPi::fromManifestJson(
      "{\"unified\":{\"pi\":{\"mode\":\"prop\",\"prop_gate_scale\":1,\"lip_idx\":[6,12,14,17,19,20],"
      "\"lip_geom_params\":[0.1,0.08,0.074]}}}",
      canvas);
  const size_t n = size_t(canvas) * size_t(canvas);
  for (int f = 0; f < 3 && b.n > 0; ++f) {
    std::vector<float> kp(63);
    for (float& v : kp) v = b.f32();
    std::vector<float> contour(n + 4, -3.f);
    lc[0].contourF32Canvas(kp.data(), contour.data());
    for (size_t i = 0; i < n; ++i)
      if (!(contour[i] >= 0.f && contour[i] <= 1.f)) std::abort();
    if (contour[n] != -3.f) std::abort();
    std::vector<uint8_t> mask(n + 4, 0xA5), piMask(n);
    lc[0].deliveredU8(kp.data(), pi, mask.data());
    pi.piU8(kp.data(), piMask.data());
    for (size_t i = 0; i < n; ++i)
      if (mask[i] > piMask[i]) std::abort();
    if (mask[n] != 0xA5) std::abort();
    const double canon[2] = {double(b.f32()), double(b.f32())};
    int dy, dx;
    lc[0].deliveredU8AndShift(kp.data(), pi, canon, mask.data(), &dy, &dx);
  }
  return 0;
}
