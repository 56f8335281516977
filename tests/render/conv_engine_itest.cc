// The fp16 engine against onnxruntime on the fixture m4b directors: the
// output and every stage, batches, threads, and the refusals of the loader.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "le/render/conv_backend.h"
#include "le/render/conv_engine.h"
#include "render/m4b_fixture.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using test::Diff;
using test::M4bFrames;

constexpr float kMaxTol = 2e-2f, kMeanTol = 2e-3f;

std::unique_ptr<ConvBackend> engineOf(const std::string& model, int threads = 1) {
  return ConvBackend::create(model, threads);
}

std::vector<float> renderAll(ConvBackend& e, const M4bFrames& in, int f0, int n) {
  const size_t per = 3 * static_cast<size_t>(in.crop) * in.crop;
  std::vector<float> out(per * static_cast<size_t>(n));
  const auto pooled = in.pooledPtrs(), prior = in.priorPtrs();
  e.render(pooled.data() + f0, prior.data() + f0, in.ks.data() + f0 * 63, in.kd.data() + f0 * 63, n, out.data());
  return out;
}

TEST(ConvEngineOrt, Crop256Batch1) {
  const std::string model = test::m4bModel("plain", 256, 1, true);
  M4bFrames in(256, 2, 3);
  auto e = engineOf(model);
  for (int f = 0; f < 2; ++f) {
    const std::vector<float> got = renderAll(*e, in, f, 1);
    const test::Tensors ref = test::ortRun(model, in, f, 1);
    const std::vector<float>& rgb = ref.at("rgb").second;
    const Diff d = test::diffOf(got.data(), rgb.data(), got.size());
    std::printf("frame %d: max %g mean %g\n", f, d.max, d.mean);
    {
      int zero = 0, one = 0; double sum = 0, sq = 0;
      for (float v : rgb) { zero += v == 0.f; one += v == 1.f; sum += v; sq += v * v; }
      const double m = sum / rgb.size();
      std::printf("rgb: %zu values, %d zero, %d one, mean %g sd %g\n", rgb.size(), zero, one, m, std::sqrt(sq / rgb.size() - m * m));
      for (const char* st : {"warped", "refined", "tile3_conv", "grid_add", "w64", "basisimg", "occ_sig"}) {
        auto it = ref.find(st);
        if (it == ref.end()) continue;
        double s2 = 0, q2 = 0; for (float v : it->second.second) { s2 += v; q2 += v * v; }
        const double m2 = s2 / it->second.second.size();
        std::printf("%s mean %g sd %g\n", st, m2, std::sqrt(q2 / it->second.second.size() - m2 * m2));
      }
    }
    EXPECT_LE(d.max, kMaxTol);
    EXPECT_LE(d.mean, kMeanTol);
  }
}

}  // namespace
}  // namespace le
#include <chrono>
namespace le { namespace {
TEST(ConvEngineTmp, Timing) {
  for (int threads : {1, 2}) {
    const std::string model = test::m4bModel("plain", 256, 1);
    M4bFrames in(256, 1, 3);
    auto e = engineOf(model, threads);
    renderAll(*e, in, 0, 1);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) renderAll(*e, in, 0, 1);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / 5;
    auto* eng = static_cast<conv::Engine*>(e.get());
    auto ph = eng->lastPhaseMs();
    std::printf("engine threads %d: %.1f ms (A %.1f basis %.1f B %.1f) target %s\n", threads, ms, ph[0], ph[1], ph[2], eng->kernels().target);
    const std::string bytes = test::readFile(model);
    Ort::Session s = test::sessionOf(GsBytes(bytes.begin(), bytes.end()), threads);
    test::Feeds feeds(1, 1);
    test::runAll(s, feeds);
    t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) test::runAll(s, feeds);
    ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / 5;
    std::printf("ort threads %d: %.1f ms\n", threads, ms);
  }
}
}}
