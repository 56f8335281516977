#include "le/tessera/tessera_json.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace le::tessera::json {

namespace {

[[noreturn]] void fail(const char* what) { throw std::runtime_error(what); }

bool isWs(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool startsWith(const char* p, const char* end, std::string_view lit) {
  return static_cast<size_t>(end - p) >= lit.size() && std::memcmp(p, lit.data(), lit.size()) == 0;
}

// from_chars reports overflow and underflow alike. A decimal token [p, end)
// overflowed when its magnitude exponent is positive: the limits lie near
// 1e308 and 1e-324, so the sign of the exponent alone tells them apart.
bool tokenOverflows(const char* p, const char* end) {
  if (p < end && *p == '-') ++p;
  long long intDigits = 0;    // digits before the point, from the first non-zero one
  long long leadZeros = 0;    // zeros after the point before the first non-zero digit
  bool seenNonZero = false;
  bool afterPoint = false;
  for (; p < end; ++p) {
    const char c = *p;
    if (c == '.') {
      afterPoint = true;
    } else if (c >= '0' && c <= '9') {
      if (c != '0') seenNonZero = true;
      if (!afterPoint && seenNonZero) ++intDigits;
      if (afterPoint && !seenNonZero) ++leadZeros;
    } else {
      break;
    }
  }
  if (!seenNonZero) return false;
  long long exp = 0;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool neg = false;
    if (p < end && (*p == '+' || *p == '-')) neg = *p++ == '-';
    for (; p < end && *p >= '0' && *p <= '9'; ++p)
      if (exp < 1000000000LL) exp = exp * 10 + (*p - '0');
    if (neg) exp = -exp;
  }
  const long long magnitude = (intDigits > 0 ? intDigits : -leadZeros) + exp;
  return magnitude > 0;
}

// Restores the nesting count on every exit from a container.
struct DepthGuard {
  explicit DepthGuard(int& d) : depth(d) {}
  ~DepthGuard() { --depth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
  int& depth;
};

}  // namespace

JVal::JVal() = default;
JVal::JVal(const JVal&) = default;
JVal::JVal(JVal&&) noexcept = default;
JVal& JVal::operator=(const JVal&) = default;
JVal& JVal::operator=(JVal&&) noexcept = default;
JVal::~JVal() = default;

const JVal* JVal::find(std::string_view key) const {
  for (const auto& [k, v] : obj)
    if (k == key) return &v;
  return nullptr;
}

const JVal& JVal::req(const std::string& key) const {
  if (const JVal* v = find(key)) return *v;
  throw std::runtime_error("teeth: member JSON lacks key '" + key + "'");
}

void JParser::skipWs() {
  while (p_ < end_ && isWs(*p_)) ++p_;
}

void JParser::enter() {
  if (++depth_ > kMaxDepth) {
    --depth_;
    fail("teeth: JSON nested deeper than 64");
  }
}

JVal JParser::val() {
  skipWs();
  if (p_ == end_) fail("teeth: JSON truncated");
  JVal v;
  switch (*p_) {
    case '{': return objv();
    case '[': return arrv();
    case '"':
      v.kind = JVal::kStr;
      v.str = strv();
      return v;
    default: break;
  }
  if (startsWith(p_, end_, "true")) {
    p_ += 4;
    v.kind = JVal::kBool;
    v.b = true;
  } else if (startsWith(p_, end_, "false")) {
    p_ += 5;
    v.kind = JVal::kBool;
  } else if (startsWith(p_, end_, "null")) {
    p_ += 4;
  } else {
    return number();
  }
  return v;
}

JVal JParser::number() {
  const char* p = p_;
  // A leading '+' has always been accepted; a second sign has not.
  if (p < end_ && *p == '+') {
    ++p;
    if (p < end_ && *p == '-') fail("teeth: bad JSON number");
  }
  double d = 0.0;
  const auto [ptr, ec] = std::from_chars(p, end_, d, std::chars_format::general);
  if (ec == std::errc::invalid_argument || ptr == p) fail("teeth: bad JSON number");
  if (ec == std::errc::result_out_of_range) {
    if (tokenOverflows(p, ptr)) fail("teeth: bad JSON number");
    d = (*p == '-') ? -0.0 : 0.0;  // underflow reads as zero
  }
  if (!std::isfinite(d)) fail("teeth: bad JSON number");  // nan, inf spelled out
  p_ = ptr;
  JVal v;
  v.kind = JVal::kNum;
  v.num = d;
  return v;
}

std::string JParser::strv() {
  std::string out;
  if (p_ == end_) return out;
  ++p_;  // the opening quote
  while (p_ < end_) {
    const char* q = p_;
    while (q < end_ && *q != '"' && *q != '\\') ++q;
    out.append(p_, q);
    p_ = q;
    if (p_ == end_) break;
    if (*p_++ == '"') return out;
    if (p_ == end_) break;  // a final backslash escapes nothing
    const char c = *p_++;
    switch (c) {
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u':
        out += '?';
        for (int i = 0; i < 4 && p_ < end_ && isHex(*p_); ++i) ++p_;
        break;
      default: out += c; break;
    }
  }
  return out;
}

JVal JParser::objv() {
  enter();
  const DepthGuard guard(depth_);
  JVal v;
  v.kind = JVal::kObj;
  if (p_ < end_) ++p_;  // the opening brace
  skipWs();
  if (p_ < end_ && *p_ == '}') {
    ++p_;
    return v;
  }
  for (;;) {
    skipWs();
    std::string key = strv();
    skipWs();
    if (p_ < end_ && *p_ == ':') ++p_;
    JVal item = val();
    v.obj.emplace_back(std::move(key), std::move(item));
    skipWs();
    if (p_ < end_ && *p_ == ',') {
      ++p_;
      continue;
    }
    if (p_ < end_ && *p_ == '}') {
      ++p_;
      return v;
    }
    fail("teeth: malformed JSON object");
  }
}

JVal JParser::arrv() {
  enter();
  const DepthGuard guard(depth_);
  JVal v;
  v.kind = JVal::kArr;
  if (p_ < end_) ++p_;  // the opening bracket
  skipWs();
  if (p_ < end_ && *p_ == ']') {
    ++p_;
    return v;
  }
  for (;;) {
    v.arr.push_back(val());
    skipWs();
    if (p_ < end_ && *p_ == ',') {
      ++p_;
      continue;
    }
    if (p_ < end_ && *p_ == ']') {
      ++p_;
      return v;
    }
    fail("teeth: malformed JSON array");
  }
}

JVal parseJson(std::string_view text, std::string_view label) {
  JParser parser(text.data(), text.data() + text.size());
  try {
    parser.skipWs();
    return parser.val();
  } catch (const std::exception& e) {
    std::string msg = "teeth: ";
    msg.append(label).append(" is not readable JSON: ").append(e.what());
    throw std::runtime_error(msg);
  }
}

double reqNum(const JVal& obj, const std::string& key, std::string_view label) {
  const JVal* v = obj.find(key);
  if (v && v->isNum()) return v->num;
  std::string msg = "teeth: ";
  msg.append(label).append(" lacks numeric '").append(key).append("'");
  throw std::runtime_error(msg);
}

std::string optStr(const JVal& obj, const std::string& key, const std::string& def) {
  const JVal* v = obj.find(key);
  return v && v->isStr() ? v->str : def;
}

std::string fixedText(double v, int decimals) {
  if (decimals < 0) decimals = 0;
  if (decimals > 17) decimals = 17;
  char buf[400];  // 309 integer digits of DBL_MAX, sign, point, 17 decimals
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  return std::string(buf, r.ptr);
}

std::string wholeText(double v) {
  char buf[64];
  const double t = std::trunc(v);
  if (std::isfinite(t) && std::fabs(t) < 1e15) {
    const auto r = std::to_chars(buf, buf + sizeof buf, static_cast<long long>(t));
    return std::string(buf, r.ptr);
  }
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

}  // namespace le::tessera::json
