// le-live --serve: a small web page showing one live pipeline as it runs.
// One producer thread pulls a frame every 40 ms, encodes it once and puts it
// on the frame board; every viewer of /stream takes the newest frame when it
// is ready for one, so a slow or vanished viewer never holds the pipeline.
// Routes: GET / (the page), GET /stream (multipart JPEG), GET /events
// (figures once a second as server-sent events), POST /speak (text),
// POST /audio (a WAV body), POST /interrupt.
#pragma once

#include <mutex>
#include <string>

#include "le/le_utt.h"
#include "live_request.h"
#include "tool_log.h"

namespace le::tool {

// The library's log lines for the page: the latest one and how many warnings
// and errors came, while they still go to standard error as the verbosity
// says.
class ServeLog {
 public:
  explicit ServeLog(Verbosity v);
  std::string lastLine();
  int warnings();

 private:
  bool note(int level, const char* text);
  std::mutex mu_;
  std::string last_;
  int warnings_ = 0;
  bool lastIsWarning_ = false;
  ToolLog log_;  // last: installed once the rest exists, removed first
};

struct ServeOptions {
  ServeAddress address;
  std::string speaker = "espeak-ng";  // the synthesiser, looked up on PATH
  Verbosity verbosity = Verbosity::Normal;
};

// Serves until SIGINT or SIGTERM, then joins every thread; prints "serving
// http://HOST:PORT/" once listening. 130 when stopped by a signal, 1 when
// the pipeline failed; throws std::runtime_error when it cannot listen.
int serveLive(le_utt* utt, int width, int height, const ServeOptions& o, ServeLog& log);

}  // namespace le::tool
