#include "le/runtime/simd_targets.h"
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "fma_peak.cc"
#include <hwy/foreach_target.h>
#include <hwy/highway.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "fma_peak.h"

HWY_BEFORE_NAMESPACE();
namespace le::bench {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Twelve chains cover the FMA latency on every current core; returns the
// FLOPs done and keeps the result alive through `sink`. Each chain starts
// from its own value: identical chains are one chain to the compiler, which
// would then count twelve times the work it does.
double FmaLoop(size_t rounds, float* sink) {
  const hn::ScalableTag<float> d;
  const auto m = hn::Set(d, 0.999999f), a = hn::Set(d, 1e-7f);
  auto c0 = hn::Set(d, 1.00f), c1 = hn::Set(d, 1.01f), c2 = hn::Set(d, 1.02f), c3 = hn::Set(d, 1.03f);
  auto c4 = hn::Set(d, 1.04f), c5 = hn::Set(d, 1.05f), c6 = hn::Set(d, 1.06f), c7 = hn::Set(d, 1.07f);
  auto c8 = hn::Set(d, 1.08f), c9 = hn::Set(d, 1.09f), c10 = hn::Set(d, 1.10f), c11 = hn::Set(d, 1.11f);
  for (size_t r = 0; r < rounds; ++r) {
    c0 = hn::MulAdd(c0, m, a); c1 = hn::MulAdd(c1, m, a); c2 = hn::MulAdd(c2, m, a);
    c3 = hn::MulAdd(c3, m, a); c4 = hn::MulAdd(c4, m, a); c5 = hn::MulAdd(c5, m, a);
    c6 = hn::MulAdd(c6, m, a); c7 = hn::MulAdd(c7, m, a); c8 = hn::MulAdd(c8, m, a);
    c9 = hn::MulAdd(c9, m, a); c10 = hn::MulAdd(c10, m, a); c11 = hn::MulAdd(c11, m, a);
  }
  const auto s = hn::Add(hn::Add(hn::Add(c0, c1), hn::Add(c2, c3)),
                         hn::Add(hn::Add(hn::Add(c4, c5), hn::Add(c6, c7)), hn::Add(hn::Add(c8, c9), hn::Add(c10, c11))));
  *sink = hn::GetLane(s);
  return 2.0 * 12.0 * static_cast<double>(hn::Lanes(d)) * static_cast<double>(rounds);
}

}  // namespace HWY_NAMESPACE
}  // namespace le::bench
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::bench {

HWY_EXPORT(FmaLoop);

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

FmaPeak fmaPeakGflops(int threads) {
  const size_t rounds = size_t{1} << 26;
  std::vector<float> sink(static_cast<size_t>(threads) * 16);
  std::vector<double> flops(static_cast<size_t>(threads)), cpu(static_cast<size_t>(threads));
  HWY_DYNAMIC_DISPATCH(FmaLoop)(1 << 20, sink.data());  // warm up, choose the target
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> ts;
  for (int t = 0; t < threads; ++t)
    ts.emplace_back([&, t] {
      const double c0 = threadCpuSeconds();
      flops[t] = HWY_DYNAMIC_DISPATCH(FmaLoop)(rounds, &sink[t * 16]);
      cpu[t] = threadCpuSeconds() - c0;
    });
  for (std::thread& t : ts) t.join();
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  double total = 0, perCpu = 0;
  for (int t = 0; t < threads; ++t) {
    total += flops[t];
    perCpu = std::max(perCpu, flops[t] / cpu[t]);
  }
  return {total / s * 1e-9, perCpu * 1e-9};
}

}  // namespace le::bench
#endif
