// The fp16 engine against onnxruntime on the same fixture m4b director
// (python lefix m4b), crop 256 and 512, batch 1 and 4, 1 and 2 threads:
//  - engine/...: ConvBackend::render of a batch, with the phase A, basis and
//    phase B milliseconds per frame as counters; ort/...: a bare
//    Session::Run of the same graph over bound inputs;
//  - renderer_neon/... and renderer_ort/...: le::Renderer on a bundle around
//    the graph, ep "neon" against ep "" (the graph as the Renderer serves it,
//    its load-time rewrites applied), frames converted from the identity;
//  - conv_engine/... and conv_ort/...: one convolution layer of each phase
//    (240 -> 96 at 32 x 32, 32 -> 32 at 256 x 208), GFLOP/s and GFLOP per
//    processor-second as counters, beside the measured FMA peak of the
//    dispatched target (per core by processor time, and by the wall clock);
//  - engine@<target>/...: the same restricted to each other target this
//    processor runs the engine on (AVX2 beside AVX-512, say).
// The floors are memcpys of the bytes a render must read at least: the basis
// (its product is memory-bound) and a frame's prior and output. Whole renders
// also count the process's processor time per frame (cpu_ms_frame), steadier
// than the wall clock on a shared machine; run with
// --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true for
// medians that a slow spell does not land on one side of.
#include <benchmark/benchmark.h>
#include <hwy/targets.h>
#include <onnxruntime_cxx_api.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "benchkit.h"
#include "fma_peak.h"
#include "le/bundle/fsutil.h"
#include "le/bundle/identity.h"
#include "le/bundle/manifest.h"
#include "le/render/conv_backend.h"
#include "le/render/conv_engine.h"
#include "le/render/le_renderer.h"
#include "le/render/onnx_wire.h"
#include "le/runtime/half.h"
#include "le/runtime/le_simd.h"

namespace {

std::string gDir;

Ort::Env& env() {
  static Ort::Env e(ORT_LOGGING_LEVEL_WARNING, "conv_engine_bench");
  return e;
}

std::string modelPath(int crop, int batch) {
  return gDir + "/m4b_" + std::to_string(crop) + "_b" + std::to_string(batch) + ".onnx";
}
std::string bundlePath(int crop, int batch) {
  return gDir + "/bundle_" + std::to_string(crop) + "_b" + std::to_string(batch);
}

std::vector<uint16_t> halfs(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(0.f, 1.f);
  std::vector<uint16_t> v(n);
  for (uint16_t& h : v) h = le::f32ToF16(d(rng));
  return v;
}

// Frames of random inputs in the engine's form.
struct Inputs {
  std::vector<std::vector<uint16_t>> pooled, prior;
  std::vector<const uint16_t*> pp, rp;
  std::vector<float> ks, kd;
  Inputs(int crop, int n) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> pos(-0.5f, 0.5f), move(-0.05f, 0.05f);
    for (int f = 0; f < n; ++f) {
      pooled.push_back(halfs(64 * 32 * 32, 10 + f));
      prior.push_back(halfs(3 * size_t(crop) * crop, 20 + f));
      pp.push_back(pooled.back().data());
      rp.push_back(prior.back().data());
      for (int i = 0; i < 63; ++i) {
        ks.push_back(pos(rng));
        kd.push_back(ks.back() + move(rng));
      }
    }
  }
};

// The engine keeps the kernel table of the target dispatched when it is
// built: a target bit other than 0 builds it restricted to that target.
std::unique_ptr<le::ConvBackend> engineOn(int64_t target, int crop, int batch, int threads) {
  if (target != 0) hwy::SetSupportedTargetsForTest(target);
  auto e = le::ConvBackend::create(modelPath(crop, batch), threads);
  if (target != 0) hwy::SetSupportedTargetsForTest(0);
  return e;
}

// Processor time of the whole process (every thread), in milliseconds: on a
// shared machine a steadier measure of the work than the wall clock.
double processCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

void engineRender(benchmark::State& st, int crop, int batch, int threads, int64_t target) {
  auto e = engineOn(target, crop, batch, threads);
  const auto* eng = dynamic_cast<const le::conv::Engine*>(e.get());
  const Inputs in(crop, batch);
  std::vector<float> out(size_t(batch) * 3 * crop * crop);
  e->render(in.pp.data(), in.rp.data(), in.ks.data(), in.kd.data(), batch, out.data());
  double a = 0, b = 0, c = 0;
  const double cpu0 = processCpuMs();
  for (auto _ : st) {
    e->render(in.pp.data(), in.rp.data(), in.ks.data(), in.kd.data(), batch, out.data());
    const auto ms = eng->lastPhaseMs();
    a += ms[0];
    b += ms[1];
    c += ms[2];
  }
  const double frames = double(st.iterations()) * batch;
  st.counters["cpu_ms_frame"] = (processCpuMs() - cpu0) / frames;
  st.counters["phaseA_ms"] = a / frames;
  st.counters["basis_ms"] = b / frames;
  st.counters["phaseB_ms"] = c / frames;
  st.SetItemsProcessed(int64_t(frames));
}

void ortRender(benchmark::State& st, int crop, int batch, int threads) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(threads);
  so.SetInterOpNumThreads(1);
  so.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  so.AddConfigEntry("session.intra_op.allow_spinning", "0");
  Ort::Session s(env(), modelPath(crop, batch).c_str(), so);
  const Inputs in(crop, batch);
  const int64_t B = batch, C = crop;
  std::vector<float> pooled, prior, out(size_t(B) * 3 * C * C);
  for (int f = 0; f < batch; ++f) {
    for (uint16_t h : in.pooled[f]) pooled.push_back(le::half::toFloat(h));
    for (uint16_t h : in.prior[f]) prior.push_back(le::half::toFloat(h));
  }
  std::vector<float> ks = in.ks, kd = in.kd;
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t ps[] = {B, 64, 32, 32}, is[] = {B, 3, C, C}, kss[] = {B, 21, 3};
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
  const Ort::RunOptions ro;
  s.Run(ro, io);
  const double cpu0 = processCpuMs();
  for (auto _ : st) s.Run(ro, io);
  st.counters["cpu_ms_frame"] = (processCpuMs() - cpu0) / (double(st.iterations()) * batch);
  st.SetItemsProcessed(int64_t(st.iterations()) * batch);
}

void rendererRender(benchmark::State& st, int crop, int batch, int threads, const char* ep) {
  const le::Manifest m = le::loadManifest(bundlePath(crop, batch));
  le::Identity id(m);
  le::Renderer r(m, &id, "m4b", threads, ep);
  if (std::string(r.backend()) != (*ep ? "neon" : "ort")) {
    st.SkipWithError("the Renderer chose another backend");
    return;
  }
  const Inputs in(crop, batch);
  std::vector<int32_t> si;
  for (int i = 0; i < batch; ++i) si.push_back(i);
  r.render(si.data(), in.ks.data(), in.kd.data(), batch);
  const double cpu0 = processCpuMs();
  for (auto _ : st) benchmark::DoNotOptimize(r.render(si.data(), in.ks.data(), in.kd.data(), batch));
  st.counters["cpu_ms_frame"] = (processCpuMs() - cpu0) / (double(st.iterations()) * batch);
  st.SetItemsProcessed(int64_t(st.iterations()) * batch);
}

// ---- one convolution layer --------------------------------------------------------

struct Shape {
  const char* tag;
  int ci, co, h, w;
  double gflop() const { return 2.0 * ci * co * 9 * h * w * 1e-9; }
};
constexpr Shape kShapes[] = {{"d0_240x96_32x32", 240, 96, 32, 32}, {"tile1_32x32_256x208", 32, 32, 256, 208}};

// GFLOP/s by the wall clock, and GFLOP per processor-second of the whole
// process (every thread): beside the FMA peak per core, the share of it a
// layer reaches, whatever else the machine runs.
void convCounters(benchmark::State& st, const Shape& s, double cpu0Ms) {
  const double flop = s.gflop() * double(st.iterations());
  st.counters["GFLOP/s"] = benchmark::Counter(flop, benchmark::Counter::kIsRate);
  st.counters["GFLOP_per_cpu_s"] = flop / ((processCpuMs() - cpu0Ms) * 1e-3);
}

std::vector<float> weights(const Shape& s) {
  std::mt19937 rng(5);
  std::normal_distribution<float> n(0.f, 1.f / std::sqrt(float(s.ci * 9)));
  std::vector<float> w(size_t(s.co) * s.ci * 9);
  for (float& v : w) v = n(rng);
  return w;
}

void convEngine(benchmark::State& st, const Shape& s, int threads, int64_t target) {
  if (target != 0) hwy::SetSupportedTargetsForTest(target);
  const le::conv::Kernels& kr = le::conv::kernels();
  if (target != 0) hwy::SetSupportedTargetsForTest(0);
  const le::conv::ConvLayer L = le::conv::packConv("bench", weights(s), std::vector<float>(s.co, 0.1f), s.co, s.ci,
                                                   s.ci, 3, le::conv::Act::kRelu, kr.lanes);
  const std::vector<uint16_t> in = halfs(size_t(s.h) * s.w * s.ci, 7);
  std::vector<uint16_t> out(size_t(s.h) * s.w * s.co);
  const le::conv::Part part{le::conv::Part::kPlain, in.data(), s.w, s.ci};
  le::conv::Pool pool(threads);
  std::vector<le::conv::Staging> st2(threads);
  const auto run = [&] {
    pool.run(size_t(threads), [&](size_t b, int32_t w) {
      const int32_t r0 = int32_t(b * s.h / threads), r1 = int32_t((b + 1) * s.h / threads);
      le::conv::runConv(kr, L, &part, 1, s.w, s.h, out.data(), r0, r1, st2[w]);
    });
  };
  run();
  const double cpu0 = processCpuMs();
  for (auto _ : st) run();
  convCounters(st, s, cpu0);
}

// A one-node Conv model: x [1,ci,h,w] -> y, weights and bias as initializers.
le::GsBytes convModel(const Shape& s) {
  le::GsBytes graph, attrs;
  const int64_t k[] = {3, 3}, pads[] = {1, 1, 1, 1};
  le::hcAttrIs(attrs, "kernel_shape", k, 2);
  le::hcAttrIs(attrs, "pads", pads, 4);
  le::hcNode(graph, "Conv", {"x", "w", "b"}, "y", "conv", attrs);
  const std::vector<float> w = weights(s), b(s.co, 0.1f);
  le::hcInit(graph, "w", 1, {s.co, s.ci, 3, 3}, w.data(), w.size() * 4);
  le::hcInit(graph, "b", 1, {s.co}, b.data(), b.size() * 4);
  const int64_t xd[] = {1, s.ci, s.h, s.w}, yd[] = {1, s.co, s.h, s.w};
  le::gsPutTensorValueInfo(graph, 11, "x", xd, 4);
  le::gsPutTensorValueInfo(graph, 12, "y", yd, 4);
  le::GsBytes model, opset;
  le::gsPutVarint(model, 1 << 3);  // ir_version
  le::gsPutVarint(model, 8);
  le::gsPutBytes(opset, 1, "");
  le::gsPutVarint(opset, 2 << 3);  // version
  le::gsPutVarint(opset, 17);
  le::gsPutBytes(model, 8, opset.data(), opset.size());
  le::gsPutBytes(model, 7, graph.data(), graph.size());
  return model;
}

void convOrt(benchmark::State& st, const Shape& s, int threads) {
  const le::GsBytes model = convModel(s);
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(threads);
  so.SetInterOpNumThreads(1);
  so.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  so.AddConfigEntry("session.intra_op.allow_spinning", "0");
  Ort::Session sess(env(), model.data(), model.size(), so);
  std::vector<float> x(size_t(s.ci) * s.h * s.w, 0.5f), y(size_t(s.co) * s.h * s.w);
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t xd[] = {1, s.ci, s.h, s.w}, yd[] = {1, s.co, s.h, s.w};
  Ort::Value xv = Ort::Value::CreateTensor<float>(mem, x.data(), x.size(), xd, 4);
  Ort::Value yv = Ort::Value::CreateTensor<float>(mem, y.data(), y.size(), yd, 4);
  Ort::IoBinding io(sess);
  io.BindInput("x", xv);
  io.BindOutput("y", yv);
  const Ort::RunOptions ro;
  sess.Run(ro, io);
  const double cpu0 = processCpuMs();
  for (auto _ : st) sess.Run(ro, io);
  convCounters(st, s, cpu0);
}

void memcpyFloor(benchmark::State& st, size_t bytes) {
  std::vector<char> a(bytes, 1), b(bytes);
  for (auto _ : st) {
    std::memcpy(b.data(), a.data(), bytes);
    benchmark::DoNotOptimize(b.data());
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(bytes));
}

bool writeFixtures() {
  const std::string fx = std::string("cd '") + LE_FIXTURES_DIR + "' && " + LE_PYTHON + " -m lefix m4b ";
  for (const int crop : {256, 512})
    for (const int batch : {1, 4}) {
      const std::string c = std::to_string(crop), b = std::to_string(batch);
      if (!le::bench::sh(fx + "--out '" + modelPath(crop, batch) + "' --crop " + c + " --batch " + b) ||
          !le::bench::sh(fx + "--bundle --out '" + bundlePath(crop, batch) + "' --crop " + c + " --batch " + b +
                         " --nt 6 --model '" + modelPath(crop, batch) + "'"))
        return false;
    }
  return true;
}

// Runnable targets with hardware binary16 and FMA, other than the dispatched one.
std::vector<int64_t> otherTargets() {
  std::vector<int64_t> out;
  const int64_t supported = hwy::SupportedTargets();
  hwy::SetSupportedTargetsForTest(0);
  for (int64_t t = le::simd::compiledTargets(); t != 0; t &= t - 1) {
    const int64_t bit = t & -t;
    if (!(supported & bit) || std::string(hwy::TargetName(bit)) == le::simd::target()) continue;
    hwy::SetSupportedTargetsForTest(bit);
    const bool ok = le::ConvBackend::available();
    hwy::SetSupportedTargetsForTest(0);
    if (ok) out.push_back(bit);
  }
  return out;
}

std::vector<le::bench::Ratio> registerAll() {
  std::vector<le::bench::Ratio> ratios;
  auto name = [](const char* what, int crop, int batch, int threads) {
    return std::string(what) + "/c" + std::to_string(crop) + "/b" + std::to_string(batch) + "/t" +
           std::to_string(threads);
  };
  for (const int crop : {256, 512})
    for (const int batch : {1, 4})
      for (const int threads : {1, 2}) {
        const std::string e = name("engine", crop, batch, threads), o = name("ort", crop, batch, threads);
        const std::string rn = name("renderer_neon", crop, batch, threads), ro = name("renderer_ort", crop, batch, threads);
        benchmark::RegisterBenchmark(e.c_str(), engineRender, crop, batch, threads, int64_t{0})
            ->Unit(benchmark::kMillisecond)->UseRealTime();
        benchmark::RegisterBenchmark(o.c_str(), ortRender, crop, batch, threads)->Unit(benchmark::kMillisecond)->UseRealTime();
        benchmark::RegisterBenchmark(rn.c_str(), rendererRender, crop, batch, threads, "neon")
            ->Unit(benchmark::kMillisecond)->UseRealTime();
        benchmark::RegisterBenchmark(ro.c_str(), rendererRender, crop, batch, threads, "")
            ->Unit(benchmark::kMillisecond)->UseRealTime();
        const std::string rt = "/real_time";
        ratios.push_back({e + rt, o + rt});
        ratios.push_back({rn + rt, ro + rt});
      }
  // The other targets this processor runs the engine on, batch 1.
  for (const int64_t bit : otherTargets())
    for (const int crop : {256, 512})
      for (const int threads : {1, 2}) {
        const std::string tag = std::string("engine@") + hwy::TargetName(bit);
        const std::string e = name(tag.c_str(), crop, 1, threads);
        benchmark::RegisterBenchmark(e.c_str(), engineRender, crop, 1, threads, bit)
            ->Unit(benchmark::kMillisecond)->UseRealTime();
        ratios.push_back({e + "/real_time", name("ort", crop, 1, threads) + "/real_time"});
      }
  for (const Shape& s : kShapes)
    for (const int threads : {1, 2}) {
      const std::string t = std::string(s.tag) + "/t" + std::to_string(threads);
      benchmark::RegisterBenchmark(("conv_engine/" + t).c_str(), convEngine, s, threads, int64_t{0})->UseRealTime();
      for (const int64_t bit : otherTargets())
        benchmark::RegisterBenchmark(("conv_engine@" + std::string(hwy::TargetName(bit)) + "/" + t).c_str(), convEngine,
                                     s, threads, bit)
            ->UseRealTime();
      benchmark::RegisterBenchmark(("conv_ort/" + t).c_str(), convOrt, s, threads)->UseRealTime();
      ratios.push_back({"conv_engine/" + t + "/real_time", "conv_ort/" + t + "/real_time"});
    }
  benchmark::RegisterBenchmark("floor/memcpy_basis_25MB", memcpyFloor, size_t{64} * le::conv::kBasisCols * 2);
  benchmark::RegisterBenchmark("floor/memcpy_frame_c512", memcpyFloor, size_t{3} * 512 * 512 * (2 + 4));
  return ratios;
}

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/conv_engine_bench.XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return 1;
  gDir = tmpl;
  int rc = 1;
  if (writeFixtures()) {
    const le::bench::FmaPeak one = le::bench::fmaPeakGflops(1), two = le::bench::fmaPeakGflops(2);
    std::printf("fp16 engine on %s (available: %s); measured float32 FMA peak %.1f GFLOP per processor-second "
                "(one core); by the wall clock %.1f GFLOP/s on 1 thread, %.1f on 2\n",
                le::simd::target(), le::ConvBackend::available() ? "yes" : "no", std::max(one.perCpu, two.perCpu),
                one.wall, two.wall);
    rc = le::bench::runAndReport(argc, argv, registerAll());
  }
  le::fs::rmTree(gDir);
  return rc;
}
