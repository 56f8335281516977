// The live pipeline on a real session: fixture bundle, fixture director,
// lossless H.264 driver. Idle frames are the driver's own frames; speech
// frames are exactly what le_render_kp_rgba renders for the same rows; the
// context is locked while a pipeline drives it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "le/le.h"
#include "le/le_utt.h"
#include "le/pipeline/session_bind.h"
#include "le/pipeline/utt_handle.h"
#include "le/session/session.h"
#include "pipeline/row_engine.h"
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

std::vector<float> targetRows(const std::string& dir) {
  const std::string b = readFile(dir + "/xs_target.bin");
  std::vector<float> rows(b.size() / 4);
  std::memcpy(rows.data(), b.data(), rows.size() * 4);
  return rows;
}

constexpr float kMove = 0.03f;


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

TEST(UttSession, SpeechFramesAreWhatTheSerialPathRenders) {
  for (int pipe : {0, 1}) {
    TempDir t;
    const std::string dir = writeBundle(t);
    Ctx ctx{le_create(dir.c_str(), "plain", 2, "")};
    ASSERT_NE(ctx.p, nullptr) << le_last_error();
    const std::vector<float> xs = targetRows(dir);
    ASSERT_EQ(xs.size(), size_t(kNT) * 63);

    utt::Options o;
    o.motionDir = dir.c_str();
    o.steadyModel = "-";
    o.gapS = -1;
    utt::Settings s = utt::resolveSettings(o, 2, [](const char*) -> std::optional<std::string> { return std::nullopt; });
    s.pipelinePaste = pipe;
    auto u = std::make_unique<le_utt>();
    utt::Stages st = utt::bindSession(*ctx.p, s, *u);
    EXPECT_EQ(st.xsTarget, xs);
    st.makeEngine = [&xs] { return std::make_unique<RowEngine>(xs, kNT, kMove); };
    u->pipeline = std::make_unique<utt::Pipeline>(std::move(st), std::move(s));
    for (int i = 0; i < 5000 && le_utt_ready(u.get()) == 0; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(le_utt_ready(u.get()), 1) << le_utt_last_error();

    std::vector<int16_t> audio(640 * 8, 300);
    le_utt_push_audio(u.get(), audio.data(), int(audio.size()));
    le_utt_end_utterance(u.get());
    std::vector<Pulled> speech, ramp;
    Pulled f;
    while (ramp.size() < 6 && pullOne(u.get(), f)) {
      if (f.info.kind == LE_UTT_SPEECH) speech.push_back(f);
      if (f.info.kind == LE_UTT_RAMP) ramp.push_back(f);
    }
    char msg[256] = {};
    EXPECT_EQ(le_utt_render_status(u.get(), msg, sizeof msg, nullptr), 0) << msg;
    u.reset();
    ASSERT_EQ(speech.size(), 8u);
    ASSERT_EQ(ramp.size(), 6u);

    std::vector<uint8_t> rgba(size_t(kW) * kH * 4);
    auto expectSame = [&](const Pulled& p, const float* ks, const float* kd) {
      const int si = p.info.driver_index;
      ASSERT_EQ(le_render_kp_rgba(ctx.p, si, ks, kd, rgba.data(), rgba.size()), 1) << le_last_error();
      size_t diff = 0;
      for (size_t k = 0; k < size_t(kW) * kH; ++k)
        for (int c = 0; c < 3; ++c) diff += rgba[k * 4 + size_t(c)] != p.rgb[k * 3 + size_t(c)];
      EXPECT_EQ(diff, 0u) << "frame " << p.info.sequence << " kind " << p.info.kind;
    };
    std::vector<float> kd(63);
    for (const Pulled& p : speech) {
      const float* row = xs.data() + size_t(p.info.driver_index) * 63;
      for (int j = 0; j < 63; ++j) kd[size_t(j)] = row[j] + kMove;
      expectSame(p, row, kd.data());
    }
    // The last ramp frame renders the pure target row.
    const Pulled& last = ramp.back();
    const float* row = xs.data() + size_t(last.info.driver_index) * 63;
    expectSame(last, row, row);
  }
}

}  // namespace
}  // namespace le::test
