// Cost of one parallel call with an empty job, in microseconds per call: the
// hand-off through a pool of 4 (4 parts) and through parallelRange, against
// starting and joining 3 threads per call, with the inline call as floor.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <thread>

#include "benchkit.h"
#include "le/runtime/le_pool.h"

namespace {

void emptyJob(size_t b, size_t e) { benchmark::DoNotOptimize(b + e); }

void BM_Pool4Empty(benchmark::State& st) {
  le::pool::Pool pool(4);
  auto job = [](size_t b, size_t e) { emptyJob(b, e); };
  for (auto _ : st) pool.run(4, 4, le::pool::RangeRef(job));
}
BENCHMARK(BM_Pool4Empty)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ParallelRangeEmpty(benchmark::State& st) {
  for (auto _ : st) le::pool::parallelRange(4, 1, [](size_t b, size_t e) { emptyJob(b, e); });
  st.counters["parts"] = le::pool::parts(4, 1);
}
BENCHMARK(BM_ParallelRangeEmpty)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_SpawnJoin3(benchmark::State& st) {
  for (auto _ : st) {
    std::thread a(emptyJob, 1, 2), b(emptyJob, 2, 3), c(emptyJob, 3, 4);
    emptyJob(0, 1);
    a.join();
    b.join();
    c.join();
  }
}
BENCHMARK(BM_SpawnJoin3)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_InlineEmpty(benchmark::State& st) {
  for (auto _ : st) emptyJob(0, 4);
}
BENCHMARK(BM_InlineEmpty)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  std::printf("pool threads: %d, hardware threads: %u\n", le::pool::threads(),
              std::thread::hardware_concurrency());
  return le::bench::runAndReport(argc, argv,
                                 {{"BM_Pool4Empty/real_time", "BM_SpawnJoin3/real_time"},
                                  {"BM_ParallelRangeEmpty/real_time", "BM_SpawnJoin3/real_time"}});
}
