// The Renderer with the fp16 engine: when it is chosen, every way it is not
// (with the exact lines and refusals), a played prior copied per frame, and
// the C interface's choice of it.

#include <tuple>

#include "le/render/conv_backend.h"
#include "le/render/conv_kernels.h"
#include "render/m4b_fixture.h"
#include "render/renderer_fixture.h"
#include "testkit/simd_each.h"

namespace le {
namespace {

using test::ScopedEnv;
using test::TempDir;

// An m4b bundle around a cached fixture director (of modelCrop, else crop),
// written on first use and kept for this test process.
std::string m4bBundle(int crop, int batch, const std::string& extra = "", int modelCrop = 0) {
  static std::map<std::tuple<int, int, std::string, int>, std::unique_ptr<TempDir>> made;
  std::unique_ptr<TempDir>& d = made[{crop, batch, extra, modelCrop}];
  if (!d) {
    d = std::make_unique<TempDir>();
    std::vector<std::string> args{"m4b", "--bundle", "--out", d->path(), "--crop", std::to_string(crop), "--batch",
                                  std::to_string(batch), "--nt", "6", "--model",
                                  test::m4bModel("plain", modelCrop ? modelCrop : crop, batch)};
    if (!extra.empty()) args.push_back(extra);
    EXPECT_EQ(test::runFixture(args), 0);
  }
  return d->path();
}
std::string raw256() { return m4bBundle(256, 1); }

using test::Loaded;

// The fp16 engine's fixture director is model_m4b.onnx.
Loaded load(const std::string& dir, const std::string& ep) { return test::load(dir, "m4b", ep); }

// ---- the choice -----------------------------------------------------------------

TEST(RendererConv, RequestsChooseTheEngineAndNothingElseDoes) {
  // {ep, LE_CONV_BACKEND, the engine serves}
  const std::tuple<const char*, std::optional<std::string>, bool> cases[] = {
      {"neon", std::nullopt, true}, {"", "neon", true},  {"neon", "ort", true}, {"", std::nullopt, false},
      {"", "NEON", false},          {"", "neon ", false}, {"", "", false}};
  for (const auto& [ep, var, engine] : cases) {
    SCOPED_TRACE(std::string("ep '") + ep + "' LE_CONV_BACKEND " + (var ? "'" + *var + "'" : "unset"));
    ScopedEnv env("LE_CONV_BACKEND", var);
    Loaded l = load(raw256(), ep);
    EXPECT_STREQ(l.renderer->backend(), engine ? "neon" : "ort");
    EXPECT_EQ(l.renderer->ep(), engine ? "neon" : "cpu");
    EXPECT_EQ(l.renderer->batch(), 1);
    EXPECT_EQ(test::countOf(l.log, std::string("[le] director ep=neon (fp16 engine on ") + simd::target() + ")\n"), engine ? 1 : 0) << l.log;
    EXPECT_EQ(test::countOf(l.log, "[le] director ep=cpu (ORT CPU EP)\n"), engine ? 0 : 1) << l.log;
    EXPECT_EQ(test::countOf(l.log, "lip contour NOT bound"), 0) << l.log;  // no template here
  }
  // Not a request: an unknown provider stays unknown.
  EXPECT_EQ(test::errorOf([] { load(raw256(), "NEON"); }), "Renderer: unknown ep 'NEON'");
}

TEST(RendererConv, FallsBackOrRefusesWithItsLines) {
  // (A graph that is not the fused m4b: RendererLoad.NeonRequestIsServedByOnnxruntime.)
  // The manifest's crop must be the graph's.
  EXPECT_EQ(test::errorOf([] { load(m4bBundle(256, 1, "", 512), "neon"); }),
#if defined(__aarch64__)
            "le_conv: only crop=512 m4b bundles"
#else
            "le_conv: the m4b graph renders crop 512 but the manifest declares crop 256"
#endif
  );
  // A bundle that carries a lip template: the engine serves the graph as written.
  {
    Loaded l = load(m4bBundle(256, 1, "--lip-template"), "neon");
    EXPECT_STREQ(l.renderer->backend(), "neon");
    EXPECT_EQ(test::countOf(l.log, "[le] !!! lip contour NOT bound to the compose alpha (m4b): the fp16 engine serves the "
                                   "fused m4b graph as written — this session serves the graph's own ELLIPSE\n"), 1) << l.log;
  }
  // A processor target without hardware binary16 or FMA: onnxruntime serves.
  int64_t slow = 0;
  for (const int64_t bit : test::runnableTargets()) {
    const test::ScopedTargetMock mock(bit);
    if (!conv::kernels().halfFma) slow = bit;
  }
  if (slow == 0) GTEST_SKIP() << "every runnable target has hardware binary16 and FMA";
  const test::ScopedTargetMock mock(slow);
  Loaded l = load(raw256(), "neon");
  EXPECT_STREQ(l.renderer->backend(), "ort");
  EXPECT_EQ(l.renderer->ep(), "cpu");
  EXPECT_EQ(test::countOf(l.log, "[le] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n"), 1) << l.log;
}

// ---- rendering -------------------------------------------------------------------

std::vector<float> keypoints(size_t frames, uint32_t seed, bool driving) {
  test::M4bFrames f(32, static_cast<int>(frames), seed);  // only the keypoints are used
  return driving ? f.kd : f.ks;
}

// A played prior is copied once per frame of the batch: each frame of a
// batch renders exactly as it does alone.
TEST(RendererConv, APlayedPriorHasOneSlotPerFrame) {
  Loaded l = load(m4bBundle(256, 4, "--hevc"), "neon");
  ASSERT_TRUE(l.identity->hasHevcPrior());
  const std::vector<int32_t> si{1, 4, 2, 0};
  const std::vector<float> ks = keypoints(4, 3, false), kd = keypoints(4, 3, true);
  const size_t per = 3 * 256 * 256;
  const float* all = l.renderer->render(si.data(), ks.data(), kd.data(), 4);
  const std::vector<float> batch(all, all + 4 * per);
  for (size_t i = 0; i < 4; ++i) {
    const float* one = l.renderer->render(&si[i], &ks[i * 63], &kd[i * 63], 1);
    EXPECT_EQ(std::vector<float>(one, one + per), std::vector<float>(batch.begin() + i * per, batch.begin() + (i + 1) * per))
        << "frame " << i << " of the batch";
  }
}

// The C interface hands its ep to the renderer: the engine's own bits (the
// engine against onnxruntime is ConvEngineOrt's).
TEST(RendererConv, TheCInterfaceRendersWithTheEngineItAskedFor) {
  const std::vector<float> ks = keypoints(1, 4, false), kd = keypoints(1, 4, true);
  Loaded l = load(raw256(), "neon");
  const int32_t si = 2;
  const float* want = l.renderer->render(&si, ks.data(), kd.data(), 1);
  le_ctx* c = le_create(raw256().c_str(), "m4b", 1, "neon");
  const float* got = le_render_kp_crop(c, si, ks.data(), kd.data());
  ASSERT_NE(got, nullptr) << le_last_error();
  EXPECT_EQ(std::vector<float>(got, got + 3 * 256 * 256), std::vector<float>(want, want + 3 * 256 * 256));
  le_destroy(c);
}

}  // namespace
}  // namespace le
