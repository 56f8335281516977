// The tessera JSON reader: its fixed leniencies, its refusals, bounded reads on
// every prefix of valid texts, the nesting cap, and the lookups.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "le/tessera/tessera_json.h"
#include "testkit/testkit.h"

namespace {

using le::tessera::json::JParser;
using le::tessera::json::JVal;
using le::tessera::json::parseJson;

std::string numText(double d) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", d);
  return buf;
}

// A compact rendering of a value for table comparisons; numbers with %.17g.
std::string show(const JVal& v) {
  switch (v.kind) {
    case JVal::kNull: return "null";
    case JVal::kBool: return v.b ? "true" : "false";
    case JVal::kNum: return numText(v.num);
    case JVal::kStr: return "'" + v.str + "'";
    case JVal::kArr: {
      std::string s = "[";
      for (size_t i = 0; i < v.arr.size(); ++i) s += (i ? "," : "") + show(v.arr[i]);
      return s + "]";
    }
    default: {
      std::string s = "{";
      for (size_t i = 0; i < v.obj.size(); ++i)
        s += (i ? "," : "") + v.obj[i].first + ":" + show(v.obj[i].second);
      return s + "}";
    }
  }
}

// The text f returns, or "ERR " and the message of what it throws.
template <class F>
std::string orError(F&& f) {
  try {
    return f();
  } catch (const std::exception& e) {
    return std::string("ERR ") + e.what();
  }
}

// The value or the message of the parse; the label is "t".
std::string parsed(const std::string& text) {
  return orError([&] { return show(parseJson(text, "t")); });
}

const std::string kWrap = "ERR teeth: t is not readable JSON: ";

std::string nested(int depth, char open, char close) {
  return std::string(size_t(depth), open) + std::string(size_t(depth), close);
}

TEST(TesseraJson, EdgeCasesTable) {
  const std::string truncated = kWrap + "teeth: JSON truncated", object = kWrap + "teeth: malformed JSON object",
                    array = kWrap + "teeth: malformed JSON array", bad = kWrap + "teeth: bad JSON number",
                    deep = kWrap + "teeth: JSON nested deeper than 64";
  const auto objs = [](const std::string& key) {  // 64 objects deep, around 1
    std::string s;
    for (int i = 0; i < 64; ++i) s += "{" + key + ":";
    return s + "1" + std::string(64, '}');
  };
  std::string deeper, wide = "[";
  for (int i = 0; i < 65; ++i) deeper += (i % 2) ? "[" : "{\"k\":";
  for (int i = 0; i < 200; ++i) wide += (i ? "," : "") + nested(63, '[', ']');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{} trailing", "{}"}, {"  \t\r\n[1, 2]x", "[1,2]"}, {"\"a\\u00e9b\"", "'a?b'"},
      {"\"\\u12\"", "'?'"},        // fewer than four digits: the quote still closes
      {"\"\\u12345\"", "'?5'"}, {"\"\\u\"", "'?'"},
      {"\"\\b\\f\\n\\r\\t\\/\\\\\\\"\\q\xc3\xa9\"", "'\b\f\n\r\t/\\\"q\xc3\xa9'"}, {"\"\\uzz\"", "'?zz'"},
      {"\"abc", "'abc'"},           // open at the end: ends without error
      {"\"ab\\", "'ab'"},           // a final backslash escapes nothing
      {"{\"a\":1,\"a\":2}", "{a:1,a:2}"},
      {"{\"a\" 1}", "{a:1}"},       // the colon is optional
      {"falsey", "false"}, {"nullx", "null"}, {"+1.5", "1.5"}, {"1e", "1"}, {".5", "0.5"},
      {"0x10", "0"},                // hexadecimal is not a JSON number: the 0 is read
      {"1e-400", "0"},              // underflow reads zero
      {"-1e-400", "-0"},            // the sign survives underflow
      {"+1e-400", "0"},
      {"", truncated}, {"{\"a\":1,", truncated}, {"{\"a\":", truncated}, {"[1,", truncated},
      {"{\"a\":1", object}, {"{\"a\":1 \"b\":2}", object}, {"[1,2", array}, {"[1 2]", array},
      {"[1,]", bad}, {"-", bad}, {"abc", bad}, {"tru", bad}, {"+-1", bad}, {"NaN", bad}, {"-Infinity", bad},
      {"1e400", bad}, {"0.001e312", bad}, {"1000000000e300", bad}, {"[1e99999999999999999999]", bad},
      {"[1e-99999999999999999999]", "[0]"},
      // Nesting is capped at 64, arrays and objects together, however deep the text goes; siblings do not add up.
      {nested(64, '[', ']'), nested(64, '[', ']')}, {nested(65, '[', ']'), deep},
      {objs("\"k\""), objs("k")}, {deeper, deep},
      {std::string(1 << 20, '['), deep}, {wide + "]", wide + "]"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(parsed(in), want) << "input: " << in;
}

// Every prefix of a valid text, copied into a heap buffer of exactly its size
// so the address sanitizer sees any read past the end, gives a value or one
// of the reader's own messages.
TEST(TesseraJson, EveryPrefixReadsInsideItsBuffer) {
  const std::vector<std::string> texts = {
      "{\"format\":\"lip-template-v1\",\"canvas\":512,\"feather_px\":4.5,"
      "\"u_canon\":[[-1,0],[0,-1],[1,0],[0,1]],\"lip_idx\":[6,12,14,17,19,20]}",
      "{\"a\":[true,false,null,-1.5e-3,+2,\"x\\u0041y\\n\\\\\"],\"b\":{\"c\":{}}}",
      "[\"\\u12\",\"q\\\"\",1e5,0.5,{\"k\" 3}]",
      "  \"tail\\",
  };
  const std::set<std::string> listed = {"teeth: JSON truncated", "teeth: malformed JSON object",
                                        "teeth: malformed JSON array", "teeth: bad JSON number"};
  for (const auto& text : texts) {
    for (size_t n = 0; n <= text.size(); ++n) {
      std::unique_ptr<char[]> buf(new char[n]);
      std::copy(text.begin(), text.begin() + std::ptrdiff_t(n), buf.get());
      JParser p(buf.get(), buf.get() + n);
      p.skipWs();
      try {
        (void)p.val();
        EXPECT_LE(p.cursor(), buf.get() + n);
      } catch (const std::runtime_error& e) {
        EXPECT_TRUE(listed.count(e.what())) << "prefix " << n << " of " << text << ": " << e.what();
      }
    }
  }
}

TEST(TesseraJson, CursorStopsAfterTheValue) {
  const std::string text = "{\"a\":[1,2]}   rest";
  JParser p(text.data(), text.data() + text.size());
  p.val();
  EXPECT_EQ(std::string(p.cursor()), "   rest");
  const std::string s = "\"ab\"cd";
  JParser q(s.data(), s.data() + s.size());
  EXPECT_EQ(q.strv(), "ab");
  EXPECT_EQ(std::string(q.cursor()), "cd");
  // At the end strv gives "" and does not move.
  JParser e(s.data() + s.size(), s.data() + s.size());
  EXPECT_EQ(e.strv(), "");
  EXPECT_EQ(e.cursor(), s.data() + s.size());
}

TEST(TesseraJsonLookup, FirstPairWinsEverywhere) {
  const JVal v = parseJson(
      "{\"n\":1,\"n\":2,\"s\":\"\",\"s\":\"late\",\"x\":\"str\",\"x\":3,\"arr\":[1]}", "t");
  // {key, reqNum's value or its message, optStr with default "dflt", req's value or its message}
  const std::vector<std::tuple<std::string, std::string, std::string, std::string>> cases = {
      {"n", "1", "dflt", "1"},
      {"s", "ERR teeth: side.json lacks numeric 's'", "", "''"},
      {"x", "ERR teeth: side.json lacks numeric 'x'", "str", "'str'"},
      {"arr", "ERR teeth: side.json lacks numeric 'arr'", "dflt", "[1]"},
      {"missing", "ERR teeth: side.json lacks numeric 'missing'", "dflt", "ERR teeth: member JSON lacks key 'missing'"},
      {"N", "ERR teeth: side.json lacks numeric 'N'", "dflt", "ERR teeth: member JSON lacks key 'N'"},
  };
  for (const auto& [key, num, str, req] : cases) {
    SCOPED_TRACE(key);
    EXPECT_EQ(orError([&] { return numText(le::tessera::json::reqNum(v, key, "side.json")); }), num);
    EXPECT_EQ(le::tessera::json::optStr(v, key, "dflt"), str);
    EXPECT_EQ(orError([&] { return show(v.req(key)); }), req);
  }
  // Lookups on values that are not objects find nothing.
  const JVal arr = parseJson("[{\"n\":1}]", "t");
  EXPECT_EQ(arr.find("n"), nullptr);
  EXPECT_EQ(le::test::errorOf([&] { arr.req("n"); }), "teeth: member JSON lacks key 'n'");
  EXPECT_EQ(le::tessera::json::optStr(arr, "n", "d"), "d");
}

TEST(TesseraJsonText, FixedAndWholeNumbers) {
  using le::tessera::json::fixedText;
  using le::tessera::json::wholeText;
  const std::vector<std::tuple<double, int, std::string, std::string>> cases = {
      {0.0, 6, "0.000000", "0"}, {4.5, 1, "4.5", "4"}, {-2.75, 2, "-2.75", "-2"},
      {2.005, 2, "2.00", "2"},  // 2.005 is below the half in binary
      {1e16, 2, "10000000000000000.00", "1e+16"},
      {-1180591620717411303424.0, 1, "-1180591620717411303424.0", "-1180591620717411303424"},
      {512.9, 6, "512.900000", "512"}, {-0.5, 0, "-0", "0"},
      {0.1, 20, "0.10000000000000001", "0"},  // decimals clamp at 17
      {INFINITY, 2, "inf", "inf"},
  };
  for (const auto& [v, decimals, fixed, whole] : cases) {
    EXPECT_EQ(fixedText(v, decimals), fixed) << v;
    EXPECT_EQ(wholeText(v), whole) << v;
  }
}

// Under a locale whose decimal mark is a comma (de_DE.UTF-8 built into a
// private LOCPATH) numbers read and print as in "C".
TEST(TesseraJsonLocale, SameValuesAndTextsUnderACommaDecimalMark) {
  using le::tessera::json::fixedText;
  const std::string text =
      "{\"feather_px\": 4.75, \"p\": [1.5, -0.25e2, 3.14159265358979, 1e-400, +2.5, 12345.678e-3]}";
  const auto numbers = [&] {
    const JVal v = parseJson(text, "t");
    std::string s = fixedText(v.obj[0].second.num, 2);
    for (const auto& x : v.obj[1].second.arr) s += " " + fixedText(x.num, 6);
    return s;
  };
  le::test::TempDir dir;
  const std::string cmd = "localedef -c -i de_DE -f UTF-8 '" + dir.path() + "/de_DE.UTF-8' >/dev/null 2>&1";
  (void)std::system(cmd.c_str());
  ::setenv("LOCPATH", dir.path().c_str(), 1);
  const bool switched = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.2f", 1.5);
  const std::string got = numbers();
  std::setlocale(LC_ALL, "C");
  ::unsetenv("LOCPATH");
  ASSERT_TRUE(switched) << "localedef could not build de_DE.UTF-8 (package locales)";
  ASSERT_STREQ(probe, "1,50");  // the C library wrote a comma
  EXPECT_EQ(got, "4.75 1.500000 -25.000000 3.141593 0.000000 2.500000 12.345678");
}

}  // namespace
