// The tessera JSON reader against RapidJSON (full-precision numbers) on
// generated strict JSON, and under a locale whose decimal mark is a comma.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "le/tessera/tessera_json.h"
#include "testkit/testkit.h"

namespace {

using le::tessera::json::JVal;
using le::tessera::json::parseJson;

class Gen {
 public:
  explicit Gen(uint64_t seed) : rng_(seed) {}

  std::string doc() { return ws() + value(0) + ws(); }

 private:
  int pick(int n) { return int(rng_() % uint64_t(n)); }
  std::string ws() {
    static const char kWs[] = " \t\n\r";
    std::string s;
    for (int n = pick(3); n > 0; --n) s += kWs[pick(4)];
    return s;
  }
  std::string digits(int n, bool leadNonZero) {
    std::string s;
    for (int i = 0; i < n; ++i) s += char('0' + ((i == 0 && leadNonZero) ? 1 + pick(9) : pick(10)));
    return s;
  }
  std::string number() {
    std::string s = pick(3) == 0 ? "-" : "";
    const int form = pick(7);
    if (form == 0) return s + (pick(4) ? digits(1 + pick(25), true) : "0");
    std::string mant = (pick(3) ? digits(1 + pick(4), true) : "0") + "." + digits(1 + pick(22), false);
    if (form == 1) return s + mant;
    // RapidJSON 1.1.0 misreads an all-zero mantissa with an exponent.
    mant = digits(1 + pick(4), true) + "." + digits(1 + pick(22), false);
    int e;
    switch (form) {
      case 2: e = pick(40) - 20; break;
      case 3: e = 290 + pick(14); break;     // towards the largest doubles
      case 4: e = -300 - pick(6); break;     // towards the smallest normal doubles
      default: e = pick(600) - 300; break;
    }
    return s + mant + (pick(2) ? "e" : "E") + (e >= 0 && pick(2) ? "+" : "") + std::to_string(e);
  }
  std::string string() {
    static const char* kEsc[] = {"\\\"", "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t"};
    static const char* kUtf8[] = {"\xc3\xa9", "\xe6\x97\xa5", "\xf0\x9f\x98\x80"};
    std::string s = "\"";
    for (int n = pick(12); n > 0; --n) {
      const int k = pick(10);
      if (k == 0) s += kEsc[pick(8)];
      else if (k == 1) s += kUtf8[pick(3)];
      else {
        char c = char(0x20 + pick(0x5f));
        if (c == '"' || c == '\\') c = 'x';
        s += c;
      }
    }
    return s + "\"";
  }
  std::string value(int depth) {
    const int k = depth >= 6 ? pick(4) : pick(7);
    switch (k) {
      case 0: return number();
      case 1: return string();
      case 2: return pick(3) == 0 ? "null" : (pick(2) ? "true" : "false");
      case 3: return number();
      case 4: case 5: {
        std::string s = "[" + ws();
        for (int n = pick(5), i = 0; i < n; ++i) s += (i ? "," + ws() : "") + value(depth + 1) + ws();
        return s + "]";
      }
      default: {
        static const char* kKeys[] = {"\"a\"", "\"b\"", "\"ab\"", "\"\"", "\"k\\n\"", "\"\xc3\xa9\""};
        std::string s = "{" + ws();
        for (int n = pick(5), i = 0; i < n; ++i)
          s += (i ? "," + ws() : "") + kKeys[pick(6)] + ws() + ":" + ws() + value(depth + 1) + ws();
        return s + "}";
      }
    }
  }
  std::mt19937_64 rng_;
};

bool sameNumber(double a, double b) {
  if (a == 0.0 && b == 0.0) return true;  // RapidJSON reads "-0" as the integer 0
  return std::memcmp(&a, &b, sizeof a) == 0;
}

::testing::AssertionResult same(const rapidjson::Value& r, const JVal& v, const std::string& path) {
  auto bad = [&](const std::string& why) {
    return ::testing::AssertionFailure() << "at " << path << ": " << why;
  };
  switch (r.GetType()) {
    case rapidjson::kNullType:
      if (!v.isNull()) return bad("null expected");
      break;
    case rapidjson::kTrueType:
    case rapidjson::kFalseType:
      if (!v.isBool() || v.b != r.GetBool()) return bad("boolean differs");
      break;
    case rapidjson::kNumberType:
      if (!v.isNum() || !sameNumber(r.GetDouble(), v.num))
        return bad("number " + std::to_string(r.GetDouble()) + " vs " + std::to_string(v.num));
      break;
    case rapidjson::kStringType:
      if (!v.isStr() || v.str != std::string(r.GetString(), r.GetStringLength()))
        return bad("string differs");
      break;
    case rapidjson::kArrayType: {
      if (!v.isArr() || v.arr.size() != r.Size()) return bad("array size differs");
      for (rapidjson::SizeType i = 0; i < r.Size(); ++i)
        if (auto a = same(r[i], v.arr[i], path + "/" + std::to_string(i)); !a) return a;
      break;
    }
    case rapidjson::kObjectType: {
      if (!v.isObj() || v.obj.size() != r.MemberCount()) return bad("object size differs");
      size_t i = 0;
      for (auto m = r.MemberBegin(); m != r.MemberEnd(); ++m, ++i) {
        const std::string key(m->name.GetString(), m->name.GetStringLength());
        if (key != v.obj[i].first) return bad("key " + key + " vs " + v.obj[i].first);
        if (auto a = same(m->value, v.obj[i].second, path + "/" + key); !a) return a;
        // Both find the first of duplicate keys.
        const JVal* first = v.find(key);
        if (auto a = same(r.FindMember(key.c_str())->value, *first, path + "/" + key + "(first)");
            !a)
          return a;
      }
      break;
    }
  }
  return ::testing::AssertionSuccess();
}

bool hasNonFinite(const rapidjson::Value& r) {
  if (r.IsNumber()) return !std::isfinite(r.GetDouble());
  if (r.IsArray())
    for (const auto& x : r.GetArray())
      if (hasNonFinite(x)) return true;
  if (r.IsObject())
    for (const auto& m : r.GetObject())
      if (hasNonFinite(m.value)) return true;
  return false;
}

// Numbers stay within 1e-307..1e308: Debian's RapidJSON 1.1.0 returns garbage
// past the largest double instead of refusing, and its full-precision path
// reads outside its power table on long mantissas near underflow (crash).
// Overflow, subnormals and underflow are in the edge table instead.
TEST(TesseraJsonDiff, SameTreesAndDoublesAsRapidJson) {
  Gen gen(0x7e55e4a);
  for (int i = 0; i < 3000; ++i) {
    const std::string text = gen.doc();
    rapidjson::Document d;
    d.Parse<rapidjson::kParseFullPrecisionFlag>(text.c_str(), text.size());
    ASSERT_FALSE(d.HasParseError()) << text;
    ASSERT_FALSE(hasNonFinite(d)) << text;
    JVal v;
    ASSERT_EQ(le::test::errorOf([&] { v = parseJson(text, "gen"); }), "(no error)") << text;
    ASSERT_TRUE(same(d, v, "")) << text;
  }
}

// Builds de_DE.UTF-8 into a private directory (LOCPATH) and switches to it.
class CommaLocale {
 public:
  explicit CommaLocale(const std::string& dir) {
    const std::string cmd = "localedef -c -i de_DE -f UTF-8 '" + dir + "/de_DE.UTF-8' >/dev/null 2>&1";
    (void)std::system(cmd.c_str());
    ::setenv("LOCPATH", dir.c_str(), 1);
    ok_ = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
  }
  ~CommaLocale() {
    std::setlocale(LC_ALL, "C");
    ::unsetenv("LOCPATH");
  }
  CommaLocale(const CommaLocale&) = delete;
  CommaLocale& operator=(const CommaLocale&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

// The numbers of an array (or of an object's second member) with six
// decimals, then the first one with two.
std::string numbersText(const JVal& v) {
  const auto& items = v.isArr() ? v.arr : v.obj[1].second.arr;
  std::string s;
  for (const auto& x : items) s += le::tessera::json::fixedText(x.num, 6) + " ";
  return s + le::tessera::json::fixedText(v.isArr() ? v.arr[0].num : v.obj[0].second.num, 2);
}

TEST(TesseraJsonLocale, SameValuesAndTextsUnderACommaDecimalMark) {
  const std::vector<std::string> texts = {
      "[1.5, -0.25e2, 3.14159265358979, 1e-400, +2.5, 12345.678e-3]",
      "{\"feather_px\": 4.75, \"lip_geom_params\": [0.05, 0.08, 0.015]}",
  };
  std::vector<std::string> inC;
  for (const auto& t : texts) {
    inC.push_back(numbersText(parseJson(t, "t")));
  }
  le::test::TempDir dir;
  CommaLocale locale(dir.path());
  ASSERT_TRUE(locale.ok()) << "localedef could not build de_DE.UTF-8 (package locales)";
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.2f", 1.5);
  ASSERT_STREQ(probe, "1,50");  // the C library now writes a comma
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(numbersText(parseJson(texts[i], "t")), inC[i]);
  }
  EXPECT_EQ(inC[0], "1.500000 -25.000000 3.141593 0.000000 2.500000 12.345678 1.50");
}

}  // namespace
