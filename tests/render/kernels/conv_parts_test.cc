// The fp16 engine's parts that need no model: weight packing and its
// refusal, block widths, the convolution over assembled inputs, the private
// pool, and availability by vector target.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cmath>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "le/render/conv_backend.h"
#include "le/render/conv_engine.h"
#include "le/runtime/half.h"
#include "le/runtime/le_simd.h"
#include "render/m4b_frames.h"
#include "testkit/simd_each.h"
#include "testkit/testkit.h"

namespace {

using le::conv::Act;
using le::conv::ConvLayer;
using le::conv::Part;
using le::half::fromFloat;
using le::half::toFloat;
using le::test::errorOf;

TEST(ConvPack, BlockWidthsCoverTheChannelsInVectorMultiples) {
  struct Case {
    int co, lanes;
    std::vector<int32_t> blocks;
  };
  const Case cases[] = {
      {96, 8, {32, 32, 32}},  {144, 8, {32, 32, 32, 32, 16}}, {22, 8, {24}},     {22, 16, {32}},
      {1, 4, {8}},            {1, 16, {16}},                   {3, 8, {8}},       {12, 8, {16}},
      {24, 16, {32}},         {48, 8, {32, 16}},               {33, 1, {32, 8}},  {192, 16, {32, 32, 32, 32, 32, 32}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(le::conv::blockWidths(c.co, c.lanes), c.blocks) << c.co << " channels, " << c.lanes << " lanes";
}

TEST(ConvPack, RefusesWrongCountsWithTheLayerMessage) {
  struct Case {
    size_t w, b;
    std::string message;
  };
  const std::string tail = " — refusing to pack (graph is not the m4b this kernel implements)";
  const Case cases[] = {
      {96 * 96 * 9 - 1, 96, "le_conv: layer s.e0.conv needs 82944 weights / 96 bias but the graph supplies 82943 / 96" + tail},
      {96 * 96 * 9, 95, "le_conv: layer s.e0.conv needs 82944 weights / 96 bias but the graph supplies 82944 / 95" + tail},
      {0, 0, "le_conv: layer s.e0.conv needs 82944 weights / 96 bias but the graph supplies 0 / 0" + tail},
  };
  for (const Case& c : cases)
    EXPECT_EQ(errorOf([&] {
                le::conv::packConv("s.e0.conv", std::vector<float>(c.w), std::vector<float>(c.b), 96, 96, 96, 3,
                                   Act::kRelu, 8);
              }),
              c.message);
}

// runConv over concatenated, pooled and upsampled sources against a direct
// double-precision convolution of the assembled input.
TEST(ConvRun, AssembledInputsEqualTheReference) {
  le::test::forEachTarget([](const char*) {
    const le::conv::Kernels& kr = le::conv::kernels();
    std::mt19937 rng(31);
    std::uniform_real_distribution<float> u(-1.f, 1.f);
    const int W = 10, H = 6, cu = 3, cp = 5, cq = 2, ci = cu + cp + cq, co = 11;
    auto halfs = [&](size_t n) {
      std::vector<uint16_t> v(n);
      for (uint16_t& h : v) h = fromFloat(u(rng));
      return v;
    };
    const std::vector<uint16_t> small = halfs(static_cast<size_t>(W / 2 + 1) * (H / 2 + 1) * cu);  // up x2
    const std::vector<uint16_t> big = halfs(static_cast<size_t>(2 * W) * (2 * H) * cp);            // pool 2 x 2
    const std::vector<uint16_t> wide = halfs(static_cast<size_t>(W + 4) * (H + 3) * cq);           // window (2, 1)
    std::vector<float> w(static_cast<size_t>(co) * ci * 9), b(co);
    for (float& v : w) v = u(rng) * 0.3f;
    for (float& v : b) v = u(rng);
    const ConvLayer L = le::conv::packConv("t", w, b, co, ci, ci, 3, Act::kRelu, kr.lanes);
    const Part parts[] = {{Part::kUp, small.data(), W / 2 + 1, cu, 2, 1, 0},
                          {Part::kPool2, big.data(), 2 * W, cp},
                          {Part::kPlain, wide.data(), W + 4, cq, 1, 2, 1}};
    auto input = [&](int y, int x, int c) -> double {
      if (y < 0 || y >= H || x < 0 || x >= W) return 0.0;
      if (c < cu) return toFloat(small[((static_cast<size_t>(y) / 2) * (W / 2 + 1) + (x + 1) / 2) * cu + c]);
      c -= cu;
      if (c < cp) {
        double s = 0;
        for (int dy = 0; dy < 2; ++dy)
          for (int dx = 0; dx < 2; ++dx) s += toFloat(big[(static_cast<size_t>(2 * y + dy) * 2 * W + 2 * x + dx) * cp + c]);
        return s / 4;
      }
      c -= cp;
      return toFloat(wide[(static_cast<size_t>(y + 1) * (W + 4) + x + 2) * cq + c]);
    };
    std::vector<uint16_t> out(static_cast<size_t>(W) * H * co, 0x7E5A);
    le::conv::Staging st;
    le::conv::runConv(kr, L, parts, 3, W, H, out.data(), 0, 4, st);  // two calls, as two bands
    le::conv::runConv(kr, L, parts, 3, W, H, out.data(), 4, H, st);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x)
        for (int o = 0; o < co; ++o) {
          double acc = b[o], mag = std::fabs(b[o]);
          for (int ky = 0; ky < 3; ++ky)
            for (int kx = 0; kx < 3; ++kx)
              for (int c = 0; c < ci; ++c) {
                const double t = input(y + ky - 1, x + kx - 1, c) *
                                 toFloat(fromFloat(w[((static_cast<size_t>(o) * ci + c) * 3 + ky) * 3 + kx]));
                acc += t;
                mag += std::fabs(t);
              }
          const double ref = std::max(acc, 0.0);
          const float got = toFloat(out[(static_cast<size_t>(y) * W + x) * co + o]);
          ASSERT_NEAR(got, ref, std::max(std::fabs(ref), 6.1e-5) / 1024 + 1e-6 * mag) << y << " " << x << " " << o;
        }
  });
}

// ---- the private pool --------------------------------------------------------------------

TEST(ConvPool, EveryJobRunsOnceOnEveryWorkerCount) {
  for (const int threads : {1, 2, 3}) {
    le::conv::Pool pool(threads);
    EXPECT_EQ(pool.size(), threads);
    for (const size_t jobs : {size_t{0}, size_t{1}, size_t{5}, size_t{64}}) {
      std::vector<std::atomic<int>> runs(jobs);
      std::atomic<int> badWorker{0};
      pool.run(jobs, [&](size_t j, int32_t w) {
        runs[j].fetch_add(1);
        if (w < 0 || w >= threads) badWorker.fetch_add(1);
      });
      for (size_t j = 0; j < jobs; ++j) EXPECT_EQ(runs[j].load(), 1) << threads << " threads, job " << j;
      EXPECT_EQ(badWorker.load(), 0);
    }
  }
}

TEST(ConvPool, AThrowingJobIsRethrownAfterEveryRunningJobEnded) {
  le::conv::Pool pool(2);
  std::atomic<int> running{0}, maxAfter{0};
  const std::string got = errorOf([&] {
    pool.run(8, [&](size_t j, int32_t) {
      running.fetch_add(1);
      if (j == 1) {
        running.fetch_sub(1);
        throw std::runtime_error("job 1 failed");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      running.fetch_sub(1);
    });
  });
  maxAfter = running.load();
  EXPECT_EQ(got, "job 1 failed");
  EXPECT_EQ(maxAfter.load(), 0);  // nothing still running when run returned
  // The pool stays usable.
  std::atomic<int> n{0};
  pool.run(4, [&](size_t, int32_t) { n.fetch_add(1); });
  EXPECT_EQ(n.load(), 4);
}

TEST(ConvPool, AFailedThreadStartJoinsTheStartedOnes) {
  int started = 0;
  std::atomic<int> served{0};
  auto spawn = [&](std::function<void()> body) {
    if (++started == 3) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread([body = std::move(body), &served] {
      served.fetch_add(1);
      body();
    });
  };
  const std::string got = errorOf([&] { le::conv::Pool pool(4, spawn); });
  EXPECT_EQ(got.rfind("le_conv: cannot start a worker thread: ", 0), 0u) << got;
  EXPECT_EQ(started, 3);
  EXPECT_EQ(served.load(), 2);  // both started threads ran and were joined
}

// ---- availability by target --------------------------------------------------------------------

TEST(ConvBackendSelect, AvailableOnlyOnTargetsWithHardwareHalfAndFma) {
  le::test::forEachTarget([](const char* name) {
    const std::string t = name;
    const bool expect = t == "AVX2" || t == "AVX3" || t == "AVX3_DL" || t.rfind("NEON", 0) == 0 || t.rfind("SVE", 0) == 0;
    EXPECT_EQ(le::ConvBackend::available(), expect) << t;
    if (!expect)
      EXPECT_EQ(errorOf([] { le::ConvBackend::create("/nonexistent/model.onnx", 1); }),
                "le_conv: fp16 NEON not supported on this CPU");
    else
      EXPECT_EQ(errorOf([] { le::ConvBackend::create("/nonexistent/model.onnx", 1); }),
                "le_conv: cannot open /nonexistent/model.onnx");
  });
}

}  // namespace

// ---- a whole render on another machine ---------------------------------------------------------

// The reference frame rendered here by the dispatched target equals the
// render of another machine (ConvEngineOrt.HostRenderForOtherMachines,
// checked there against onnxruntime) within 1e-3: scripts/check-arm64.sh
// hands the x86 render to each emulated Arm processor (NEON, SVE, SVE2)
// through LE_CONV_REFERENCE.
TEST(ConvEngineEmu, Crop256MatchesAnotherMachinesRender) {
  const char* dir = std::getenv("LE_CONV_REFERENCE");
  if (dir == nullptr || *dir == '\0') GTEST_SKIP() << "LE_CONV_REFERENCE names no reference render";
  ASSERT_TRUE(le::ConvBackend::available()) << le::simd::target();
  const std::string bytes = le::test::readFile(std::string(dir) + "/render.f32");
  std::vector<float> ref(bytes.size() / sizeof(float));
  std::memcpy(ref.data(), bytes.data(), ref.size() * sizeof(float));
  ASSERT_EQ(ref.size(), 3u * 256 * 256);
  const le::test::M4bFrames in(256, 1, 7);
  auto e = le::ConvBackend::create(std::string(dir) + "/model.onnx", 2);
  std::vector<float> out(ref.size());
  const auto pooled = in.pooledPtrs(), prior = in.priorPtrs();
  e->render(pooled.data(), prior.data(), in.ks.data(), in.kd.data(), 1, out.data());
  float worst = 0;
  for (size_t i = 0; i < out.size(); ++i) worst = std::max(worst, std::fabs(out[i] - ref[i]));
  std::printf("[ emulated ] %s: max %.3g from the reference render\n", le::simd::target(), worst);
  EXPECT_LE(worst, 1e-3f);
}
