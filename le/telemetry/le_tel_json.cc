// Escaping and number format of the telemetry JSON.
#include "le/telemetry/tel_json.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <system_error>

namespace le::tel {

namespace {

constexpr char kHex[] = "0123456789abcdef";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence starting at s[i] (n bytes remain,
// s[i] >= 0x80), or, negated, how many bytes of it to replace: the maximal
// prefix that could still have become well-formed, at least one byte.
long utf8Sequence(const unsigned char* s, size_t n) {
  const unsigned char b0 = s[0];
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return -1;  // continuation byte, C0, C1 or F5..FF as a lead
  }
  size_t got = 1;
  while (got < need && got < n) {
    const unsigned char b = s[got];
    const unsigned char l = got == 1 ? lo : 0x80, h = got == 1 ? hi : 0xBF;
    if (b < l || b > h) break;
    ++got;
  }
  return got == need ? static_cast<long>(need) : -static_cast<long>(got);
}

}  // namespace

void appendString(std::string& out, std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  out.push_back('"');
  size_t i = 0;
  while (i < n) {
    const unsigned char c = s[i];
    if (c >= 0x80) {
      const long len = utf8Sequence(s + i, n - i);
      if (len > 0) {
        out.append(text.substr(i, static_cast<size_t>(len)));
        i += static_cast<size_t>(len);
      } else {
        out.append(kReplacement);
        i += static_cast<size_t>(-len);
      }
      continue;
    }
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out.append("\\n");
    } else if (c == '\t') {
      out.append("\\t");
    } else if (c < 0x20) {
      const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
      out.append(esc, sizeof esc);
    } else {
      out.push_back(static_cast<char>(c));
    }
    ++i;
  }
  out.push_back('"');
}

void appendNumber(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out.append("null");
    return;
  }
  char buf[64];
  // [-2^63, 2^63) is exactly the range where the cast to int64 is defined.
  constexpr double kTwo63 = 9223372036854775808.0;
  if (v >= -kTwo63 && v < kTwo63) {
    const auto i = static_cast<int64_t>(v);
    if (static_cast<double>(i) == v) {
      const auto r = std::to_chars(buf, buf + sizeof buf, i);
      out.append(buf, r.ptr);
      return;
    }
  }
  // to_chars with a precision formats exactly as printf does in the C locale.
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 6);
  if (r.ec != std::errc()) {
    out.append("null");  // cannot happen with 64 bytes for %.6g
    return;
  }
  out.append(buf, r.ptr);
}

}  // namespace le::tel
