#include "le/runtime/ff_log.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "le/runtime/log.h"

namespace le::ffmpeg {
namespace {

log::Level levelOf(int avLevel) {
  if (avLevel <= AV_LOG_ERROR) return log::Level::Error;
  if (avLevel <= AV_LOG_WARNING) return log::Level::Warning;
  return log::Level::Info;
}

// FFmpeg builds a line over several calls; each thread keeps its part until
// the newline comes.
thread_local std::string t_pending;
thread_local std::string t_component;

void forward(void* avcl, int level, const char* fmt, va_list vl) {
  if (level > av_log_get_level() || level > AV_LOG_VERBOSE) return;
  try {
    char buf[1024];
    va_list copy;
    va_copy(copy, vl);
    const int n = std::vsnprintf(buf, sizeof buf, fmt, copy);
    va_end(copy);
    if (n < 0) return;
    if (t_pending.empty()) {
      const AVClass* cls = avcl ? *static_cast<AVClass* const*>(avcl) : nullptr;
      t_component = cls && cls->item_name ? cls->item_name(avcl) : "";
    }
    t_pending.append(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
    if (t_pending.empty() || t_pending.back() != '\n') return;
    log::line(levelOf(level), logLine(t_component.c_str(), t_pending));
    t_pending.clear();
  } catch (...) {
    t_pending.clear();
  }
}

}  // namespace

std::string logLine(const char* component, const std::string& text) {
  std::string out = "[ffmpeg] ";
  if (component && *component) out += std::string("[") + component + "] ";
  size_t end = text.size();
  while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
  for (size_t i = 0; i < end; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    out += c < 0x20 || c == 0x7f ? ' ' : static_cast<char>(c);
  }
  return out;
}

void routeLog() noexcept {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(forward); });
}

}  // namespace le::ffmpeg
