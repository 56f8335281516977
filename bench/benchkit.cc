#include "benchkit.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>

namespace le::bench {

namespace {
// Console output as usual, plus the real time per iteration of every run.
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && !r.error_occurred)
        seconds[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds;
};
}  // namespace

int runAndReport(int argc, char** argv, const std::vector<Ratio>& ratios) {
  benchmark::Initialize(&argc, argv);
  Collector rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  benchmark::Shutdown();
  std::printf("\nratios (peer time / subject time; > 1 means the subject is faster)\n");
  for (const Ratio& r : ratios) {
    const auto s = rep.seconds.find(r.subject), p = rep.seconds.find(r.peer);
    if (s == rep.seconds.end() || p == rep.seconds.end() || s->second <= 0) continue;
    std::printf("  %-48s vs %-40s %6.2fx\n", r.subject.c_str(), r.peer.c_str(),
                p->second / s->second);
  }
  return 0;
}

}  // namespace le::bench
