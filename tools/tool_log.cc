#include "tool_log.h"

extern "C" {
#include <libavutil/log.h>
}
#include <onnxruntime_c_api.h>

#include <cstdio>

#include "le/le.h"
#include "le/runtime/le_simd.h"

namespace le::tool {

ToolLog::ToolLog(Verbosity v, std::function<bool(int, const char*)> keep) : v_(v), keep_(std::move(keep)) {
  // FFmpeg's warnings (an MP3's padding, an encoder's notes) are not the
  // user's business unless asked for.
  av_log_set_level(v == Verbosity::Verbose ? AV_LOG_INFO : AV_LOG_ERROR);
  le_log_set(&ToolLog::line, this);
}

ToolLog::~ToolLog() { le_log_set(nullptr, nullptr); }

void ToolLog::line(int level, const char* text, void* user) {
  auto* self = static_cast<ToolLog*>(user);
  if (self->keep_ && self->keep_(level, text)) return;
  const int most = self->v_ == Verbosity::Quiet ? LE_LOG_ERROR
                   : self->v_ == Verbosity::Normal ? LE_LOG_WARNING
                                                   : LE_LOG_INFO;
  if (level <= most) std::fprintf(stderr, "%s\n", text);
}

std::string versionLine(const char* tool) {
  const OrtApiBase* ort = OrtGetApiBase();
  const char* ortVersion = ort ? ort->GetVersionString() : "unknown";
  return std::string(tool) + " " + le_version() + " (le_core " + le_version() + ", onnxruntime " + ortVersion +
         ", vector target " + le::simd::target() + ")";
}

}  // namespace le::tool
