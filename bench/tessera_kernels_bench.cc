// Teeth-pass kernels on a 192 x 128 mouth window (canvas 512):
// - the two retrieval terms and rgb8ToPlanarF16 beside memcpy of the bytes
//   they read and write (the floor);
// - conv3x3Range on the blend head's three layers (7 -> 16, 16 -> 16,
//   16 -> 1; 64 candidates at half resolution, 96 x 64) split over le::pool
//   one plane per task, beside onnxruntime's Conv of the same shapes with as
//   many intra-op threads. Without LE_CORE_THREADS in the environment the
//   program runs itself once with 1 and once with 2 threads.
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "benchkit.h"
#include "le/runtime/le_pool.h"
#include "le/runtime/le_simd.h"
#include "le/runtime/tessera_kernels.h"

namespace {

constexpr size_t kWinW = 192, kWinH = 128, kPixels = kWinW * kWinH;
constexpr int kCands = 64, kHalfH = 64, kHalfW = 96;

struct Layer {
  const char* tag;
  int cin, cout;
};
constexpr Layer kLayers[] = {{"7to16", 7, 16}, {"16to16", 16, 16}, {"16to1", 16, 1}};

std::string gModels;

struct Window {
  std::vector<uint8_t> rgb = std::vector<uint8_t>(kPixels * 3);
  std::vector<uint16_t> a = std::vector<uint16_t>(kPixels * 3), b = a, wh = std::vector<uint16_t>(kPixels);
  std::vector<float> w = std::vector<float>(kPixels);
  std::vector<char> src = std::vector<char>(kPixels * 16), dst = src;
  Window() {
    std::mt19937 rng(5);
    for (uint8_t& v : rgb) v = static_cast<uint8_t>(rng());
    le::simd::rgb8ToPlanarF16(rgb.data(), a.data(), kPixels, kPixels);
    for (uint8_t& v : rgb) v = static_cast<uint8_t>(rng());
    le::simd::rgb8ToPlanarF16(rgb.data(), b.data(), kPixels, kPixels);
    for (size_t i = 0; i < kPixels; ++i) {
      w[i] = static_cast<float>(rng() % 2);  // half the pixels weigh: both paths taken
      wh[i] = 0x3C00;
    }
  }
};

Window& window() {
  static Window win;
  return win;
}

void BM_RetrieveTermExact(benchmark::State& st) {
  Window& w = window();
  for (auto _ : st)
    benchmark::DoNotOptimize(le::simd::retrieveTermExact(w.a.data(), w.b.data(), w.w.data(), kPixels));
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * kPixels * 16));
}

void BM_RetrieveTermPooled(benchmark::State& st) {
  Window& w = window();
  for (auto _ : st)
    benchmark::DoNotOptimize(le::simd::retrieveTermPooled(w.a.data(), w.b.data(), w.wh.data(), kPixels));
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * kPixels * 14));
}

void BM_Rgb8ToPlanarF16(benchmark::State& st) {
  Window& w = window();
  for (auto _ : st) {
    le::simd::rgb8ToPlanarF16(w.rgb.data(), w.a.data(), kPixels, kPixels);
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * kPixels * 9));
}

// memcpy of `bytes` per pixel: half of them read, half written.
void BM_Memcpy(benchmark::State& st) {
  Window& w = window();
  const size_t n = kPixels * static_cast<size_t>(st.range(0)) / 2;
  for (auto _ : st) {
    std::memcpy(w.dst.data(), w.src.data(), n);
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * n * 2));
}

struct ConvData {
  std::vector<float> in, weight, bias, out;
  explicit ConvData(const Layer& l)
      : in(static_cast<size_t>(kCands) * l.cin * kHalfH * kHalfW), weight(static_cast<size_t>(l.cout) * l.cin * 9),
        bias(l.cout), out(static_cast<size_t>(kCands) * l.cout * kHalfH * kHalfW) {
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> u(-1, 1);
    for (float& v : in) v = u(rng);
    for (float& v : weight) v = u(rng);
    for (float& v : bias) v = u(rng);
  }
};

void convKernel(benchmark::State& st, const Layer& l) {
  ConvData d(l);
  const size_t planes = static_cast<size_t>(kCands) * l.cout;
  for (auto _ : st) {
    le::pool::parallelRange(planes, 1, [&](size_t b, size_t e) {
      le::simd::conv3x3Range(d.in.data(), kCands, l.cin, kHalfH, kHalfW, d.weight.data(), d.bias.data(), l.cout,
                             d.out.data(), static_cast<int>(b), static_cast<int>(e));
    });
    benchmark::ClobberMemory();
  }
  st.counters["GMAC/s"] = benchmark::Counter(
      static_cast<double>(planes) * l.cin * 9 * kHalfH * kHalfW * 1e-9 * static_cast<double>(st.iterations()),
      benchmark::Counter::kIsRate);
}

Ort::Env& env() {
  static Ort::Env e(ORT_LOGGING_LEVEL_FATAL, "tessera_kernels_bench");
  return e;
}

void convOrt(benchmark::State& st, const Layer& l) {
  ConvData d(l);
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(le::pool::threads());
  so.SetInterOpNumThreads(1);
  const std::string file = gModels + "/conv_" + l.tag + ".onnx";
  Ort::Session session(env(), file.c_str(), so);
  const int64_t shape[4] = {kCands, l.cin, kHalfH, kHalfW};
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::Value in = Ort::Value::CreateTensor<float>(mem, d.in.data(), d.in.size(), shape, 4);
  const char* inName = "x";
  const char* outName = "y";
  session.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);  // warm the arena
  for (auto _ : st) {
    auto out = session.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
    benchmark::DoNotOptimize(out[0].GetTensorData<float>());
  }
}


}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("LE_CORE_THREADS") == nullptr) return le::bench::runPerThreadCount(argv);
  char tmpl[] = "/tmp/le-tessera-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  gModels = tmpl;
  if (!le::bench::sh(std::string("cd '") + LE_FIXTURES_DIR + "' && " + LE_PYTHON +
                     " -m lefix tessera-conv --out '" + gModels + "' --batch " + std::to_string(kCands) +
                     " --size " + std::to_string(kHalfH) + " " + std::to_string(kHalfW)))
    return 1;
  std::printf("target: %s, le::pool threads = onnxruntime intra-op threads = %d\n", le::simd::target(),
              le::pool::threads());
  benchmark::RegisterBenchmark("BM_RetrieveTermExact", BM_RetrieveTermExact);
  benchmark::RegisterBenchmark("BM_RetrieveTermPooled", BM_RetrieveTermPooled);
  benchmark::RegisterBenchmark("BM_Rgb8ToPlanarF16", BM_Rgb8ToPlanarF16);
  benchmark::RegisterBenchmark("BM_Memcpy", BM_Memcpy)->Arg(16)->Arg(14)->Arg(9);
  std::vector<le::bench::Ratio> ratios = {{"BM_RetrieveTermExact", "BM_Memcpy/16"},
                                          {"BM_RetrieveTermPooled", "BM_Memcpy/14"},
                                          {"BM_Rgb8ToPlanarF16", "BM_Memcpy/9"}};
  for (const Layer& l : kLayers) {
    const std::string k = std::string("BM_Conv3x3Range_") + l.tag, o = std::string("BM_OrtConv_") + l.tag;
    benchmark::RegisterBenchmark(k.c_str(), [&l](benchmark::State& st) { convKernel(st, l); })
        ->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark(o.c_str(), [&l](benchmark::State& st) { convOrt(st, l); })
        ->Unit(benchmark::kMillisecond)->UseRealTime();
    ratios.push_back({k + "/real_time", o + "/real_time"});
  }
  const int rc = le::bench::runAndReport(argc, argv, ratios);
  std::system((std::string("rm -rf '") + gModels + "'").c_str());
  return rc;
}
