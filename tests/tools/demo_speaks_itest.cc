// The demo identity speaks end to end: the live pipeline on the demo bundle
// idles before any speech, then opens the drawn mouth on voiced stretches of
// espeak-ng speech and closes it in the pause between two sentences.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "le/le.h"
#include "le/le_utt.h"
#include "tools/demo_fixture.h"
#include "tools/wav_reader.h"

namespace le::test {
namespace {

constexpr int kLeftCorner = 17, kUpperLip = 18, kRightCorner = 19, kLowerLip = 20, kChin = 16;

// Dark samples (luma below 60) on a 64 x 64 grid over the pasted mouth:
// between the lip corners, from above the upper lip to halfway to the chin.
int darkMouth(const std::vector<float>& xs, const std::vector<float>& m, int crop, const uint8_t* rgb, int w, int h,
              int index) {
  const float* kp = xs.data() + size_t(index) * 63;
  const double x0 = kp[3 * kLeftCorner] * 0.8, x1 = kp[3 * kRightCorner] * 0.8;
  const double y0 = kp[3 * kUpperLip + 1] - 0.03, y1 = 0.5 * (kp[3 * kLowerLip + 1] + kp[3 * kChin + 1]);
  int n = 0;
  for (int j = 0; j < 64; ++j)
    for (int i = 0; i < 64; ++i) {
      double fx, fy;
      cropToFrame(m.data() + size_t(index) * 6, kpToCrop(float(x0 + (x1 - x0) * (i + 0.5) / 64), crop),
                  kpToCrop(float(y0 + (y1 - y0) * (j + 0.5) / 64), crop), fx, fy);
      n += 0.299 * sampleRGB(rgb, w, h, fx, fy, 0) + 0.587 * sampleRGB(rgb, w, h, fx, fy, 1) +
               0.114 * sampleRGB(rgb, w, h, fx, fy, 2) < 60;
    }
  return n;
}

TEST(DemoSpeaks, LivePipelineIdlesThenOpensTheMouthOnVoicedFramesOnly) {
  std::vector<char> resolved(4096);
  ASSERT_EQ(le_bundle_resolve_handle(demoContainer().c_str(), resolved.data(), resolved.size()), 1) << le_last_error();
  const std::string dir = resolved.data();
  const ScopedEnv w2v("W2V_ONNX", dir + "/w2v/w2v.onnx");  // the demo's own audio frontend
  TempDir t;
  ASSERT_EQ(runFixture({"speech", "--out", t / "s.wav", "--text", "Hello there.", "--text", "I open my mouth wide.",
                        "--gap", "0.6"}),
            0);
  const std::vector<int16_t> pcm = tool::readSpeech(t / "s.wav");
  const int speechFrames = int((pcm.size() + 639) / 640);
  // Voiced: this frame and the one before it loud (the face lags about a
  // frame); pause: digital silence within three frames either side.
  std::vector<double> rms(size_t(speechFrames), 0.0);
  for (size_t i = 0; i < pcm.size(); ++i) rms[i / 640] += double(pcm[i]) * pcm[i] / 640;
  std::vector<int> voiced, pause;
  for (int k = 1; k < speechFrames; ++k) {
    if (std::sqrt(rms[size_t(k)]) > 1500 && std::sqrt(rms[size_t(k) - 1]) > 1500) voiced.push_back(k);
    bool quiet = k >= 3 && k + 3 < speechFrames;
    for (int j = k - 3; quiet && j <= k + 3; ++j) quiet = rms[size_t(j)] == 0;
    if (quiet) pause.push_back(k);
  }
  ASSERT_GE(voiced.size(), 20u);
  ASSERT_GE(pause.size(), 6u);

  std::unique_ptr<le_ctx, void (*)(le_ctx*)> ctx(le_create(demoContainer().c_str(), "demo", 2, ""), le_destroy);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  const int W = le_width(ctx.get()), H = le_height(ctx.get()), NT = le_nt(ctx.get()), crop = le_crop(ctx.get());
  const std::vector<float> xs = readF32(dir + "/xs_target.bin"), m = readF32(dir + "/M.f32");
  ASSERT_EQ(xs.size(), size_t(NT) * 63);
  le_utt_opts o{};
  o.motion_dir = dir.c_str();
  o.steady_model = "-";  // the demo ships one director graph
  o.gap_s = -1;          // the end mark ends the utterance
  std::unique_ptr<le_utt, void (*)(le_utt*)> u(le_utt_create(ctx.get(), &o), le_utt_destroy);
  ASSERT_NE(u, nullptr) << le_utt_last_error();
  ASSERT_EQ(le::test::uttReadyWithin(u.get(), 30000), 1) << le_utt_last_error();
  std::vector<uint8_t> rgb(size_t(W) * H * 3);
  le_utt_frame_info info{};
  const auto pull = [&] {
    for (int i = 0; i < 30000; ++i) {
      if (le_utt_pull_frame(u.get(), rgb.data(), rgb.size(), &info) == 1) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  };
  ASSERT_TRUE(pull());
  ASSERT_EQ(info.kind, LE_UTT_IDLE);
  const int idleDark = darkMouth(xs, m, crop, rgb.data(), W, H, info.driver_index);

  ASSERT_EQ(le_utt_push_audio(u.get(), pcm.data(), int(pcm.size())), 1);
  le_utt_end_utterance(u.get());
  std::vector<double> dark(static_cast<size_t>(speechFrames));
  int spoken = 0, ramp = 0;
  while (ramp < 6) {
    ASSERT_TRUE(pull()) << "no frame after " << spoken << " speech frames";
    if (info.kind == LE_UTT_SPEECH) {
      ASSERT_EQ(std::make_pair(info.speech_number, ramp), std::make_pair(spoken, 0));
      dark[size_t(spoken++)] = darkMouth(xs, m, crop, rgb.data(), W, H, info.driver_index);
    } else if (info.kind == LE_UTT_RAMP) {
      ASSERT_EQ(spoken, speechFrames) << "ramp before the last speech frame";
      ++ramp;
    }
  }
  char msg[256] = {};
  EXPECT_EQ(le_utt_render_status(u.get(), msg, sizeof msg, nullptr), 0) << msg;
  double v = 0, p = 0;
  for (int k : voiced) v += dark[size_t(k)] / double(voiced.size());
  for (int k : pause) p += dark[size_t(k)] / double(pause.size());
  // Measured: closed about 190 of the 4096 samples, voiced about 510.
  EXPECT_GT(v, 1.6 * p) << "pause " << p << " voiced " << v;
  EXPECT_GT(v - p, 120) << "pause " << p << " voiced " << v;
  EXPECT_LT(p, idleDark + 15) << "the mouth does not close in the pause";
}

}  // namespace
}  // namespace le::test
