// The renderer's own cost and what the source-cone hoist buys, on the fixture
// director (python lefix) with 2 intra-op threads:
//  - Renderer::render against a bare Session::Run of the same rewritten graph
//    through the renderer's own binding, inputs already in place (crop 256 and
//    512; the hoisted graph with a repeated source frame, and a graph without
//    a cone on the plain path);
//  - a sequential source walk at crop 512 with the hoist (prefetch on a spare
//    core, hit rate as a counter) against the same graph served without it:
//    the rewrites applied, every frame's prior converted and the whole graph
//    run.
// The floor is a memcpy of the bytes a frame must move.
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "benchkit.h"
#include "le/bundle/identity.h"
#include "le/bundle/manifest.h"
#include "le/driver/cursor.h"
#include "le/render/le_custom_ops.h"
#include "le/render/le_renderer.h"
#include "le/render/renderer_impl.h"
#include "le/render/rewrites.h"
#include "le/runtime/le_simd.h"
#include "le/runtime/ort_env.h"

namespace {

constexpr int kNT = 8;
constexpr int kThreads = 2;

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
  if (!sh(fx + "bundle --out '" + b->dir + "' --nt " + std::to_string(kNT) + " --crop " + c + " --size 64 64") ||
      !sh(fx + "director --variant plain --crop " + c + " --out '" + b->dir + "/model_plain.onnx'") ||
      !sh(fx + "director --variant no_cone --crop " + c + " --out '" + b->dir + "/model_no_cone.onnx'"))
    return nullptr;
  le::bench::writeRandomHalfs(b->dir + "/pooled64.f16", size_t(kNT) * 65536, 1);
  le::bench::writeRandomHalfs(b->dir + "/P.f16", size_t(kNT) * 3 * crop * crop, 2);
  b->manifest = le::loadManifest(b->dir);
  b->identity = std::make_unique<le::Identity>(b->manifest, le::driver::openPriorStream);
  return b;
}

std::vector<std::unique_ptr<Bundle>> gBundles;

struct Keys {
  std::vector<float> ks, kd;
  Keys() {
    std::mt19937 rng(4);
    std::uniform_real_distribution<float> pos(-0.6f, 0.6f), move(-0.08f, 0.08f);
    for (int i = 0; i < 63; ++i) {
      ks.push_back(pos(rng));
      kd.push_back(ks.back() + move(rng));
    }
  }
};

// Renderer::render with one source frame repeated (no prep run after the first).
void renderSame(benchmark::State& st, Bundle* b, const char* key) {
  le::Renderer r(b->manifest, b->identity.get(), key, kThreads, "");
  const Keys k;
  const int32_t si = 1;
  r.render(&si, k.ks.data(), k.kd.data(), 1);
  r.render(&si, k.ks.data(), k.kd.data(), 1);
  for (auto _ : st) benchmark::DoNotOptimize(r.render(&si, k.ks.data(), k.kd.data(), 1));
}

// The same session and binding, run bare: inputs were filled by one render.
void bareRun(benchmark::State& st, Bundle* b, const char* key) {
  le::Renderer r(b->manifest, b->identity.get(), key, kThreads, "");
  const Keys k;
  const int32_t si = 1;
  r.render(&si, k.ks.data(), k.kd.data(), 1);
  r.render(&si, k.ks.data(), k.kd.data(), 1);
  le::Renderer::Impl& m = r.impl();
  for (auto _ : st) {
    m.session->Run(m.runOptions, *m.binding);
    benchmark::DoNotOptimize(m.out.data());
  }
}

void walkHoisted(benchmark::State& st, Bundle* b) {
  le::Renderer r(b->manifest, b->identity.get(), "plain", kThreads, "");
  if (!r.impl().ring) {
    st.SkipWithError("the hoist did not apply");
    return;
  }
  const Keys k;
  int32_t si = 0;
  for (auto _ : st) {
    benchmark::DoNotOptimize(r.render(&si, k.ks.data(), k.kd.data(), 1));
    si = (si + 1) % kNT;
  }
  const double hits = double(r.impl().ring->hits()), misses = double(r.impl().ring->misses());
  st.counters["hit_rate"] = hits / (hits + misses);
}

// The unhoisted plain path of the same graph, built here the way the renderer
// builds it: GridSampleFast, blend and head rewrites, inputs bound once, the
// prior converted every frame.
void walkUnhoisted(benchmark::State& st, Bundle* b) {
  std::ifstream f(b->manifest.modelPath("plain"), std::ios::binary);
  le::GsBytes model(std::istreambuf_iterator<char>(f), {});
  le::rewriteGridSampleToFast(model);
  le::normaliseStudentBlend(model);
  le::rewriteHeadCubicResize(model);
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(kThreads);
  so.SetInterOpNumThreads(1);
  so.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  so.AddConfigEntry("session.intra_op.allow_spinning", "0");
  le::registerGridSampleFast(so);
  Ort::Session s(le::ort::env(), model.data(), model.size(), so);
  const int64_t S = b->manifest.crop;
  const size_t priorN = size_t(3 * S * S);
  std::vector<float> pooled(65536), prior(priorN), out(priorN);
  const Keys k;
  std::vector<float> ks = k.ks, kd = k.kd;
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t ps[] = {1, 64, 32, 32}, is[] = {1, 3, S, S}, kss[] = {1, 21, 3};
  std::vector<Ort::Value> v;
  v.push_back(Ort::Value::CreateTensor<float>(mem, pooled.data(), pooled.size(), ps, 4));
  v.push_back(Ort::Value::CreateTensor<float>(mem, prior.data(), prior.size(), is, 4));
  v.push_back(Ort::Value::CreateTensor<float>(mem, kd.data(), kd.size(), kss, 3));
  v.push_back(Ort::Value::CreateTensor<float>(mem, ks.data(), ks.size(), kss, 3));
  v.push_back(Ort::Value::CreateTensor<float>(mem, out.data(), out.size(), is, 4));
  Ort::IoBinding io(s);
  io.BindInput("pooled64", v[0]);
  io.BindInput("P_rgb", v[1]);
  io.BindInput("kp_driving", v[2]);
  io.BindInput("kp_source", v[3]);
  io.BindOutput("rgb", v[4]);
  Ort::RunOptions ro;
  ro.AddConfigEntry("memory.enable_memory_arena_shrinkage", "cpu:0");
  int32_t si = 0;
  for (auto _ : st) {
    le::simd::f16ToF32(b->identity->pooled64(si), pooled.data(), pooled.size());
    le::simd::f16ToF32(b->identity->P(si), prior.data(), prior.size());
    s.Run(ro, io);
    benchmark::DoNotOptimize(out.data());
    si = (si + 1) % kNT;
  }
}

void memcpyFloor(benchmark::State& st, int crop) {
  // pooled features in, the crop out: what a render must at least move.
  const size_t bytes = (65536 + size_t(3) * crop * crop) * 4;
  std::vector<char> a(bytes, 1), c(bytes);
  for (auto _ : st) {
    std::memcpy(c.data(), a.data(), a.size());
    benchmark::DoNotOptimize(c.data());
  }
}

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/le-renderer-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string root = tmpl;
  std::vector<le::bench::Ratio> ratios;
  const std::string opts = "/min_time:0.500/real_time";
  std::freopen("/dev/null", "a", stderr);  // the renderer's load lines
  for (int crop : {256, 512}) {
    auto b = makeBundle(root, crop);
    if (!b) return 1;
    gBundles.push_back(std::move(b));
    Bundle* bp = gBundles.back().get();
    const std::string c = "/" + std::to_string(crop);
    for (const char* key : {"plain", "no_cone"}) {
      const std::string k = key;
      benchmark::RegisterBenchmark(("BM_render_" + k + c).c_str(), renderSame, bp, key)
          ->Unit(benchmark::kMillisecond)->MinTime(0.5)->UseRealTime();
      benchmark::RegisterBenchmark(("BM_bare_run_" + k + c).c_str(), bareRun, bp, key)
          ->Unit(benchmark::kMillisecond)->MinTime(0.5)->UseRealTime();
      ratios.push_back({"BM_render_" + k + c + opts, "BM_bare_run_" + k + c + opts});
    }
    benchmark::RegisterBenchmark(("BM_floor_memcpy_frame" + c).c_str(), memcpyFloor, crop)
        ->Unit(benchmark::kMillisecond);
  }
  Bundle* b512 = gBundles.back().get();
  benchmark::RegisterBenchmark("BM_walk_hoisted/512", walkHoisted, b512)
      ->Unit(benchmark::kMillisecond)->MinTime(0.5)->UseRealTime();
  benchmark::RegisterBenchmark("BM_walk_unhoisted/512", walkUnhoisted, b512)
      ->Unit(benchmark::kMillisecond)->MinTime(0.5)->UseRealTime();
  ratios.push_back({"BM_walk_hoisted/512" + opts, "BM_walk_unhoisted/512" + opts});
  const int rc = le::bench::runAndReport(argc, argv, ratios);
  gBundles.clear();
  (void)std::system(("rm -rf '" + root + "'").c_str());
  return rc;
}
