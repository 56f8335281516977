// The environment reader: the whole-number rule, the typed readers, the
// refusal of unlisted names, and the README's table against the list.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "le/runtime/env.h"
#include "testkit/testkit.h"

namespace {

using le::test::ScopedEnv;

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

TEST(EnvWhole, ParsesWholeTextsOnly) {
  struct Case {
    const char* text;
    bool number;
    int64_t value;
    bool saturated;
  };
  const Case cases[] = {
      {"0", true, 0, false},
      {"42", true, 42, false},
      {"-7", true, -7, false},
      {"007", true, 7, false},
      {"9223372036854775807", true, kMax, false},
      {"-9223372036854775808", true, kMin, false},
      {"9223372036854775808", true, kMax, true},
      {"99999999999999999999999", true, kMax, true},
      {"-99999999999999999999999", true, kMin, true},
      {"", false, 0, false},
      {"-", false, 0, false},
      {"+5", false, 0, false},
      {" 5", false, 0, false},
      {"5 ", false, 0, false},
      {"5x", false, 0, false},
      {"0x10", false, 0, false},
      {"1.5", false, 0, false},
      {"--5", false, 0, false},
      {"99999999999999999999999x", false, 0, false},
  };
  for (const Case& c : cases) {
    const auto w = le::env::parseWhole(c.text);
    ASSERT_EQ(w.has_value(), c.number) << "'" << c.text << "'";
    if (!w) continue;
    EXPECT_EQ(w->value, c.value) << c.text;
    EXPECT_EQ(w->saturated, c.saturated) << c.text;
  }
}

TEST(EnvWhole, WholeInKeepsNumbersInsideTheRange) {
  struct Case {
    std::optional<std::string> value;
    std::optional<int64_t> expected;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt}, {"", std::nullopt},  {"0", 0},
      {"2", 2},                     {"3", std::nullopt}, {"-1", std::nullopt},
      {"2x", std::nullopt},         {"99999999999999999999", std::nullopt},
  };
  for (const Case& c : cases) {
    ScopedEnv v("LE_PASTE_FAST", c.value);
    EXPECT_EQ(le::env::wholeIn("LE_PASTE_FAST", 0, 2), c.expected) << c.value.value_or("(unset)");
  }
  ScopedEnv wide("LE_PASTE_FAST", "99999999999999999999");
  EXPECT_EQ(le::env::wholeIn("LE_PASTE_FAST", kMin, kMax), std::nullopt);  // saturated is not a value
}

TEST(EnvFlags, ExactTextsFirstCharactersAndPresence) {
  struct Case {
    std::optional<std::string> value;
    bool set, isOne, startsOne, startsZero, nonEmpty;
  };
  const Case cases[] = {
      {std::nullopt, false, false, false, false, false},
      {"", true, false, false, false, false},
      {"1", true, true, true, false, true},
      {"1 ", true, false, true, false, true},
      {"10", true, false, true, false, true},
      {"true", true, false, false, false, true},
      {"0", true, false, false, true, true},
      {"01", true, false, false, true, true},
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
  EXPECT_THROW(le::env::text("LE_NOT_A_VARIABLE"), std::logic_error);
  EXPECT_THROW(le::env::isSet("HOME"), std::logic_error);
  EXPECT_THROW(le::env::wholeIn("le_core_threads", 1, 2), std::logic_error);
}

TEST(EnvList, NamesAreUniqueAndDescribed) {
  std::set<std::string_view> names;
  for (const auto& v : le::env::variables()) {
    EXPECT_TRUE(names.insert(v.name).second) << v.name;
    EXPECT_FALSE(v.effect.empty()) << v.name;
    EXPECT_EQ(v.effect.find('|'), std::string_view::npos) << v.name;  // a table cell
  }
  EXPECT_GE(names.size(), 28u);
}

// The README's table of variables, row by row: | `NAME` | effect |.
std::vector<std::pair<std::string, std::string>> readmeRows() {
  std::ifstream in(std::string(LE_SOURCE_DIR) + "/README.md");
  std::vector<std::pair<std::string, std::string>> rows;
  std::string line;
  bool inTable = false;
  while (std::getline(in, line)) {
    if (line == "| variable | effect |") {
      inTable = true;
      continue;
    }
    if (!inTable || line.rfind("|---", 0) == 0) continue;
    if (line.rfind("| `", 0) != 0) break;
    const size_t close = line.find("` | ");
    if (close == std::string::npos || line.size() < close + 6 || line.substr(line.size() - 2) != " |") break;
    rows.emplace_back(line.substr(3, close - 3), line.substr(close + 4, line.size() - close - 6));
  }
  return rows;
}

TEST(EnvList, TheReadmeTableIsTheList) {
  const auto rows = readmeRows();
  ASSERT_FALSE(rows.empty()) << "README.md has no '| variable | effect |' table";
  std::vector<std::pair<std::string, std::string>> listed;
  for (const auto& v : le::env::variables()) listed.emplace_back(v.name, v.effect);
  EXPECT_EQ(rows, listed);
}

}  // namespace
