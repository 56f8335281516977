// A bundle written byte by byte for session tests: frames as a lossless
// image directory (PNG under the .jpg names), no director model, paste
// matrices that place the crop at (8 + frame, 6) unscaled.
#pragma once

#include <sys/stat.h>

#include <cstdio>

#include "le/driver/source.h"
#include "le/le.h"
#include "testkit/testkit.h"

namespace le::test {

// A context owned for one scope.
struct Ctx {
  le_ctx* p;
  explicit Ctx(le_ctx* c) : p(c) {}
  ~Ctx() { le_destroy(p); }
  Ctx(const Ctx&) = delete;
  Ctx& operator=(const Ctx&) = delete;
};
inline std::string err() { return le_last_error(); }

struct BundleShape {
  int nt = 4;
  int w = 48;
  int h = 40;
  int crop = 16;
  int frames = 6;
  int64_t maskBytes = -1;  // -1: crop x crop; 0: no mask member
  std::string extraKeys;   // more manifest keys, each with a leading comma
};

inline uint8_t pixel(int frame, int x, int y, int c) { return uint8_t((frame * 53 + x * 7 + y * 13 + c * 71) & 255); }

// A bundle whose paste matrices scale the crop by 1 at (8 + frame, 6): frame
// 1's footprint is [9, 25) x [6, 22), everything else the driver frame untouched.
inline void writeBundle(const std::string& dir, const BundleShape& s) {
  char manifest[512];
  std::snprintf(manifest, sizeof manifest,
                "{\"format\": \"le-bundle-v0\", \"agent\": \"unit\", \"NT\": %d, \"H\": %d, \"W\": %d, "
                "\"crop\": %d, \"amount\": 1.3, \"sigma\": 2.0, \"ksize\": 5, \"frames\": %d, "
                "\"M_src_w\": %d, \"M_src_h\": %d",
                s.nt, s.h, s.w, s.crop, s.frames, s.w, s.h);
  for (const char* sub : {"", "/drive", "/target_frames"}) ::mkdir((dir + sub).c_str(), 0755);
  le::test::writeFile(dir + "/manifest.json", manifest + s.extraKeys + "}\n");
  const size_t crop2 = size_t(s.crop) * size_t(s.crop);
  le::test::writeFile(dir + "/pooled64.f16", std::string(size_t(s.nt) * 65536 * 2, '\0'));
  le::test::writeFile(dir + "/P.f16", std::string(size_t(s.nt) * 3 * crop2 * 2, '\0'));
  std::vector<float> M, kp(size_t(s.nt) * 63, 0.1f);
  for (int i = 0; i < s.nt; ++i) M.insert(M.end(), {1.f, 0.f, 8.f + float(i), 0.f, 1.f, 6.f});
  le::test::writeFile(dir + "/M.f32", bytesOf(M));
  le::test::writeFile(dir + "/xs_target.bin", bytesOf(kp));
  if (s.maskBytes != 0) {
    std::string mask(s.maskBytes < 0 ? crop2 : size_t(s.maskBytes), '\0');
    for (size_t i = 0; i < mask.size(); ++i) mask[i] = char(i % 251);
    le::test::writeFile(dir + "/mask_512.u8", mask);
  }
  std::vector<float> xs(size_t(s.frames) * 63), xd(xs.size());
  std::vector<int32_t> si(size_t(s.frames));
  for (size_t i = 0; i < xs.size(); ++i) {
    xs[i] = float(i % 63) / 100.f;
    xd[i] = xs[i] + 0.01f;
  }
  for (int i = 0; i < s.frames; ++i) si[size_t(i)] = (i * 3) % s.nt;
  le::test::writeFile(dir + "/drive/xs.f32", bytesOf(xs));
  le::test::writeFile(dir + "/drive/xd.f32", bytesOf(xd));
  le::test::writeFile(dir + "/drive/si.i32", bytesOf(si));
  // The image reader decodes by content: PNG under the .jpg names keeps the
  // frames exact.
  std::vector<uint8_t> rgb(size_t(s.w) * size_t(s.h) * 3);
  for (int f = 0; f < s.nt; ++f) {
    for (int y = 0; y < s.h; ++y)
      for (int x = 0; x < s.w; ++x)
        for (int c = 0; c < 3; ++c) rgb[(size_t(y) * size_t(s.w) + size_t(x)) * 3 + size_t(c)] = pixel(f, x, y, c);
    char name[64];
    std::snprintf(name, sizeof name, "/target_frames/frame_%06d.jpg", f);
    writePNG(dir + name, rgb.data(), s.w, s.h);
  }
}

}  // namespace le::test
