// Runs the registered Google Benchmarks, then prints each subject's speed as a
// ratio against its peer measured in the same run.
#pragma once

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

}  // namespace le::bench
