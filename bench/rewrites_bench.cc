// What each load-time rewrite buys: the fixture director (python lefix) at
// crop 256 and 512, batch 1, through onnxruntime with 2 intra-op threads,
// before and after each rewrite and after all of them in the renderer's
// order. The hoisted per-frame graph is timed alone: its prep graph runs once
// per source frame on a spare core. The floor is a memcpy of the frame's
// input and output images.
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "benchkit.h"
#include "le/render/le_custom_ops.h"
#include "le/render/rewrites.h"
#include "le/runtime/ort_env.h"

namespace {

using le::GsBytes;

GsBytes readAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return GsBytes(std::istreambuf_iterator<char>(f), {});
}

// A session plus its inputs, created once per benchmark.
struct Runner {
  std::unique_ptr<Ort::Session> session;
  std::vector<std::string> inNames, outNames;
  std::vector<std::vector<float>> buffers;
  std::vector<std::vector<int64_t>> shapes;
  std::vector<Ort::Value> inputs;

  Runner(const GsBytes& model, const std::map<std::string, std::vector<float>>& fixed) {
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(2);
    so.SetInterOpNumThreads(1);
    so.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
    so.AddConfigEntry("session.intra_op.allow_spinning", "0");
    le::registerGridSampleFast(so);
    session = std::make_unique<Ort::Session>(le::ort::env(), model.data(), model.size(), so);
    const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    Ort::AllocatorWithDefaultOptions alloc;
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> unit(0.f, 1.f), kp(-0.6f, 0.6f);
    const size_t n = session->GetInputCount();
    buffers.resize(n);
    shapes.resize(n);
    for (size_t i = 0; i < n; ++i) {
      inNames.push_back(session->GetInputNameAllocated(i, alloc).get());
      shapes[i] = session->GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape();
      size_t count = 1;
      for (int64_t& d : shapes[i]) count *= size_t(d = d < 1 ? 1 : d);
      if (auto it = fixed.find(inNames[i]); it != fixed.end()) {
        buffers[i] = it->second;
      } else {
        buffers[i].resize(count);
        const bool isKp = inNames[i].rfind("kp_", 0) == 0;
        for (float& v : buffers[i]) v = isKp ? kp(rng) : unit(rng);
      }
      inputs.push_back(Ort::Value::CreateTensor<float>(mem, buffers[i].data(), buffers[i].size(),
                                                       shapes[i].data(), shapes[i].size()));
    }
    for (size_t i = 0; i < session->GetOutputCount(); ++i)
      outNames.push_back(session->GetOutputNameAllocated(i, alloc).get());
  }

  std::vector<Ort::Value> run() {
    std::vector<const char*> in, out;
    for (auto& s : inNames) in.push_back(s.c_str());
    for (auto& s : outNames) out.push_back(s.c_str());
    return session->Run(Ort::RunOptions{nullptr}, in.data(), inputs.data(), in.size(), out.data(), out.size());
  }
};

struct Variant {
  GsBytes model;
  std::map<std::string, std::vector<float>> fixed;  // inputs not drawn at random
};

void timeRuns(benchmark::State& st, const Variant* v) {
  Runner r(v->model, v->fixed);
  r.run();  // warm-up: arena and kernels
  for (auto _ : st) benchmark::DoNotOptimize(r.run());
  st.SetItemsProcessed(st.iterations());
}

std::map<std::string, Variant> variantsOf(const GsBytes& orig, int crop) {
  std::map<std::string, Variant> v;
  const size_t plane = size_t(crop) * crop;
  const std::vector<float> lipOnes(plane, 1.f);
  std::string reason;
  v["orig"] = {orig, {}};
  GsBytes m = orig;
  if (le::rewriteGridSampleToFast(m)) v["gs_fast"] = {m, {}};
  m = orig;
  if (le::normaliseStudentBlend(m)) v["blend"] = {m, {}};
  m = orig;
  if (le::rewriteHeadCubicResize(m)) v["head_cubic"] = {m, {}};
  m = orig;
  if (le::rewriteWarpBlockToCustomOp(m, reason)) v["warp_node"] = {m, {}};
  m = orig;
  if (le::rewriteBindLipContour(m, reason, nullptr, nullptr)) v["lip"] = {m, {{"lip_delivery", lipOnes}}};

  // The hoist: the prep graph's boundary is computed once, outside the timing.
  std::string boundary;
  GsBytes prep, perFrame;
  if (le::findSourceConeBoundary(orig, boundary) == 1 && le::buildSourceConePrep(orig, boundary, prep, reason)) {
    Runner p(prep, {});
    auto out = p.run();
    const auto shape = out[0].GetTensorTypeAndShapeInfo().GetShape();
    const float* b = out[0].GetTensorData<float>();
    std::vector<float> tip(b, b + out[0].GetTensorTypeAndShapeInfo().GetElementCount());
    if (le::buildSourceConePerFrame(orig, boundary, shape.data(), 4, perFrame, reason)) {
      v["hoist"] = {perFrame, {{boundary, tip}}};
      // Without the warp node: GridSampleFast, blend, head, lip, then the hoist.
      GsBytes all = orig, pf;
      le::rewriteGridSampleToFast(all);
      le::normaliseStudentBlend(all);
      le::rewriteHeadCubicResize(all);
      le::rewriteBindLipContour(all, reason, nullptr, nullptr);
      if (le::buildSourceConePerFrame(all, boundary, shape.data(), 4, pf, reason))
        v["all_hoisted"] = {pf, {{boundary, tip}, {"lip_delivery", lipOnes}}};
    }
  }
  // The renderer's order with the warp node on (the hoist then has nothing to do).
  m = orig;
  le::rewriteWarpBlockToCustomOp(m, reason);
  le::rewriteGridSampleToFast(m);
  le::normaliseStudentBlend(m);
  le::rewriteHeadCubicResize(m);
  le::rewriteBindLipContour(m, reason, nullptr, nullptr);
  v["all_warp_node"] = {m, {{"lip_delivery", lipOnes}}};
  return v;
}

std::vector<std::unique_ptr<std::map<std::string, Variant>>> gKeep;

void memcpyFloor(benchmark::State& st, int crop) {
  // P_rgb in, rgb out: the bytes any frame must at least move.
  const size_t bytes = size_t(3) * crop * crop * 4;
  std::vector<char> a(2 * bytes, 1), b(2 * bytes);
  for (auto _ : st) {
    std::memcpy(b.data(), a.data(), a.size());
    benchmark::DoNotOptimize(b.data());
  }
}

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/le-rewrites-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  std::vector<le::bench::Ratio> ratios;
  for (int crop : {256, 512}) {
    const std::string path = dir + "/director_" + std::to_string(crop) + ".onnx";
    const std::string cmd = std::string("cd '") + LE_FIXTURES_DIR + "' && " + LE_PYTHON +
                            " -m lefix director --variant plain --crop " + std::to_string(crop) + " --out '" +
                            path + "'";
    if (std::system(cmd.c_str()) != 0) {
      std::fprintf(stderr, "fixture failed: %s\n", cmd.c_str());
      return 1;
    }
    gKeep.push_back(std::make_unique<std::map<std::string, Variant>>(variantsOf(readAll(path), crop)));
    const std::string c = "/" + std::to_string(crop);
    for (const auto& [name, v] : *gKeep.back()) {
      benchmark::RegisterBenchmark(("BM_director_" + name + c).c_str(), timeRuns, &v)
          ->Unit(benchmark::kMillisecond)
          ->MinTime(0.5)
          ->UseRealTime();
      // Google Benchmark appends the run options to the name.
      const std::string opts = "/min_time:0.500/real_time";
      if (name != "orig")
        ratios.push_back({"BM_director_" + name + c + opts, "BM_director_orig" + c + opts});
    }
    benchmark::RegisterBenchmark(("BM_floor_memcpy_frame" + c).c_str(), memcpyFloor, crop)
        ->Unit(benchmark::kMillisecond);
  }
  const int rc = le::bench::runAndReport(argc, argv, ratios);
  (void)std::system(("rm -rf '" + dir + "'").c_str());
  return rc;
}
