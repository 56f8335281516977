#include "benchkit.h"

#include "le/runtime/le_simd.h"

#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <map>

namespace le::bench {

namespace {
// Console output as usual, plus the real time per iteration of every run.
// With --benchmark_repetitions the median of the repetitions stands for the
// benchmark (aggregates are reported after the repetitions they summarise).
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      if (r.run_type == Run::RT_Iteration)
        seconds[r.benchmark_name()] = r.GetAdjustedRealTime();
      else if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
        seconds[r.run_name.str()] = r.GetAdjustedRealTime();
    }
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

bool sh(const std::string& cmd) {
  if (std::system(cmd.c_str()) == 0) return true;
  std::printf("fixture failed: %s\n", cmd.c_str());
  return false;
}

void writeRandomHalfs(const std::string& path, size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(0.f, 1.f);
  std::vector<uint16_t> h(n);
  for (uint16_t& v : h) v = le::f32ToF16(d(rng));
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(h.data()), static_cast<std::streamsize>(n * 2));
}

int runPerThreadCount(char** argv) {
  for (const char* t : {"1", "2"}) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
      setenv("LE_CORE_THREADS", t, 1);
      execv("/proc/self/exe", argv);
      _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
  }
  return 0;
}

}  // namespace le::bench
