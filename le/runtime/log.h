// The library's one way to say something: single diagnostic lines with a
// bracketed tag, handed to the host's sink (le_log_set) or, by default,
// written to standard error followed by a newline. Callable from any thread;
// lines reach the sink one at a time, never interleaved.
#pragma once

#include <string_view>

namespace le::log {

// The values of LE_LOG_ERROR, LE_LOG_WARNING and LE_LOG_INFO in le/le.h.
enum class Level : int { Error = 1, Warning = 2, Info = 3 };

using Sink = void (*)(int level, const char* line, void* user);

// Sends one line, given without its newline. Never throws; a line that
// cannot be built (out of memory) is dropped.
void line(Level level, std::string_view text) noexcept;

// printf-style form of line(); the format carries no trailing newline.
void linef(Level level, const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));

// Routes every later line to fn with user; null restores standard error.
// When it returns, no line is being delivered to the previous sink, so its
// user data may be freed. A sink that logs gets its own lines on standard
// error; a sink may call setSink.
void setSink(Sink fn, void* user) noexcept;

// True while a host's sink is installed: lines only a host that filters by
// level wants (onnxruntime's own info lines) are sent only then.
bool hostSink() noexcept;

}  // namespace le::log
