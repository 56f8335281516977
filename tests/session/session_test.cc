// The session context on bundles written here byte by byte (frames as a
// lossless image directory, no director model): the refusal matrix of the
// entry points, getters, frame access, the mask rule, pasting a given crop,
// the intra-op rule, and create/destroy leaving no thread behind.
#include <dirent.h>
#include <sys/stat.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "le/bundle/manifest.h"
#include "le/driver/source.h"
#include "le/le.h"
#include "le/session/session.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using test::TempDir;
using test::writeFile;

constexpr int kNT = 4, kW = 48, kH = 40, kCrop = 16, kFrames = 6;
std::string err() { return le_last_error(); }

template <class T>
std::string bytesOf(const std::vector<T>& v) {
  return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

uint8_t pixel(int frame, int x, int y, int c) { return uint8_t((frame * 53 + x * 7 + y * 13 + c * 71) & 255); }

// A bundle whose paste matrices scale the crop by 1 at (8, 6): the footprint
// is [8, 24) x [6, 22), everything else is the driver frame untouched.
// maskBytes -1: crop x crop; 0: no mask member.
std::string writeBundle(const std::string& dir, int64_t maskBytes = -1) {
  char manifest[512];
  std::snprintf(manifest, sizeof manifest,
                "{\"format\": \"le-bundle-v0\", \"agent\": \"unit\", \"NT\": %d, \"H\": %d, \"W\": %d, "
                "\"crop\": %d, \"amount\": 1.3, \"sigma\": 2.0, \"ksize\": 5, \"frames\": %d, "
                "\"M_src_w\": %d, \"M_src_h\": %d}\n",
                kNT, kH, kW, kCrop, kFrames, kW, kH);
  ::mkdir(dir.c_str(), 0755);
  ::mkdir((dir + "/drive").c_str(), 0755);
  ::mkdir((dir + "/target_frames").c_str(), 0755);
  writeFile(dir + "/manifest.json", manifest);
  const size_t crop2 = size_t(kCrop) * kCrop;
  writeFile(dir + "/pooled64.f16", std::string(size_t(kNT) * 65536 * 2, '\0'));
  writeFile(dir + "/P.f16", std::string(size_t(kNT) * 3 * crop2 * 2, '\0'));
  std::vector<float> M, kp(size_t(kNT) * 63, 0.1f), xs(size_t(kFrames) * 63), xd(xs.size());
  for (int i = 0; i < kNT; ++i) M.insert(M.end(), {1.f, 0.f, 8.f, 0.f, 1.f, 6.f});
  writeFile(dir + "/M.f32", bytesOf(M));
  writeFile(dir + "/xs_target.bin", bytesOf(kp));
  if (maskBytes != 0) {
    std::string mask(maskBytes < 0 ? crop2 : size_t(maskBytes), '\0');
    for (size_t i = 0; i < mask.size(); ++i) mask[i] = char(i % 251);
    writeFile(dir + "/mask_512.u8", mask);
  }
  std::vector<int32_t> si(static_cast<size_t>(kFrames));
  for (size_t i = 0; i < xs.size(); ++i) xs[i] = float(i % 63) / 100.f, xd[i] = xs[i] + 0.01f;
  for (int i = 0; i < kFrames; ++i) si[size_t(i)] = (i * 3) % kNT;
  writeFile(dir + "/drive/xs.f32", bytesOf(xs));
  writeFile(dir + "/drive/xd.f32", bytesOf(xd));
  writeFile(dir + "/drive/si.i32", bytesOf(si));
  // The image reader decodes by content: PNG under the .jpg names keeps the
  // frames exact.
  std::vector<uint8_t> rgb(size_t(kW) * kH * 3);
  for (int f = 0; f < kNT; ++f) {
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x)
        for (int c = 0; c < 3; ++c) rgb[(size_t(y) * kW + size_t(x)) * 3 + size_t(c)] = pixel(f, x, y, c);
    char name[64];
    std::snprintf(name, sizeof name, "/target_frames/frame_%06d.jpg", f);
    writePNG(dir + name, rgb.data(), kW, kH);
  }
  return dir;
}

struct Ctx {
  le_ctx* p;
  explicit Ctx(le_ctx* c) : p(c) {}
  ~Ctx() { le_destroy(p); }
};

int taskCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

// Every refusal that comes before any render, with and without a context:
// the result is the failure value and the message names the entry point.
TEST(SessionArgs, RefusalMatrix) {
  TempDir t;
  Ctx live(le_create(writeBundle(t / "b").c_str(), "k", 1, nullptr));
  ASSERT_NE(live.p, nullptr) << err();
  const float kp[63] = {};
  static uint8_t out[kW * kH * 4];
  const size_t rgb = size_t(kW) * kH * 3;
  const std::vector<float> crop(3 * kCrop * kCrop, 1.f);
  using Call = std::function<bool(le_ctx*)>;  // true: the call failed
  const struct {
    const char* what;
    Call call;
    const char* message;
    bool live = true;  // also refused with the live context, the same way
  } rows[] = {
      {"target -1", [](le_ctx* c) { return !le_target_frame(c, -1); }, "le_target_frame: bad args"},
      {"target NT", [](le_ctx* c) { return !le_target_frame(c, kNT); }, "le_target_frame: bad args"},
      {"kp si -1", [&](le_ctx* c) { return !le_render_kp_crop(c, -1, kp, kp); }, "le_render_kp_crop: bad args"},
      {"kp si NT", [&](le_ctx* c) { return !le_render_kp_crop(c, kNT, kp, kp); }, "le_render_kp_crop: bad args"},
      {"kp NULL xs", [&](le_ctx* c) { return !le_render_kp_crop(c, 0, nullptr, kp); }, "le_render_kp_crop: bad args"},
      {"kp NULL xd", [&](le_ctx* c) { return !le_render_kp_crop(c, 0, kp, nullptr); }, "le_render_kp_crop: bad args"},
      {"drive -1", [](le_ctx* c) { return !le_render_drive_crop(c, -1); }, "le_render_drive_crop: bad frame index"},
      {"drive frames", [](le_ctx* c) { return !le_render_drive_crop(c, kFrames); },
       "le_render_drive_crop: bad frame index"},
      {"paste short", [&](le_ctx* c) { return !le_paste_crop(c, 1, crop.data(), out, rgb - 1); },
       "le_paste_crop: bad args / out too small"},
      {"paste si NT", [&](le_ctx* c) { return !le_paste_crop(c, kNT, crop.data(), out, rgb); },
       "le_paste_crop: bad args / out too small"},
      {"paste si -1", [&](le_ctx* c) { return !le_paste_crop(c, -1, crop.data(), out, rgb); },
       "le_paste_crop: bad args / out too small"},
      {"paste NULL crop", [&](le_ctx* c) { return !le_paste_crop(c, 0, nullptr, out, rgb); },
       "le_paste_crop: bad args / out too small"},
      {"paste_last before render", [](le_ctx* c) { return !le_paste_last(c, 0); },
       "le_paste_last: bad args / no prior render"},
      // With a context these render first (session_itest): NULL only here.
      {"rgba", [&](le_ctx* c) { return !le_render_drive_rgba(c, 0, out, sizeof out); }, "le_render_drive_rgba: NULL ctx", false},
      {"kp rgba", [&](le_ctx* c) { return !le_render_kp_rgba(c, 0, kp, kp, out, sizeof out); }, "le_render_kp_rgba: NULL ctx", false},
  };
  for (const auto& r : rows) {
    EXPECT_TRUE(r.call(nullptr)) << r.what;
    EXPECT_EQ(err(), r.message) << r.what << " (NULL context)";
    if (!r.live) continue;
    EXPECT_TRUE(r.call(live.p)) << r.what;
    EXPECT_EQ(err(), r.message) << r.what;
  }
  // None of them started the renderer.
  EXPECT_EQ(live.p->renderer, nullptr);
  EXPECT_EQ(le_create("/x", nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(err(), "le_create: NULL bundle_dir/model_key");
  EXPECT_EQ(le_create(nullptr, "k", 0, nullptr), nullptr);
  EXPECT_EQ(err(), "le_create: NULL bundle_dir/model_key");
  // Getters never fail and, like every entry point, empty the error.
  EXPECT_EQ(le_width(nullptr) + le_height(nullptr) + le_nt(nullptr) + le_crop(nullptr) + le_drive_frames(nullptr), 0);
  EXPECT_EQ(err(), "");
  le_destroy(nullptr);
  // A drive entry whose source index left [0, NT) after loading is named.
  live.p->drive.si[1] = kNT;
  EXPECT_EQ(le_render_drive_crop(live.p, 1), nullptr);
  EXPECT_EQ(err(), "le_render_drive_crop: drive entry 1 names source frame 4 outside [0,4)");
}

TEST(SessionCreate, MaskRule) {
  TempDir t;
  // Absent or shorter than crop x crop: refused with the loader's message.
  for (int64_t bytes : {int64_t(0), int64_t(kCrop * kCrop - 1)}) {
    EXPECT_EQ(le_create(writeBundle(t / std::to_string(bytes), bytes).c_str(), "k", 1, nullptr), nullptr);
    EXPECT_EQ(err(), "le_create: mask read failed") << bytes;
  }
  EXPECT_EQ(le_create((t / "absent").c_str(), "k", 1, nullptr), nullptr);
  EXPECT_EQ(err().rfind("le_create: ", 0), 0u) << err();
  EXPECT_GT(err().size(), std::string("le_create: ").size());
  // Longer (authored for a larger crop): the first crop x crop bytes are the mask.
  for (int64_t bytes : {int64_t(kCrop * kCrop), int64_t(kCrop * kCrop + 1), int64_t(32 * 32)}) {
    const std::string dir = writeBundle(t / ("l" + std::to_string(bytes)), bytes);
    const std::vector<uint8_t> mask = session::readMask(loadManifest(dir));
    ASSERT_EQ(mask.size(), size_t(kCrop * kCrop)) << bytes;
    for (size_t i = 0; i < mask.size(); ++i) ASSERT_EQ(mask[i], uint8_t(i % 251)) << i;
    Ctx ctx(le_create(dir.c_str(), "k", 1, nullptr));
    ASSERT_NE(ctx.p, nullptr) << err();
  }
}

TEST(SessionFrames, GettersAndTargetFrames) {
  TempDir t;
  Ctx ctx(le_create(writeBundle(t.path()).c_str(), "k", 1, nullptr));
  ASSERT_NE(ctx.p, nullptr) << err();
  EXPECT_EQ(err(), "");
  const int got[] = {le_nt(ctx.p), le_width(ctx.p), le_height(ctx.p), le_crop(ctx.p), le_drive_frames(ctx.p)};
  const int want[] = {kNT, kW, kH, kCrop, kFrames};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(got[i], want[i]) << i;
  for (int si : {2, 0, 3, 2, 1}) {  // out of order and repeated
    const uint8_t* f = le_target_frame(ctx.p, si);
    ASSERT_NE(f, nullptr) << err();
    EXPECT_EQ(err(), "");
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x)
        for (int c = 0; c < 3; ++c) ASSERT_EQ(f[(size_t(y) * kW + x) * 3 + c], pixel(si, x, y, c)) << si << " " << x << "," << y;
  }
}

TEST(SessionPaste, CropPastedInsideItsFootprintOnly) {
  TempDir t;
  Ctx ctx(le_create(writeBundle(t.path()).c_str(), "k", 1, nullptr));
  ASSERT_NE(ctx.p, nullptr) << err();
  const size_t bytes = size_t(kW) * kH * 3;
  const std::vector<float> crop(3 * kCrop * kCrop, 1.0f);  // white
  std::vector<uint8_t> out(bytes, 0);
  ASSERT_EQ(le_paste_crop(ctx.p, 1, crop.data(), out.data(), bytes), 1) << err();
  EXPECT_EQ(err(), "");
  int changedInside = 0;
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x)
      for (int c = 0; c < 3; ++c) {
        const uint8_t v = out[(size_t(y) * kW + x) * 3 + c];
        if (x >= 8 && x < 24 && y >= 6 && y < 22) {
          changedInside += v != pixel(1, x, y, c);
        } else {
          ASSERT_EQ(v, pixel(1, x, y, c)) << x << "," << y;
        }
      }
  EXPECT_GT(changedInside, 16 * 16);  // most of the 768 footprint samples
}

TEST(SessionRender, IntraOpRule) {
  const struct {
    int requested;
    bool explicitly;
    const char* provider;
    int want;
    bool note;
  } rows[] = {{4, true, "", 4, false}, {8, false, "", 2, true}, {1, false, "", 1, true},
              {2, false, "", 2, true}, {8, false, "cuda", 8, false}};
  for (const auto& r : rows) {
    bool note = !r.note;
    EXPECT_EQ(session::intraThreads(r.requested, r.explicitly, r.provider, &note), r.want) << r.requested << r.provider;
    EXPECT_EQ(note, r.note) << r.requested << r.provider;
  }
}

TEST(SessionLifetime, CreateDestroyHundredTimesLeavesNoThread) {
  TempDir t;
  const std::string dir = writeBundle(t.path());
  const int before = taskCount();
  ASSERT_GT(before, 0);
  for (int i = 0; i < 100; ++i) {
    le_ctx* ctx = le_create(dir.c_str(), "k", 1, nullptr);
    ASSERT_NE(ctx, nullptr) << err();
    // A pull makes sure the cursor's thread has started and has work in flight.
    ASSERT_NE(le_target_frame(ctx, i % kNT), nullptr) << err();
    le_destroy(ctx);
  }
  EXPECT_EQ(taskCount(), before);
}

}  // namespace
}  // namespace le
