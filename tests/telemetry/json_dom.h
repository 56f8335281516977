// A strict JSON reader for tests: RFC 8259 grammar, well-formed UTF-8 in
// strings, no trailing bytes. Numbers keep their text so tests can compare the
// exact format the library wrote.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace le::test {

struct Json {
  enum class Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  std::string text;  // a string's decoded value or a number's source text
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;

  const Json* get(std::string_view key) const {
    for (const auto& [k, v] : members)
      if (k == key) return &v;
    return nullptr;
  }
  std::vector<std::string> keys() const {
    std::vector<std::string> out;
    for (const auto& m : members) out.push_back(m.first);
    return out;
  }
};

class JsonReader {
 public:
  static std::optional<Json> parse(std::string_view s) {
    JsonReader r(s);
    Json v;
    r.ws();
    if (!r.value(v, 0)) return std::nullopt;
    r.ws();
    if (r.i_ != s.size()) return std::nullopt;
    return v;
  }

 private:
  explicit JsonReader(std::string_view s) : s_(s) {}

  bool more() const { return i_ < s_.size(); }
  unsigned char peek() const { return static_cast<unsigned char>(s_[i_]); }
  void ws() {
    while (more() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) ++i_;
  }
  bool lit(std::string_view w) {
    if (s_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return true;
  }

  bool value(Json& v, int depth) {
    if (depth > 64 || !more()) return false;
    const unsigned char c = peek();
    if (c == '{') return object(v, depth);
    if (c == '[') return array(v, depth);
    if (c == '"') {
      v.kind = Json::Kind::String;
      return string(v.text);
    }
    if (c == 't' || c == 'f') {
      v.kind = Json::Kind::Bool;
      v.boolean = c == 't';
      return lit(c == 't' ? "true" : "false");
    }
    if (c == 'n') return lit("null");
    return number(v);
  }

  bool object(Json& v, int depth) {
    v.kind = Json::Kind::Object;
    ++i_;
    ws();
    if (more() && peek() == '}') return ++i_, true;
    for (;;) {
      ws();
      std::string key;
      if (!more() || peek() != '"' || !string(key)) return false;
      ws();
      if (!more() || peek() != ':') return false;
      ++i_;
      ws();
      Json child;
      if (!value(child, depth + 1)) return false;
      v.members.emplace_back(std::move(key), std::move(child));
      ws();
      if (!more()) return false;
      if (peek() == '}') return ++i_, true;
      if (peek() != ',') return false;
      ++i_;
    }
  }

  bool array(Json& v, int depth) {
    v.kind = Json::Kind::Array;
    ++i_;
    ws();
    if (more() && peek() == ']') return ++i_, true;
    for (;;) {
      ws();
      Json child;
      if (!value(child, depth + 1)) return false;
      v.items.push_back(std::move(child));
      ws();
      if (!more()) return false;
      if (peek() == ']') return ++i_, true;
      if (peek() != ',') return false;
      ++i_;
    }
  }

  bool digits() {
    const size_t b = i_;
    while (more() && peek() >= '0' && peek() <= '9') ++i_;
    return i_ > b;
  }

  bool number(Json& v) {
    const size_t b = i_;
    if (more() && peek() == '-') ++i_;
    if (!more()) return false;
    if (peek() == '0') {
      ++i_;
    } else if (!digits()) {
      return false;
    }
    if (more() && peek() == '.') {
      ++i_;
      if (!digits()) return false;
    }
    if (more() && (peek() == 'e' || peek() == 'E')) {
      ++i_;
      if (more() && (peek() == '+' || peek() == '-')) ++i_;
      if (!digits()) return false;
    }
    v.kind = Json::Kind::Number;
    v.text.assign(s_.substr(b, i_ - b));
    return true;
  }

  static void utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 63)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 63)));
      out.push_back(static_cast<char>(0x80 | (cp & 63)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 63)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 63)));
      out.push_back(static_cast<char>(0x80 | (cp & 63)));
    }
  }

  bool hex4(uint32_t& cp) {
    if (s_.size() - i_ < 4) return false;
    cp = 0;
    for (int k = 0; k < 4; ++k) {
      const char h = s_[i_++];
      cp <<= 4;
      if (h >= '0' && h <= '9') cp |= static_cast<uint32_t>(h - '0');
      else if (h >= 'a' && h <= 'f') cp |= static_cast<uint32_t>(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F') cp |= static_cast<uint32_t>(h - 'A' + 10);
      else return false;
    }
    return true;
  }

  // One well-formed UTF-8 sequence (lead byte >= 0x80) copied to out.
  bool rawUtf8(std::string& out) {
    const unsigned char b0 = peek();
    size_t need;
    uint32_t cp;
    if (b0 >= 0xC2 && b0 <= 0xDF) need = 2, cp = b0 & 0x1F;
    else if (b0 >= 0xE0 && b0 <= 0xEF) need = 3, cp = b0 & 0x0F;
    else if (b0 >= 0xF0 && b0 <= 0xF4) need = 4, cp = b0 & 0x07;
    else return false;
    if (s_.size() - i_ < need) return false;
    for (size_t k = 1; k < need; ++k) {
      const auto b = static_cast<unsigned char>(s_[i_ + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 63);
    }
    const uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < minimum[need] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    out.append(s_.substr(i_, need));
    i_ += need;
    return true;
  }

  bool string(std::string& out) {
    ++i_;  // opening quote
    while (more()) {
      const unsigned char c = peek();
      if (c == '"') return ++i_, true;
      if (c < 0x20) return false;
      if (c >= 0x80) {
        if (!rawUtf8(out)) return false;
        continue;
      }
      ++i_;
      if (c != '\\') {
        out.push_back(static_cast<char>(c));
        continue;
      }
      if (!more()) return false;
      const char e = s_[i_++];
      switch (e) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          uint32_t cp;
          if (!hex4(cp)) return false;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t lo;
            if (!lit("\\u") || !hex4(lo) || lo < 0xDC00 || lo > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          }
          utf8(out, cp);
          break;
        }
        default: return false;
      }
    }
    return false;
  }

  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace le::test
