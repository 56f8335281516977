// The session context end to end on fixture bundles (python lefix): the
// fixture director, a lossless H.264 driver, the warp prior raw, as HEVC, and
// the whole bundle inside an IMX container. Finished frames keep the driver's
// pixels outside the pasted footprint, carry alpha 255, repeat exactly, and
// le_paste_crop agrees with le_paste_last.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "le/le.h"
#include "le/runtime/le_pool.h"
#include "le/session/session.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using test::TempDir;

constexpr int kNT = 6;
constexpr int kW = 64;
constexpr int kH = 48;
constexpr int kCrop = 32;
constexpr int kFrames = 9;  // entries wrap around the driver

struct Variant {
  const char* name;
  const char* identity;
  bool imx;
};

// Writes the bundle and returns the path le_create takes.
std::string writeBundle(const TempDir& t, const Variant& v) {
  const std::string dir = t / "b";
  EXPECT_EQ(test::runFixture({"bundle", "--out", dir, "--nt", std::to_string(kNT), "--frames",
                              std::to_string(kFrames), "--crop", std::to_string(kCrop), "--size",
                              std::to_string(kW), std::to_string(kH), "--identity", v.identity}),
            0);
  EXPECT_EQ(test::runFixture({"video", "mp4", "--out", dir + "/target_frames.mp4", "--nt",
                              std::to_string(kNT), "--size", std::to_string(kW), std::to_string(kH)}),
            0);
  EXPECT_EQ(test::runFixture({"director", "--variant", "plain", "--crop", std::to_string(kCrop), "--out",
                              dir + "/model_plain.onnx"}),
            0);
  if (!v.imx) return dir;
  const std::string c = t / "b.imx";
  EXPECT_EQ(test::runFixture({"imx", dir, "--out", c}), 0);
  return c;
}

struct Ctx {
  le_ctx* p;
  explicit Ctx(le_ctx* c) : p(c) {}
  ~Ctx() { le_destroy(p); }
};

std::string err() { return le_last_error(); }

// Frame pixels a crop pasted with M may touch: the crop square's image, two
// pixels wider for the resampling kernel.
struct Box {
  double x0, y0, x1, y1;
  bool contains(int x, int y) const { return x >= x0 && x <= x1 && y >= y0 && y <= y1; }
};
Box footprint(const float* M, int crop) {
  Box b{1e9, 1e9, -1e9, -1e9};
  for (double u : {0.0, double(crop)})
    for (double v : {0.0, double(crop)}) {
      const double x = M[0] * u + M[1] * v + M[2], y = M[3] * u + M[4] * v + M[5];
      b = {std::min(b.x0, x), std::min(b.y0, y), std::max(b.x1, x), std::max(b.y1, y)};
    }
  return {b.x0 - 2, b.y0 - 2, b.x1 + 2, b.y1 + 2};
}

class SessionEndToEnd : public testing::TestWithParam<Variant> {};

TEST_P(SessionEndToEnd, DriveEntriesBecomeFinishedFrames) {
  TempDir t;
  const std::string bundle = writeBundle(t, GetParam());
  Ctx ctx(le_create(bundle.c_str(), "plain", 2, nullptr));
  ASSERT_NE(ctx.p, nullptr) << err();
  ASSERT_EQ(le_drive_frames(ctx.p), kFrames);
  const size_t px = size_t(kW) * kH;
  std::vector<uint8_t> rgba(px * 4), again(px * 4), viaCrop(px * 3);
  for (int i = 0; i < kFrames; ++i) {
    SCOPED_TRACE("entry " + std::to_string(i));
    const int si = ctx.p->drive.si[size_t(i)];
    ASSERT_EQ(le_render_drive_rgba(ctx.p, i, rgba.data(), rgba.size()), 1) << err();
    EXPECT_EQ(err(), "");
    const uint8_t* tf = le_target_frame(ctx.p, si);
    ASSERT_NE(tf, nullptr) << err();
    const std::vector<uint8_t> driver(tf, tf + px * 3);
    const Box box = footprint(ctx.p->identity.M(si), kCrop);
    int inside = 0, changed = 0;
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        const size_t p = size_t(y) * kW + size_t(x);
        ASSERT_EQ(rgba[p * 4 + 3], 255) << x << "," << y;
        const bool same = std::memcmp(&rgba[p * 4], &driver[p * 3], 3) == 0;
        if (!box.contains(x, y)) ASSERT_TRUE(same) << "outside the footprint at " << x << "," << y;
        else ++inside, changed += !same;
      }
    EXPECT_GT(inside, 0);
    EXPECT_GT(changed, 0) << "the crop left no trace";

    ASSERT_EQ(le_render_drive_rgba(ctx.p, i, again.data(), again.size()), 1) << err();
    EXPECT_EQ(rgba, again);

    const float* crop = le_render_drive_crop(ctx.p, i);
    ASSERT_NE(crop, nullptr) << err();
    ASSERT_EQ(le_paste_crop(ctx.p, si, crop, viaCrop.data(), viaCrop.size()), 1) << err();
    const uint8_t* last = le_paste_last(ctx.p, si);
    ASSERT_NE(last, nullptr) << err();
    EXPECT_EQ(std::memcmp(last, viaCrop.data(), viaCrop.size()), 0);
    for (size_t p = 0; p < px; ++p) ASSERT_EQ(std::memcmp(&rgba[p * 4], &last[p * 3], 3), 0) << p;
  }
}

INSTANTIATE_TEST_SUITE_P(Bundles, SessionEndToEnd,
                         testing::Values(Variant{"rawPrior", "pooled,P", false},
                                         Variant{"hevcPrior", "pooled,hevc", false},
                                         Variant{"container", "pooled,P", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SessionRgba, ShortOutRendersThenFailsWithoutWriting) {
  TempDir t;
  const std::string bundle = writeBundle(t, {"rawPrior", "pooled,P", false});
  Ctx ctx(le_create(bundle.c_str(), "plain", 2, nullptr));
  ASSERT_NE(ctx.p, nullptr) << err();
  const size_t n = size_t(kW) * kH * 4, cropFloats = size_t(3) * kCrop * kCrop;
  const float* first = le_render_drive_crop(ctx.p, 0);
  ASSERT_NE(first, nullptr) << err();
  const std::vector<float> before(first, first + cropFloats);

  std::vector<float> ks(ctx.p->drive.xs.begin(), ctx.p->drive.xs.begin() + 63), kd = ks;
  for (size_t k = 0; k < 63; k += 3) kd[k] += 0.05f;
  std::vector<uint8_t> out(n, 0x5A);
  EXPECT_EQ(le_render_kp_rgba(ctx.p, 3, ks.data(), kd.data(), out.data(), n - 1), 0);
  EXPECT_EQ(err(), "le_render_*_rgba: out buffer too small");
  ASSERT_NE(ctx.p->lastCrop, nullptr);
  const std::vector<float> after(ctx.p->lastCrop, ctx.p->lastCrop + cropFloats);
  EXPECT_NE(before, after) << "the render before the size check did not happen";
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t v) { return v == 0x5A; }));
  EXPECT_EQ(le_render_drive_rgba(ctx.p, 0, nullptr, n), 0);
  EXPECT_EQ(err(), "le_render_*_rgba: out buffer too small");

  // lastCrop is pasted whatever frame it was rendered for.
  ASSERT_EQ(le_render_kp_rgba(ctx.p, 3, ks.data(), kd.data(), out.data(), n), 1) << err();
  const uint8_t* onOther = le_paste_last(ctx.p, 5);
  ASSERT_NE(onOther, nullptr) << err();
  std::vector<uint8_t> viaCrop(size_t(kW) * kH * 3);
  ASSERT_EQ(le_paste_crop(ctx.p, 5, ctx.p->lastCrop, viaCrop.data(), viaCrop.size()), 1) << err();
  EXPECT_EQ(std::memcmp(onOther, viaCrop.data(), viaCrop.size()), 0);
}

// Without the requested director model the first render fails after the intra-op choice:
// the log line (or its absence) shows, lastCrop stays unset and the RGBA
// forms stop there without touching out.
TEST(SessionRender, FailedRenderStopsEveryLaterStep) {
  TempDir t;
  const std::string bundle = writeBundle(t, {"rawPrior", "pooled,P", false});
  const float kp[63] = {};
  std::vector<uint8_t> out(size_t(kW) * kH * 4, 0xAB);
  {
    Ctx ctx(le_create(bundle.c_str(), "absent", 0, nullptr));
    ASSERT_NE(ctx.p, nullptr) << err();
    testing::internal::CaptureStderr();
    EXPECT_EQ(le_render_kp_crop(ctx.p, 0, kp, kp), nullptr);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err().rfind("le_render_kp_crop: ", 0), 0u) << err();
    const int pool = pool::threads();
    const std::string line = "[le] director intra-op " + std::to_string(std::min(pool, 2)) + " of pool " +
                             std::to_string(pool) +
                             ": the caller did not choose, the core sized it for the le_utt pipeline\n";
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_EQ(ctx.p->lastCrop, nullptr);
    EXPECT_EQ(ctx.p->renderer, nullptr);

    EXPECT_EQ(le_render_kp_rgba(ctx.p, 0, kp, kp, out.data(), out.size()), 0);
    EXPECT_EQ(err().rfind("le_render_kp_crop: ", 0), 0u) << err();
    EXPECT_EQ(le_render_drive_rgba(ctx.p, 0, out.data(), out.size()), 0);
    EXPECT_EQ(err().rfind("le_render_kp_crop: ", 0), 0u) << err();
    for (uint8_t v : out) ASSERT_EQ(v, 0xAB);
    EXPECT_EQ(le_paste_last(ctx.p, 0), nullptr);
    EXPECT_EQ(err(), "le_paste_last: bad args / no prior render");
  }
  {
    Ctx ctx(le_create(bundle.c_str(), "absent", 4, nullptr));
    ASSERT_NE(ctx.p, nullptr) << err();
    testing::internal::CaptureStderr();
    EXPECT_EQ(le_render_kp_crop(ctx.p, 0, kp, kp), nullptr);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.find("director intra-op"), std::string::npos) << log;
  }
}

TEST(SessionRender, AutomaticThreadsLogTheIntraOpChoiceOnce) {
  TempDir t;
  const std::string bundle = writeBundle(t, {"rawPrior", "pooled,P", false});
  Ctx ctx(le_create(bundle.c_str(), "plain", 0, nullptr));
  ASSERT_NE(ctx.p, nullptr) << err();
  testing::internal::CaptureStderr();
  ASSERT_NE(le_render_drive_crop(ctx.p, 0), nullptr) << err();
  ASSERT_NE(le_render_drive_crop(ctx.p, 1), nullptr) << err();
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(test::countOf(log, "[le] director intra-op "), 1) << log;
}

}  // namespace
}  // namespace le
