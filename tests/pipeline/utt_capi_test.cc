// The le_utt_ entry points: argument checks, exact messages, text outputs.
#include <gtest/gtest.h>

#include "le/session/session.h"
#include "pipeline/utt_fakes.h"
#include "session/session_bundle.h"

namespace le::test {
namespace {

TEST(UttCapi, NullHandlesAndBadArguments) {
  EXPECT_EQ(le_utt_ready(nullptr), -1);
  int16_t s[4] = {};
  EXPECT_EQ(le_utt_push_audio(nullptr, s, 4), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_push_audio: bad args");
  le_utt_end_utterance(nullptr);
  le_utt_interrupt(nullptr);
  EXPECT_EQ(le_utt_frames_available(nullptr), 0);
  uint8_t buf[kFrameBytes];
  EXPECT_EQ(le_utt_pull_frame(nullptr, buf, sizeof buf, nullptr), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_pull_frame: bad args");
  le_utt_get_stats(nullptr, nullptr);
  le_utt_destroy(nullptr);
  EXPECT_STREQ(le_utt_last_error(), "");

  Rig rig;
  Destroy d{rig.make()};
  EXPECT_EQ(le_utt_push_audio(d.u, nullptr, 4), 0);
  EXPECT_EQ(le_utt_push_audio(d.u, s, -1), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_push_audio: bad args");
  EXPECT_EQ(le_utt_push_audio(d.u, s, 0), 1);
  EXPECT_STREQ(le_utt_last_error(), "");
  EXPECT_EQ(le_utt_pull_frame(d.u, nullptr, 100, nullptr), 0);
  le_utt_get_stats(d.u, nullptr);
}

// An engine thread count beyond the pool is refused before anything is built.
TEST(UttCapi, ThreadCountsBeyondThePoolAreRefused) {
  TempDir t;
  writeBundle(t.path(), BundleShape{});
  le_ctx* ctx = le_create(t.path().c_str(), "k", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  for (const int threads : {LE_MAX_THREADS + 1, 100000}) {
    le_utt_opts o{};
    o.motion_dir = "/nowhere";
    o.threads = threads;
    EXPECT_EQ(le_utt_create(ctx, &o), nullptr);
    EXPECT_EQ(std::string(le_utt_last_error()),
              "le_utt_create: opts.threads " + std::to_string(threads) + " above the limit of 256");
  }
  EXPECT_EQ(ctx->renderer, nullptr);  // refused before the director was built
  le_destroy(ctx);
}

TEST(UttCapi, TooSmallBufferKeepsTheFrameForTheNextCall) {
  Rig rig;
  Destroy d{rig.make()};
  for (int i = 0; i < 2000 && le_utt_frames_available(d.u) < 2; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_GE(le_utt_frames_available(d.u), 2);
  uint8_t buf[kFrameBytes];
  le_utt_frame_info info{};
  info.sequence = 99;
  EXPECT_EQ(le_utt_pull_frame(d.u, buf, sizeof buf - 1, &info), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_pull_frame: buffer too small");
  EXPECT_EQ(info.sequence, 99u);
  EXPECT_EQ(le_utt_pull_frame(d.u, buf, sizeof buf, &info), 1);
  EXPECT_EQ(info.sequence, 0u);
  EXPECT_STREQ(le_utt_last_error(), "");
  EXPECT_EQ(le_utt_pull_frame(d.u, buf, sizeof buf, nullptr), 1);  // info may be null
  le_utt_stats st{};
  le_utt_get_stats(d.u, &st);
  EXPECT_EQ(st.frames_delivered, 2u);
  EXPECT_EQ(st.speech_frames_delivered, 0u);
  EXPECT_EQ(st.state, 0);
}

TEST(UttCapi, RenderStatusTextIsTruncatedAndTerminated) {
  Rig rig;
  rig.opts.steadyModel = nullptr;
  rig.chunkThrows = true;  // "cpu warm-up: cannot open model_b24_fp32.onnx"
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  char msg[8];
  std::memset(msg, 'x', sizeof msg);
  int failures = -5;
  EXPECT_EQ(le_utt_render_status(d.u, msg, sizeof msg, &failures), 0);
  EXPECT_STREQ(msg, "cpu war");
  EXPECT_EQ(failures, 1);
  char one[1] = {'x'};
  le_utt_render_status(d.u, one, 1, nullptr);
  EXPECT_EQ(one[0], 0);
  char untouched[4] = {'a', 'b', 'c', 0};
  le_utt_render_status(d.u, untouched, 0, nullptr);
  EXPECT_STREQ(untouched, "abc");
  EXPECT_EQ(le_utt_render_status(d.u, nullptr, 10, nullptr), 0);
}

}  // namespace
}  // namespace le::test
