#include "live_figures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace le::tool {

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (b < 0x20 || b == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", b);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

const char* frameKindName(int kind) {
  switch (kind) {
    case LE_UTT_IDLE: return "idle";
    case LE_UTT_SPEECH: return "speech";
    case LE_UTT_RAMP: return "ramp";
    default: return "none";
  }
}

const char* uttStateName(int state) {
  switch (state) {
    case 1: return "starting";
    case 2: return "speaking";
    case 3: return "ramping";
    default: return "idle";
  }
}

void LiveFigures::onFrame(double nowS, int kind, double encodeMs) {
  std::lock_guard<std::mutex> lock(mu_);
  window_.push_back(Entry{nowS, kind, encodeMs});
  prune(nowS);
  ++frames_;
  if (kind == LE_UTT_SPEECH) ++speech_;
  else if (kind == LE_UTT_RAMP) ++ramp_;
  lastKind_ = kind;
}

void LiveFigures::prune(double nowS) {
  while (!window_.empty() && window_.front().t <= nowS - 1.0) window_.pop_front();
}

uint64_t LiveFigures::frames() const {
  std::lock_guard<std::mutex> lock(mu_);
  return frames_;
}

namespace {

// A finite number with fixed decimals; JSON has no NaN.
std::string num(double v, int decimals) {
  if (!std::isfinite(v)) return "null";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

}  // namespace

std::string LiveFigures::json(double nowS, const le_utt_stats& st, const LibraryStatus& lib, int viewers) {
  std::lock_guard<std::mutex> lock(mu_);
  prune(nowS);
  int rendered = 0;
  double encodeMs = 0;
  for (const Entry& e : window_) {
    if (e.kind == LE_UTT_SPEECH || e.kind == LE_UTT_RAMP) ++rendered;
    encodeMs += e.encodeMs;
  }
  const double render = std::clamp(std::max(0.0, st.render_ms) * rendered / 1000.0, 0.0, 1.0);
  const double encode = std::clamp(encodeMs / 1000.0, 0.0, 1.0 - render);
  const double wait = 1.0 - render - encode;
  std::string j = "{";
  j += "\"fps\":" + std::to_string(window_.size());
  j += ",\"kind\":" + jsonString(frameKindName(lastKind_));
  j += ",\"state\":" + jsonString(uttStateName(st.state));
  j += ",\"frames\":" + std::to_string(frames_);
  j += ",\"speech_frames\":" + std::to_string(speech_);
  j += ",\"ramp_frames\":" + std::to_string(ramp_);
  j += ",\"delivered\":" + std::to_string(st.frames_delivered);
  j += ",\"speech_delivered\":" + std::to_string(st.speech_frames_delivered);
  j += ",\"utterances\":" + std::to_string(st.first_frames);
  j += ",\"first_frame_latency_ms\":" + (st.first_frames ? num(st.first_frame_latency_ms, 1) : std::string("null"));
  j += ",\"render_ms\":" + num(st.render_ms, 2);
  j += ",\"share_render\":" + num(render, 3);
  j += ",\"share_encode\":" + num(encode, 3);
  j += ",\"share_wait\":" + num(wait, 3);
  j += ",\"render_failures\":" + std::to_string(lib.renderFailures);
  j += ",\"render_status\":" + jsonString(lib.renderMessage.empty() ? "ok" : lib.renderMessage);
  j += ",\"log\":" + jsonString(lib.logLine);
  j += ",\"log_warnings\":" + std::to_string(lib.logWarnings);
  j += ",\"viewers\":" + std::to_string(viewers);
  return j + "}";
}

}  // namespace le::tool
