// The mouth masks. The compose descriptor: any manifest text is read or
// refused with a runtime error; for fuzzed keypoints (at and past the edges,
// huge, non-finite) the masks stay inside the canvas, the boxed form equals
// the full one, and the corpus match refuses or names a geometry. The lip
// contour: any template text is read or refused; a template built from
// fuzzed numbers (vertices, feather, map coefficients) rasterises fuzzed
// keypoints inside the canvas, with values in [0, 1], and the delivered mask
// is never lit outside the pi mask. The first byte picks the canvas and which.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_bytes.h"
#include "le/tessera/lip_contour.h"
#include "le/tessera/tessera_pi.h"

namespace {

using le::fuzz::Bytes;  // numbers for the skeleton, then keypoints
using le::tessera::Box;
using le::tessera::LipContour;
using le::tessera::UnifiedPi;

std::string piSkeleton(Bytes& b) {
  char buf[512];
  const double gate = 0.25 + b.u8() / 64.0, px = (b.u8() - 64) / 256.0, py = b.u8() / 512.0,
               down = (b.u8() - 128) / 512.0;
  const int k = 1 + b.u8() % 6;
  std::string idx;
  for (int i = 0; i < k; ++i) idx += (i ? "," : "") + std::to_string(b.u8() % 21);
  std::snprintf(buf, sizeof buf,
                "{\"unified\":{\"pi\":{\"mode\":\"prop\",\"corner_recovery\":%s,\"prop_gate_scale\":%.6f,"
                "\"lip_idx\":[%s],\"lip_geom_params\":[%.6f,%.6f,%.6f]}}}",
                (b.u8() & 1) ? "true" : "false", gate, idx.c_str(), px, py, down);
  return buf;
}

void frame(const UnifiedPi& u, const float* kp, Bytes& b) {
  const size_t n = size_t(u.canvas) * size_t(u.canvas);
  std::vector<uint8_t> full(n), boxed(n + 8, 0xA5), shrunk(n + 8, 0xA5);
  u.piU8(kp, full.data());
  u.piU8Boxed(kp, boxed.data());
  if (std::memcmp(full.data(), boxed.data(), n) != 0 || boxed[n] != 0xA5) std::abort();
  const Box s = u.supportBox(kp);
  if (s.x0 < 0 || s.y0 < 0 || s.x1 > u.canvas || s.y1 > u.canvas || s.x1 < s.x0 || s.y1 < s.y0) std::abort();
  const double canon[2] = {double(b.f32()), double(b.f32())};
  int dy = 0, dx = 0;
  u.piU8AndShift(kp, canon, boxed.data(), &dy, &dx);
  std::vector<float> shrink(n, 0.5f);
  const Box caller{int32_t(b.u8()) - 100, int32_t(b.u8()) - 100, int32_t(b.u8()) * 4, int32_t(b.u8()) * 4};
  u.piU8ShrunkBy(kp, shrink.data(), caller, shrunk.data());
  if (shrunk[n] != 0xA5) std::abort();
  double cx, cy;
  u.piU8Centroid(full.data(), caller, &cx, &cy);
}

void piMasks(Bytes& b, int canvas) {
  const std::string text = b.u8() & 1 ? b.text(size_t(b.u8()) * 4) : piSkeleton(b);
  UnifiedPi u;
  if (le::fuzz::refused([&] { u = UnifiedPi::fromManifestJson(text, canvas); })) return;
  std::vector<float> frames;
  while (b.n >= 4 && frames.size() < 63 * 4) frames.push_back(b.f32());
  frames.resize((frames.size() / 63 + 1) * 63, 0.f);
  const int nFrames = int(frames.size() / 63);
  for (int f = 0; f < nFrames; ++f) frame(u, frames.data() + 63 * f, b);
  const double canon[2] = {canvas / 2.0, canvas / 2.0};
  std::string name;
  (void)le::fuzz::refused([&] {
    UnifiedPi::corpusFromManifestJson(text, canvas, frames.data(), nFrames, canon, &name);
    if (name != "v1" && name != "v2" && name != "v3") std::abort();
  });
}

std::string number(Bytes& b) {
  const float f = b.f32();
  if (!std::isfinite(f)) return "0";
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.9g", double(f));
  return buf;
}

std::string lipSkeleton(Bytes& b, int canvas) {
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

void lipContour(Bytes& b, int canvas) {
  const std::string text = b.u8() & 1 ? b.text(size_t(b.u8()) * 8) : lipSkeleton(b, canvas);
  std::vector<LipContour> lc;
  if (le::fuzz::refused([&] { lc.push_back(LipContour::fromTemplateJson(text, canvas)); })) return;
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
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes b{data, size};
  const uint8_t pick = b.u8();
  if (pick & 64) lipContour(b, 1 + pick % 64);
  else piMasks(b, 1 + pick % 64);
  return 0;
}
