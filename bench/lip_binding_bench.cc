// What binding the lip contour into the compose alpha costs a render, on the
// fixture director (python lefix) with the fixture bundle's lip template:
//  - Renderer::render with the contour bound against the same bundle served
//    with the graph's ellipse (crop 256 and 512, batch 1 on the hoisted path
//    and batch 4 on the plain path, 1 and 2 intra-op threads); the counter
//    lip_share_pct is the rasterising time (batch x contourF32Canvas) as a
//    share of the bound render;
//  - LipContour::contourF32Canvas alone beside its floor, a memset of the
//    canvas it rewrites.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "benchkit.h"
#include "le/bundle/identity.h"
#include "le/bundle/manifest.h"
#include "le/driver/cursor.h"
#include "le/render/le_renderer.h"
#include "le/render/renderer_impl.h"
#include "le/tessera/lip_contour.h"

namespace {

constexpr int kNT = 4;
using le::bench::sh;

struct Bundle {
  std::string dir;
  le::Manifest manifest;
  std::unique_ptr<le::Identity> identity;
};

std::unique_ptr<Bundle> makeBundle(const std::string& root, int crop) {
  auto b = std::make_unique<Bundle>();
  b->dir = root + "/b" + std::to_string(crop);
  const std::string fx = std::string("cd '") + LE_FIXTURES_DIR + "' && " + LE_PYTHON + " -m lefix ";
  const std::string c = std::to_string(crop);
  if (!sh(fx + "bundle --out '" + b->dir + "' --nt " + std::to_string(kNT) + " --crop " + c +
          " --size 64 64 --lip-template map") ||
      !sh(fx + "director --variant plain --crop " + c + " --out '" + b->dir + "/model_b1.onnx'") ||
      !sh(fx + "director --variant plain --batch 4 --crop " + c + " --out '" + b->dir + "/model_b4.onnx'"))
    return nullptr;
  le::bench::writeRandomHalfs(b->dir + "/pooled64.f16", size_t(kNT) * 65536, 1);
  le::bench::writeRandomHalfs(b->dir + "/P.f16", size_t(kNT) * 3 * crop * crop, 2);
  b->manifest = le::loadManifest(b->dir);
  b->identity = std::make_unique<le::Identity>(b->manifest, le::driver::openPriorStream);
  return b;
}

std::vector<std::unique_ptr<Bundle>> gBundles;

// A face ring with a half-open mouth at (0, 0.35): lip rows 6, 12, 14 upper,
// 17, 19, 20 lower, as the fixture template expects.
std::vector<float> mouthKeypoints(int frames) {
  std::vector<float> kp;
  for (int f = 0; f < frames; ++f) {
    for (int k = 0; k < 21; ++k) {
      const double a = 2 * M_PI * k / 21;
      kp.insert(kp.end(), {float(0.6 * std::cos(a)), float(0.7 * std::sin(a)), float(0.05 * std::cos(3 * a))});
    }
    float* row = kp.data() + size_t(f) * 63;
    const float half = 0.12f, ap = 0.02f + 0.005f * float(f);
    const int lips[6] = {6, 12, 14, 17, 19, 20};
    const float u[6] = {-half, 0, half, -half, 0, half}, v[6] = {-ap, -1.2f * ap, -ap, ap, 1.2f * ap, ap};
    for (int i = 0; i < 6; ++i) {
      row[lips[i] * 3] = u[i];
      row[lips[i] * 3 + 1] = 0.35f + v[i];
    }
  }
  return kp;
}

void render(benchmark::State& st, Bundle* b, int batch, int threads, bool bound) {
  le::Manifest m = b->manifest;
  if (!bound) m.lipTemplateJson.clear();
  le::Renderer r(m, b->identity.get(), batch == 1 ? "b1" : "b4", threads, "");
  if (r.impl().lipBound != bound) {
    st.SkipWithError("the lip binding did not come out as asked");
    return;
  }
  const std::vector<float> kd = mouthKeypoints(batch), ks = mouthKeypoints(batch);
  std::vector<int32_t> si(size_t(batch), 1);
  r.render(si.data(), ks.data(), kd.data(), batch);
  r.render(si.data(), ks.data(), kd.data(), batch);
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : st) benchmark::DoNotOptimize(r.render(si.data(), ks.data(), kd.data(), batch));
  const double renderMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() /
      double(st.iterations());
  st.counters["ms_per_frame"] = renderMs / batch;
  if (!bound) return;
  // The rasterising alone, on the renderer's own contour and canvas.
  le::Renderer::Impl& impl = r.impl();
  const int reps = 200;
  const auto t1 = std::chrono::steady_clock::now();
  for (int i = 0; i < reps; ++i)
    for (int f = 0; f < batch; ++f)
      impl.lipContour->contourF32Canvas(kd.data() + size_t(f) * 63, impl.lipCanvas.data() + size_t(f) * m.crop * m.crop);
  const double lipMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t1).count() / reps;
  st.counters["lip_share_pct"] = 100.0 * lipMs / renderMs;
}

void contourCanvas(benchmark::State& st, Bundle* b) {
  const le::tessera::LipContour c = le::tessera::LipContour::fromTemplateJson(b->manifest.lipTemplateJson, b->manifest.crop);
  const std::vector<float> kd = mouthKeypoints(1);
  std::vector<float> canvas(size_t(b->manifest.crop) * b->manifest.crop);
  for (auto _ : st) {
    c.contourF32Canvas(kd.data(), canvas.data());
    benchmark::DoNotOptimize(canvas.data());
  }
}

void memsetFloor(benchmark::State& st, int crop) {
  std::vector<float> canvas(size_t(crop) * crop, 1.f);
  for (auto _ : st) {
    std::memset(canvas.data(), 0, canvas.size() * sizeof(float));
    benchmark::DoNotOptimize(canvas.data());
    benchmark::ClobberMemory();
  }
}

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/le-lip-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string root = tmpl;
  std::vector<le::bench::Ratio> ratios;
  const std::string rt = "/min_time:0.500/real_time";
  std::freopen("/dev/null", "a", stderr);  // the renderer's load lines
  for (int crop : {256, 512}) {
    auto b = makeBundle(root, crop);
    if (!b) return 1;
    gBundles.push_back(std::move(b));
    Bundle* bp = gBundles.back().get();
    const std::string c = "/" + std::to_string(crop);
    for (int batch : {1, 4})
      for (int threads : {1, 2}) {
        const std::string tail = c + "/b" + std::to_string(batch) + "/t" + std::to_string(threads);
        for (bool bound : {true, false})
          benchmark::RegisterBenchmark(((bound ? "BM_render_lip" : "BM_render_ellipse") + tail).c_str(), render, bp,
                                       batch, threads, bound)
              ->Unit(benchmark::kMillisecond)->MinTime(0.5)->UseRealTime();
        ratios.push_back({"BM_render_lip" + tail + rt, "BM_render_ellipse" + tail + rt});
      }
    benchmark::RegisterBenchmark(("BM_contourF32Canvas" + c).c_str(), contourCanvas, bp)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("BM_floor_memset_canvas" + c).c_str(), memsetFloor, crop)->Unit(benchmark::kMicrosecond);
    ratios.push_back({"BM_contourF32Canvas" + c, "BM_floor_memset_canvas" + c});
  }
  const int rc = le::bench::runAndReport(argc, argv, ratios);
  gBundles.clear();
  (void)std::system(("rm -rf '" + root + "'").c_str());
  return rc;
}
