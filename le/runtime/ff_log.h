// FFmpeg's own messages (decoders, demuxers, encoders of a host in the same
// process) reach the log sink as "[ffmpeg] ..." lines instead of going
// straight to standard error: av_log_set_callback, installed once.
#pragma once

#include <string>

namespace le::ffmpeg {

// Installs the forwarding callback; later calls do nothing. FFmpeg's own level
// (av_log_set_level) still decides what is produced.
void routeLog() noexcept;

// The line FFmpeg's text becomes: "[ffmpeg] " + the component's name in
// brackets when it has one + the text, control characters made blanks and
// the trailing newline dropped.
std::string logLine(const char* component, const std::string& text);

}  // namespace le::ffmpeg
