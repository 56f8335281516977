// The environment reader: the whole-number rule, the typed readers, the
// refusal of unlisted names, and the README's table against the list.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "le/runtime/env.h"
#include "testkit/testkit.h"

namespace {

using le::test::ScopedEnv;
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

TEST(EnvWhole, ParsesWholeTextsOnly) {
  struct Case { const char* text; std::optional<int64_t> value; bool saturated; };
  const Case cases[] = {
      {"0", 0, false}, {"42", 42, false}, {"-7", -7, false}, {"007", 7, false},
      {"9223372036854775807", kMax, false}, {"-9223372036854775808", kMin, false},
      {"9223372036854775808", kMax, true}, {"99999999999999999999999", kMax, true},
      {"-99999999999999999999999", kMin, true},
  };
  for (const Case& c : cases) {
    const auto w = le::env::parseWhole(c.text);
    ASSERT_TRUE(w.has_value()) << c.text;
    EXPECT_EQ(w->value, *c.value) << c.text;
    EXPECT_EQ(w->saturated, c.saturated) << c.text;
  }
  for (const char* text : {"", "-", "+5", " 5", "5 ", "5x", "0x10", "1.5", "--5", "99999999999999999999999x"})
    EXPECT_FALSE(le::env::parseWhole(text).has_value()) << "'" << text << "'";
}

TEST(EnvWhole, WholeInKeepsNumbersInsideTheRange) {
  const std::pair<std::optional<std::string>, std::optional<int64_t>> cases[] = {
      {std::nullopt, std::nullopt}, {"", std::nullopt}, {"0", 0}, {"2", 2}, {"3", std::nullopt},
      {"-1", std::nullopt}, {"2x", std::nullopt}, {"99999999999999999999", std::nullopt}};
  for (const auto& [value, want] : cases) {
    ScopedEnv v("LE_PASTE_FAST", value);
    EXPECT_EQ(le::env::wholeIn("LE_PASTE_FAST", 0, 2), want) << value.value_or("(unset)");
  }
  ScopedEnv wide("LE_PASTE_FAST", "99999999999999999999");
  EXPECT_EQ(le::env::wholeIn("LE_PASTE_FAST", kMin, kMax), std::nullopt);  // saturated is not a value
}

TEST(EnvFlags, ExactTextsFirstCharactersAndPresence) {
  struct Case { std::optional<std::string> value; bool set, isOne, startsOne, startsZero, nonEmpty; };
  const Case cases[] = {
      {std::nullopt, false, false, false, false, false}, {"", true, false, false, false, false},
      {"1", true, true, true, false, true},   {"1 ", true, false, true, false, true},
      {"10", true, false, true, false, true}, {"true", true, false, false, false, true},
      {"0", true, false, false, true, true},  {"01", true, false, false, true, true},
  };
  for (const Case& c : cases) {
    ScopedEnv v("LE_ORT_SPIN", c.value);
    const std::string what = c.value.value_or("(unset)");
    EXPECT_EQ(le::env::isSet("LE_ORT_SPIN"), c.set) << what;
    EXPECT_EQ(le::env::is("LE_ORT_SPIN", "1"), c.isOne) << what;
    EXPECT_EQ(le::env::startsWith("LE_ORT_SPIN", '1'), c.startsOne) << what;
    EXPECT_EQ(le::env::startsWith("LE_ORT_SPIN", '0'), c.startsZero) << what;
    EXPECT_EQ(le::env::nonEmpty("LE_ORT_SPIN").has_value(), c.nonEmpty) << what;
    EXPECT_EQ(le::env::text("LE_ORT_SPIN"), c.value) << what;
  }
}

TEST(EnvList, UnlistedNamesAreRefused) {
  ScopedEnv home("LE_NOT_A_VARIABLE", "1");
  const auto refusal = [](const std::string& name) { return "le::env: " + name + " is not a listed variable"; };
  EXPECT_EQ(le::test::errorOf([] { le::env::text("LE_NOT_A_VARIABLE"); }), refusal("LE_NOT_A_VARIABLE"));
  EXPECT_EQ(le::test::errorOf([] { le::env::isSet("HOME"); }), refusal("HOME"));
  EXPECT_EQ(le::test::errorOf([] { le::env::wholeIn("le_core_threads", 1, 2); }), refusal("le_core_threads"));
}

// The README's table of variables, row by row: | `NAME` | effect |.
TEST(EnvList, TheReadmeTableIsTheList) {
  std::ifstream in(std::string(LE_SOURCE_DIR) + "/README.md");
  std::vector<std::pair<std::string, std::string>> rows, listed;
  std::string line;
  bool inTable = false;
  while (std::getline(in, line)) {
    if (line == "| variable | effect |") inTable = true;
    if (!inTable || line.rfind("| variable", 0) == 0 || line.rfind("|---", 0) == 0) continue;
    const size_t close = line.find("` | ");
    if (line.rfind("| `", 0) != 0 || close == std::string::npos || line.size() < close + 6 ||
        line.substr(line.size() - 2) != " |")
      break;
    rows.emplace_back(line.substr(3, close - 3), line.substr(close + 4, line.size() - close - 6));
  }
  for (const auto& v : le::env::variables()) listed.emplace_back(v.name, v.effect);
  EXPECT_EQ(rows, listed);
}

}  // namespace
