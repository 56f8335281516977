// The live pipeline on a real session: fixture bundle, fixture director,
// lossless H.264 driver. Idle frames are the driver's own frames and the
// context is locked while a pipeline drives it (speech frames against the
// serial path: the borrow session test).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "le/le.h"
#include "le/le_utt.h"
#include "le/session/session.h"
#include "render/renderer_fixture.h"
#include "testkit/testkit.h"

namespace le::test {
namespace {

using namespace std::chrono_literals;

constexpr int kNT = 6, kW = 64, kH = 48, kCrop = 32;

std::string writeBundle(const TempDir& t) {
  const std::string dir = t / "b";
  writeSessionBundle(dir, kNT, kW, kH, kCrop);
  return dir;
}

struct Ctx {
  le_ctx* p;
  ~Ctx() { le_destroy(p); }
};

struct Pulled {
  le_utt_frame_info info;
  std::vector<uint8_t> rgb;
};

bool pullOne(le_utt* u, Pulled& f) {
  f.rgb.resize(size_t(kW) * kH * 3);
  for (int i = 0; i < 20000; ++i) {
    if (le_utt_pull_frame(u, f.rgb.data(), f.rgb.size(), &f.info) == 1) return true;
    std::this_thread::sleep_for(200us);
  }
  return false;
}

TEST(UttSession, CreateRulesIdleFramesAndTheContextLock) {
  TempDir t;
  const std::string dir = writeBundle(t);
  Ctx ctx{le_create(dir.c_str(), "plain", 2, "")};
  ASSERT_NE(ctx.p, nullptr) << le_last_error();

  le_utt_opts o{};
  EXPECT_EQ(le_utt_create(nullptr, &o), nullptr);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_create: NULL ctx/opts");
  EXPECT_EQ(le_utt_create(ctx.p, &o), nullptr);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_create: opts.motion_dir required");

  le_utt* u = le_utt_open(ctx.p, dir.c_str());
  ASSERT_NE(u, nullptr) << le_utt_last_error();
  EXPECT_EQ(le_utt_open(ctx.p, dir.c_str()), nullptr);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_create: context already drives a pipeline");
  const std::vector<float> kp(63, 0.f);
  EXPECT_EQ(le_render_kp_crop(ctx.p, 0, kp.data(), kp.data()), nullptr);
  EXPECT_STREQ(le_last_error(), "le_render_kp_crop: context in use by le_utt");
  EXPECT_EQ(le_target_frame(ctx.p, 0), nullptr);
  EXPECT_STREQ(le_last_error(), "le_target_frame: context in use by le_utt");

  // The bundle carries no audio models: the motion generator (no streaming
  // encoder here) refuses and idle frames flow on.
  int r = 0;
  for (int i = 0; i < 5000 && (r = le_utt_ready(u)) == 0; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(std::string(le_utt_last_error()).rfind("le_motion_create: ", 0), 0u) << le_utt_last_error();

  std::vector<Pulled> frames(kNT + 3);
  for (Pulled& f : frames) ASSERT_TRUE(pullOne(u, f));
  le_utt_destroy(u);

  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].info.kind, LE_UTT_IDLE);
    EXPECT_EQ(frames[i].info.driver_index, int(i % kNT));
    const uint8_t* drv = le_target_frame(ctx.p, frames[i].info.driver_index);
    ASSERT_NE(drv, nullptr) << le_last_error();
    EXPECT_EQ(std::memcmp(drv, frames[i].rgb.data(), frames[i].rgb.size()), 0) << i;
  }
  u = le_utt_open(ctx.p, dir.c_str());  // the lock went with the pipeline
  EXPECT_NE(u, nullptr) << le_utt_last_error();
  le_utt_destroy(u);
}

}  // namespace
}  // namespace le::test
