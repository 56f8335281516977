// le_fca: the causal 20 % quantile gate at 1, 5 and 10 minutes of frames
// (1500, 7500, 15000), with its time per F log2 F to show the growth, against
// a sort per frame (the plain way, 1 minute only: it grows as F^2 log F) and a
// plain pass over the same energies (the floor); then whole-clip
// le_fca_deltas on the fixture models at 1, 5 and 10 minutes.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "benchkit.h"
#include "le/audio/quantile_gate.h"
#include "le/le_fca.h"

namespace {

std::string gDir;

std::vector<double> energies(int64_t F) {
  std::mt19937_64 rng(5);
  std::lognormal_distribution<double> d(0.0, 1.0);
  std::vector<double> e(static_cast<size_t>(F));
  for (double& v : e) v = d(rng);
  return e;
}

void BM_QuantileGate(benchmark::State& st) {
  const int64_t F = st.range(0);
  const std::vector<double> e = energies(F);
  for (auto _ : st) {
    le::audio::QuantileGate g;
    double acc = 0;
    for (double v : e) acc += g.push(v);
    benchmark::DoNotOptimize(acc);
  }
  st.counters["ns_per_FlogF"] = benchmark::Counter(
      double(F) * std::log2(double(F)) * double(st.iterations()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_QuantileGate)->Arg(1500)->Arg(7500)->Arg(15000)->Unit(benchmark::kMicrosecond);

void BM_SortPerFrame(benchmark::State& st) {
  const int64_t F = st.range(0);
  const std::vector<double> e = energies(F);
  std::vector<double> s;
  for (auto _ : st) {
    double acc = 0;
    for (int64_t t = 7; t < F; ++t) {
      s.assign(e.begin(), e.begin() + t + 1);
      std::sort(s.begin(), s.end());
      const double q = 0.2 * double(t), lo = std::floor(q), hi = std::ceil(q);
      acc += s[size_t(lo)] + (s[size_t(hi)] - s[size_t(lo)]) * (q - lo);
    }
    benchmark::DoNotOptimize(acc);
  }
}
BENCHMARK(BM_SortPerFrame)->Arg(1500)->Unit(benchmark::kMicrosecond);

void BM_EnergyPass(benchmark::State& st) {
  const int64_t F = st.range(0);
  const std::vector<double> e = energies(F);
  for (auto _ : st) {
    double acc = 0;
    for (double v : e) acc += v > acc * 1e-9 ? v : 0.0;
    benchmark::DoNotOptimize(acc);
  }
}
BENCHMARK(BM_EnergyPass)->Arg(1500)->Arg(15000)->Unit(benchmark::kMicrosecond);

void BM_FcaDeltas(benchmark::State& st) {
  const int64_t minutes = st.range(0);
  const int n = int(minutes * 60 * 16000);
  std::vector<float> a(static_cast<size_t>(n));
  std::mt19937 rng(3);
  std::normal_distribution<float> g(0.0f, 0.1f);
  for (float& v : a) v = g(rng);
  le_fca* h = le_fca_create((gDir + "/frontend.onnx").c_str(), (gDir + "/fca_stream.onnx").c_str(), 1);
  if (h == nullptr) {
    st.SkipWithError(le_fca_last_error());
    return;
  }
  const int F = (n + 639) / 640;
  std::vector<float> out(size_t(F) * 63);
  for (auto _ : st) {
    if (le_fca_deltas(h, a.data(), n, out.data(), F) != F) st.SkipWithError(le_fca_last_error());
    benchmark::DoNotOptimize(out.data());
  }
  st.counters["x_realtime"] = benchmark::Counter(double(minutes) * 60.0 * double(st.iterations()),
                                                 benchmark::Counter::kIsRate);
  le_fca_destroy(h);
}
BENCHMARK(BM_FcaDeltas)->Arg(1)->Arg(5)->Arg(10)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/le-fca-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  gDir = tmpl;
  const std::string cmd = std::string("cd '") + LE_FIXTURES_DIR + "' && " + LE_PYTHON +
                          " -m lefix fca models --out '" + gDir + "'";
  if (std::system(cmd.c_str()) != 0) return 1;
  const int rc = le::bench::runAndReport(
      argc, argv,
      {{"BM_QuantileGate/1500", "BM_SortPerFrame/1500"},
       {"BM_QuantileGate/1500", "BM_EnergyPass/1500"},
       {"BM_QuantileGate/15000", "BM_EnergyPass/15000"}});
  std::system(("rm -rf '" + gDir + "'").c_str());
  return rc;
}
