// The manifest key rule, its lookup helpers, and the loader: every field, the
// refusal of each malformed key, and the missing-stamp switch.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "le/bundle/manifest.h"
#include "le/bundle/manifest_key.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using manifest_key::kAbsent;
using manifest_key::keyHits;
using manifest_key::scalarValuePos;
using test::errorOf;
using test::ScopedEnv;
using test::TempDir;
using test::writeFile;

std::string ambiguous(const std::string& key, const std::vector<size_t>& offsets) {
  std::string m = "manifest: key \"" + key + "\" is AMBIGUOUS \xE2\x80\x94 " + std::to_string(offsets.size()) +
                  " scalar occurrences (";
  for (size_t i = 0; i < offsets.size(); ++i) m += (i ? ", byte " : "byte ") + std::to_string(offsets[i]);
  return m + "). A loader that picks one silently installs a number nobody checks. Rename the colliding key "
             "(a nested block must not reuse a name the bundle loader reads: NT/frame_count, H, W, crop/crop_size, "
             "amount, sigma, ksize, frames, M_src_w/paste_source_width, M_src_h/paste_source_height), or produce "
             "the bundle with the legacy manifest layout.";
}

TEST(KeyHits, DepthScalarStringsAndTruncation) {
  const std::string t = "{\"H\" : 7, \"b\": {\"H\": [1], \"c\": {\"H\":{}}}, \"s\": \"H\", \"e\": \"x\\\"H\\\": 1\", \"H\"\n"
                        " :\n \"q\"}";
  const auto h = keyHits(t, "H");
  ASSERT_EQ(h.size(), 4u);
  const std::vector<std::tuple<uint64_t, int, bool>> want = {
      {t.find('7'), 1, true}, {t.find('[') , 2, false}, {t.find("{}"), 3, false}, {t.find("\"q\""), 1, true}};
  for (size_t i = 0; i < 4; ++i)
    EXPECT_EQ(std::make_tuple(h[i].pos, h[i].depth, h[i].scalar), want[i]) << i;
  for (const char* other : {"h", "HH", ""}) EXPECT_TRUE(keyHits(t, other).empty()) << other;
  // {text, hits of "k", depth of the last one}: strings hide brackets and
  // escaped quotes, the scan stops inside an unterminated string, NUL is a byte.
  const struct {
    std::string text;
    size_t hits;
    int depth;
  } cases[] = {{R"({"a": "{{[[", "b\\": "]]", "k": 1})", 1, 1}, {R"({"k": 1, "x": "abc\)", 1, 1},
               {R"({"k": 1, "k": "open)", 2, 1},                {R"({"k": 1, "open)", 1, 1},
               {R"(}} "k": 1)", 1, -2},                         {std::string("{\"k\0\": 2, \"k\": 3}", 17), 1, 1}};
  for (const auto& c : cases) {
    const auto hits = keyHits(c.text, "k");
    ASSERT_EQ(hits.size(), c.hits) << c.text;
    EXPECT_EQ(hits.back().depth, c.depth) << c.text;
  }
  const auto end = keyHits(R"({"k":  )", "k");  // the text ends after the colon: no value
  ASSERT_EQ(end.size(), 1u);
  EXPECT_EQ(end[0].pos, 7u);
  EXPECT_FALSE(end[0].scalar);
}

TEST(ScalarValuePos, OneKeyRule) {
  // {text, the value's first character}; top level over nested and nested once
  // are the loader's namesake cases.
  const std::pair<std::string, std::string> found[] = {
      {R"({"d": "say \"", "H": 6, "b": "c:\\", "W": 4})", "6"},  // escapes end strings correctly
      {R"(}} "H": 7)", "7"},                                     // depth below the top
  };
  for (const auto& [text, at] : found) EXPECT_EQ(scalarValuePos(text, "H"), text.find(at)) << text;
  const std::string f = R"({"frames": {"n": 1}, "frames": 9, "frames": [2]})";  // containers never count
  EXPECT_EQ(scalarValuePos(f, "frames"), f.find('9'));
  for (const char* text : {R"({"frames": {"a": 1}})", "", R"({"frames":  )"})
    EXPECT_EQ(scalarValuePos(text, "frames"), kAbsent) << text;
  std::string t = R"({"H": 1, "n": {"H": 0}, "H": 2})";
  EXPECT_EQ(errorOf([&] { scalarValuePos(t, "H"); }), ambiguous("H", {t.find('1'), t.find('2')}));
  t = R"({"a": {"ksize": 3}, "b": {"ksize": 5}, "c": {"ksize": 7}})";
  EXPECT_EQ(errorOf([&] { scalarValuePos(t, "ksize"); }), ambiguous("ksize", {t.find('3'), t.find('5'), t.find('7')}));
}

TEST(LookupHelpers, StringsNumbersAndOptionalStrings) {
  const std::string t = R"({"s": "abc", "e": "", "n": 12, "f": 1.2e1, "g": 12.0, "q": "12", "b": true,
 "p": +3.5, "alt": 4, "o": ["x"], "u": "open)";
  EXPECT_EQ(std::make_pair(strField(t, "s"), strField(t, "e")), std::make_pair(std::string("abc"), std::string()));
  EXPECT_EQ(*findKey(t, "s"), '"');
  for (const auto& [key, msg] : std::vector<std::pair<const char*, const char*>>{
           {"zz", "manifest: missing key zz"}, {"n", "manifest: bad string n"},  // never the next string
           {"u", "manifest: bad string u"}, {"o", "manifest: missing key o"}})
    EXPECT_EQ(errorOf([&] { strField(t, key); }), msg) << key;
  for (const auto& [key, v] : std::vector<std::pair<const char*, double>>{
           {"n", 12}, {"f", 12}, {"g", 12}, {"q", 0}, {"b", 0}, {"p", 3.5}})
    EXPECT_EQ(numField(t, key), v) << key;
  std::string_view used;
  EXPECT_EQ(numFieldEither(t, "NT", "alt", &used), 4.0);
  EXPECT_EQ(used, "alt");
  EXPECT_EQ(numFieldEither(t, "n", "alt", &used), 12.0);
  EXPECT_EQ(used, "n");
  EXPECT_EQ(errorOf([&] { numFieldEither(t, "NT", "frame_count"); }), "manifest: missing key NT/frame_count");
  std::string out = "keep";
  EXPECT_TRUE(optStr(t, "e", out) && out.empty());
  EXPECT_FALSE(optStrNonEmpty(t, "e", out));
  EXPECT_TRUE(optStrNonEmpty(t, "s", out) && out == "abc");
  for (const char* k : {"n", "o", "u", "absent"}) EXPECT_FALSE(optStr(t, k, out) || optStrNonEmpty(t, k, out)) << k;
  EXPECT_EQ(out, "abc");
  EXPECT_THROW(optStr(R"({"s": "a", "s": "b"})", "s", out), std::runtime_error);  // ambiguity is refused
  // Numbers ignore a host locale with a decimal comma, built here as hosts rarely carry one.
  TempDir loc;
  (void)std::system(("localedef -c -i de_DE -f UTF-8 '" + loc / "de_DE.UTF-8' >/dev/null 2>&1").c_str());
  const ScopedEnv locpath("LOCPATH", loc.path());
  ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr) << "localedef could not build de_DE.UTF-8";
  const double v = numField(R"({"amount": 1.3})", "amount");
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(v, 1.3);
}

// ---- loadManifest ----------------------------------------------------------

using Edits = std::vector<std::pair<std::string, std::optional<std::string>>>;  // key, raw JSON (nullopt: drop)

// A valid manifest with the edits applied, one key a line.
std::string manifest(const Edits& edits = {}) {
  Edits f = {{"format", "\"le-bundle-v0\""}, {"agent", "\"ada\""}, {"NT", "50"}, {"H", "1280"}, {"W", "720"},
             {"crop", "512"}, {"amount", "1.5"}, {"sigma", "2.5"}, {"ksize", "11"}, {"frames", "40"},
             {"M_src_w", "720"}, {"M_src_h", "1280"}};
  for (const auto& [k, v] : edits) {
    auto it = std::find_if(f.begin(), f.end(), [&](const auto& e) { return e.first == k; });
    if (it == f.end()) f.emplace_back(k, v);
    else if (v) it->second = v;
    else f.erase(it);
  }
  std::string s = "{\n";
  for (const auto& [k, v] : f)
    if (v) s += (s.size() > 2 ? ",\n \"" : " \"") + k + "\": " + *v;
  return s + "\n}\n";
}

class LoadManifest : public testing::Test {
 protected:
  TempDir t;
  ScopedEnv noStampOk{"CADENZA2_MSRC_MISSING_OK", std::nullopt};
  ScopedEnv noRoot{"LE_IMX_UNWRAP_ROOT", std::nullopt};
  Manifest load(const std::string& text) { writeFile(t / "manifest.json", text); return loadManifest(t.path()); }
  std::string error(const std::string& text) { return errorOf([&] { load(text); }); }
};

TEST_F(LoadManifest, ReadsEveryFieldUnderEitherName) {
  Manifest m = load(manifest());
  EXPECT_EQ(std::make_tuple(m.dir, m.agent, m.NT, m.H, m.W, m.srcW, m.srcH, m.crop, m.frames, m.lipTemplateJson),
            std::make_tuple(t.path(), std::string("ada"), 50, 1280, 720, 720, 1280, 512, 40, std::string()));
  EXPECT_EQ(std::make_tuple(m.unsharp.amount, m.unsharp.sigma, m.unsharp.ksize), std::make_tuple(1.5f, 2.5f, 11));
  const std::string lip("{\"pts\": [1, 2]}\0tail", 20);
  writeFile(t / "lip_template.v1.json", lip);
  const Edits alternate = {{"NT", std::nullopt}, {"frame_count", "7.9"}, {"crop", std::nullopt},
                           {"crop_size", "2.56e2"}, {"M_src_w", std::nullopt}, {"M_src_h", std::nullopt},
                           {"paste_source_width", "1080"}, {"paste_source_height", "1920"}, {"ksize", "3.9"}};
  m = load(manifest(alternate));
  EXPECT_EQ(std::make_tuple(m.NT, m.crop, m.unsharp.ksize, m.srcW, m.srcH, m.lipTemplateJson),
            std::make_tuple(7, 256, 3, 1080, 1920, lip));  // truncated; a larger stamp is the rescaler's
  Edits both = alternate;
  both.insert(both.end(), {{"NT", "9"}, {"M_src_w", "640"}, {"M_src_h", "480"}});
  m = load(manifest(both));  // the first name wins
  EXPECT_EQ(std::make_tuple(m.NT, m.srcW, m.srcH), std::make_tuple(9, 640, 480));
  EXPECT_EQ(load(manifest({{"frames", "0"}, {"amount", "-0.5"}, {"ksize", "1"}})).unsharp.amount, -0.5f);
  EXPECT_EQ(load(manifest({{"W", "2147483647.9"}})).W, 2147483647);
  // Nested namesakes lose to the top level; containers and strings never count.
  m = load(manifest({{"tessera", R"({"H": 9, "frames": {"n": 2}, "crop": 64})"},
                     {"unified", R"({"W": 3, "frames": [1, 2]})"},
                     {"description", R"("H is the height; \"W\": 5, \"frames\": 6")"}}));
  EXPECT_EQ(std::make_tuple(m.H, m.W, m.crop, m.frames), std::make_tuple(1280, 720, 512, 40));
  EXPECT_EQ(load(manifest({{"frames", std::nullopt}, {"tessera", R"({"frames": 33})"}})).frames, 33);
}

// Only a regular file within 64 MiB is read as the template: a FIFO would
// block the load forever and a directory opens on Linux.
TEST_F(LoadManifest, LipTemplateIsARegularFileWithinABound) {
  const std::string path = t / "lip_template.v1.json";
  const struct {
    const char* what;
    std::function<void()> make;
    std::string expected;  // error text, or "=" + template text
  } cases[] = {
      {"absent", [] {}, "="},
      {"dangling link", [&] { ASSERT_EQ(::symlink("nowhere", path.c_str()), 0); }, "="},
      {"fifo", [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }, "cannot open " + path},
      {"directory", [&] { ASSERT_EQ(::mkdir(path.c_str(), 0700), 0); }, "cannot open " + path},
      {"64 MiB exactly", [&] { writeFile(path, ""); ASSERT_EQ(::truncate(path.c_str(), 64 << 20), 0); },
       "=" + std::string(64 << 20, '\0')},
      {"over 64 MiB", [&] { writeFile(path, ""); ASSERT_EQ(::truncate(path.c_str(), (64 << 20) + 1), 0); },
       path + " holds 67108865 bytes, more than a manifest may (67108864) \xE2\x80\x94 refusing"},
      {"empty file", [&] { writeFile(path, ""); }, "="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(path);
    c.make();
    std::string got;
    const std::string err = errorOf([&] { got = load(manifest()).lipTemplateJson; });
    if (c.expected[0] == '=') {
      EXPECT_EQ(err, "(no error)");
      EXPECT_TRUE(got == c.expected.substr(1));
    } else {
      EXPECT_EQ(err, c.expected);
    }
  }
}

TEST_F(LoadManifest, EachBadKeyIsRefusedWithItsMessage) {
  const auto range = [](const std::string& key, const std::string& shown) {
    return "manifest: key " + key + " is not a finite number within int32 range (" + shown + ")";
  };
  const std::string badStamp = "manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)";
  const struct {
    Edits edits;
    std::string error;
  } cases[] = {
      {{{"format", "\"le-bundle-v1\""}}, "not an le-bundle-v0: " + t.path()},
      {{{"format", "\"le-bundle-v0 \""}}, "not an le-bundle-v0: " + t.path()},
      {{{"agent", "7"}}, "manifest: bad string agent"},
      {{{"sigma", std::nullopt}, {"H", std::nullopt}}, "manifest: missing key H"},  // read in order
      {{{"NT", "0.9"}}, "manifest: bad dims"},
      {{{"H", "0"}}, "manifest: bad dims"}, {{{"W", "-1"}}, "manifest: bad dims"},
      {{{"crop", "0"}}, "manifest: bad dims"}, {{{"NT", "-2147483648"}}, "manifest: bad dims"},
      {{{"M_src_w", "0"}}, badStamp}, {{{"M_src_h", "\"720\""}}, badStamp},
      {{{"NT", "NaN"}}, range("NT", "nan")},
      {{{"NT", std::nullopt}, {"frame_count", "-1e30"}}, range("frame_count", "-1e+30")},
      {{{"H", "Infinity"}}, range("H", "inf")}, {{{"W", "2147483648"}}, range("W", "2.14748e+09")},
      {{{"crop", "-2147483649"}}, range("crop", "-2.14748e+09")}, {{{"frames", "1e10"}}, range("frames", "1e+10")},
      {{{"ksize", "-inf"}}, range("ksize", "-inf")}, {{{"M_src_w", "nan"}}, range("M_src_w", "nan")},
      {{{"M_src_h", std::nullopt}, {"paste_source_height", "9e99"}}, range("paste_source_height", "9e+99")},
      {{{"frames", "-3"}}, "manifest: key frames must be >= 0 (got -3)"},
      {{{"ksize", "4"}}, "manifest: bad unsharp ksize 4 (must be odd and >= 1)"},
      {{{"ksize", "-3"}}, "manifest: bad unsharp ksize -3 (must be odd and >= 1)"},
      {{{"ksize", "2.5"}}, "manifest: bad unsharp ksize 2 (must be odd and >= 1)"},
      {{{"sigma", "0"}}, "manifest: bad unsharp sigma 0 (must be finite and > 0)"},
      {{{"sigma", "NaN"}}, "manifest: bad unsharp sigma nan (must be finite and > 0)"},
      {{{"sigma", "1e-50"}}, "manifest: bad unsharp sigma 1e-50 (must be finite and > 0)"},  // 0 as a float
      {{{"sigma", "1e39"}}, "manifest: bad unsharp sigma 1e+39 (must be finite and > 0)"},
      {{{"amount", "Infinity"}}, "manifest: bad unsharp amount inf (must be finite)"},
      {{{"amount", "-1e39"}}, "manifest: bad unsharp amount -1e+39 (must be finite)"},
  };
  for (const auto& c : cases) EXPECT_EQ(error(manifest(c.edits)), c.error) << manifest(c.edits);
  // A missing key is named as the loader reads it, with its other name.
  for (const std::string shown :
       {"format", "agent", "NT/frame_count", "crop/crop_size", "W", "amount", "ksize", "frames"})
    EXPECT_EQ(error(manifest({{shown.substr(0, shown.find('/')), std::nullopt}})), "manifest: missing key " + shown);
  // Ambiguity reaches the loader: nested twice, or twice at the top level.
  std::string text = manifest({{"frames", std::nullopt}, {"tessera", R"({"frames": 33})"}, {"u", R"({"frames": 34})"}});
  EXPECT_EQ(error(text), ambiguous("frames", {text.find("33"), text.find("34")}));
  text = manifest({{"extra", "0"}});
  text.replace(text.find("\"extra\""), 7, "\"H\"");
  EXPECT_EQ(error(text), ambiguous("H", {text.find("1280"), text.find(" 0\n") + 1}));
  EXPECT_EQ(errorOf([&] { loadManifest(t / "nowhere"); }), "cannot open " + (t / "nowhere") + "/manifest.json");
  // Malformed text: nothing, bytes, truncated strings, and every prefix that
  // stops before the last value.
  EXPECT_EQ(error(std::string("\0\xff\x01{\"[", 6)), "manifest: missing key format");
  EXPECT_EQ(error(R"({"format": "le-bun)"), "manifest: bad string format");
  const std::string full = manifest();
  for (size_t n = 0; n <= full.rfind("1280"); ++n) EXPECT_NE(error(full.substr(0, n)), "(no error)") << n;
}

TEST_F(LoadManifest, MissingStampNeedsTheExactSwitch) {
  const std::string refusal =
      t.path() + "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka paste_source_width/height) "
                 "\xE2\x80\x94 the canvas is 720x1280, so M cannot be placed: absence is not evidence that M was "
                 "authored at that size. Re-stamp the bundle (models/cadenza-2/inference/backfill_msrc), or set "
                 "CADENZA2_MSRC_MISSING_OK=1 to restore the legacy assumption.";
  const std::string none = manifest({{"M_src_w", std::nullopt}, {"M_src_h", std::nullopt}});
  const std::string half = manifest({{"M_src_h", std::nullopt}});
  for (const char* v : {"true", "1 ", " 1", "", "01"}) {
    ScopedEnv env("CADENZA2_MSRC_MISSING_OK", std::string(v));
    EXPECT_EQ(error(none), refusal) << "'" << v << "'";
    EXPECT_EQ(error(half), refusal) << "'" << v << "'";
  }
  ScopedEnv env("CADENZA2_MSRC_MISSING_OK", std::string("1"));
  for (const std::string& text : {none, half}) {
    testing::internal::CaptureStderr();
    const Manifest m = load(text);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[le] WARNING CADENZA2_MSRC_MISSING_OK=1: " + t.path() +
                  "/manifest.json carries no paste-space stamp; ASSUMING M was authored on this 720x1280 canvas. If "
                  "it was not, the face pastes off-target (qf#144) and nothing will say so.\n");
    EXPECT_EQ(std::make_pair(m.srcW, m.srcH), std::make_pair(720, 1280));
  }
}

}  // namespace
}  // namespace le
