// Int8ConvVNNI against onnxruntime's float Conv of the same shape, both in
// onnxruntime sessions on 1 x C x H x W inputs ("same" 3x3 convolutions):
// 96 -> 96 at 32 x 32 and 48 -> 22 at 64 x 64. The float Conv runs with as
// many intra-op threads as le::pool has workers; without LE_CORE_THREADS in
// the environment the program runs itself once with 1 and once with 2. The
// int8 kernel is also measured restricted to each other vector target this
// processor runs (without VNNI: 16-bit pair products). The floor is memcpy
// of the input and output bytes.
#include <benchmark/benchmark.h>
#include <hwy/targets.h>
#include <onnxruntime_cxx_api.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "benchkit.h"
#include "le/render/le_int8_conv.h"
#include "le/runtime/le_pool.h"
#include "le/runtime/le_simd.h"
#include "le/runtime/ort_env.h"

namespace {

struct Shape {
  const char* tag;  // fixture model prefix
  int64_t c, h, w, m;
};
constexpr Shape kShapes[] = {{"bench96", 96, 32, 32, 96}, {"bench48", 48, 64, 64, 22}};

std::string gModels;

struct Runner {
  Ort::Session session;
  std::vector<float> x;
  std::vector<int64_t> shape;
  Ort::Value in{nullptr};
  Runner(const std::string& file, const Shape& s, int threads) : session(nullptr) {
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(threads);
    so.SetInterOpNumThreads(1);
    le::registerInt8ConvVNNI(so);
    session = Ort::Session(le::ort::env(), file.c_str(), so);
    shape = {1, s.c, s.h, s.w};
    x.resize(static_cast<size_t>(s.c * s.h * s.w));
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1, 1);
    for (float& v : x) v = u(rng);
    const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    in = Ort::Value::CreateTensor<float>(mem, x.data(), x.size(), shape.data(), 4);
  }
  void run() {
    const char* inName = "x";
    const char* outName = "y";
    auto out = session.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
    benchmark::DoNotOptimize(out[0].GetTensorData<float>());
  }
};

// Restricts Highway's dispatch to one target for a scope (0: every target).
struct TargetScope {
  explicit TargetScope(int64_t bit) { if (bit) hwy::SetSupportedTargetsForTest(bit); }
  ~TargetScope() { hwy::SetSupportedTargetsForTest(0); }
};

void runModel(benchmark::State& st, const Shape& s, const char* kind, int64_t target = 0) {
  const TargetScope scope(target);
  Runner r(gModels + "/" + s.tag + "_" + kind + ".onnx", s, le::pool::threads());
  r.run();  // packs the weights, warms the arena
  for (auto _ : st) r.run();
  st.counters["GMAC/s"] = benchmark::Counter(
      static_cast<double>(s.m * s.c * 9 * s.h * s.w) * 1e-9 * static_cast<double>(st.iterations()),
      benchmark::Counter::kIsRate);
}

void memcpyFloor(benchmark::State& st, const Shape& s) {
  const size_t bytes = static_cast<size_t>((s.c + s.m) * s.h * s.w) * sizeof(float);
  std::vector<char> a(bytes, 1), b(bytes);
  for (auto _ : st) {
    std::memcpy(b.data(), a.data(), bytes);
    benchmark::ClobberMemory();
  }
}

std::string name(const char* what, const Shape& s) {
  return std::string("BM_") + what + "_" + std::to_string(s.c) + "to" + std::to_string(s.m) + "_" +
         std::to_string(s.h);
}


}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("LE_CORE_THREADS") == nullptr) return le::bench::runPerThreadCount(argv);
  char tmpl[] = "/tmp/le-int8-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  gModels = tmpl;
  const std::string cmd = std::string("cd '") + LE_FIXTURES_DIR + "' && " + LE_PYTHON + " -m lefix int8 --out '" +
                          gModels + "'";
  if (std::system(cmd.c_str()) != 0) return 1;
  std::printf("target: %s, le::pool threads = onnxruntime intra-op threads = %d\n", le::simd::target(),
              le::pool::threads());
  std::vector<le::bench::Ratio> ratios;
  for (const Shape& s : kShapes) {
    benchmark::RegisterBenchmark(name("Int8ConvVNNI", s).c_str(), [&s](benchmark::State& st) { runModel(st, s, "int8"); })
        ->Unit(benchmark::kMicrosecond)->UseRealTime();
    benchmark::RegisterBenchmark(name("OrtFloatConv", s).c_str(), [&s](benchmark::State& st) { runModel(st, s, "float"); })
        ->Unit(benchmark::kMicrosecond)->UseRealTime();
    benchmark::RegisterBenchmark(name("MemcpyInOut", s).c_str(), [&s](benchmark::State& st) { memcpyFloor(st, s); })
        ->Unit(benchmark::kMicrosecond)->UseRealTime();
    ratios.push_back({name("Int8ConvVNNI", s) + "/real_time", name("OrtFloatConv", s) + "/real_time"});
    ratios.push_back({name("Int8ConvVNNI", s) + "/real_time", name("MemcpyInOut", s) + "/real_time"});
    const int64_t best = hwy::SupportedTargets() & -hwy::SupportedTargets() & le::simd::compiledTargets();
    for (int64_t t = le::simd::compiledTargets() & hwy::SupportedTargets(); t != 0; t &= t - 1) {
      const int64_t bit = t & -t;
      if (bit == best || (bit & (HWY_SCALAR | HWY_EMU128))) continue;
      const std::string n = name("Int8ConvVNNI", s) + "_" + hwy::TargetName(bit);
      benchmark::RegisterBenchmark(n.c_str(), [&s, bit](benchmark::State& st) { runModel(st, s, "int8", bit); })
          ->Unit(benchmark::kMicrosecond)->UseRealTime();
      ratios.push_back({n + "/real_time", name("OrtFloatConv", s) + "/real_time"});
    }
  }
  const int rc = le::bench::runAndReport(argc, argv, ratios);
  std::system((std::string("rm -rf '") + gModels + "'").c_str());
  return rc;
}
