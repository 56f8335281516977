// The audio engines' rules without models: a2x meta keys, environment
// counts, readiness, the driver-index walks, positional rows, binary16
// rounding, window normalisation, trunk positions, the GPU policy and the pair
// search; the fca quantile gate; motion meta, exact files, the mel transform,
// poses and emission, the chunk schedule; and the C families' argument checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <array>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "le/audio/a2x.h"
#include "le/audio/fca_engine.h"
#include "le/audio/frame_rows.h"
#include "le/audio/frontend.h"
#include "le/audio/mel.h"
#include "le/audio/motion_engine.h"
#include "le/audio/motion_files.h"
#include "le/audio/motion_schedule.h"
#include "le/audio/ort_graph.h"
#include "le/audio/pose.h"
#include "le/audio/quantile_gate.h"
#include "le/le_a2x.h"
#include "le/runtime/ort_env.h"
#include "testkit/testkit.h"

// onnxruntime 1.29 keeps 14 bytes from its first environment until exit,
// whatever the caller does; the leak checker of sanitizer builds skips it.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return "leak:libonnxruntime.so\n";
}

namespace le::audio {
namespace {

using test::errorOf;
using test::ScopedEnv;
using test::TempDir;
using test::writeFile;
using V = std::vector<int64_t>;

TEST(A2xMeta, KeysDefaultsRangesAndRefusals) {
  A2xMeta m = parseMeta("{\"window\": 2, \"left\":\t8}");
  EXPECT_EQ(std::make_tuple(m.h, m.window, m.left, m.layers, m.width.has_value(), m.silencePrime),
            std::make_tuple(256, 2, 8, 6, false, 0));
  m = parseMeta("{\"h\" \n:\n 64, \"window\": 0, \"left\": 0, \"layers\": 1, \"width\": 0, \"silence_prime\": 5000}");
  EXPECT_EQ(std::make_tuple(m.h, m.window, m.layers, m.width.value_or(true), m.silencePrime),
            std::make_tuple(64, 0, 1, false, 200));  // the first colon after the key; prime clamped
  const std::pair<const char*, std::optional<bool>> widths[] = {{"true", true}, {"7", true}, {"\"yes\"", std::nullopt}};
  for (const auto& [w, want] : widths)
    EXPECT_EQ(parseMeta(std::string("{\"window\":1,\"left\":1,\"width\": ") + w + "}").width, want) << w;
  EXPECT_EQ(parseMeta("{\"window\":1,\"left\":1,\"silence_prime\": -4}").silencePrime, 0);
  const std::string causal = "meta lacks causal window/left (not a streaming a2x)";
  const std::pair<const char*, std::string> refusals[] = {
      {"{\"left\": 4}", causal}, {"{\"window\": 4}", causal}, {"{\"window\": -1, \"left\": 4}", causal},
      {"{\"window\": 1, \"left\": -3}", causal}, {"{\"window\" 1, \"left\" 3}", causal},  // no colon: the default
      {"{\"h\": 0, \"window\": 1, \"left\": 1}", "meta h out of range"},
      {"{\"h\": 4097, \"window\": 1, \"left\": 1}", "meta h out of range"},
      {"{\"h\": 99999999999999999999, \"window\": 1, \"left\": 1}", "meta h out of range"},
      {"{\"h\": 4096, \"window\": 1025, \"left\": 1}", "meta window out of range"},
      {"{\"window\": null, \"left\": 1}", "meta window out of range"},
      {"{\"window\": 1, \"left\": 1025}", "meta left out of range"},
      {"{\"window\": 1, \"left\": 1, \"layers\": 0}", "meta layers out of range"},
      {"{\"window\": 1, \"left\": 1, \"layers\": 65}", "meta layers out of range"},
      {"{\"window\":1,\"left\":1,\"silence_prime\": x}", "meta silence_prime out of range"},
      {"{\"window\": 1024, \"left\": 1024, \"layers\": 64, \"h\": 4096}", "(no error)"}};
  for (const auto& [text, want] : refusals) EXPECT_EQ(errorOf([&] { parseMeta(text); }), want) << text;
  // Environment counts: whole, non-negative (negative reads 0), clamped.
  const std::tuple<std::optional<std::string>, int, int> counts[] = {
      {std::nullopt, 1024, 12}, {"", 1024, 12}, {"4", 1024, 4}, {"-5", 1024, 0}, {"3x", 1024, 12},
      {"abc", 1024, 12}, {"5000", 200, 200}, {"99999999999999999999999", 200, 200}};
  for (const auto& [text, hi, want] : counts) EXPECT_EQ(envCount(text, 12, hi), want) << text.value_or("(unset)");
}

TEST(A2xSchedule, ReadinessIndexWalksAndPositionalRows) {
  // {samples, finished, ahead, right, usable, covered, ready}: whole blocks
  // before finish, the larger hold-back subtracted; everything after it.
  const std::tuple<int64_t, bool, int64_t, int64_t, int64_t, int64_t, int64_t> rows[] = {
      {4480, false, 0, 0, 0, 0, 0},     {4481, false, 0, 0, 4481, 8, 8},  {5119, false, 0, 0, 5119, 8, 8},
      {5120, false, 0, 0, 5120, 8, 8},  {9600, false, 0, 0, 5120, 8, 8},  {9601, false, 0, 0, 9601, 16, 16},
      {20480, false, 2, 12, 20480, 32, 20}, {20480, false, 14, 12, 20480, 32, 18}, {5120, false, 2, 12, 5120, 8, 0},
      {4480, true, 2, 12, 4480, 7, 7},  {4481, true, 2, 12, 4481, 8, 8},  {0, true, 2, 12, 0, 0, 0}};
  for (const auto& [s, fin, ahead, right, usable, covered, ready] : rows) {
    const Readiness r = readiness(s, fin, ahead, right);
    EXPECT_EQ(std::make_tuple(r.usable, r.covered, r.ready), std::make_tuple(usable, covered, ready)) << s << " " << fin;
  }
  // {start, step, NT, loop, first indices}, for the a2x walk and the motion walk
  // (which clamps its start into the driver instead of folding it).
  const std::tuple<int64_t, int, int64_t, bool, V> walks[] = {
      {0, 1, 1, false, {0, 0, 0, 0}},       {5, -1, 1, true, {0, 0, 0}},      {0, 1, 3, false, {0, 1, 2, 1, 0, 1, 2, 1}},
      {0, 1, 3, true, {0, 1, 2, 0, 1, 2, 0}}, {0, -1, 3, false, {0, 1, 2, 1, 0}}, {0, -1, 3, true, {0, 2, 1, 0, 2, 1}},
      {2, 1, 2, false, {0, 1, 0, 1}}};
  for (const auto& [start, step, nt, loop, want] : walks) {
    V a2x, motion;
    motion::IndexWalk w;
    w.reset(nt, std::min(start, nt - 1), step, loop);
    for (size_t k = 0; k < want.size(); ++k) a2x.push_back(driverIndex(start, step, int64_t(k), nt, loop));
    for (size_t k = 0; k < want.size() && start < nt; ++k) motion.push_back(w.next());
    EXPECT_EQ(a2x, want) << start << " " << step << " " << nt << " " << loop;
    if (start < nt) {
      EXPECT_EQ(motion, want) << start << " " << step << " " << nt << " " << loop;
    }
  }
  EXPECT_EQ(driverIndex(std::numeric_limits<int>::max(), 1, int64_t{1} << 40, 7, true),
            (int64_t{std::numeric_limits<int>::max()} + (int64_t{1} << 40)) % 7);  // exact far along
  for (const auto& [nt, start, dir, want] : {std::tuple{5, 99, 1, V{4, 3, 2}}, {5, -7, -1, V{0, 1, 2}}}) {
    motion::IndexWalk w;
    w.reset(nt, start, dir, false);
    EXPECT_EQ((V{w.next(), w.next(), w.next()}), want) << start;
  }
  // Positional rows repeat over the table's second half.
  for (const auto& [f, p, want] : {std::tuple{0, 10, 0}, {9, 10, 9}, {10, 10, 5}, {14, 10, 9}, {15, 10, 5},
                                   {11, 11, 5}, {17, 11, 5}, {5, 2, 1}})
    EXPECT_EQ(positionRow(f, p), want) << f << " of " << p;
}

TEST(A2xFrontendMath, RoundingNormalisationAndTrunkPositions) {
  const std::pair<float, float> halves[] = {{1.0f, 1.0f}, {1.0f + 1.0f / 4096, 1.0f},
                                            {1.0f + 3.0f / 2048, 1.0f + 2.0f / 1024},  // tie to even
                                            {65504.0f, 65504.0f}, {65520.0f, INFINITY}, {-1e9f, -INFINITY},
                                            {1e-9f, 0.0f}, {std::ldexp(1.0f, -24), std::ldexp(1.0f, -24)}};
  for (const auto& [x, want] : halves) EXPECT_EQ(roundToHalf(x), want) << x;
  std::vector<float> zeros(128000, 0.0f), x = {1, 2, 3, 4};
  normaliseWindow(zeros.data(), zeros.size());
  EXPECT_TRUE(std::all_of(zeros.begin(), zeros.end(), [](float v) { return v == 0.0f; }));
  normaliseWindow(x.data(), x.size());
  const float inv = 1.0f / std::sqrt(float(1.25 + 1e-7));
  EXPECT_EQ(x, (std::vector<float>{float(-1.5 * inv), float(-0.5 * inv), float(0.5 * inv), float(1.5 * inv)}));
  // Frame f of a trunk window ending at e; past frame 199 the window base
  // moves in steps of 100 frames.
  const int64_t e0 = 20 * 640, e = 268 * 640;
  EXPECT_DOUBLE_EQ(trunkPosition(7, e0), (32000.0 - e0) / 80.0 + 7 * 1598.0 / 199.0);
  EXPECT_DOUBLE_EQ(trunkPosition(250, e), (640.0 * 100 - (e - 32000)) / 80.0 + 150 * 1598.0 / 199.0);
  EXPECT_DOUBLE_EQ(trunkPosition(199, e), (32000.0 - e) / 80.0 + 1598.0);
  EXPECT_DOUBLE_EQ(trunkPosition(200, e), (640.0 * 100 - (e - 32000)) / 80.0 + 100 * 1598.0 / 199.0);
  for (int64_t done = 0; done < 2000; done += 8)  // every streamed frame lands inside a 399-position trunk
    for (int64_t r = 0; r < 8; ++r) {
      const double p = trunkPosition(done + r, (done + 20) * 640);
      ASSERT_TRUE(p >= 0.0 && p < 399.0) << done + r << ": " << p;
    }
}

// Rows are read only while held; the front goes once it is kMinDrop long
// and no shorter than what stays, the kept rows moving with it.
TEST(A2xFrameRows, HeldFramesAndWhenTheFrontIsDropped) {
  // {frames held, drop before, base after}
  for (const auto& [end, before, base] :
       {std::tuple{600, 299, 0}, {600, 300, 300}, {300, 255, 0}, {300, 256, 256}, {300, 999, 300}}) {
    FrameRows r(2);
    r.growTo(end);
    for (int f = 0; f < end; ++f) r.row(f)[1] = float(f);
    r.dropBefore(before);
    EXPECT_EQ(std::make_pair(r.base(), r.end()), std::make_pair(int64_t(base), int64_t(end))) << end << " " << before;
    if (base < end) {
      EXPECT_EQ(r.row(base)[1], float(base)) << end << " " << before;
    }
    EXPECT_EQ(errorOf([&] { r.row(end); }), "frame " + std::to_string(end) + " is not held (frames " +
                                                 std::to_string(base) + ".." + std::to_string(end) + ")");
    EXPECT_NE(errorOf([&] { r.row(base - 1); }), "(no error)");
  }
}

TEST(A2xGpuPolicy, CudaOnlyOnExactOneForTheFrontendWithItsFallBackLine) {
  for (const auto& [env, tag, want] : {std::tuple{"1", "w2v", true}, {"1", "enc/dec", false}, {"true", "w2v", false},
                                       {"11", "w2v", false}, {static_cast<const char*>(nullptr), "w2v", false}})
    EXPECT_EQ(cudaWanted(env, tag), want) << (env ? env : "(unset)") << " " << tag;
  for (const auto& [mem, want] : {std::pair{static_cast<const char*>(nullptr), 3072u}, {"0", 3072u}, {"garbage", 3072u},
                                  {"512x", 3072u}, {"99999999999999999999", 3072u}, {"512", 512u}})
    EXPECT_EQ(cudaMemMiB(mem), want) << (mem ? mem : "(unset)");
  EXPECT_TRUE(isGeluFloat16Failure("Could not find an implementation for Gelu(1) node with name '' of type float16"));
  EXPECT_FALSE(isGeluFloat16Failure("Gelu failed") || isGeluFloat16Failure("float16 unsupported"));
  ScopedEnv cuda("LE_A2X_CUDA", "1"), mem("LE_A2X_CUDA_MEM_MIB", "512");
  ort::Recipe cpu, gpu;
  applyGpuPolicy(cpu, "enc/dec");
  applyGpuPolicy(gpu, "w2v");
  EXPECT_EQ(cpu.provider, ort::Provider::Cpu);
  EXPECT_EQ(std::make_pair(gpu.provider, gpu.cudaMemMiB), std::make_pair(ort::Provider::Cuda, uint64_t(512)));
  testing::internal::CaptureStderr();
  const bool appended = ort::sessionOptions(gpu).cuda;
  const std::string err = testing::internal::GetCapturedStderr();
  if (appended) GTEST_SKIP() << "this onnxruntime has the CUDA provider";
  EXPECT_EQ(err.rfind("[le_a2x] CUDA EP append failed (w2v): ", 0), 0u) << err;
  EXPECT_EQ(err.find(" -- falling back to CPU\n"), err.size() - 24) << err;
}

TEST(A2xPairSearch, BothVariablesThenTheKnownNamesBesideTheModel) {
  TempDir d;
  const std::string w2v = d / "w2v.onnx";
  EXPECT_FALSE(findPair(nullptr, nullptr, w2v));
  writeFile(d / "w2v_trunk32.onnx", "t");
  EXPECT_FALSE(findPair(nullptr, nullptr, w2v));  // both or nothing
  writeFile(d / "w2v_head32.onnx", "h");
  EXPECT_EQ(findPair(nullptr, nullptr, w2v)->trunk, d / "w2v_trunk32.onnx");
  writeFile(d / "audio_encoder_fp16_window_trunk.onnx", "T");
  writeFile(d / "audio_encoder_fp16_window_head.onnx", "H");
  EXPECT_EQ(findPair(nullptr, nullptr, w2v)->head, d / "audio_encoder_fp16_window_head.onnx");
  for (const auto& [t, h] : {std::pair{"/elsewhere/t.onnx", static_cast<const char*>(nullptr)}, {"", "/elsewhere/h.onnx"}})
    EXPECT_EQ(findPair(t, h, w2v)->trunk, d / "audio_encoder_fp16_window_trunk.onnx");  // one variable: ignored
  EXPECT_EQ(findPair("/x/t.onnx", "/x/h.onnx", w2v)->head, "/x/h.onnx");
  EXPECT_EQ(std::make_pair(fileSize(d / "w2v_trunk32.onnx"), fileSize(d / "missing")), std::make_pair(int64_t(1), int64_t(-1)));
}

TEST(A2xCApi, NullHandlesBadArgsAndRefusalsBeforeAnyModel) {
  float buf[63] = {};
  int idx[1] = {};
  const std::tuple<std::function<int()>, int, const char*> calls[] = {
      {[&] { return le_a2x_push(nullptr, buf, 1); }, 0, "le_a2x_push: bad args"},
      {[&] { return le_a2x_avail(nullptr); }, -1, "le_a2x_avail: bad args"},
      {[&] { return le_a2x_pull(nullptr, idx, buf, buf, 1); }, -1, "le_a2x_pull: bad args"},
      {[&] { return le_a2x_deltas(nullptr, buf, 1, buf, 1); }, -1, "le_a2x_deltas: bad args"},
      {[&] { return le_a2x_pull_wn(nullptr, idx, buf, buf, buf, 1); }, -1, "le_a2x_pull_wn: bad args"},
      {[&] { return le_a2x_total(nullptr); }, -1, "le_a2x_total: bad args"},
      {[&] { return le_a2x_finish(nullptr); }, 0, "le_a2x_finish: bad args"},
      {[&] { return le_a2x_reset(nullptr, 0, 1, 1); }, 0, "le_a2x_reset: bad args"},
      {[&] { return le_a2x_set_eager(nullptr, 1); }, 0, "le_a2x_set_eager: bad args"},
      {[&] { return le_a2x_nt(nullptr); }, 0, ""}, {[&] { return le_a2x_width(nullptr); }, 0, ""}};
  for (const auto& [call, want, msg] : calls) {
    EXPECT_EQ(call(), want) << msg;
    EXPECT_STREQ(le_a2x_last_error(), msg);
  }
  le_a2x_destroy(nullptr);
  EXPECT_EQ(le_a2x_create(nullptr, 1), nullptr);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_create: bad args");
  TempDir d;
  ScopedEnv w2v("W2V_ONNX", std::nullopt);
  EXPECT_EQ(le_a2x_preload_w2v(nullptr), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_preload_w2v: no path and $W2V_ONNX unset");
  EXPECT_EQ(le_a2x_preload_w2v(""), 0);
  EXPECT_EQ(le_a2x_preload_w2v((d / "missing.onnx").c_str()), 0);
  EXPECT_EQ(std::string(le_a2x_last_error()).rfind("le_a2x_preload_w2v: ", 0), 0u);
}

// The two-heap gate is bit-identical to sorting e(0 .. t) every frame.
TEST(FcaQuantileGate, BitIdenticalToSorting) {
  std::mt19937_64 rng(42);
  std::lognormal_distribution<double> d(0.0, 1.5);
  std::vector<std::vector<double>> inputs(3, std::vector<double>(1200));
  for (auto& e : inputs) std::generate(e.begin(), e.end(), [&] { return d(rng); });
  inputs.emplace_back(600);
  for (double& v : inputs.back()) v = double(rng() % 5);  // ties, zeros included
  inputs.emplace_back(300);
  for (int i = 0; i < 300; ++i) inputs.back()[size_t(i)] = i;
  inputs.emplace_back(inputs.back().rbegin(), inputs.back().rend());
  inputs.emplace_back(50, 0.0);
  for (const auto& e : inputs) {
    QuantileGate g;
    for (size_t t = 0; t < e.size(); ++t) {
      std::vector<double> s(e.begin(), e.begin() + ptrdiff_t(t) + 1);
      std::sort(s.begin(), s.end());
      const double q = 0.2 * double(t), lo = std::floor(q), hi = std::ceil(q);
      const double want = t <= 6 ? 0.0 : s[size_t(lo)] + (s[size_t(hi)] - s[size_t(lo)]) * (q - lo);
      const double got = g.push(e[t]);
      ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << "t=" << t << " " << got << " " << want;
    }
  }
  // The gated running mean: frames enter while their energy is above the
  // threshold; a silent frame does not.
  std::vector<float> f(9 * size_t(kFcaDim), 0.0f);
  for (int t = 0; t < 9; ++t)
    if (t != 3) f[size_t(t) * kFcaDim] = float(t + 1);
  gateAndNormalise(f, 9);
  const std::pair<int, float> rows[] = {{2, 1.0f}, {3, -2.0f}, {6, 3.0f}, {7, 8.0f - 32.0f / 7.0f}};
  for (const auto& [t, want] : rows) EXPECT_NEAR(f[size_t(t) * kFcaDim], want, 1e-5) << t;
  f[4 * size_t(kFcaDim) + 5] = NAN;
  EXPECT_EQ(errorOf([&] { gateAndNormalise(f, 9); }), "non-finite feature at frame 4");
}

TEST(MotionMeta, KeysFilesAndRefusals) {
  const motion::MotionMeta m =
      motion::parseMotionMeta("{\"nt\" : 12, \"n_src\":12,\n\"n_emo\": 3, \"s_bridge\": 0.5, \"delta_pitch\": -2.5e0}");
  EXPECT_EQ(std::make_tuple(m.nt, m.nSrc, m.nEmo, m.sBridge, m.deltaPitch), std::make_tuple(12, 12, 3, 0.5f, -2.5f));
  const std::string base = "\"n_src\":4,\"n_emo\":2,\"s_bridge\":1";
  EXPECT_EQ(motion::parseMotionMeta("\"nt\":1e6," + base).nt, 1000000);
  EXPECT_EQ(motion::parseMotionMeta("\"nt\":1," + base).deltaPitch, 0.0f);
  std::vector<std::pair<std::string, std::string>> refusals = {
      {base, "meta.json: missing nt"}, {"\"nt\":4,\"n_src\":4,\"n_emo\":2", "meta.json: missing s_bridge"},
      {"\"nt\" 4," + base, "meta.json: bad nt"},
      {"\"nt\":4,\"n_src\":4,\"n_emo\":0,\"s_bridge\":1", "meta.json: bad n_emo"},
      {"\"nt\":4,\"n_src\":4,\"n_emo\":1,\"s_bridge\":1e40", "meta.json: bad s_bridge"},
      {"\"nt\":4,\"n_src\":4,\"n_emo\":1,\"s_bridge\":1,\"delta_pitch\":x", "meta.json: bad delta_pitch"}};
  for (const char* v : {"0", "-3", "2.5", "1e7", "1000001", "nan", "inf", "\"4\"", "", "1e999"})
    refusals.emplace_back(std::string("\"nt\":") + v + "," + base, "meta.json: bad nt");
  for (const auto& [text, want] : refusals) EXPECT_EQ(errorOf([&] { motion::parseMotionMeta(text); }), want) << text;
  TempDir d;
  const std::string p = d / "t.bin";
  writeFile(p, std::string(4 * 5, '\0'));
  EXPECT_EQ(motion::readExactFloats(p, 5).size(), 5u);
  EXPECT_EQ(errorOf([&] { motion::readExactFloats(p, 6); }), p + ": 5 floats, expected 6");
  EXPECT_NE(errorOf([&] { motion::readExactFloats(p, int64_t{1} << 62); }), "(no error)");  // no overflowing read
  writeFile(p, std::string(4 * 5 + 3, '\0'));
  EXPECT_EQ(errorOf([&] { motion::readExactFloats(p, 5); }), p + ": 5 floats, expected 5");
  EXPECT_EQ(errorOf([&] { motion::readExactFloats(d / "none.bin", 1); }), "cannot open " + d / "none.bin");
  for (const auto& [ep, units] : {std::pair{"coreml", "ALL"}, {"coreml:cpu", "CPUOnly"}, {"coreml:gpu", "CPUAndGPU"},
                                  {"coreml:ane", "CPUAndNeuralEngine"}, {"coremlane", "ALL"}, {"coreml:ane:x", "ALL"}})
    EXPECT_STREQ(ort::coremlComputeUnits(motion::coremlUnitOf(ep)), units) << ep;
  // Input shapes follow the graph where it fits the values, else the fallback.
  const std::tuple<V, int64_t, V, V> shapes[] = {{{1, 80, 21}, 1680, {9}, {1, 80, 21}}, {{1, -1, 21}, 1680, {9}, {1, 80, 21}},
                                                 {{1, 21, 3}, 63, {1, 63}, {1, 21, 3}}, {{1, 64}, 63, {1, 63}, {1, 63}},
                                                 {{-1, -1}, 63, {1, 63}, {1, 63}},      {{}, 63, {1, 63}, {1, 63}}};
  for (const auto& [declared, count, fallback, want] : shapes) EXPECT_EQ(shapeFor(declared, count, fallback), want) << count;
}

TEST(MotionMel, TransformAndAnalysisBuffer) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> x(motion::kFftLen), mag(motion::kFftBins);
  for (float& v : x) v = u(rng);
  motion::magnitude512(x.data(), mag.data());
  for (int b = 0; b < motion::kFftBins; ++b) {
    double re = 0, im = 0;
    for (int n = 0; n < motion::kFftLen; ++n) {
      re += x[size_t(n)] * std::cos(-2.0 * M_PI * b * n / motion::kFftLen);
      im += x[size_t(n)] * std::sin(-2.0 * M_PI * b * n / motion::kFftLen);
    }
    ASSERT_NEAR(mag[size_t(b)], std::hypot(re, im), 1e-4 * (1.0 + std::hypot(re, im))) << b;
  }
  std::vector<float> audio(6000), buf(motion::kAnalysisLen, -1.0f);
  for (size_t i = 0; i < audio.size(); ++i) audio[i] = float(i + 1);
  const int pad = motion::kAnalysisPad;
  // {first sample, buffer index, value}: zeros before the audio and past it.
  for (const auto& [first, at, want] : {std::tuple{-2000, 0, 0.0f}, {-2000, pad + 1999, 0.0f}, {-2000, pad + 2000, 1.0f},
                                        {-2000, pad + 4479, 2480.0f}, {-2000, pad + 4480, 0.0f}, {5000, pad + 999, 6000.0f},
                                        {5000, pad + 1000, 0.0f}}) {
    motion::fillAnalysis(audio.data(), int64_t(audio.size()), first, buf.data());
    EXPECT_EQ(buf[size_t(at)], want) << first << " " << at;
  }
  motion::fillAnalysis(audio.data(), int64_t(audio.size()), 7000, buf.data());
  EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](float v) { return v == 0.0f; }));
}

// A record whose angle logits put all their mass on two bins.
std::vector<float> record(int pitchBin, float scale) {
  std::vector<float> S(motion::kRecord, 0.0f);
  for (int i = 0; i < 63; ++i) {
    S[size_t(motion::kRecExp + i)] = 0.01f * float(i % 7);
    S[size_t(motion::kRecCanon + i)] = 0.1f * float(i % 5) - 0.2f;
  }
  for (int i = 0; i < 66; ++i) {
    S[size_t(motion::kRecPitch + i)] = i == pitchBin || i == pitchBin + 1 ? 1e4f : -1e4f;
    S[size_t(motion::kRecRoll + i)] = S[size_t(motion::kRecYaw + i)] = i == 32 || i == 33 ? 1e4f : -1e4f;  // 0 degrees
  }
  S[motion::kRecScale] = scale;
  S[motion::kRecT + 0] = 0.5f, S[motion::kRecT + 1] = -0.25f, S[motion::kRecT + 2] = 9.0f;
  return S;
}

TEST(MotionPose, AnglesRotationsAndEmission) {
  std::vector<float> logits(66, 0.25f);
  EXPECT_NEAR(motion::bin66(logits.data()), 0.0, 1e-9);  // E = 32.5
  logits.assign(66, -1e4f);
  logits[40] = 0.0f;
  EXPECT_NEAR(motion::bin66(logits.data()), 22.5, 1e-9);
  logits[40] = -1e4f, logits[0] = 1e4f;  // large logits stay finite
  EXPECT_NEAR(motion::bin66(logits.data()), -97.5, 1e-9);
  const std::pair<std::array<double, 3>, std::array<double, 9>> rotations[] = {
      {{0, 0, 0}, {1, 0, 0, 0, 1, 0, 0, 0, 1}}, {{90, 0, 0}, {1, 0, 0, 0, 0, 1, 0, -1, 0}},
      {{0, 90, 0}, {0, 0, -1, 0, 1, 0, 1, 0, 0}}, {{0, 0, 90}, {0, 1, 0, -1, 0, 0, 0, 0, 1}}};
  for (const auto& [pyr, want] : rotations) {
    double R[9];
    motion::poseToR(pyr[0], pyr[1], pyr[2], R);
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(R[i], want[size_t(i)], 1e-12) << pyr[0] << pyr[1] << pyr[2] << " " << i;
  }
  // Zero pose: scale x (canonical + expression) + t (z never translated), and
  // the lip rows move by scale x g x lip.
  const bool lip[21] = {0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 1, 0, 1, 1};
  std::vector<float> S = record(32, 2.0f), g(63), g0(63, 0.0f), xs(63), xd(63);
  for (int i = 0; i < 63; ++i) g[size_t(i)] = 0.001f * float(i);
  motion::emitKeypoints(S.data(), g.data(), g0.data(), 0.5f, 0.0f, xs.data(), xd.data());
  const float t[3] = {0.5f, -0.25f, 0.0f};
  for (int i = 0; i < 63; ++i) {
    EXPECT_NEAR(xs[size_t(i)], 2.0f * (S[size_t(motion::kRecCanon + i)] + S[size_t(motion::kRecExp + i)]) + t[i % 3], 1e-5) << i;
    EXPECT_NEAR(xd[size_t(i)] - xs[size_t(i)], lip[i / 3] ? 2.0f * g[size_t(i)] * 0.5f : 0.0f, 1e-5) << i;
  }
  // 90 degrees of pitch rotates (c0, c1, c2) to (c0, -c2, c1); a delta pitch
  // of -90 turns only the driven set back.
  S = record(62, 1.0f);
  std::fill(g.begin(), g.end(), 0.0f);
  motion::emitKeypoints(S.data(), g.data(), g.data(), 1.0f, -90.0f, xs.data(), xd.data());
  for (int k = 0; k < 21; ++k) {
    const float* c = S.data() + motion::kRecCanon + 3 * k;
    const float* e = S.data() + motion::kRecExp + 3 * k;
    const float want[3] = {c[0] + e[0] + t[0], -c[2] + e[1] + t[1], c[1] + e[2]};
    for (int j = 0; j < 3; ++j) {
      EXPECT_NEAR(xs[size_t(3 * k + j)], want[j], 1e-5) << k;
      EXPECT_NEAR(xd[size_t(3 * k + j)], c[j] + e[j] + t[j], 1e-5) << k;
    }
  }
}

TEST(MotionSchedule, ChunkInputCrossFadeSmoothingAndLiveRows) {
  using namespace motion;
  std::vector<float> feat(75 * size_t(kFeatDim)), in(size_t(kChunk) * kFeatDim);
  for (int f = 0; f < 75; ++f) feat[size_t(f) * kFeatDim] = float(f);
  // {chunk, row of the chunk input, frame it repeats}: the last available frame repeats.
  for (const auto& [k, row, want] : {std::tuple{0, 74, 74.0f}, {0, 79, 74.0f}, {1, 0, 70.0f}, {1, 4, 74.0f}, {1, 79, 74.0f}}) {
    chunkInput(feat, 75, k, in.data());
    EXPECT_EQ(in[size_t(row) * kFeatDim], want) << k << " " << row;
  }
  // The cross-fade and smoothing of whole chunks are checked against numpy.
  std::vector<float> two(size_t(2) * kMotionDim, 0.0f);
  two[0] = 3.0f;
  smoothRows(two, -5, 99);  // the ends shorten the box
  EXPECT_EQ(std::make_pair(two[0], two[kMotionDim]), std::make_pair(1.5f, 1.5f));
  std::vector<float> live(size_t(3) * kMotionDim), mm(2 * size_t(kMotionDim), -100.0f), out(kMotionDim);
  for (size_t i = 0; i < live.size(); ++i) live[i] = float(i / size_t(kMotionDim) * 10);
  for (int c = 0; c < kMotionDim; ++c) mm[size_t(kMotionDim + c)] = c == 264 ? 15.0f : 100.0f;
  liveRow(live, 2, mm.data(), out.data());
  EXPECT_EQ((std::vector<float>{out[0], out[201], out[202], out[264]}), (std::vector<float>{15.0f, 15.0f, 20.0f, 15.0f}));
}

}  // namespace
}  // namespace le::audio
