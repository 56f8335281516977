// Number format and escaping of the telemetry JSON, including ill-formed UTF-8
// from the host.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "le/telemetry/tel_json.h"
#include "telemetry/json_dom.h"

namespace {

std::string num(double v) {
  std::string s;
  le::tel::appendNumber(s, v);
  return s;
}

std::string str(std::string_view v) {
  std::string s;
  le::tel::appendString(s, v);
  return s;
}

TEST(TelJsonNumber, IntegralValuesAreWrittenAsIntegers) {
  EXPECT_EQ(num(1200.0), "1200");
  EXPECT_EQ(num(0.0), "0");
  EXPECT_EQ(num(-0.0), "0");
  EXPECT_EQ(num(-3.0), "-3");
  EXPECT_EQ(num(1e15), "1000000000000000");
  EXPECT_EQ(num(4611686018427387904.0), "4611686018427387904");    // 2^62
  EXPECT_EQ(num(-9223372036854775808.0), "-9223372036854775808");  // -2^63 casts exactly
}

TEST(TelJsonNumber, OtherValuesUseSixSignificantDigits) {
  EXPECT_EQ(num(24.5), "24.5");
  EXPECT_EQ(num(0.1), "0.1");
  EXPECT_EQ(num(1.0 / 3.0), "0.333333");
  EXPECT_EQ(num(-2.5), "-2.5");
  EXPECT_EQ(num(123456789.5), "1.23457e+08");
  EXPECT_EQ(num(1e-7), "1e-07");
  // 2^63 and beyond do not fit the integer and must not be cast.
  EXPECT_EQ(num(9223372036854775808.0), "9.22337e+18");
  EXPECT_EQ(num(1e300), "1e+300");
  EXPECT_EQ(num(-1e300), "-1e+300");
  EXPECT_EQ(num(std::numeric_limits<double>::denorm_min()), "4.94066e-324");
}

TEST(TelJsonNumber, NonFiniteValuesAreNull) {
  EXPECT_EQ(num(std::numeric_limits<double>::quiet_NaN()), "null");
  EXPECT_EQ(num(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(num(-std::numeric_limits<double>::infinity()), "null");
}

TEST(TelJsonString, EscapesQuotesBackslashesAndControlBytes) {
  EXPECT_EQ(str("plain"), "\"plain\"");
  EXPECT_EQ(str(""), "\"\"");
  EXPECT_EQ(str("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(str("l1\nl2\tx"), "\"l1\\nl2\\tx\"");
  EXPECT_EQ(str("a\rb"), "\"a\\u000db\"");
  EXPECT_EQ(str(std::string("\x01\x1f\x08\x0c", 4)), "\"\\u0001\\u001f\\u0008\\u000c\"");
  EXPECT_EQ(str(std::string("a\0b", 3)), "\"a\\u0000b\"");
  EXPECT_EQ(str("/ \x7f"), "\"/ \x7f\"");
}

TEST(TelJsonString, WellFormedUtf8IsCopied) {
  const std::string text = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF \xED\x9F\xBF";
  EXPECT_EQ(str(text), "\"" + text + "\"");
}

TEST(TelJsonString, IllFormedUtf8BecomesReplacementCharacters) {
  const std::string R = "\xEF\xBF\xBD";
  EXPECT_EQ(str("\x80"), "\"" + R + "\"");
  EXPECT_EQ(str("a\xFFz"), "\"a" + R + "z\"");
  EXPECT_EQ(str("\xC0\xAF"), "\"" + R + R + "\"");              // overlong '/'
  EXPECT_EQ(str("\xE0\x80\xAF"), "\"" + R + R + R + "\"");      // overlong, 3 bytes
  EXPECT_EQ(str("\xED\xA0\x80"), "\"" + R + R + R + "\"");      // surrogate D800
  EXPECT_EQ(str("\xF4\x90\x80\x80"), "\"" + R + R + R + R + "\"");  // above U+10FFFF
  // A truncated sequence is one replacement, and the byte after it survives.
  EXPECT_EQ(str("\xE2\x82" "A"), "\"" + R + "A\"");
  EXPECT_EQ(str("\xF0\x9F\x98"), "\"" + R + "\"");
  EXPECT_EQ(str("\xF0\x9F\x98\""), "\"" + R + "\\\"\"");
}

TEST(TelJsonString, EveryByteStringGivesValidJson) {
  // Every one- and two-byte input, and three-byte inputs around the lead bytes
  // whose second byte ranges are narrowed.
  std::string in;
  auto check = [&](const std::string& s) {
    const auto doc = le::test::JsonReader::parse(str(s));
    ASSERT_TRUE(doc.has_value()) << "input bytes: " << testing::PrintToString(s);
  };
  for (int a = 0; a < 256; ++a) {
    check(std::string(1, static_cast<char>(a)));
    for (int b = 0; b < 256; ++b) check(std::string{static_cast<char>(a), static_cast<char>(b)});
  }
  for (int lead : {0xE0, 0xED, 0xF0, 0xF4})
    for (int b = 0x70; b < 0xD0; ++b)
      for (int c : {0x41, 0x80, 0xBF, 0xC0}) {
        check(std::string{static_cast<char>(lead), static_cast<char>(b), static_cast<char>(c)});
        check(std::string{static_cast<char>(lead), static_cast<char>(b), static_cast<char>(0x80),
                          static_cast<char>(c)});
      }
}

TEST(TelJsonString, RoundTripsThroughAStrictReader) {
  const char raw[] = "k\"\\\n\t\r\x01\0 \xC3\xA9";
  const std::string text(raw, sizeof raw - 1);
  const auto doc = le::test::JsonReader::parse(str(text));
  ASSERT_TRUE(doc.has_value());
  EXPECT_EQ(doc->text, text);
}

}  // namespace
