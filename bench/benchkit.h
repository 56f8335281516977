// Runs the registered Google Benchmarks, then prints each subject's speed as a
// ratio against its peer measured in the same run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace le::bench {

// A pair to compare: "subject is N x as fast as peer" (peer time / subject time).
struct Ratio {
  std::string subject;
  std::string peer;
};

int runAndReport(int argc, char** argv, const std::vector<Ratio>& ratios);

// Runs a fixture command through the shell; prints it and returns false on failure.
bool sh(const std::string& cmd);

// n random binary16 values in [0, 1), seeded, written to path (bench bundles'
// prior members).
void writeRandomHalfs(const std::string& path, size_t n, uint32_t seed);

// Runs this program again once with LE_CORE_THREADS=1 and once with 2 (the
// worker pool reads its size once per process); 0 when both runs succeeded.
int runPerThreadCount(char** argv);

}  // namespace le::bench
