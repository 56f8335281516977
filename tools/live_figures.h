// The figures the live page shows once a second: frames per second over the
// last second, the kind of the newest frame, the library's counters and
// first-frame latency, and where the last second went (director renders,
// JPEG encodes, waiting), as one JSON object for a server-sent event.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

#include "le/le_utt.h"

namespace le::tool {

// A JSON string literal of text, quotes included.
std::string jsonString(std::string_view text);

// "idle", "speech", "ramp"; "none" before the first frame.
const char* frameKindName(int kind);

// "idle", "starting", "speaking", "ramping".
const char* uttStateName(int state);

// What the library said, besides its counters.
struct LibraryStatus {
  int renderFailures = 0;
  std::string renderMessage;  // empty: no failure
  std::string logLine;        // the library's latest log line
  int logWarnings = 0;        // warnings and errors so far
};

class LiveFigures {
 public:
  // A frame published at nowS (seconds on one steady clock) that took
  // encodeMs to encode.
  void onFrame(double nowS, int kind, double encodeMs);

  // The figures at nowS. The render share is the director's per-frame time
  // (the library's moving average) times the rendered frames of the last
  // second; the shares are of one second of wall time and sum to 1.
  std::string json(double nowS, const le_utt_stats& st, const LibraryStatus& lib, int viewers);

  uint64_t frames() const;

 private:
  struct Entry {
    double t;
    int kind;
    double encodeMs;
  };
  void prune(double nowS);

  mutable std::mutex mu_;
  std::deque<Entry> window_;  // the last second's frames only
  uint64_t frames_ = 0, speech_ = 0, ramp_ = 0;
  int lastKind_ = -1;
};

}  // namespace le::tool
