// What the live page's server accepts, checked before anything runs: the
// address it listens on, the text it speaks, the WAV bodies it plays and the
// command line of the speech synthesiser (an argument vector, never a shell
// line, so nothing in the text is ever interpreted).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace le::tool {

// Request bodies past this are refused (413) before they are read whole.
inline constexpr size_t kMaxBodyBytes = size_t(10) << 20;
// Characters (not bytes) of one sentence to speak.
inline constexpr size_t kMaxSpeakChars = 500;
inline constexpr int kDefaultServePort = 8080;
inline constexpr const char* kDefaultServeHost = "127.0.0.1";

struct ServeAddress {
  std::string host = kDefaultServeHost;
  int port = kDefaultServePort;
};

// True for "HOST:PORT" with a decimal PORT: what may follow --serve (a
// bundle path is anything else).
bool looksLikeServeAddress(std::string_view text);

// "HOST:PORT" or "[V6]:PORT", PORT in 0 .. 65535 (0: any free port); a
// UsageError names what is wrong.
ServeAddress parseServeAddress(std::string_view text);

// Code points of valid UTF-8; std::string_view::npos when it is not UTF-8.
size_t utf8Chars(std::string_view text);

// Empty when the text can be spoken; otherwise the reason it cannot.
std::string speakTextProblem(std::string_view text);

// True when the body starts like a RIFF WAVE file.
bool isWavBody(std::string_view body);

// The synthesiser's arguments: the WAV to write, then "--" so that a text
// starting with '-' is spoken rather than taken for an option.
std::vector<std::string> speakArgs(const std::string& program, const std::string& text, const std::string& wavPath);

}  // namespace le::tool
