#include "live_request.h"

#include <charconv>

#include "cli.h"

namespace le::tool {

bool looksLikeServeAddress(std::string_view text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 >= text.size()) return false;
  for (size_t i = colon + 1; i < text.size(); ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

ServeAddress parseServeAddress(std::string_view text) {
  const std::string shown = "--serve " + std::string(text);
  if (!looksLikeServeAddress(text)) throw UsageError(shown + ": wants ADDRESS:PORT");
  const size_t colon = text.rfind(':');
  std::string_view host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty()) throw UsageError(shown + ": no address before the port");
  for (const char c : host)
    if (c <= ' ' || c == '/' || c == '[' || c == ']' || c == 0x7f) throw UsageError(shown + ": not an address");
  const std::string_view digits = text.substr(colon + 1);
  int port = -1;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  if (ec != std::errc() || end != digits.data() + digits.size() || port < 0 || port > 65535)
    throw UsageError(shown + ": the port must be 0 .. 65535");
  return ServeAddress{std::string(host), port};
}

size_t utf8Chars(std::string_view text) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++chars) {
    const auto b = static_cast<unsigned char>(text[i]);
    // Lead byte: its length, and the smallest code point of that length
    // (overlong forms are not UTF-8).
    size_t len = 0;
    unsigned cp = 0, least = 0;
    if (b < 0x80) len = 1, cp = b;
    else if ((b & 0xE0) == 0xC0) len = 2, cp = b & 0x1F, least = 0x80;
    else if ((b & 0xF0) == 0xE0) len = 3, cp = b & 0x0F, least = 0x800;
    else if ((b & 0xF8) == 0xF0) len = 4, cp = b & 0x07, least = 0x10000;
    else return std::string_view::npos;
    if (len > text.size() - i) return std::string_view::npos;
    for (size_t k = 1; k < len; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return std::string_view::npos;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::string_view::npos;
    i += len;
  }
  return chars;
}

std::string speakTextProblem(std::string_view text) {
  const size_t chars = utf8Chars(text);
  if (chars == std::string_view::npos) return "the text is not UTF-8";
  if (chars > kMaxSpeakChars)
    return "the text has " + std::to_string(chars) + " characters; at most " + std::to_string(kMaxSpeakChars) +
           " are spoken";
  bool words = false;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b < 0x20 && c != '\n' && c != '\t' && c != '\r') || b == 0x7f) return "the text holds control characters";
    if (c != ' ' && c != '\n' && c != '\t' && c != '\r') words = true;
  }
  if (!words) return "no text to speak";
  return {};
}

bool isWavBody(std::string_view body) {
  return body.size() >= 12 && body.substr(0, 4) == "RIFF" && body.substr(8, 4) == "WAVE";
}

std::vector<std::string> speakArgs(const std::string& program, const std::string& text, const std::string& wavPath) {
  return {program, "-w", wavPath, "--", text};
}

}  // namespace le::tool
