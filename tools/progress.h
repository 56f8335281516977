// Progress line on standard error: redrawn in place on a terminal, plain
// lines (at most one a second) when standard error is a file or a pipe.
#pragma once

#include <chrono>
#include <cstdio>

namespace le::tool {

class Progress {
 public:
  Progress(const char* tool, int total, bool quiet);
  // `done` frames finished so far.
  void update(int done);
  // Ends the line on a terminal.
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  const char* tool_;
  int total_;
  bool quiet_, tty_;
  bool drawn_ = false;
  Clock::time_point start_, last_;
};

}  // namespace le::tool
