// le-live's command line: its usage text and options.
#pragma once

#include <optional>
#include <string>

#include "live_request.h"
#include "tool_log.h"

namespace le::tool {

struct LiveOptions {
  std::string bundle, audio, output, motion, w2v, model, sheet, report, steady;
  int threads = 0;
  int eager = 0;
  bool fast = false;
  int chunkMs = 20;
  double lead = 0.4, tail = 1.0;
  std::optional<double> interruptAt;
  bool endMarks = false;
  bool teeth = false;
  int sheetFrames = 12;  // frames on the contact sheet
  int crf = 18;
  le::tool::Verbosity verbosity = le::tool::Verbosity::Normal;
  std::optional<le::tool::ServeAddress> serve;
};

extern const char kLiveUsage[];

// The options of argc/argv; nullopt when --help was asked for. Throws
// UsageError for anything else it cannot take.
std::optional<LiveOptions> parseLiveOptions(int argc, char** argv);

}  // namespace le::tool
