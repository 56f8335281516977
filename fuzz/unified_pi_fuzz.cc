// The compose descriptor: any manifest text is read or refused with a
// runtime error; for fuzzed keypoints (at and past the edges, huge,
// non-finite) the masks stay inside the canvas, the boxed form equals the
// full one, and the corpus match refuses or names a geometry.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_bytes.h"
#include "le/tessera/tessera_pi.h"

namespace {

using le::fuzz::Bytes;  // numbers for the skeleton, then keypoints
using le::tessera::Box;
using le::tessera::UnifiedPi;

std::string skeleton(Bytes& b) {
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes b{data, size};
  const int canvas = 1 + b.u8() % 64;
  const std::string text = b.u8() & 1 ? b.text(size_t(b.u8()) * 4) : skeleton(b);
  UnifiedPi u;
  if (le::fuzz::refused([&] { u = UnifiedPi::fromManifestJson(text, canvas); })) return 0;
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
  return 0;
}
