// Pure rules of the a2x engine and its frontend: meta keys and their ranges,
// environment counts, readiness, the driver-index walk, positional rows,
// binary16 rounding, window normalisation, trunk positions, the GPU policy and
// the pair search; and the C family's argument checks without any model.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "le/audio/a2x.h"
#include "le/audio/frontend.h"
#include "le/le_a2x.h"
#include "testkit/testkit.h"

// onnxruntime 1.29 keeps 14 bytes from its first environment until exit,
// whatever the caller does; the leak checker of sanitizer builds skips it.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() { return "leak:libonnxruntime.so\n"; }

namespace le::audio {
namespace {

using le::test::ScopedEnv;
using le::test::TempDir;
using le::test::writeFile;

std::string refusal(const std::string& text) {
  try {
    parseMeta(text);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "accepted";
}

TEST(A2xMeta, KeysDefaultsAndLayout) {
  const A2xMeta m = parseMeta("{\"window\": 2, \"left\":\t8}");
  EXPECT_EQ(m.h, 256);
  EXPECT_EQ(m.window, 2);
  EXPECT_EQ(m.left, 8);
  EXPECT_EQ(m.layers, 6);
  EXPECT_FALSE(m.width.has_value());
  EXPECT_EQ(m.silencePrime, 0);
  // The first colon after the key counts, wherever it is.
  const A2xMeta n = parseMeta("{\"h\" \n:\n 64, \"window\": 0, \"left\": 0, \"layers\": 1, \"width\": 0}");
  EXPECT_EQ(n.h, 64);
  EXPECT_EQ(n.window, 0);
  EXPECT_EQ(n.layers, 1);
  ASSERT_TRUE(n.width.has_value());
  EXPECT_FALSE(*n.width);
  EXPECT_TRUE(*parseMeta("{\"window\":1,\"left\":1,\"width\": true}").width);
  EXPECT_TRUE(*parseMeta("{\"window\":1,\"left\":1,\"width\": 7}").width);
  EXPECT_FALSE(parseMeta("{\"window\":1,\"left\":1,\"width\": \"yes\"}").width.has_value());
}

TEST(A2xMeta, RefusesNonStreamingAndOutOfRange) {
  const std::string causal = "meta lacks causal window/left (not a streaming a2x)";
  EXPECT_EQ(refusal("{\"left\": 4}"), causal);
  EXPECT_EQ(refusal("{\"window\": 4}"), causal);
  EXPECT_EQ(refusal("{\"window\": -1, \"left\": 4}"), causal);
  EXPECT_EQ(refusal("{\"window\": 1, \"left\": -3}"), causal);
  EXPECT_EQ(refusal("{\"window\" 1, \"left\" 3}"), causal);  // no colon: the default
  EXPECT_EQ(refusal("{\"h\": 0, \"window\": 1, \"left\": 1}"), "meta h out of range");
  EXPECT_EQ(refusal("{\"h\": 4097, \"window\": 1, \"left\": 1}"), "meta h out of range");
  EXPECT_EQ(refusal("{\"h\": 99999999999999999999, \"window\": 1, \"left\": 1}"), "meta h out of range");
  EXPECT_EQ(refusal("{\"h\": 4096, \"window\": 1025, \"left\": 1}"), "meta window out of range");
  EXPECT_EQ(refusal("{\"window\": null, \"left\": 1}"), "meta window out of range");
  EXPECT_EQ(refusal("{\"window\": 1, \"left\": 1025}"), "meta left out of range");
  EXPECT_EQ(refusal("{\"window\": 1, \"left\": 1, \"layers\": 0}"), "meta layers out of range");
  EXPECT_EQ(refusal("{\"window\": 1, \"left\": 1, \"layers\": 65}"), "meta layers out of range");
  EXPECT_EQ(refusal("{\"window\": 1024, \"left\": 1024, \"layers\": 64, \"h\": 4096}"), "accepted");
}

TEST(A2xMeta, SilencePrimeIsClampedToItsWindow) {
  EXPECT_EQ(parseMeta("{\"window\":1,\"left\":1,\"silence_prime\": 24}").silencePrime, 24);
  EXPECT_EQ(parseMeta("{\"window\":1,\"left\":1,\"silence_prime\": 5000}").silencePrime, 200);
  EXPECT_EQ(parseMeta("{\"window\":1,\"left\":1,\"silence_prime\": -4}").silencePrime, 0);
  EXPECT_EQ(refusal("{\"window\":1,\"left\":1,\"silence_prime\": x}"), "meta silence_prime out of range");
}

TEST(A2xEnvCount, ParsesWithRangeChecks) {
  EXPECT_EQ(envCount(std::nullopt, 12, 1024), 12);
  EXPECT_EQ(envCount("", 12, 1024), 12);
  EXPECT_EQ(envCount("4", 12, 1024), 4);
  EXPECT_EQ(envCount("-5", 12, 1024), 0);  // negative reads as 0
  EXPECT_EQ(envCount("3x", 12, 1024), 12);
  EXPECT_EQ(envCount("abc", 12, 1024), 12);
  EXPECT_EQ(envCount("5000", 12, 200), 200);
  EXPECT_EQ(envCount("99999999999999999999999", 12, 200), 200);
}

TEST(A2xReadiness, WholeBlocksBeforeFinish) {
  // 4480 samples reach 7 frames, one short of a block: nothing usable.
  EXPECT_EQ(readiness(4480, false, 0, 0).usable, 0);
  EXPECT_EQ(readiness(4480, false, 0, 0).ready, 0);
  for (int64_t s : {4481, 5000, 5119}) {
    const Readiness r = readiness(s, false, 0, 0);
    EXPECT_EQ(r.usable, s) << s;
    EXPECT_EQ(r.covered, 8) << s;
    EXPECT_EQ(r.ready, 8) << s;
  }
  EXPECT_EQ(readiness(5120, false, 0, 0).covered, 8);
  EXPECT_EQ(readiness(5120 + 4480, false, 0, 0).covered, 8);
  EXPECT_EQ(readiness(5120 + 4481, false, 0, 0).covered, 16);
  // Hold-back: the larger of the encoder look-ahead and the frontend's.
  EXPECT_EQ(readiness(5120 * 4, false, 2, 12).ready, 32 - 12);
  EXPECT_EQ(readiness(5120 * 4, false, 14, 12).ready, 32 - 14);
  EXPECT_EQ(readiness(5120, false, 2, 12).ready, 0);
  // Finished: every frame, hold-back gone.
  EXPECT_EQ(readiness(4480, true, 2, 12).ready, 7);
  EXPECT_EQ(readiness(4481, true, 2, 12).ready, 8);
  EXPECT_EQ(readiness(0, true, 2, 12).ready, 0);
}

std::vector<int64_t> walk(int64_t start, int step, int64_t nt, bool loop, int n) {
  std::vector<int64_t> v;
  for (int k = 0; k < n; ++k) v.push_back(driverIndex(start, step, k, nt, loop));
  return v;
}

TEST(A2xDriverIndex, LoopAndBounce) {
  using V = std::vector<int64_t>;
  EXPECT_EQ(walk(0, 1, 1, false, 4), (V{0, 0, 0, 0}));
  EXPECT_EQ(walk(5, -1, 1, true, 3), (V{0, 0, 0}));
  EXPECT_EQ(walk(0, 1, 3, false, 8), (V{0, 1, 2, 1, 0, 1, 2, 1}));
  EXPECT_EQ(walk(0, 1, 3, true, 7), (V{0, 1, 2, 0, 1, 2, 0}));
  EXPECT_EQ(walk(0, -1, 3, false, 5), (V{0, 1, 2, 1, 0}));
  EXPECT_EQ(walk(0, -1, 3, true, 6), (V{0, 2, 1, 0, 2, 1}));
  EXPECT_EQ(walk(2, 1, 2, false, 4), (V{0, 1, 0, 1}));
  // Far along the walk the arithmetic stays exact.
  EXPECT_EQ(driverIndex(std::numeric_limits<int>::max(), 1, int64_t{1} << 40, 7, true),
            ((int64_t{std::numeric_limits<int>::max()} + (int64_t{1} << 40)) % 7));
}

TEST(A2xPositionRow, RepeatsOverTheSecondHalf) {
  EXPECT_EQ(positionRow(0, 10), 0);
  EXPECT_EQ(positionRow(9, 10), 9);
  EXPECT_EQ(positionRow(10, 10), 5);
  EXPECT_EQ(positionRow(14, 10), 9);
  EXPECT_EQ(positionRow(15, 10), 5);
  EXPECT_EQ(positionRow(11, 11), 5);  // P odd: half = 5, period 6
  EXPECT_EQ(positionRow(17, 11), 5);
  EXPECT_EQ(positionRow(5, 2), 1);
}

TEST(A2xFrontendMath, Binary16Rounding) {
  EXPECT_EQ(roundToHalf(1.0f), 1.0f);
  EXPECT_EQ(roundToHalf(1.0f + 1.0f / 4096), 1.0f);               // below half an ulp
  EXPECT_EQ(roundToHalf(1.0f + 3.0f / 2048), 1.0f + 2.0f / 1024);  // tie to even
  EXPECT_EQ(roundToHalf(65504.0f), 65504.0f);
  EXPECT_TRUE(std::isinf(roundToHalf(65520.0f)));
  EXPECT_TRUE(std::isinf(roundToHalf(-1e9f)));
  EXPECT_EQ(roundToHalf(1e-9f), 0.0f);
  EXPECT_EQ(roundToHalf(std::ldexp(1.0f, -24)), std::ldexp(1.0f, -24));  // smallest subnormal
}

TEST(A2xFrontendMath, WindowNormalisation) {
  std::vector<float> zeros(128000, 0.0f);
  normaliseWindow(zeros.data(), zeros.size());
  for (float v : zeros) ASSERT_EQ(v, 0.0f);
  std::vector<float> x = {1, 2, 3, 4};
  normaliseWindow(x.data(), x.size());
  const float inv = 1.0f / std::sqrt(static_cast<float>(1.25 + 1e-7));
  EXPECT_FLOAT_EQ(x[0], static_cast<float>(-1.5 * inv));
  EXPECT_FLOAT_EQ(x[3], static_cast<float>(1.5 * inv));
}

TEST(A2xFrontendMath, TrunkPositions) {
  // First window: frame f of a trunk window ending at the frame's window end.
  const int64_t e0 = (0 + 8 + 12) * 640;
  EXPECT_DOUBLE_EQ(trunkPosition(0, e0), (32000.0 - e0) / 80.0);
  EXPECT_DOUBLE_EQ(trunkPosition(7, e0), (32000.0 - e0) / 80.0 + 7 * 1598.0 / 199.0);
  // Frame 250 sits at position 150 of the window based at frame 100.
  const int64_t e = (248 + 8 + 12) * 640;
  EXPECT_DOUBLE_EQ(trunkPosition(250, e), (640.0 * 100 - (e - 32000)) / 80.0 + 150 * 1598.0 / 199.0);
  EXPECT_DOUBLE_EQ(trunkPosition(199, e), (32000.0 - e) / 80.0 + 199 * 1598.0 / 199.0);
  // Every frame of every streaming window lands inside a 399-position trunk.
  for (int64_t done = 0; done < 2000; done += 8)
    for (int64_t r = 0; r < 8; ++r) {
      const double p = trunkPosition(done + r, (done + 8 + 12) * 640);
      ASSERT_GE(p, 0.0) << done + r;
      ASSERT_LT(p, 399.0) << done + r;
    }
}

TEST(A2xGpuPolicy, OnlyExactOneAndTheFrontendTag) {
  EXPECT_TRUE(cudaWanted("1", "w2v"));
  EXPECT_FALSE(cudaWanted("1", "enc/dec"));
  EXPECT_FALSE(cudaWanted("true", "w2v"));
  EXPECT_FALSE(cudaWanted("11", "w2v"));
  EXPECT_FALSE(cudaWanted(nullptr, "w2v"));
  EXPECT_EQ(cudaMemMiB(nullptr), 3072u);
  EXPECT_EQ(cudaMemMiB("0"), 3072u);
  EXPECT_EQ(cudaMemMiB("garbage"), 3072u);
  EXPECT_EQ(cudaMemMiB("512x"), 3072u);
  EXPECT_EQ(cudaMemMiB("99999999999999999999"), 3072u);
  EXPECT_EQ(cudaMemMiB("512"), 512u);
}

TEST(A2xGpuPolicy, MissingProviderFallsBackWithItsLine) {
  ScopedEnv cuda("LE_A2X_CUDA", "1");
  ScopedEnv mem("LE_A2X_CUDA_MEM_MIB", "512");
  {
    le::ort::Recipe r;
    applyGpuPolicy(r, "enc/dec");
    EXPECT_EQ(r.provider, le::ort::Provider::Cpu);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(le::ort::sessionOptions(r).cuda);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
  le::ort::Recipe r;
  applyGpuPolicy(r, "w2v");
  EXPECT_EQ(r.provider, le::ort::Provider::Cuda);
  EXPECT_EQ(r.cudaMemMiB, 512u);
  testing::internal::CaptureStderr();
  const bool appended = le::ort::sessionOptions(r).cuda;
  const std::string err = testing::internal::GetCapturedStderr();
  if (appended) GTEST_SKIP() << "this onnxruntime has the CUDA provider";
  EXPECT_EQ(err.rfind("[le_a2x] CUDA EP append failed (w2v): ", 0), 0u) << err;
  EXPECT_NE(err.find(" -- falling back to CPU\n"), std::string::npos) << err;
  EXPECT_EQ(le::test::countOf(err, "\n"), 1);
}

TEST(A2xGpuPolicy, GeluFloat16FailureIsRecognised) {
  EXPECT_TRUE(isGeluFloat16Failure("Could not find an implementation for Gelu(1) node with name '' of type float16"));
  EXPECT_FALSE(isGeluFloat16Failure("Gelu failed"));
  EXPECT_FALSE(isGeluFloat16Failure("float16 unsupported"));
}

TEST(A2xPairSearch, VariablesThenTheKnownNamesBesideTheModel) {
  TempDir d;
  const std::string w2v = d / "w2v.onnx";
  EXPECT_FALSE(findPair(nullptr, nullptr, w2v).has_value());
  writeFile(d / "w2v_trunk32.onnx", "t");
  EXPECT_FALSE(findPair(nullptr, nullptr, w2v).has_value());  // both or nothing
  writeFile(d / "w2v_head32.onnx", "h");
  auto p = findPair(nullptr, nullptr, w2v);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->trunk, d / "w2v_trunk32.onnx");
  writeFile(d / "audio_encoder_fp16_window_trunk.onnx", "T");
  writeFile(d / "audio_encoder_fp16_window_head.onnx", "H");
  p = findPair(nullptr, nullptr, w2v);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->head, d / "audio_encoder_fp16_window_head.onnx");
  // Only one variable set: ignored, the directory search applies.
  p = findPair("/elsewhere/t.onnx", nullptr, w2v);
  EXPECT_EQ(p->trunk, d / "audio_encoder_fp16_window_trunk.onnx");
  p = findPair("", "/elsewhere/h.onnx", w2v);
  EXPECT_EQ(p->trunk, d / "audio_encoder_fp16_window_trunk.onnx");
  p = findPair("/x/t.onnx", "/x/h.onnx", w2v);
  EXPECT_EQ(p->trunk, "/x/t.onnx");
  EXPECT_EQ(p->head, "/x/h.onnx");
  EXPECT_EQ(fileSize(d / "w2v_trunk32.onnx"), 1);
  EXPECT_EQ(fileSize(d / "missing"), -1);
}

TEST(A2xCApi, NullHandlesAndBuffersAreBadArgs) {
  float buf[63] = {};
  int idx[1] = {};
  EXPECT_EQ(le_a2x_push(nullptr, buf, 1), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_push: bad args");
  EXPECT_EQ(le_a2x_avail(nullptr), -1);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_avail: bad args");
  EXPECT_EQ(le_a2x_pull(nullptr, idx, buf, buf, 1), -1);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_pull: bad args");
  EXPECT_EQ(le_a2x_pull_wn(nullptr, idx, buf, buf, buf, 1), -1);
  EXPECT_EQ(le_a2x_total(nullptr), -1);
  EXPECT_EQ(le_a2x_finish(nullptr), 0);
  EXPECT_EQ(le_a2x_reset(nullptr, 0, 1, 1), 0);
  EXPECT_EQ(le_a2x_set_eager(nullptr, 1), 0);
  EXPECT_EQ(le_a2x_deltas(nullptr, buf, 1, buf, 1), -1);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_deltas: bad args");
  EXPECT_EQ(le_a2x_nt(nullptr), 0);
  EXPECT_EQ(le_a2x_width(nullptr), 0);
  EXPECT_STREQ(le_a2x_last_error(), "");
  le_a2x_destroy(nullptr);
  EXPECT_EQ(le_a2x_create(nullptr, 1), nullptr);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_create: bad args");
}

TEST(A2xCApi, CreateAndPreloadRefusalsBeforeAnyModel) {
  TempDir d;
  EXPECT_EQ(le_a2x_create(d.path().c_str(), 1), nullptr);
  EXPECT_EQ(std::string(le_a2x_last_error()), "le_a2x_create: a2x_meta.json missing in " + d.path());
  ScopedEnv w2v("W2V_ONNX", std::nullopt);
  EXPECT_EQ(le_a2x_preload_w2v(nullptr), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_preload_w2v: no path and $W2V_ONNX unset");
  EXPECT_EQ(le_a2x_preload_w2v(""), 0);
  EXPECT_EQ(le_a2x_preload_w2v((d / "missing.onnx").c_str()), 0);
  EXPECT_EQ(std::string(le_a2x_last_error()).rfind("le_a2x_preload_w2v: ", 0), 0u);
}

}  // namespace
}  // namespace le::audio
