// The fp16 engine per vector target, without onnxruntime: convolutions over
// assembled inputs, availability, and a whole render against another
// machine's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
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

// ---- availability by target --------------------------------------------------------------------

TEST(ConvBackendSelect, AvailableOnlyOnTargetsWithHardwareHalfAndFma) {
  le::test::forEachTarget([](const char* name) {
    const std::string t = name;
    const bool expect = t == "AVX2" || t == "AVX3" || t == "AVX3_DL" || t.rfind("NEON", 0) == 0 || t.rfind("SVE", 0) == 0;
    EXPECT_EQ(le::ConvBackend::available(), expect) << t;
    EXPECT_EQ(errorOf([] { le::ConvBackend::create("/nonexistent/model.onnx", 1); }),
              expect ? "le_conv: cannot open /nonexistent/model.onnx" : "le_conv: fp16 NEON not supported on this CPU");
  });
}

// ---- a whole render on another machine ---------------------------------------------------------

// The reference frame rendered here by the dispatched target equals the
// render of another machine (ConvEngineOrt.EveryStageMatches, checked there
// against onnxruntime) within 1e-3: scripts/check-arm64.sh
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
  const le::test::M4bFrames in(256, 1, le::test::kReferenceSeed);
  auto e = le::ConvBackend::create(std::string(dir) + "/model.onnx", 2);
  std::vector<float> out(ref.size());
  const auto pooled = in.pooledPtrs(), prior = in.priorPtrs();
  e->render(pooled.data(), prior.data(), in.ks.data(), in.kd.data(), 1, out.data());
  float worst = 0;
  for (size_t i = 0; i < out.size(); ++i) worst = std::max(worst, std::fabs(out[i] - ref[i]));
  std::printf("[ emulated ] %s: max %.3g from the reference render\n", le::simd::target(), worst);
  EXPECT_LE(worst, 1e-3f);
}

}  // namespace
