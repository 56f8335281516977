// Manifest key rule, lookup helpers and the loader's refusals.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "le/bundle/manifest.h"
#include "le/bundle/manifest_key.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using le::test::errorOf;

using manifest_key::KeyHit;
using manifest_key::keyHits;
using manifest_key::kAbsent;
using manifest_key::scalarValuePos;
using test::ScopedEnv;
using test::TempDir;
using test::writeFile;

std::string ambiguous(const std::string& key, const std::vector<size_t>& offsets) {
  std::string m = "manifest: key \"" + key + "\" is AMBIGUOUS \xE2\x80\x94 " +
                  std::to_string(offsets.size()) + " scalar occurrences (";
  for (size_t i = 0; i < offsets.size(); ++i)
    m += (i ? ", byte " : "byte ") + std::to_string(offsets[i]);
  return m +
         "). A loader that picks one silently installs a number nobody checks. Rename the "
         "colliding key (a nested block must not reuse a name the bundle loader reads: "
         "NT/frame_count, H, W, crop/crop_size, amount, sigma, ksize, frames, "
         "M_src_w/paste_source_width, M_src_h/paste_source_height), or produce the bundle "
         "with the legacy manifest layout.";
}

// Offset of the value that follows the n-th occurrence of `"key":`.
size_t valueAt(const std::string& text, const std::string& key, int n = 0) {
  size_t p = 0;
  const std::string pat = "\"" + key + "\":";
  for (int i = 0; i <= n; ++i) {
    p = text.find(pat, i ? p + 1 : 0);
    if (p == std::string::npos) return p;
  }
  p += pat.size();
  while (text[p] == ' ') ++p;
  return p;
}

TEST(KeyHits, DepthScalarAndStrings) {
  const std::string t =
      R"({"H" : 7, "b": {"H": [1], "c": {"H":{}}}, "s": "H", "e": "x\"H\": 1", "H"
 :
 "q"})";
  const std::vector<KeyHit> h = keyHits(t, "H");
  ASSERT_EQ(h.size(), 4u);
  EXPECT_EQ(h[0].pos, t.find('7'));
  EXPECT_EQ(h[0].depth, 1);
  EXPECT_TRUE(h[0].scalar);
  EXPECT_EQ(h[1].depth, 2);
  EXPECT_FALSE(h[1].scalar);
  EXPECT_EQ(h[2].depth, 3);
  EXPECT_FALSE(h[2].scalar);
  // A key split over lines by white space around the colon still counts.
  EXPECT_EQ(h[3].pos, t.find("\"q\""));
  EXPECT_EQ(h[3].depth, 1);
  EXPECT_TRUE(h[3].scalar);
  // Same length and bytes only.
  EXPECT_TRUE(keyHits(t, "h").empty());
  EXPECT_TRUE(keyHits(t, "HH").empty());
  EXPECT_EQ(keyHits(t, "").size(), 0u);
}

TEST(KeyHits, BracketsInStringsAndTruncation) {
  // Brackets inside strings do not change the depth of a later key.
  const std::string t = R"({"a": "{{[[", "b\\": "]]", "k": 1})";
  const auto h = keyHits(t, "k");
  ASSERT_EQ(h.size(), 1u);
  EXPECT_EQ(h[0].depth, 1);
  // An escaped quote does not end a string; an escaped backslash does not
  // escape the closing quote.
  std::string e = R"({"d": "say \"", "H": 3, "b": "c:\\", "W": 4})";
  EXPECT_EQ(scalarValuePos(e, "H"), e.find('3'));
  EXPECT_EQ(scalarValuePos(e, "W"), e.find('4'));
  // A trailing backslash inside a string ends the string with the text.
  EXPECT_EQ(keyHits(R"({"k": 1, "x": "abc\)", "k").size(), 1u);
  // The text ends inside a string: hits before it remain, the scan stops.
  EXPECT_EQ(keyHits(R"({"k": 1, "k": "open)", "k").size(), 2u);
  EXPECT_EQ(keyHits(R"({"k": 1, "open)", "k").size(), 1u);
  // The text ends after the colon: not a scalar, so never a value.
  const auto end = keyHits(R"({"k":  )", "k");
  ASSERT_EQ(end.size(), 1u);
  EXPECT_FALSE(end[0].scalar);
  EXPECT_EQ(end[0].pos, 7u);
  EXPECT_EQ(scalarValuePos(R"({"k":  )", "k"), kAbsent);
  // Unbalanced closers drive the depth below the top level; no hit is depth 1.
  const auto low = keyHits(R"(}} "k": 1)", "k");
  ASSERT_EQ(low.size(), 1u);
  EXPECT_EQ(low[0].depth, -2);
  EXPECT_EQ(scalarValuePos(R"(}} "k": 1)", "k"), low[0].pos);
  // NUL bytes are ordinary bytes.
  const char raw[] = "{\"k\0\": 2, \"k\": 3}";
  const std::string nul(raw, sizeof raw - 1);
  EXPECT_EQ(keyHits(nul, "k").size(), 1u);
  EXPECT_EQ(keyHits(nul, std::string_view("k\0", 2)).size(), 1u);
}

TEST(ScalarValuePos, OneKeyRule) {
  // Top level beats nested, in either order.
  std::string t = R"({"t": {"H": 1}, "H": 2, "u": {"H": 3}})";
  EXPECT_EQ(scalarValuePos(t, "H"), t.find('2'));
  // Nested only, once: used.
  t = R"({"t": {"x": {"H": 4}}, "u": {"H": [5]}})";
  EXPECT_EQ(scalarValuePos(t, "H"), t.find('4'));
  // Arrays and objects never count, even at top level.
  t = R"({"frames": {"n": 1}, "frames": 9, "frames": [2]})";
  EXPECT_EQ(scalarValuePos(t, "frames"), t.find('9'));
  EXPECT_EQ(scalarValuePos(R"({"frames": {"a": 1}})", "frames"), kAbsent);
  EXPECT_EQ(scalarValuePos("", "frames"), kAbsent);
}

TEST(ScalarValuePos, AmbiguityListsEveryOffset) {
  std::string t = R"({"H": 1, "n": {"H": 0}, "H": 2})";
  EXPECT_EQ(errorOf([&] { scalarValuePos(t, "H"); }),
            ambiguous("H", {t.find('1'), t.find('2')}));
  t = R"({"a": {"ksize": 3}, "b": {"ksize": 5}, "c": {"ksize": 7}})";
  EXPECT_EQ(errorOf([&] { scalarValuePos(t, "ksize"); }),
            ambiguous("ksize", {t.find('3'), t.find('5'), t.find('7')}));
}

TEST(LookupHelpers, StringsAndNumbers) {
  const std::string t =
      R"({"s": "abc", "e": "", "n": 12, "f": 1.2e1, "g": 12.0, "q": "12", "b": true,
 "p": +3.5, "alt": 4, "o": {"x": 1}})";
  EXPECT_EQ(strField(t, "s"), "abc");
  EXPECT_EQ(strField(t, "e"), "");
  EXPECT_EQ(errorOf([&] { strField(t, "zz"); }), "manifest: missing key zz");
  // A non-string value is refused, not replaced by the next string in the text.
  EXPECT_EQ(errorOf([&] { strField(t, "n"); }), "manifest: bad string n");
  EXPECT_EQ(errorOf([&] { strField(R"({"u": "open)", "u"); }), "manifest: bad string u");
  EXPECT_EQ(*findKey(t, "s"), '"');
  EXPECT_EQ(errorOf([&] { findKey(t, "o"); }), "manifest: missing key o");

  EXPECT_EQ(numField(t, "n"), 12.0);
  EXPECT_EQ(numField(t, "f"), 12.0);
  EXPECT_EQ(numField(t, "g"), 12.0);
  EXPECT_EQ(numField(t, "q"), 0.0);
  EXPECT_EQ(numField(t, "b"), 0.0);
  EXPECT_EQ(numField(t, "p"), 3.5);
  std::string_view used;
  EXPECT_EQ(numFieldEither(t, "NT", "alt", &used), 4.0);
  EXPECT_EQ(used, "alt");
  EXPECT_EQ(numFieldEither(t, "n", "alt", &used), 12.0);
  EXPECT_EQ(used, "n");
  EXPECT_EQ(errorOf([&] { numFieldEither(t, "NT", "frame_count"); }),
            "manifest: missing key NT/frame_count");
}

TEST(LookupHelpers, OptionalStringFlavours) {
  const std::string t = R"({"s": "abc", "e": "", "n": 5, "o": ["x"], "u": "open)";
  std::string out = "keep";
  EXPECT_TRUE(optStr(t, "e", out));
  EXPECT_EQ(out, "");
  out = "keep";
  EXPECT_FALSE(optStrNonEmpty(t, "e", out));
  EXPECT_EQ(out, "keep");
  EXPECT_TRUE(optStrNonEmpty(t, "s", out));
  EXPECT_EQ(out, "abc");
  out = "keep";
  for (const char* k : {"n", "o", "u", "absent"}) {
    EXPECT_FALSE(optStr(t, k, out)) << k;
    EXPECT_FALSE(optStrNonEmpty(t, k, out)) << k;
  }
  EXPECT_EQ(out, "keep");
  // Optional lookups obey the same rule: ambiguity is refused, not skipped.
  EXPECT_THROW(optStr(R"({"s": "a", "s": "b"})", "s", out), std::runtime_error);
}

TEST(LookupHelpers, NumbersIgnoreTheHostLocale) {
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = old ? old : "C";
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "fr_FR.UTF-8"))
    GTEST_SKIP() << "no locale with a comma decimal point installed";
  const double v = numField(R"({"amount": 1.3})", "amount");
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_EQ(v, 1.3);
}

TEST(ReadFile, BytesAndErrors) {
  TempDir t;
  const std::string bytes("a\0b\xff\n", 5);
  writeFile(t / "f", bytes);
  EXPECT_EQ(readFile(t / "f"), bytes);
  writeFile(t / "empty", "");
  EXPECT_EQ(readFile(t / "empty"), "");
  EXPECT_EQ(errorOf([&] { readFile(t / "none"); }), "cannot open " + (t / "none"));
  EXPECT_EQ(errorOf([&] { readFile(t.path()); }), "cannot open " + t.path());
}

// ---- loadManifest ----------------------------------------------------------

using Fields = std::vector<std::pair<std::string, std::string>>;  // key, raw JSON value

Fields baseFields() {
  return {{"format", "\"le-bundle-v0\""}, {"agent", "\"ada\""}, {"NT", "50"},
          {"H", "1280"},  {"W", "720"},   {"crop", "512"},  {"amount", "1.5"},
          {"sigma", "2.5"}, {"ksize", "11"}, {"frames", "40"}, {"M_src_w", "720"},
          {"M_src_h", "1280"}};
}

Fields with(Fields f, const std::string& key, std::optional<std::string> value) {
  for (auto it = f.begin(); it != f.end(); ++it) {
    if (it->first != key) continue;
    if (value) it->second = *value;
    else f.erase(it);
    return f;
  }
  if (value) f.emplace_back(key, *value);
  return f;
}

std::string render(const Fields& f) {
  std::string s = "{\n";
  for (size_t i = 0; i < f.size(); ++i)
    s += " \"" + f[i].first + "\": " + f[i].second + (i + 1 < f.size() ? ",\n" : "\n");
  return s + "}\n";
}

class LoadManifest : public testing::Test {
 protected:
  TempDir t;
  ScopedEnv noStampOk{"CADENZA2_MSRC_MISSING_OK", std::nullopt};
  ScopedEnv noRoot{"LE_IMX_UNWRAP_ROOT", std::nullopt};

  Manifest load(const std::string& text) {
    writeFile(t / "manifest.json", text);
    return loadManifest(t.path());
  }
  Manifest load(const Fields& f) { return load(render(f)); }
  std::string error(const std::string& text) {
    return errorOf([&] { load(text); });
  }
  std::string error(const Fields& f) { return error(render(f)); }
};

TEST_F(LoadManifest, ReadsEveryField) {
  const Manifest m = load(baseFields());
  EXPECT_EQ(m.dir, t.path());
  EXPECT_EQ(m.agent, "ada");
  EXPECT_EQ(m.NT, 50);
  EXPECT_EQ(m.H, 1280);
  EXPECT_EQ(m.W, 720);
  EXPECT_EQ(m.srcW, 720);
  EXPECT_EQ(m.srcH, 1280);
  EXPECT_EQ(m.crop, 512);
  EXPECT_EQ(m.unsharp.amount, 1.5f);
  EXPECT_EQ(m.unsharp.sigma, 2.5f);
  EXPECT_EQ(m.unsharp.ksize, 11);
  EXPECT_EQ(m.frames, 40);
  EXPECT_EQ(m.lipTemplateJson, "");
}

TEST_F(LoadManifest, AlternateKeysTruncationAndLipTemplate) {
  Fields f = baseFields();
  f = with(f, "NT", std::nullopt);
  f = with(f, "frame_count", "7.9");
  f = with(f, "crop", std::nullopt);
  f = with(f, "crop_size", "2.56e2");
  f = with(f, "M_src_w", std::nullopt);
  f = with(f, "M_src_h", std::nullopt);
  f = with(f, "paste_source_width", "1080");
  f = with(f, "paste_source_height", "1920");
  f = with(f, "ksize", "3.9");
  const std::string lip("{\"pts\": [1, 2]}\0tail", 20);
  writeFile(t / "lip_template.v1.json", lip);
  const Manifest m = load(f);
  EXPECT_EQ(m.NT, 7);
  EXPECT_EQ(m.crop, 256);
  EXPECT_EQ(m.unsharp.ksize, 3);
  // A stamp larger than the driver is the paste rescaler's business.
  EXPECT_EQ(m.srcW, 1080);
  EXPECT_EQ(m.srcH, 1920);
  EXPECT_EQ(m.lipTemplateJson, lip);
  // The first name wins over the alternate.
  EXPECT_EQ(load(with(f, "NT", "9")).NT, 9);
  EXPECT_EQ(load(with(f, "M_src_w", "640")).srcW, 640);
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
    const std::string err = errorOf([&] { got = load(baseFields()).lipTemplateJson; });
    if (c.expected[0] == '=') {
      EXPECT_EQ(err, "(no error)");
      EXPECT_TRUE(got == c.expected.substr(1));
    } else {
      EXPECT_EQ(err, c.expected);
    }
  }
}

TEST_F(LoadManifest, KeyRuleAppliesToTheLoader) {
  const Fields base = baseFields();
  // Top level beats nested namesakes; object-valued namesakes are ignored.
  Fields f = with(base, "tessera", R"({"H": 9, "frames": {"n": 2}, "crop": 64})");
  f = with(f, "unified", R"({"W": 3, "frames": [1, 2]})");
  Manifest m = load(f);
  EXPECT_EQ(m.H, 1280);
  EXPECT_EQ(m.W, 720);
  EXPECT_EQ(m.crop, 512);
  EXPECT_EQ(m.frames, 40);
  // Nested only, once: used.
  f = with(with(base, "frames", std::nullopt), "tessera", R"({"frames": 33})");
  EXPECT_EQ(load(f).frames, 33);
  // Nested only, twice: refused listing both.
  f = with(f, "unified", R"({"frames": 34})");
  std::string text = render(f);
  EXPECT_EQ(error(text), ambiguous("frames", {text.find("33"), text.find("34")}));
  // Twice at top level: refused with both offsets.
  text = render(base);
  text = text.substr(0, text.size() - 3) + ",\n \"H\": 720\n}\n";
  EXPECT_EQ(error(text), ambiguous("H", {valueAt(text, "H", 0), valueAt(text, "H", 1)}));
  // A key name inside a string value is not a key.
  f = with(base, "description", R"("H is the height; \"W\": 5, \"frames\": 6")");
  m = load(f);
  EXPECT_EQ(m.W, 720);
  EXPECT_EQ(m.frames, 40);
}

TEST_F(LoadManifest, FormatAndMissingKeys) {
  const Fields base = baseFields();
  for (const char* fmt : {"\"le-bundle-v1\"", "\"le-bundle-v0 \"", "\"LE-BUNDLE-V0\"", "\"\""})
    EXPECT_EQ(error(with(base, "format", fmt)), "not an le-bundle-v0: " + t.path()) << fmt;
  EXPECT_EQ(error(with(base, "format", std::nullopt)), "manifest: missing key format");
  const std::vector<std::pair<std::vector<const char*>, std::string>> missing = {
      {{"agent"}, "agent"},     {{"NT"}, "NT/frame_count"}, {{"H"}, "H"},
      {{"W"}, "W"},             {{"crop"}, "crop/crop_size"}, {{"amount"}, "amount"},
      {{"sigma"}, "sigma"},     {{"ksize"}, "ksize"},         {{"frames"}, "frames"},
      // Read in order: the first missing one is reported.
      {{"sigma", "H"}, "H"}};
  for (const auto& [keys, msg] : missing) {
    Fields f = base;
    for (const char* k : keys) f = with(f, k, std::nullopt);
    EXPECT_EQ(error(f), "manifest: missing key " + msg) << msg;
  }
  EXPECT_EQ(error(with(base, "agent", "7")), "manifest: bad string agent");
  EXPECT_EQ(errorOf([&] { loadManifest(t / "nowhere"); }),
            "cannot open " + (t / "nowhere") + "/manifest.json");
}

TEST_F(LoadManifest, DimsAndStamp) {
  const Fields base = baseFields();
  for (const auto& [k, v] : Fields{{"NT", "0"}, {"NT", "0.9"}, {"H", "0"}, {"W", "-1"},
                                   {"crop", "0"}, {"NT", "-2147483648"}})
    EXPECT_EQ(error(with(base, k, v)), "manifest: bad dims") << k << "=" << v;
  // Zero frames is a valid count.
  EXPECT_EQ(load(with(base, "frames", "0")).frames, 0);
  const std::string badStamp = "manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)";
  EXPECT_EQ(error(with(base, "M_src_w", "0")), badStamp);
  EXPECT_EQ(error(with(base, "M_src_h", "-4")), badStamp);
  EXPECT_EQ(error(with(base, "M_src_h", "\"720\"")), badStamp);
}

TEST_F(LoadManifest, MissingStampNeedsExactlyOne) {
  const std::string refusal =
      t.path() +
      "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka "
      "paste_source_width/height) \xE2\x80\x94 the canvas is 720x1280, so M cannot be placed: "
      "absence is not evidence that M was authored at that size. Re-stamp the bundle "
      "(models/cadenza-2/inference/backfill_msrc), or set CADENZA2_MSRC_MISSING_OK=1 to "
      "restore the legacy assumption.";
  const Fields noStamp = with(with(baseFields(), "M_src_w", std::nullopt), "M_src_h", std::nullopt);
  const Fields halfStamp = with(baseFields(), "M_src_h", std::nullopt);
  EXPECT_EQ(error(noStamp), refusal);
  EXPECT_EQ(error(halfStamp), refusal);
  for (const char* v : {"true", "1 ", " 1", "", "01", "yes"}) {
    ScopedEnv env("CADENZA2_MSRC_MISSING_OK", std::string(v));
    EXPECT_EQ(error(noStamp), refusal) << "'" << v << "'";
  }
  ScopedEnv env("CADENZA2_MSRC_MISSING_OK", std::string("1"));
  for (const Fields& f : {noStamp, halfStamp}) {
    testing::internal::CaptureStderr();
    const Manifest m = load(f);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[le] WARNING CADENZA2_MSRC_MISSING_OK=1: " + t.path() +
                  "/manifest.json carries no paste-space stamp; ASSUMING M was authored on "
                  "this 720x1280 canvas. If it was not, the face pastes off-target (qf#144) and "
                  "nothing will say so.\n");
    EXPECT_EQ(m.srcW, 720);
    EXPECT_EQ(m.srcH, 1280);
  }
}

TEST_F(LoadManifest, NumbersOutsideTheirRangeAreRefusedByName) {
  const Fields base = baseFields();
  auto range = [](const std::string& key, const std::string& shown) {
    return "manifest: key " + key + " is not a finite number within int32 range (" + shown + ")";
  };
  EXPECT_EQ(error(with(base, "NT", "NaN")), range("NT", "nan"));
  EXPECT_EQ(error(with(base, "NT", "1e30")), range("NT", "1e+30"));
  EXPECT_EQ(error(with(with(base, "NT", std::nullopt), "frame_count", "-1e30")),
            range("frame_count", "-1e+30"));
  EXPECT_EQ(error(with(base, "H", "Infinity")), range("H", "inf"));
  EXPECT_EQ(error(with(base, "W", "2147483648")), range("W", "2.14748e+09"));
  EXPECT_EQ(load(with(base, "W", "2147483647.9")).W, 2147483647);
  EXPECT_EQ(error(with(base, "crop", "-2147483649")), range("crop", "-2.14748e+09"));
  EXPECT_EQ(error(with(base, "frames", "1e10")), range("frames", "1e+10"));
  EXPECT_EQ(error(with(base, "ksize", "-inf")), range("ksize", "-inf"));
  EXPECT_EQ(error(with(base, "M_src_w", "nan")), range("M_src_w", "nan"));
  EXPECT_EQ(error(with(with(base, "M_src_h", std::nullopt), "paste_source_height", "9e99")),
            range("paste_source_height", "9e+99"));
  EXPECT_EQ(error(with(base, "frames", "-3")), "manifest: key frames must be >= 0 (got -3)");
}

TEST_F(LoadManifest, UnsharpParameters) {
  const Fields base = baseFields();
  for (const char* v : {"4", "0", "-1", "-3", "2.5"})
    EXPECT_EQ(error(with(base, "ksize", v)),
              "manifest: bad unsharp ksize " + std::to_string(static_cast<int>(std::stod(v))) +
                  " (must be odd and >= 1)")
        << v;
  EXPECT_EQ(load(with(base, "ksize", "1")).unsharp.ksize, 1);
  for (const auto& [v, shown] : Fields{{"0", "0"}, {"-1", "-1"}, {"NaN", "nan"},
                                       {"1e-50", "1e-50"}, {"1e39", "1e+39"}})
    EXPECT_EQ(error(with(base, "sigma", v)),
              "manifest: bad unsharp sigma " + shown + " (must be finite and > 0)")
        << v;
  for (const auto& [v, shown] : Fields{{"Infinity", "inf"}, {"nan", "nan"}, {"-1e39", "-1e+39"}})
    EXPECT_EQ(error(with(base, "amount", v)),
              "manifest: bad unsharp amount " + shown + " (must be finite)")
        << v;
  // A negative amount is a valid (blurring) mask.
  EXPECT_EQ(load(with(base, "amount", "-0.5")).unsharp.amount, -0.5f);
}

TEST_F(LoadManifest, MalformedText) {
  EXPECT_EQ(error(""), "manifest: missing key format");
  EXPECT_EQ(error(std::string("\0\xff\x01{\"[", 6)), "manifest: missing key format");
  EXPECT_EQ(error(R"({"format": "le-bun)"), "manifest: bad string format");
  // Truncated after the colon, and inside a later string.
  EXPECT_EQ(error(R"({"format": )"), "manifest: missing key format");
  const std::string full = render(baseFields());
  EXPECT_EQ(error(full.substr(0, full.find("\"ksize\"") + 3)), "manifest: missing key ksize");
  // Every prefix that stops before the last stamp value is refused.
  const size_t last = valueAt(full, "M_src_h");
  ASSERT_NE(last, std::string::npos);
  for (size_t n = 0; n <= last; ++n) {
    writeFile(t / "manifest.json", full.substr(0, n));
    try {
      loadManifest(t.path());
      ADD_FAILURE() << "prefix " << n << " loaded";
    } catch (const std::runtime_error&) {
    }
  }
}

}  // namespace
}  // namespace le
