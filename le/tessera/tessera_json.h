// The small JSON reader every tessera text goes through (bank sidecar, head
// configuration, the manifest's tessera and unified blocks, the lip template).
// It reads ordinary JSON and is lenient in a few fixed ways that stored files
// rely on: text after the first value is ignored, the colon after a key may be
// missing, a \uXXXX escape becomes "?", a string open at the end of the text
// simply ends there, and duplicate keys are kept (lookups take the first).
// Numbers are read locale-free; NaN, infinities and overflow are refused.
// Nesting is capped at kMaxDepth containers. Messages begin "teeth: ".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace le::tessera::json {

inline constexpr int kMaxDepth = 64;

struct JVal {
  enum Kind : int { kNull = 0, kBool = 1, kNum = 2, kStr = 3, kArr = 4, kObj = 5 };

  // Out of line: the members hold JVal itself, which must be complete before
  // their destructors are instantiated (clang with libstdc++ insists).
  JVal();
  JVal(const JVal&);
  JVal(JVal&&) noexcept;
  JVal& operator=(const JVal&);
  JVal& operator=(JVal&&) noexcept;
  ~JVal();

  int kind = kNull;
  bool b = false;
  double num = 0.0;
  std::string str;
  std::vector<JVal> arr;                            // array items, in order
  std::vector<std::pair<std::string, JVal>> obj;    // object pairs, document order

  bool isNull() const { return kind == kNull; }
  bool isBool() const { return kind == kBool; }
  bool isNum() const { return kind == kNum; }
  bool isStr() const { return kind == kStr; }
  bool isArr() const { return kind == kArr; }
  bool isObj() const { return kind == kObj; }

  // The first pair named `key`, or null (also when this is not an object).
  const JVal* find(std::string_view key) const;
  // The first pair named `key`; throws "teeth: member JSON lacks key '<key>'".
  const JVal& req(const std::string& key) const;
};

// Recursive-descent reader over [begin, end). Never reads outside the range;
// the range need not be NUL-terminated.
class JParser {
 public:
  JParser(const char* begin, const char* end) : p_(begin), end_(end) {}

  JVal val();          // one value at the cursor (white space skipped first)
  JVal objv();         // the cursor is on '{'
  JVal arrv();         // the cursor is on '['
  std::string strv();  // the cursor is on the opening quote (not checked)

  void skipWs();
  const char* cursor() const { return p_; }

 private:
  JVal number();
  void enter();

  const char* p_;
  const char* end_;
  int depth_ = 0;
};

// Skips leading white space and reads one value; the rest of the text is
// ignored. Reader faults come back as
// "teeth: <label> is not readable JSON: <reader's message>".
JVal parseJson(std::string_view text, std::string_view label);

// The number of the first pair named `key`; else throws
// "teeth: <label> lacks numeric '<key>'".
double reqNum(const JVal& obj, const std::string& key, std::string_view label);

// The string of the first pair named `key` (even ""), else `def`.
std::string optStr(const JVal& obj, const std::string& key, const std::string& def);

// `v` with `decimals` digits after the point, independent of the C locale
// ("inf", "-inf", "nan" for non-finite values).
std::string fixedText(double v, int decimals);
// `v` truncated toward zero and printed as a whole number when it is one
// within ±1e15, else as its shortest round-trip text. No integer cast of an
// out-of-range value happens on the way.
std::string wholeText(double v);

}  // namespace le::tessera::json
