// The com.quillfin operators against onnxruntime's own kernels, both run as
// one-node sessions (same session overhead) at 1 and 2 intra-op threads:
// GridSampleFast vs GridSample, WarpDirector vs the 12-channel GridSample it
// replaces and vs the whole replaced block. The floor is a memcpy of the
// bytes each run must at least read (input and grid).
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "benchkit.h"
#include "le/bundle/fsutil.h"
#include "le/render/le_custom_ops.h"
#include "le/runtime/ort_env.h"

namespace {

std::string gDir;

std::vector<float> randomFloats(size_t n, float lo, float hi, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (float& f : v) f = d(rng);
  return v;
}

struct Case {
  int64_t c, h, w;
  std::vector<float> x, grid;
  Case(int64_t C, int64_t H, int64_t W)
      : c(C), h(H), w(W), x(randomFloats(size_t(C * H * W), 0, 1, 1)),
        // A mild warp: mostly inside the image, some samples on the border.
        grid(randomFloats(size_t(H * W * 2), -1.05f, 1.05f, 2)) {
    for (int64_t y = 0; y < H; ++y)
      for (int64_t i = 0; i < W; ++i) {
        float* g = &grid[size_t((y * W + i) * 2)];
        g[0] = (2.f * float(i) + 1.f) / float(W) - 1.f + 0.02f * (g[0]);
        g[1] = (2.f * float(y) + 1.f) / float(H) - 1.f + 0.02f * (g[1]);
      }
  }
};

void runSession(benchmark::State& st, const char* model, Case& k, int threads) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(threads);
  so.SetInterOpNumThreads(1);
  le::registerGridSampleFast(so);
  Ort::Session s(le::ort::env(), (gDir + "/" + model).c_str(), so);
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::array<int64_t, 4> xs{1, k.c, k.h, k.w}, gs{1, k.h, k.w, 2};
  Ort::Value in[2] = {Ort::Value::CreateTensor<float>(mem, k.x.data(), k.x.size(), xs.data(), 4),
                      Ort::Value::CreateTensor<float>(mem, k.grid.data(), k.grid.size(), gs.data(), 4)};
  Ort::AllocatorWithDefaultOptions alloc;
  const std::string n0 = s.GetInputNameAllocated(0, alloc).get(), n1 = s.GetInputNameAllocated(1, alloc).get();
  const char* names[2] = {n0.c_str(), n1.c_str()};
  const char* out[1] = {"Y"};
  for (auto _ : st) {
    auto y = s.Run(Ort::RunOptions{nullptr}, names, in, 2, out, 1);
    benchmark::DoNotOptimize(y[0].GetTensorData<float>());
  }
}

void floorCopy(benchmark::State& st, Case& k) {
  std::vector<float> dst(k.x.size() + k.grid.size());
  for (auto _ : st) {
    std::memcpy(dst.data(), k.x.data(), k.x.size() * 4);
    std::memcpy(dst.data() + k.x.size(), k.grid.data(), k.grid.size() * 4);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
}

void bandsOnly(benchmark::State& st, Case& k, bool warp) {
  std::vector<float> y(k.x.size());
  for (auto _ : st) {
    if (warp)
      le::warpDirector(k.x.data(), k.grid.data(), y.data(), int32_t(k.w), int32_t(k.h));
    else
      le::gridsample_fast(k.x.data(), k.grid.data(), y.data(), int32_t(k.c), int32_t(k.h), int32_t(k.w));
    benchmark::DoNotOptimize(y.data());
  }
}

std::vector<le::bench::Ratio> registerAll(Case& rgb, Case& feat, Case& rgb12) {
  std::vector<le::bench::Ratio> ratios;
  auto add = [](const std::string& name, auto fn) {
    benchmark::RegisterBenchmark(name.c_str(), fn)->Unit(benchmark::kMicrosecond);
  };
  for (auto* k : {&rgb, &feat}) {
    const std::string tag = std::to_string(k->c) + "x" + std::to_string(k->h) + "x" + std::to_string(k->w);
    for (int t : {1, 2}) {
      const std::string sfx = tag + "/t" + std::to_string(t);
      add("BM_GridSampleFast/" + sfx, [k, t](benchmark::State& st) { runSession(st, "gridsample_fast.onnx", *k, t); });
      add("BM_OrtGridSample/" + sfx, [k, t](benchmark::State& st) { runSession(st, "gridsample.onnx", *k, t); });
      ratios.push_back({"BM_GridSampleFast/" + sfx, "BM_OrtGridSample/" + sfx});
    }
    add("BM_GridSampleFastBands/" + tag, [k](benchmark::State& st) { bandsOnly(st, *k, false); });
    add("BM_FloorMemcpy/" + tag, [k](benchmark::State& st) { floorCopy(st, *k); });
    ratios.push_back({"BM_GridSampleFastBands/" + tag, "BM_FloorMemcpy/" + tag});
  }
  for (int t : {1, 2}) {
    const std::string sfx = "3x512x512/t" + std::to_string(t);
    add("BM_WarpDirector/" + sfx, [&rgb, t](benchmark::State& st) { runSession(st, "warp_director.onnx", rgb, t); });
    add("BM_OrtGridSample12/" + sfx, [&rgb12, t](benchmark::State& st) { runSession(st, "gridsample.onnx", rgb12, t); });
    add("BM_OrtWarpBlock/" + sfx, [&rgb, t](benchmark::State& st) { runSession(st, "warp_block.onnx", rgb, t); });
    ratios.push_back({"BM_WarpDirector/" + sfx, "BM_OrtGridSample12/" + sfx});
    ratios.push_back({"BM_WarpDirector/" + sfx, "BM_OrtWarpBlock/" + sfx});
  }
  add("BM_WarpDirectorBands/3x512x512", [&rgb](benchmark::State& st) { bandsOnly(st, rgb, true); });
  ratios.push_back({"BM_WarpDirectorBands/3x512x512", "BM_FloorMemcpy/3x512x512"});
  return ratios;
}

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/le_bench_ops.XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  gDir = tmpl;
  const std::string cmd = "cd '" LE_FIXTURES_DIR "' && '" LE_PYTHON "' -m lefix ops --out '" + gDir + "'";
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "fixture models failed: %s\n", cmd.c_str());
    le::fs::rmTree(gDir);
    return 1;
  }
  int rc = 1;
  try {
    Case rgb(3, 512, 512), feat(32, 64, 64), rgb12(12, 512, 512);
    rc = le::bench::runAndReport(argc, argv, registerAll(rgb, feat, rgb12));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench failed: %s\n", e.what());
  }
  le::fs::rmTree(gDir);
  return rc;
}
