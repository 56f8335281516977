// le_motion on the fixture motion directory: creation refusals, the push and
// finish rules, whole utterances (push-size invariance, index walk, rows the
// stitcher and lip factor imply), the mel features and the chunk schedule
// against numpy, eager mode and its rollback, the debug dump.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <tuple>
#include <random>
#include <string>
#include <vector>

#include "audio/long_utterance.h"
#include "le/audio/mel.h"
#include "le/audio/motion_engine.h"
#include "le/audio/motion_files.h"
#include "le/audio/motion_schedule.h"
#include "le/le.h"
#include "le/le_motion.h"
#include "testkit/testkit.h"

namespace le::motion {
namespace {

using test::readF32;
using test::writeF32;

struct Fixture {
  test::TempDir tmp;
  std::string dir = tmp / "motion", speechPath = tmp / "speech.f32";
  std::vector<float> speech;
  Fixture() {
    if (test::runFixture({"motion", "dir", "--out", dir}) != 0) std::abort();
    if (test::runFixture({"speech", "--out", speechPath, "--text", "the quick brown fox jumps over the lazy dog", "--seconds", "7"}) != 0)
      std::abort();
    speech = readF32(speechPath);
  }
};

const Fixture& fx() {
  static const auto* f = new Fixture();  // lives for the process; its directory is tiny
  return *f;
}

struct Frames { std::vector<int> idx; std::vector<float> src, drv; };

// Pushes in pieces of `piece` samples, pulling whatever is ready in between.
Frames run(le_motion* m, const std::vector<float>& audio, size_t piece) {
  Frames f;
  auto drain = [&] {
    for (int n = le_motion_avail(m); n > 0; n = le_motion_avail(m)) {
      const size_t at = f.idx.size();
      f.idx.resize(at + n), f.src.resize((at + n) * 63), f.drv.resize((at + n) * 63);
      const int got = le_motion_pull(m, f.idx.data() + at, f.src.data() + at * 63,
                                     f.drv.data() + at * 63, n);
      EXPECT_EQ(got, n) << le_motion_last_error();
      if (got != n) break;
    }
  };
  for (size_t at = 0; at < audio.size(); at += piece) {
    const size_t n = std::min(piece, audio.size() - at);
    EXPECT_EQ(le_motion_push(m, audio.data() + at, int(n)), 1);
    drain();
  }
  le_motion_finish(m);
  EXPECT_STREQ(le_motion_last_error(), "");
  drain();
  return f;
}

struct Handle {
  le_motion* m;
  explicit Handle(const std::string& dir, const char* ep = "") : m(le_motion_create(dir.c_str(), 1, ep)) {}
  ~Handle() { le_motion_destroy(m); }
};

TEST(MotionCreate, OpensTheFixtureAndRefusesBrokenDirectories) {
  {
    Handle h(fx().dir);
    ASSERT_NE(h.m, nullptr) << le_motion_last_error();
    EXPECT_EQ(std::make_tuple(le_motion_nt(h.m), le_motion_total(h.m), le_motion_avail(h.m)), std::make_tuple(12, -1, 0));
  }
  EXPECT_EQ(std::make_tuple(le_motion_create(nullptr, 1, ""), le_motion_nt(nullptr), le_motion_total(nullptr)),
            std::make_tuple(static_cast<le_motion*>(nullptr), 0, -1));
  test::TempDir d;
  const std::string info = test::readFile(fx().dir + "/ch_xs_info.bin");
  const std::vector<float> src = readF32(fx().dir + "/src_xs_info.bin");
  using Damage = std::function<void(const std::string&)>;
  const auto meta = [](const char* text) -> Damage {
    return [=](const std::string& m) { test::writeFile(m + "/meta.json", text); };
  };
  const auto scale = [&](float v) -> Damage {
    return [=](const std::string& m) {
      std::vector<float> bad = src;
      bad[kRecScale] = v;
      writeF32(m + "/src_xs_info.bin", bad);
    };
  };
  const auto fifo = [](const char* name) -> Damage {
    return [=](const std::string& m) {
      ::unlink((m + "/" + name).c_str());
      ASSERT_EQ(::mkfifo((m + "/" + name).c_str(), 0644), 0);
    };
  };
  // {damage, ep, message after "le_motion_create: " ({m}: the copy)}; each on a fresh copy.
  const std::tuple<Damage, const char*, std::string> cases[] = {
      {[](const std::string&) {}, "cuda", "le_motion: unknown ep 'cuda'"},
      {[&](const std::string& m) { test::writeFile(m + "/ch_xs_info.bin", info.substr(0, info.size() - 4)); }, "",
       "{m}/ch_xs_info.bin: 327 floats, expected 328"},
      {meta("{\"nt\": 12, \"n_src\": 11, \"n_emo\": 4, \"s_bridge\": 1}"), "", "le_motion: n_src != nt unsupported"},
      {meta("{\"nt\": 12, \"n_src\": 12, \"n_emo\": 4}"), "", "meta.json: missing s_bridge"},
      {scale(0.0f), "", "le_motion: src scale is zero/non-finite"},
      {scale(NAN), "", "le_motion: src scale is zero/non-finite"},
      // Members that are not regular files are refused at once, never waited on.
      {fifo("emo.bin"), "", "cannot open {m}/emo.bin"},
      {fifo("lmdm.onnx"), "", "cannot open {m}/lmdm.onnx"}};
  ::alarm(60);  // a blocking open of a FIFO would hang: the alarm ends the test
  int k = 0;
  for (auto [damage, ep, why] : cases) {
    const std::string m = d / ("m" + std::to_string(k++));
    ASSERT_EQ(std::system(("cp -r '" + fx().dir + "' '" + m + "'").c_str()), 0);
    damage(m);
    if (const size_t at = why.find("{m}"); at != std::string::npos) why.replace(at, 3, m);
    EXPECT_EQ(le_motion_create(m.c_str(), 1, ep), nullptr) << why;
    EXPECT_EQ(std::string(le_motion_last_error()), "le_motion_create: " + why);
  }
  ::alarm(0);
  EXPECT_EQ(le_motion_create((d / "none").c_str(), 1, ""), nullptr);
  EXPECT_EQ(std::string(le_motion_last_error()), "le_motion_create: cannot open " + d / "none/meta.json");
  EXPECT_EQ(le_motion_create(fx().dir.c_str(), 1, "coreml:ane"), nullptr);  // no CoreML provider here: onnxruntime's reason
  EXPECT_EQ(std::string(le_motion_last_error()).rfind("le_motion_create: ", 0), 0u);
}

// The calls in order on one handle: result and message after each. A refused
// push appends nothing: the total counts the four samples alone.
TEST(MotionPush, CountsNullsCarelessCallersAndFinish) {
  Handle h(fx().dir);
  ASSERT_NE(h.m, nullptr);
  const float x[4] = {0.1f, 0.2f, 0.3f, 0.4f};
  std::vector<float> inf(640, 0.1f);
  inf[639] = INFINITY;  // the last sample: the check is shared, its reach is not
  int idx = -1;
  float s[63], d[63];
  const char* const finished = "le_motion_push: bad args / already finished";
  const struct {
    std::function<int()> call;
    int result;
    const char* message;
  } steps[] = {
      {[&] { return le_motion_push(h.m, x, 0); }, 1, ""},
      {[&] { return le_motion_push(h.m, x, -1); }, 0, finished},
      {[&] { return le_motion_push(h.m, nullptr, 4); }, 0, finished},
      {[&] { return le_motion_push(nullptr, x, 4); }, 0, finished},
      {[&] { return le_motion_push(h.m, x, 4); }, 1, ""},
      {[&] { return le_motion_push(h.m, inf.data(), 640); }, 0, "le_motion_push: sample 639 is inf, not a finite value"},
      {[&] { return int(le_motion_create(fx().dir.c_str(), LE_MAX_THREADS + 1, "") != nullptr); }, 0,
       "le_motion_create: threads 257 above the limit of 256"},
      {[&] { return le_motion_finish(h.m), le_motion_total(h.m); }, 1, ""},
      {[&] { return le_motion_push(h.m, x, 4); }, 0, finished},
      {[&] { return le_motion_pull(h.m, nullptr, s, d, 1); }, 0, "le_motion_pull: bad args"},
      {[&] { return le_motion_pull(h.m, &idx, s, d, 0); }, 0, ""},
      {[&] { return le_motion_avail(h.m); }, 1, ""},
      {[&] { return le_motion_pull(h.m, &idx, s, d, 1) * 10 + idx; }, 10, ""},
      {[&] { return le_motion_avail(h.m); }, 0, ""},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    EXPECT_EQ(steps[i].call(), steps[i].result) << "step " << i;
    EXPECT_STREQ(le_motion_last_error(), steps[i].message) << "step " << i;
  }
}

// Window 75 (frames 75..79) ends 2480 samples into frame 75: 50 480 samples;
// no audio at all yields nothing.
TEST(MotionReadiness, FirstChunkWaitsForItsEightyFeatureFrames) {
  MotionEngine none(fx().dir, 1, "");
  none.finish();
  int idx;
  float s[63], d[63];
  EXPECT_EQ(std::make_tuple(none.total(), none.avail(), none.featureFrames(), none.motionRows(), none.pull(&idx, s, d, 1)),
            std::make_tuple(0, 0, 0, 0, 0));
  MotionEngine e(fx().dir, 1, "");
  e.push(fx().speech.data(), 50479);
  EXPECT_EQ(e.avail(), 0);
  EXPECT_EQ(e.featureFrames(), 75);
  e.push(fx().speech.data() + 50479, 1);
  // 80 rows generated; the last 10 wait for the next chunk's cross-fade.
  EXPECT_EQ(e.avail(), 70);
  EXPECT_EQ(e.motionRows(), 80);
}

// Push sizes change nothing; a fresh handle walks the driver from 0 with the
// target rows as sources; a driven lip value moves by the generated
// expression (dumped) times the lip factor, every other value by the
// stitcher's correction only.
TEST(MotionUtterance, FramesFollowTheGeneratedExpressionWhateverThePushSizes) {
  const auto& audio = fx().speech;
  const size_t F = (audio.size() + 639) / 640;
  Handle pieces(fx().dir);
  ASSERT_NE(pieces.m, nullptr);
  const Frames f1000 = run(pieces.m, audio, 1000);
  test::TempDir dumpDir;
  test::ScopedEnv env("LE_MOTION_DUMP", dumpDir.path());
  Handle h(fx().dir);
  const Frames f = run(h.m, audio, audio.size());
  ASSERT_EQ(f.idx.size(), F);
  EXPECT_EQ(le_motion_total(h.m), int(F));
  EXPECT_EQ(std::tie(f1000.idx, f1000.src, f1000.drv), std::tie(f.idx, f.src, f.drv));
  const std::vector<float> target = readF32(fx().dir + "/xs_target.bin"), fin = readF32(dumpDir / "final.bin");
  ASSERT_EQ(fin.size(), F * kMotionDim);
  const std::vector<float> src = readF32(fx().dir + "/src_xs_info.bin");
  const float lip = 1.2f / src[kRecScale];  // ch scale / first driver frame's scale
  const bool lips[21] = {0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 1, 0, 1, 1};
  float moved = 0;
  for (size_t k = 0; k < F; ++k) {
    ASSERT_EQ(f.idx[k], int(k % 12));
    const float scale = src[size_t(f.idx[k]) * kRecord + kRecScale];
    for (int i = 0; i < 63; ++i) {
      ASSERT_EQ(f.src[k * 63 + i], target[size_t(f.idx[k]) * 63 + i]);
      const float g = lips[i / 3] ? fin[k * kMotionDim + kSmoothDim + i] - fin[kSmoothDim + i] : 0.0f;
      const float want = scale * g * lip + (0.001f * float(i) - 0.03f);  // the fixture stitcher's correction
      ASSERT_NEAR(f.drv[k * 63 + i] - f.src[k * 63 + i], want, lips[i / 3] ? 2e-4 : 1e-5) << k << " " << i;
      moved = std::max(moved, std::fabs(scale * g * lip));
    }
  }
  EXPECT_GT(moved, 1e-3f);  // speech opens the lips
  EXPECT_EQ(readF32(dumpDir / "xdla.bin"), f.drv);
  // Clamping: final rows lie inside v_min_max, res_post is the same rows before it.
  const std::vector<float> mm = readF32(fx().dir + "/v_min_max.bin"), post = readF32(dumpDir / "res_post.bin");
  for (size_t t = 0; t < F; ++t)
    for (int c = 0; c < kMotionDim; ++c)
      ASSERT_EQ(fin[t * kMotionDim + c], std::min(mm[kMotionDim + c], std::max(mm[c], post[t * kMotionDim + c])));
}

TEST(MotionUtterance, ResetStartsANewWalkAndAFreshLipReference) {
  Handle h(fx().dir);
  ASSERT_NE(h.m, nullptr);
  std::vector<float> part(fx().speech.begin(), fx().speech.begin() + 640 * 30);
  run(h.m, part, 5000);
  le_motion_reset(h.m, 2, -1, 0);
  EXPECT_EQ(le_motion_total(h.m), -1);
  const Frames again = run(h.m, part, 5000);
  ASSERT_EQ(again.idx.size(), 30u);
  const std::vector<int> head = {2, 1, 0, 1, 2, 3, 4};
  EXPECT_EQ(std::vector<int>(again.idx.begin(), again.idx.begin() + 7), head);
  // Frame 0 of each utterance is its own lip reference: only the stitcher's
  // correction separates its driven row from its source row.
  for (int i = 0; i < 63; ++i)
    EXPECT_NEAR(again.drv[i] - again.src[i], 0.001f * float(i) - 0.03f, 1e-5);
}

TEST(MotionMelReference, LogMelMatchesNumpyAtEveryWindowPosition) {
  test::TempDir d;
  test::TempDir dumpDir;
  const auto& audio = fx().speech;
  const std::vector<int64_t> firsts = {-2000, 3000, 41360, int64_t(audio.size()) - 1000};
  std::vector<std::string> args = {"motion", "ref-mel", "--out", d / "ref.f32", "--audio",
                                   fx().speechPath, "--dir", fx().dir, "--first"};
  for (int64_t f : firsts) args.push_back(std::to_string(f));
  ASSERT_EQ(test::runFixture(args), 0);
  const std::vector<float> ref = readF32(d / "ref.f32");
  ASSERT_EQ(ref.size(), firsts.size() * 80 * 21);
  const std::vector<float> win = readF32(fx().dir + "/hubert_stft_window.bin");
  const std::vector<float> mat = readF32(fx().dir + "/hubert_stft_binmat.bin");
  std::vector<float> buf(kAnalysisLen), mel(80 * 21);
  for (size_t w = 0; w < firsts.size(); ++w) {
    fillAnalysis(audio.data(), int64_t(audio.size()), firsts[w], buf.data());
    logMel(buf.data(), win.data(), mat.data(), mel.data());
    for (int i = 0; i < 80 * 21; ++i) {
      const float r = ref[w * 80 * 21 + i];
      ASSERT_NEAR(mel[i], r, r > -12.0f ? 1e-3f : 5e-2f) << w << " " << i;
    }
  }
  // The engine's first window is the one at -2000.
  test::ScopedEnv env("LE_MOTION_DUMP", dumpDir.path());
  MotionEngine e(fx().dir, 1, "");
  e.push(audio.data(), 3000);
  e.finish();
  const std::vector<float> mel0 = readF32(dumpDir / "mel0.bin");
  ASSERT_EQ(mel0.size(), 80u * 21);
  // Only 3000 samples pushed: the window sees zeros past them, which the
  // reference at -2000 over the full audio does not; compare the frames whose
  // 512 samples end before sample 3000 (buffer 256 + 5000).
  for (int b = 0; b < 80; ++b)
    for (int i = 0; i * 320 + 512 <= 256 + 5000; ++i)
      ASSERT_NEAR(mel0[b * 21 + i], ref[b * 21 + i], ref[b * 21 + i] > -12.0f ? 1e-3f : 5e-2f);
}

TEST(MotionScheduleReference, BlendingAndSmoothingMatchNumpy) {
  test::TempDir d;
  std::mt19937 rng(3);
  std::normal_distribution<float> g(0.0f, 1.0f);
  const int K = 4;
  std::vector<float> preds(size_t(K) * kChunk * kMotionDim);
  for (float& v : preds) v = g(rng);
  writeF32(d / "preds.f32", preds);
  const int64_t frames = 80 + 70 * 3 - 17;
  ASSERT_EQ(test::runFixture({"motion", "ref-schedule", "--out", d / "ref.f32", "--preds",
                              d / "preds.f32", "--frames", std::to_string(frames)}),
            0);
  const std::vector<float> ref = readF32(d / "ref.f32");
  std::vector<float> rows;
  for (int k = 0; k < K; ++k) appendChunk(rows, preds.data() + size_t(k) * kChunk * kMotionDim);
  rows.resize(size_t(frames) * kMotionDim);
  smoothRows(rows, 0, frames);
  ASSERT_EQ(rows.size(), ref.size());
  for (size_t i = 0; i < rows.size(); ++i) ASSERT_NEAR(rows[i], ref[i], 1e-5) << i / kMotionDim;
}

TEST(MotionEager, ProvisionalFramesComeEarlyAndRollBackExactly) {
  const auto& audio = fx().speech;
  const int64_t part = 30000;  // 46 whole frames, short of the first chunk's audio
  MotionEngine plain(fx().dir, 1, "");
  plain.push(audio.data(), part);
  EXPECT_EQ(plain.avail(), 0);
  const int64_t committed = plain.featureFrames();

  MotionEngine eager(fx().dir, 1, "");
  eager.setEager(1);
  eager.push(audio.data(), part);
  EXPECT_EQ(eager.avail(), part / 640);
  EXPECT_TRUE(eager.provisional());
  EXPECT_GT(eager.featureFrames(), committed);
  EXPECT_EQ(eager.avail(), part / 640);  // no new audio: nothing recomputed
  eager.push(audio.data() + part, 1);
  // The provisional windows and chunk are gone, the feature frontier with them.
  EXPECT_FALSE(eager.provisional());
  EXPECT_EQ(std::make_pair(eager.featureFrames(), eager.motionRows()), std::make_pair(committed, int64_t(0)));
  eager.push(audio.data() + part + 1, int64_t(audio.size()) - part - 1);
  plain.push(audio.data() + part, int64_t(audio.size()) - part);
  EXPECT_GT(eager.avail(), 0);
  eager.finish();
  plain.finish();
  const int64_t F = plain.total();
  ASSERT_EQ(eager.total(), F);
  std::vector<int> ia(F), ib(F);
  std::vector<float> sa(F * 63), da(F * 63), sb(F * 63), db(F * 63);
  ASSERT_EQ(plain.pull(ia.data(), sa.data(), da.data(), F), F);
  ASSERT_EQ(eager.pull(ib.data(), sb.data(), db.data(), F), F);
  EXPECT_EQ(std::tie(ia, da), std::tie(ib, db));
}

// One long utterance, eager or not, holds only what later frames read.
TEST(MotionMemory, ALongUtteranceHoldsOnlyWhatLaterFramesRead) {
  for (const int eager : {-1, 8}) {
    SCOPED_TRACE(eager);
    MotionEngine bounded(fx().dir, 1, ""), reference(fx().dir, 1, "");
    test::longUtteranceHoldsOnlyWhatLaterFramesRead(
        bounded, reference, fx().speech, 3200, 64,
        [](MotionEngine& e, int* idx, float* src, float* drv, int n) { return e.pull(idx, src, drv, n); },
        [](const MotionEngine& e) { return e.firstHeldRow(); }, [&](MotionEngine& e) { e.setEager(eager); });
  }
}

}  // namespace
}  // namespace le::motion
