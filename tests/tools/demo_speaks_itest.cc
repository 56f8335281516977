// The demo identity speaks: its audio models move only the mouth rows, with
// the voiced energy of espeak-ng speech, and the live pipeline on the demo
// bundle serves driver frames before the speech and opens the drawn mouth on
// voiced stretches, not in the pause between sentences.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "le/driver/source.h"
#include "le/le.h"
#include "le/le_a2x.h"
#include "le/le_fca.h"
#include "le/le_utt.h"
#include "tools/demo_fixture.h"

namespace le::test {
namespace {

using namespace std::chrono_literals;

constexpr int kLeftCorner = 17, kUpperLip = 18, kRightCorner = 19, kLowerLip = 20, kChin = 16;
constexpr int kFrameSamples = 640;

std::string resolvedDemo() {
  std::vector<char> dir(4096);
  if (le_bundle_resolve_handle(demoContainer().c_str(), dir.data(), dir.size()) != 1) return {};
  return dir.data();
}

// The s16 samples of a canonical mono WAV written by `lefix speech`.
std::vector<int16_t> readWav(const std::string& path) {
  const std::string b = readFile(path);
  EXPECT_GE(b.size(), 12u);
  if (b.size() < 12 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0) return {};
  size_t cur = 12;
  while (b.size() - cur >= 8) {
    uint32_t len = 0;
    std::memcpy(&len, b.data() + cur + 4, 4);
    if (len > b.size() - cur - 8) break;
    if (b.compare(cur, 4, "data") == 0) {
      std::vector<int16_t> s(len / 2);
      std::memcpy(s.data(), b.data() + cur + 8, s.size() * 2);
      return s;
    }
    cur += 8 + len + (len & 1);
  }
  ADD_FAILURE() << "no data chunk in " << path;
  return {};
}

// Two sentences with 0.6 s of digital silence between them (about 2.4 s).
std::vector<int16_t> twoSentences(const TempDir& t) {
  const std::string wav = t / "speech.wav";
  EXPECT_EQ(runFixture({"speech", "--out", wav, "--text", "Hello there.", "--text", "I open my mouth wide.",
                        "--gap", "0.6"}),
            0);
  return readWav(wav);
}

// RMS of each 640-sample frame (the last one zero-padded), in s16 units.
std::vector<double> frameRms(const std::vector<int16_t>& s) {
  std::vector<double> out((s.size() + kFrameSamples - 1) / kFrameSamples, 0.0);
  for (size_t i = 0; i < s.size(); ++i) out[i / kFrameSamples] += double(s[i]) * s[i];
  for (double& v : out) v = std::sqrt(v / kFrameSamples);
  return out;
}

// Voiced: this frame and the one before it are loud (the face follows the
// sound with about a frame of lag). Pause: no sound within three frames.
std::vector<int> voicedFrames(const std::vector<double>& rms) {
  std::vector<int> out;
  for (size_t k = 1; k < rms.size(); ++k)
    if (rms[k] > 1500 && rms[k - 1] > 1500) out.push_back(int(k));
  return out;
}

std::vector<int> pauseFrames(const std::vector<double>& rms) {
  std::vector<int> out;
  for (int k = 3; k + 3 < int(rms.size()); ++k) {
    bool quiet = true;
    for (int j = k - 3; j <= k + 3; ++j) quiet = quiet && rms[size_t(j)] == 0;
    if (quiet) out.push_back(k);
  }
  return out;
}

std::vector<float> rawFloats(const std::string& path) {
  const std::string b = readFile(path);
  std::vector<float> v(b.size() / 4);
  std::memcpy(v.data(), b.data(), v.size() * 4);
  return v;
}

// Dark samples (luma below 60) on a 64 x 64 grid over the mouth of the pasted
// face: between the lip corners, from above the upper lip to halfway down to
// the chin, placed through the frame's paste matrix.
class MouthMeter {
 public:
  MouthMeter(const std::string& dir, int crop) : crop_(crop) {
    xs_ = rawFloats(dir + "/xs_target.bin");
    m_ = rawFloats(dir + "/M.f32");
  }
  int dark(const uint8_t* rgb, int w, int h, int driverIndex) const {
    const float* kp = xs_.data() + size_t(driverIndex) * 63;
    const float* m = m_.data() + size_t(driverIndex) * 6;
    const double x0 = kp[3 * kLeftCorner] * 0.8, x1 = kp[3 * kRightCorner] * 0.8;
    const double y0 = kp[3 * kUpperLip + 1] - 0.03, y1 = 0.5 * (kp[3 * kLowerLip + 1] + kp[3 * kChin + 1]);
    int n = 0;
    for (int j = 0; j < kGrid; ++j)
      for (int i = 0; i < kGrid; ++i) {
        const double qx = x0 + (x1 - x0) * (i + 0.5) / kGrid, qy = y0 + (y1 - y0) * (j + 0.5) / kGrid;
        double fx, fy;
        cropToFrame(m, kpToCrop(float(qx), crop_), kpToCrop(float(qy), crop_), fx, fy);
        const double luma = 0.299 * sampleRGB(rgb, w, h, fx, fy, 0) + 0.587 * sampleRGB(rgb, w, h, fx, fy, 1) +
                            0.114 * sampleRGB(rgb, w, h, fx, fy, 2);
        n += luma < 60;
      }
    return n;
  }
  size_t frames() const { return xs_.size() / 63; }

 private:
  static constexpr int kGrid = 64;
  int crop_;
  std::vector<float> xs_, m_;
};

double meanOver(const std::vector<double>& v, const std::vector<int>& at) {
  double s = 0;
  for (int k : at) s += v[size_t(k)];
  return at.empty() ? 0 : s / double(at.size());
}

// The demo bundle (resolved from its container), its own w2v model for the
// audio frontend, and two sentences of speech.
class DemoSpeech : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = resolvedDemo();
    ASSERT_FALSE(dir.empty()) << "lefix demo failed: " << le_last_error();
    w2v.emplace("W2V_ONNX", dir + "/w2v/w2v.onnx");
    pcm = twoSentences(t);
    ASSERT_GT(pcm.size(), size_t(16000));
  }

  std::string dir;
  std::optional<ScopedEnv> w2v;
  TempDir t;
  std::vector<int16_t> pcm;
};

// The whole-clip models (le-render --audio) are the demo's own too: the
// deltas move only the three mouth rows, open on voiced stretches and stay
// shut in the pause, a leading silence included.
TEST_F(DemoSpeech, WholeClipDeltasOpenOnlyTheMouthOnVoicedFrames) {
  std::vector<int16_t> lead(16000, 0);  // a second of silence first
  lead.insert(lead.end(), pcm.begin(), pcm.end());
  std::vector<float> audio(lead.size());
  for (size_t i = 0; i < lead.size(); ++i) audio[i] = lead[i] / 32768.f;
  std::unique_ptr<le_fca, void (*)(le_fca*)> fca(
      le_fca_create((dir + "/frontend.onnx").c_str(), (dir + "/fca_stream.onnx").c_str(), 1), le_fca_destroy);
  ASSERT_NE(fca, nullptr) << le_fca_last_error();
  const int total = int((audio.size() + 639) / 640);
  std::vector<float> delta(size_t(total) * 63);
  ASSERT_EQ(le_fca_deltas(fca.get(), audio.data(), int(audio.size()), delta.data(), total), total)
      << le_fca_last_error();
  const std::vector<float> xd = rawFloats(dir + "/drive/xd.f32"), xs = rawFloats(dir + "/drive/xs.f32");
  float fullDown = 0;
  for (size_t f = 0; f < xd.size() / 63; ++f)
    fullDown = std::max(fullDown, xd[f * 63 + 3 * kLowerLip + 1] - xs[f * 63 + 3 * kLowerLip + 1]);
  ASSERT_GT(fullDown, 0.f);
  std::vector<double> open(static_cast<size_t>(total));
  for (int k = 0; k < total; ++k) {
    const float* d = delta.data() + size_t(k) * 63;
    open[size_t(k)] = d[3 * kLowerLip + 1] / fullDown;
    ASSERT_GE(open[size_t(k)], -1e-6) << k;
    ASSERT_LE(open[size_t(k)], 1.0 + 1e-5) << k;
    for (int j = 0; j < 63; ++j) {
      if (j != 3 * kUpperLip + 1 && j != 3 * kLowerLip + 1 && j != 3 * kChin + 1) {
        ASSERT_EQ(d[j], 0.f) << k << " " << j;
      }
    }
    EXPECT_LE(d[3 * kUpperLip + 1], 0.f) << k;  // the upper lip goes up
  }
  const std::vector<double> rms = frameRms(lead);
  const std::vector<int> voiced = voicedFrames(rms), pause = pauseFrames(rms);
  ASSERT_GE(voiced.size(), 20u);
  ASSERT_GE(pause.size(), 20u);
  EXPECT_GT(meanOver(open, voiced), 0.5);
  for (int k : pause) EXPECT_LT(open[size_t(k)], 0.05) << "frame " << k;
}

TEST_F(DemoSpeech, DrivenRowsOpenOnlyTheMouthWithVoicedEnergy) {
  std::vector<float> audio(pcm.size());
  for (size_t i = 0; i < pcm.size(); ++i) audio[i] = pcm[i] / 32768.f;

  le_a2x* a = le_a2x_create(dir.c_str(), 1);
  ASSERT_NE(a, nullptr) << le_a2x_last_error();
  std::unique_ptr<le_a2x, void (*)(le_a2x*)> own(a, le_a2x_destroy);
  EXPECT_EQ(le_a2x_nt(a), kDemoFrames);  // the pipeline needs the bundle's NT
  ASSERT_EQ(le_a2x_push(a, audio.data(), int(audio.size())), 1);
  le_a2x_finish(a);
  const int total = le_a2x_total(a);
  ASSERT_EQ(total, int((pcm.size() + 639) / 640));
  std::vector<int> idx(size_t(total), -1);
  std::vector<float> src(size_t(total) * 63), drv(size_t(total) * 63);
  int got = 0;
  while (got < total && le_a2x_avail(a) > 0)
    got += le_a2x_pull(a, idx.data() + got, src.data() + size_t(got) * 63, drv.data() + size_t(got) * 63,
                       total - got);
  ASSERT_EQ(got, total) << le_a2x_last_error();

  // Openness per frame: the lower lip's move over the drive table's full one.
  const std::vector<float> xd = rawFloats(dir + "/drive/xd.f32"), xs = rawFloats(dir + "/drive/xs.f32");
  float fullDown = 0;
  size_t peak = 0;
  for (size_t f = 0; f < xd.size() / 63; ++f)
    if (const float down = xd[f * 63 + 3 * kLowerLip + 1] - xs[f * 63 + 3 * kLowerLip + 1]; down > fullDown)
      fullDown = down, peak = f;
  ASSERT_GT(fullDown, 0.f);
  std::vector<double> open(static_cast<size_t>(total));
  for (int k = 0; k < total; ++k) {
    const float* s = src.data() + size_t(k) * 63;
    const float* d = drv.data() + size_t(k) * 63;
    open[size_t(k)] = (d[3 * kLowerLip + 1] - s[3 * kLowerLip + 1]) / fullDown;
    ASSERT_GE(open[size_t(k)], 0.0) << k;
    ASSERT_LE(open[size_t(k)], 1.0 + 1e-5) << k;
    // Exactly the three mouth rows move, in the drive table's proportions.
    for (int j = 0; j < 63; ++j) {
      if (j == 3 * kUpperLip + 1 || j == 3 * kLowerLip + 1 || j == 3 * kChin + 1) continue;
      ASSERT_EQ(d[j], s[j]) << "frame " << k << " value " << j;
    }
    const float up = s[3 * kUpperLip + 1] - d[3 * kUpperLip + 1], chin = d[3 * kChin + 1] - s[3 * kChin + 1];
    EXPECT_NEAR(up, open[size_t(k)] * (xs[peak * 63 + 3 * kUpperLip + 1] - xd[peak * 63 + 3 * kUpperLip + 1]),
                1e-5);
    EXPECT_NEAR(chin, open[size_t(k)] * (xd[peak * 63 + 3 * kChin + 1] - xs[peak * 63 + 3 * kChin + 1]), 1e-5);
  }
  const std::vector<double> rms = frameRms(pcm);
  const std::vector<int> voiced = voicedFrames(rms), pause = pauseFrames(rms);
  ASSERT_GE(voiced.size(), 20u);
  ASSERT_GE(pause.size(), 6u);
  // Proportional, not a switch: louder voiced frames open wider on average.
  std::vector<int> soft, loud;
  for (int k : voiced) (rms[size_t(k)] < 3000 ? soft : loud).push_back(k);
  ASSERT_FALSE(soft.empty());
  ASSERT_FALSE(loud.empty());
  std::printf("openness: voiced %.3f (soft %.3f, loud %.3f), pause %.4f\n", meanOver(open, voiced),
              meanOver(open, soft), meanOver(open, loud), meanOver(open, pause));
  EXPECT_GT(meanOver(open, voiced), 0.35);
  EXPECT_LT(meanOver(open, pause), 0.02);  // closed: the target rows
  EXPECT_GT(meanOver(open, loud), meanOver(open, soft));
}

struct Ctx {
  le_ctx* p;
  ~Ctx() { le_destroy(p); }
};

TEST_F(DemoSpeech, LivePipelineIdlesThenOpensTheMouthOnVoicedFramesOnly) {
  const int speechFrames = int((pcm.size() + 639) / 640);

  Ctx ctx{le_create(demoContainer().c_str(), "demo", 2, "")};
  ASSERT_NE(ctx.p, nullptr) << le_last_error();
  const int W = le_width(ctx.p), H = le_height(ctx.p), NT = le_nt(ctx.p);
  const MouthMeter meter(dir, le_crop(ctx.p));
  ASSERT_EQ(meter.frames(), size_t(NT));

  le_utt_opts o{};
  o.motion_dir = dir.c_str();
  o.steady_model = "-";  // the demo ships one director graph
  o.gap_s = -1;          // the end mark ends the utterance
  le_utt* u = le_utt_create(ctx.p, &o);
  ASSERT_NE(u, nullptr) << le_utt_last_error();
  std::unique_ptr<le_utt, void (*)(le_utt*)> own(u, le_utt_destroy);
  int ready = 0;
  for (int i = 0; i < 3000 && (ready = le_utt_ready(u)) == 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(ready, 1) << le_utt_last_error();

  std::vector<uint8_t> rgb(size_t(W) * H * 3);
  le_utt_frame_info info{};
  auto pull = [&] {
    for (int i = 0; i < 20000; ++i) {
      if (le_utt_pull_frame(u, rgb.data(), rgb.size(), &info) == 1) return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  };

  struct Kept {
    int index;
    std::vector<uint8_t> rgb;
  };
  std::vector<Kept> before;
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(pull());
    ASSERT_EQ(info.kind, LE_UTT_IDLE);
    before.push_back({info.driver_index, rgb});
  }
  const int idleDark = meter.dark(before[0].rgb.data(), W, H, before[0].index);

  ASSERT_EQ(le_utt_push_audio(u, pcm.data(), int(pcm.size())), 1);
  le_utt_end_utterance(u);
  // Every third speech frame as PNG into this directory, to look at.
  const char* dump = std::getenv("LE_DEMO_SPEAKS_PNG");
  std::vector<double> dark(size_t(speechFrames), -1.0);
  std::vector<int> kinds;
  int lastIndex = before.back().index, spoken = 0, ramp = 0, idleAfter = 0;
  for (int n = 0; n < 400 && idleAfter < 2; ++n) {
    ASSERT_TRUE(pull()) << "no frame after " << n;
    EXPECT_EQ(info.driver_index, (lastIndex + 1) % NT) << "delivery " << info.sequence;
    lastIndex = info.driver_index;
    if (info.kind == LE_UTT_SPEECH) {
      ASSERT_EQ(info.speech_number, spoken) << "speech frames out of order";
      ASSERT_EQ(ramp, 0);
      dark[size_t(spoken++)] = meter.dark(rgb.data(), W, H, info.driver_index);
      if (dump && spoken % 3 == 1)
        writePNG(std::string(dump) + "/speech_" + std::to_string(spoken - 1) + ".png", rgb.data(), W, H);
    } else if (info.kind == LE_UTT_RAMP) {
      EXPECT_EQ(spoken, speechFrames) << "ramp before the last speech frame";
      ++ramp;
    } else if (spoken > 0) {
      EXPECT_EQ(ramp, 6);
      ++idleAfter;
    }
  }
  char msg[256] = {};
  EXPECT_EQ(le_utt_render_status(u, msg, sizeof msg, nullptr), 0) << msg;
  own.reset();
  ASSERT_EQ(spoken, speechFrames);
  ASSERT_EQ(idleAfter, 2);

  // Before the first push: the driver's own frames, byte for byte.
  for (const Kept& k : before) {
    const uint8_t* drv = le_target_frame(ctx.p, k.index);
    ASSERT_NE(drv, nullptr) << le_last_error();
    EXPECT_EQ(std::memcmp(drv, k.rgb.data(), k.rgb.size()), 0) << "idle frame at driver index " << k.index;
  }

  const std::vector<double> rms = frameRms(pcm);
  const std::vector<int> voiced = voicedFrames(rms), pause = pauseFrames(rms);
  ASSERT_GE(voiced.size(), 20u);
  ASSERT_GE(pause.size(), 6u);
  const double v = meanOver(dark, voiced), p = meanOver(dark, pause);
  std::printf("mouth dark samples: idle %d, pause %.1f, voiced %.1f\n", idleDark, p, v);
  // Measured: closed about 190 of the 4096 samples, voiced about 510.
  EXPECT_GT(v, 1.6 * p) << "pause " << p << " voiced " << v;
  EXPECT_GT(v - p, 120) << "pause " << p << " voiced " << v;
  EXPECT_LT(p, idleDark + 15) << "the mouth does not close in the pause";
}

}  // namespace
}  // namespace le::test
