// The fp16 engine per vector target, without onnxruntime: availability, and
// a whole render against another machine's.

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "le/render/conv_backend.h"
#include "render/m4b_frames.h"
#include "testkit/simd_each.h"
#include "testkit/testkit.h"

namespace {

using le::test::errorOf;

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
  const std::vector<float> ref = le::test::readF32(std::string(dir) + "/render.f32");
  ASSERT_EQ(ref.size(), 3u * 256 * 256);
  const le::test::M4bFrames in(256, 1, le::test::kReferenceSeed);
  auto e = le::ConvBackend::create(std::string(dir) + "/model.onnx", 2);
  std::vector<float> out(ref.size());
  const auto pooled = le::test::M4bFrames::ptrs(in.pooled), prior = le::test::M4bFrames::ptrs(in.prior);
  e->render(pooled.data(), prior.data(), in.ks.data(), in.kd.data(), 1, out.data());
  float worst = 0;
  for (size_t i = 0; i < out.size(); ++i) worst = std::max(worst, std::fabs(out[i] - ref[i]));
  std::printf("[ emulated ] %s: max %.3g from the reference render\n", le::simd::target(), worst);
  EXPECT_LE(worst, 1e-3f);
}

}  // namespace
