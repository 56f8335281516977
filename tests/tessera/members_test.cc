// The tessera members on bundles written here: the carriage and its one
// predicate, the loader's cross-checks with their exact texts, reordering and
// the serve configuration.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "le/bundle/manifest.h"
#include "le/tessera/bundle_tessera.h"
#include "le/tessera/head.h"
#include "testkit/testkit.h"

namespace {

using le::test::errorOf;
using le::test::TempDir;

// A JSON object as ordered key / raw-value pairs, edited by the cases.
struct Obj {
  std::vector<std::pair<std::string, std::string>> kv;
  Obj& set(const std::string& k, const std::string& v) {
    for (auto& p : kv)
      if (p.first == k) return p.second = v, *this;
    kv.emplace_back(k, v);
    return *this;
  }
  Obj& drop(const std::string& k) {
    std::erase_if(kv, [&](const auto& p) { return p.first == k; });
    return *this;
  }
  std::string text() const {
    std::string s = "{";
    for (const auto& [k, v] : kv) s += (s.size() > 1 ? ", \"" : "\"") + k + "\": " + v;
    return s + "}";
  }
};

const char* const kStampKeys[] = {"canvas_w", "canvas_h", "window_x0", "window_y0", "window_w", "window_h",
                                  "pad",      "band_r0",  "band_r1",   "band_c0",   "band_c1",  "shift_margin"};
const int kStamp[] = {64, 64, 16, 32, 32, 24, 4, 2, 18, 4, 28, 3};  // stored patch 30 x 22
const char* const kStampText =
    "{canvas_w=64, canvas_h=64, window_x0=16, window_y0=32, window_w=32, window_h=24, pad=4, "
    "band_r0=2, band_r1=18, band_c0=4, band_c1=28, shift_margin=3}";

Obj stamp() {
  Obj o;
  for (int i = 0; i < 12; ++i) o.set(kStampKeys[i], std::to_string(kStamp[i]));
  return o;
}

// A bundle directory with the four members, written once `edit` has changed it.
struct Bundle {
  // The bundle is a folder inside the temporary directory, so a name that
  // climbs out of it still lands in something the test removes.
  struct Dir {
    TempDir tmp;
    std::string path = tmp / "b";
    Dir() { ::mkdir(path.c_str(), 0755); }
    std::string operator/(const std::string& rel) const { return path + "/" + rel; }
  } t;
  std::string dir = t.path;
  Obj sidecar = Obj().set("format", "\"tessera_bank.v1\"").set("geometry", stamp().text()).set("n_donors", "3")
                    .set("track_order", "[2, 0, 1]").set("cent", "[[1.5, 2.5], [3, 4], [5.25, 6]]")
                    .set("aperture", "[0.1, 0.2, 0.3]").set("c_canon", "[31.5, 43.25]")
                    .set("codec", R"({"codec": "h264", "pix_fmt": "rgb24"})");
  Obj block = Obj().set("planes", R"(["live", 3, "batch"])").set("geometry", stamp().text());
  Obj members;
  std::string manifestName = "manifest.json";
  std::string manifestRaw;  // used verbatim when set
  bool withManifest = true, withBlock = true;
  std::vector<std::string> skip;  // default member files not written

  explicit Bundle(const std::function<void(Bundle&)>& edit = {}) {
    if (edit) edit(*this);
    if (!members.kv.empty()) block.set("members", members.text());
    const std::string tessera = withBlock ? ", \"tessera\": " + block.text() : "";
    const std::string manifest = "{\"format\": \"le-bundle-v0\", \"NT\": 8" + tessera + "}";
    if (withManifest) le::test::writeFile(t / manifestName, manifestRaw.empty() ? manifest : manifestRaw);
    const std::pair<const char*, std::string> files[] = {
        {"tessera_bank.v1.mp4", "TRACK"}, {"tessera_bank.v1.json", sidecar.text()},
        {"tessera_head.v1.pt", std::string("PK\x03\x04 head", 9)},
        {"tessera_head.v1.json", R"({"retrieval": {}, "temporal": {}})"}};
    for (const auto& [name, bytes] : files)
      if (std::find(skip.begin(), skip.end(), name) == skip.end()) le::test::writeFile(t / name, bytes);
  }
  std::string expand(std::string s) const {
    for (size_t p; (p = s.find("DIR")) != std::string::npos;) s.replace(p, 3, dir);
    return s;
  }
};

const std::string kPredicateTail =
    ". ONE predicate (owner ruling 2026-09-06): all four members present = ARMED on every plane; "
    "any missing = REFUSED on every plane. The borrow is a SWITCH, not a gradient — there is no "
    "rendering mode that proceeds without them (cadenza-2 IS borrowed teeth). Re-stage the bundle "
    "with the bank builder.";

TEST(TesseraCarriage, WhatABundleCarries) {
  const std::tuple<const char*, std::function<void(Bundle&)>, bool, bool, std::vector<std::string>> cases[] = {
      {"all four, declared", [](Bundle&) {}, true, true, {}},
      {"no manifest", [](Bundle& b) { b.withManifest = false; }, true, false, {}},
      {"meta.json instead", [](Bundle& b) { b.manifestName = "meta.json"; }, true, true, {}},
      {"unparsable manifest", [](Bundle& b) { b.manifestRaw = R"({"tessera": {"planes": [)"; }, true, false, {}},
      {"tessera not an object", [](Bundle& b) { b.manifestRaw = R"({"tessera": [1]})"; }, true, false, {}},
      {"empty member name keeps the default",
       [](Bundle& b) { b.members.set("head_weights", "\"\""); }, true, true, {}},
      {"member renamed to a file that is not there",
       [](Bundle& b) { b.members.set("head_weights", "\"w.pt\""); }, false, true, {"head_weights"}},
      {"a member in a subfolder", [](Bundle& b) {
         ASSERT_EQ(::mkdir((b.t / "bank").c_str(), 0755), 0);
         le::test::writeFile(b.t / "bank/track.mp4", "TRACK");
         b.members.set("bank_track", "\"bank/track.mp4\"");
       }, true, true, {}},
      {"two of four", [](Bundle& b) { b.skip = {"tessera_bank.v1.mp4", "tessera_head.v1.json"}; }, false,
       true, {"bank_track", "head_config"}},
      {"an older member name that climbs out", [](Bundle& b) {
         le::test::writeFile(b.t / "../outside.json", "{}");
         b.members.set("head_config", "\"drive/../../outside.json\"");
       }, false, true, {"head_config"}},
      {"an absolute name", [](Bundle& b) { b.members.set("bank_track", "\"/etc/hostname\""); }, false,
       true, {"bank_track"}},
      {"a name linked out of the bundle", [](Bundle& b) {
         le::test::writeFile(b.t / "../outside.pt", "w");
         ASSERT_EQ(::symlink((b.t / "../outside.pt").c_str(), (b.t / "out.pt").c_str()), 0);
         b.members.set("head_weights", "\"out.pt\"");
       }, false, true, {"head_weights"}},
      {"a link that stays inside", [](Bundle& b) {
         ASSERT_EQ(::symlink("tessera_head.v1.pt", (b.t / "in.pt").c_str()), 0);
         b.members.set("head_weights", "\"in.pt\"");
       }, true, true, {}},
      {"a manifest linked out of the bundle is not read", [](Bundle& b) {
         b.withManifest = false;
         le::test::writeFile(b.t / "../m.json", R"({"tessera": {"members": {"head_weights": "w.pt"}}})");
         ASSERT_EQ(::symlink((b.t / "../m.json").c_str(), (b.t / "manifest.json").c_str()), 0);
       }, true, false, {}},
      {"a FIFO as member", [](Bundle& b) {
         ::mkfifo((b.t / "fifo.json").c_str(), 0644);
         b.members.set("bank_sidecar", "\"fifo.json\"");
       }, false, true, {"bank_sidecar"}},
      {"a FIFO manifest is never opened (it would block): meta.json is read", [](Bundle& b) {
         b.withManifest = false;
         ASSERT_EQ(::mkfifo((b.t / "manifest.json").c_str(), 0644), 0);
         le::test::writeFile(b.t / "meta.json", R"({"tessera": {"planes": ["live", "batch"]}})");
       }, true, true, {}},
  };
  for (const auto& [what, edit, complete, declared, missing] : cases) {
    const Bundle b(edit);
    const le::TesseraCarriage car = le::tesseraCarriage(b.dir);
    EXPECT_EQ(std::tie(car.complete, car.declared, car.missing), std::tie(complete, declared, missing)) << what;
    if (declared && !b.manifestRaw.size()) {
      EXPECT_EQ(car.planes, (std::vector<std::string>{"live", "batch"})) << what;
    }
  }
}

TEST(TesseraCarriage, OnePredicate) {
  const std::tuple<const char*, std::function<void(Bundle&)>, std::string, std::vector<std::string>> cases[] = {
      {"two of four, declared", [](Bundle& b) { b.skip = {"tessera_bank.v1.mp4", "tessera_head.v1.pt"}; },
       "missing teeth member(s): bank_track (DIR/tessera_bank.v1.mp4), head_weights "
       "(DIR/tessera_head.v1.pt) — carries 2 of 4 and declares a manifest.tessera block the members "
       "do not keep" + kPredicateTail,
       {"bank_track", "head_weights"}},
      {"one of four, no manifest",
       [](Bundle& b) {
         b.withManifest = false;
         b.skip = {"tessera_bank.v1.mp4", "tessera_bank.v1.json", "tessera_head.v1.json"};
       },
       "missing teeth member(s): bank_track (DIR/tessera_bank.v1.mp4), bank_sidecar "
       "(DIR/tessera_bank.v1.json), head_config (DIR/tessera_head.v1.json) — carries 1 of 4" +
           kPredicateTail,
       {"bank_track", "bank_sidecar", "head_config"}},
  };
  for (const auto& [what, edit, expected, missing] : cases) {
    const Bundle b(edit);
    try {
      le::requireTesseraMembers(le::tesseraCarriage(b.dir));
      ADD_FAILURE() << what << ": no refusal";
    } catch (const le::MissingTesseraMember& e) {
      EXPECT_EQ(e.what(), b.expand(expected)) << what;
      EXPECT_EQ(e.missing, missing) << what;
    }
    EXPECT_EQ(errorOf([&] { le::loadTesseraMembers(b.dir); }), b.expand(expected)) << what;
  }
}

TEST(TesseraMembers, LoadsEveryField) {
  const Bundle b;
  le::Manifest m;  // the manifest overload reads the same directory
  m.dir = b.dir;
  const le::TesseraCarriage c = le::tesseraCarriage(m);
  EXPECT_TRUE(c.complete);
  EXPECT_EQ(c.path("head_weights"), b.dir + "/tessera_head.v1.pt");
  EXPECT_EQ(errorOf([&] { c.path("bank"); }), "teeth: no such member slot 'bank'");
  const le::TesseraAttachInputs in = le::loadTesseraMembers(m);
  EXPECT_EQ(in.n_donors, 3);
  EXPECT_EQ(in.track_order, (std::vector<int32_t>{2, 0, 1}));
  EXPECT_EQ(in.cent, (std::vector<double>{1.5, 2.5, 3, 4, 5.25, 6}));
  EXPECT_EQ(in.aperture, (std::vector<double>{0.1, 0.2, 0.3}));
  // c_canon, the stamp and the band sizes are checked through the C functions.
  EXPECT_EQ(std::string(in.head_pt.begin(), in.head_pt.end()), std::string("PK\x03\x04 head", 9));
  EXPECT_EQ(in.head_json, R"({"retrieval": {}, "temporal": {}})");
  EXPECT_EQ(in.manifest_json, le::test::readFile(b.t / "manifest.json"));
  EXPECT_EQ(in.bank_track_path, b.dir + "/tessera_bank.v1.mp4");
}

TEST(TesseraMembers, ManifestAndSidecarChoices) {
  using Strings = std::vector<std::string>;  // container, packing, codec, pixel format
  const std::tuple<const char*, std::function<void(Bundle&)>, Strings> cases[] = {
      {"manifest overrides", [](Bundle& b) {
         b.block.set("bank_container", "\"mkv\"").set("bank_packing", "\"tiles\"").set("bank_pix_fmt", "\"gbrp\"");
       }, {"mkv", "tiles", "h264", "gbrp"}},
      {"no tessera block", [](Bundle& b) { b.withBlock = false; }, {"mp4", "rgb24_frames", "h264", "rgb24"}},
      {"codec strings only from strings",
       [](Bundle& b) { b.sidecar.set("codec", R"({"codec": 5, "pix_fmt": "yuv444p"})"); },
       {"mp4", "rgb24_frames", "", "yuv444p"}},
      {"meta.json", [](Bundle& b) { b.manifestName = "meta.json"; b.block.set("bank_codec", "\"av1\""); },
       {"mp4", "rgb24_frames", "av1", "rgb24"}},
  };
  for (const auto& [what, edit, want] : cases) {
    const le::TesseraAttachInputs in = le::loadTesseraMembers(Bundle(edit).dir);
    EXPECT_EQ((Strings{in.bank_container, in.bank_packing, in.bank_codec, in.bank_pix_fmt}), want) << what;
  }
}

std::string donors(int n, const std::string& item) {
  std::string s = "[";
  for (int i = 0; i < n; ++i) s += (i ? ", " : "") + (item.empty() ? std::to_string(i) : item);
  return s + "]";
}

TEST(TesseraMembers, Refusals) {
  const std::string S = "tessera_bank.v1.json";
  const std::string noPixFmt =
      "DIR: neither manifest.tessera.bank_pix_fmt nor " + S + ".codec.pix_fmt states the reference "
      "track's pixel format. A decoder handed no format negotiates one, and the one it settles on "
      "is 4:2:0 — lossy chroma on reference pixels IS the borrow degrading. Refusing rather than "
      "letting it guess.";
  const auto format = [&](const std::string& f) {
    return S + " declares format '" + f + "', not 'tessera_bank.v1' — this reader does not know that "
               "generation and will not guess at its keys.";
  };
  const std::tuple<const char*, std::function<void(Bundle&)>, std::string> cases[] = {
      {"no manifest", [](Bundle& b) { b.withManifest = false; },
       "DIR carries no manifest.json or meta.json — the compose descriptor (unified.pi) the pass places "
       "its window by lives there, and placing a borrow window without it is guessing."},
      {"unparsable manifest", [](Bundle& b) { b.manifestRaw = R"({"a": 1 "b": 2})"; },
       "teeth: DIR/manifest.json is not readable JSON: teeth: malformed JSON object"},
      {"unparsable sidecar", [](Bundle& b) { b.sidecar.set("format", R"("tessera_bank.v1" "x")"); },
       "teeth: " + S + " is not readable JSON: teeth: malformed JSON object"},
      {"NaN as Python writes it", [](Bundle& b) { b.sidecar.set("aperture", "[0.1, NaN, 0.3]"); },
       "teeth: " + S + " is not readable JSON: teeth: bad JSON number"},
      {"another format", [](Bundle& b) { b.sidecar.set("format", "\"tessera_bank.v2\""); }, format("tessera_bank.v2")},
      {"no format", [](Bundle& b) { b.sidecar.drop("format"); }, format("")},
      {"no geometry", [](Bundle& b) { b.sidecar.drop("geometry"); }, S + " carries no `geometry` stamp"},
      {"geometry lacks pad", [](Bundle& b) { b.sidecar.set("geometry", stamp().drop("pad").text()); },
       "teeth: " + S + ".geometry lacks numeric 'pad'"},
      {"geometry past int32", [](Bundle& b) { b.sidecar.set("geometry", stamp().set("canvas_w", "3e9").text()); },
       "teeth: " + S + ".geometry 'canvas_w' is outside the int32 range"},
      {"manifest geometry off by one",
       [](Bundle& b) { b.block.set("geometry", stamp().set("band_c1", "29").text()); },
       std::string("teeth geometry DISAGREES between the manifest and the bank sidecar — manifest ") +
           "{canvas_w=64, canvas_h=64, window_x0=16, window_y0=32, window_w=32, window_h=24, pad=4, "
           "band_r0=2, band_r1=18, band_c0=4, band_c1=29, shift_margin=3} vs " + S + " " + kStampText +
           "; refusing to place a window on a rectangle the two halves of the bundle do not agree on."},
      {"manifest geometry lacks a key", [](Bundle& b) { b.block.set("geometry", stamp().drop("window_h").text()); },
       "teeth: manifest.tessera.geometry lacks numeric 'window_h'"},
      {"incoherent stamp", [](Bundle& b) {
         b.sidecar.set("geometry", stamp().set("shift_margin", "-1").text());
         b.block.drop("geometry");
       },
       "teeth: GeometryStamp incoherent: pad/shift_margin must be positive;"},
      {"n_donors -2", [](Bundle& b) { b.sidecar.set("n_donors", "-2"); }, S + " says n_donors=-2"},
      {"1024 donors load", [](Bundle& b) {
         b.sidecar.set("n_donors", "1024").set("track_order", donors(1024, "")).set("cent", donors(1024, "[1, 2]"))
             .set("aperture", donors(1024, "0.5"));
       }, "(no error)"},
      {"n_donors 1025", [](Bundle& b) { b.sidecar.set("n_donors", "1025"); },
       S + " carries n_donors=1025, over the owner's cap of 1024 (ruling 2026-08-28). This reader "
           "REFUSES rather than capping: the selector is the bank's BUILD-time cap selector, and a "
           "second one here would change which donors reach the mouth while every count-based check "
           "stayed green. Rebuild the bank."},
      {"track_order not an array", [](Bundle& b) { b.sidecar.set("track_order", "{}"); },
       S + " lacks one of track_order/cent/aperture/c_canon as an array"},
      {"count mismatch", [](Bundle& b) { b.sidecar.set("track_order", "[0, 1]").set("aperture", "[]"); },
       S + " says n_donors=3 but carries track_order=2, cent=3, aperture=0 — a count mismatch silently "
           "mis-orders the donors."},
      {"c_canon of three", [](Bundle& b) { b.sidecar.set("c_canon", "[1, 2, 3]"); }, S + " c_canon is not a pair"},
      {"order repeats 1", [](Bundle& b) { b.sidecar.set("track_order", "[1, 0, 1]"); },
       S + " track_order is not a permutation (reference 1 appears twice) — the inverse permutation "
           "would leave a reference slot never written and the pass would blend uninitialised memory "
           "into a real mouth."},
      {"order names 3 of 3", [](Bundle& b) { b.sidecar.set("track_order", "[0, 3, 1]"); },
       S + " track_order[1]=3 is outside [0,3)"},
      {"order entry -1.5 truncates to -1", [](Bundle& b) { b.sidecar.set("track_order", "[0, -1.5, 1]"); },
       S + " track_order[1]=-1 is outside [0,3)"},
      {"cent of three", [](Bundle& b) { b.sidecar.set("cent", "[[1, 2], [1, 2, 3], [1, 2]]"); },
       S + " cent[1] is not an (x,y) pair"},
      {"empty pix_fmt in the manifest", [](Bundle& b) { b.block.set("bank_pix_fmt", "\"\""); }, noPixFmt},
      {"no codec object", [](Bundle& b) { b.sidecar.drop("codec"); }, noPixFmt},
      {"a renamed sidecar is named", [](Bundle& b) {
         b.members.set("bank_sidecar", "\"bank.json\"");
         b.sidecar.set("n_donors", "0");
         le::test::writeFile(b.t / "bank.json", b.sidecar.text());
       },
       "bank.json says n_donors=0"},
      {"a member over 64 MiB", [](Bundle& b) {
         b.skip = {"tessera_head.v1.pt"};
         le::test::writeFile(b.t / "tessera_head.v1.pt", "");
         EXPECT_EQ(::truncate((b.t / "tessera_head.v1.pt").c_str(), (64 << 20) + 1), 0);
       },
       "teeth: DIR/tessera_head.v1.pt is over 64 MiB"},
  };
  for (const auto& [what, edit, expected] : cases) {
    const Bundle b(edit);
    EXPECT_EQ(errorOf([&] { le::loadTesseraMembers(b.dir); }), b.expand(expected)) << what;
  }
}

TEST(TesseraMembers, AContainerBundleLoads) {
  const Bundle src;
  std::vector<le::test::ImxEntry> entries;
  for (const char* n : {"manifest.json", "tessera_bank.v1.mp4", "tessera_bank.v1.json", "tessera_head.v1.pt",
                        "tessera_head.v1.json"})
    entries.emplace_back(n, le::test::readFile(src.t / n));
  TempDir t;
  le::test::ScopedEnv root("LE_IMX_UNWRAP_ROOT", t / "unwrap");
  le::test::writeFile(t / "b.imx", le::test::imxBytes(entries));
  const le::TesseraAttachInputs in = le::loadTesseraMembers(t / "b.imx");
  EXPECT_EQ(in.n_donors, 3);
  EXPECT_EQ(in.bank_track_path.rfind(t / "unwrap", 0), 0u) << in.bank_track_path;
  // A container that lies about its members throws what resolution throws.
  le::test::writeFile(t / "bad.imx", le::test::imxBytes({{"manifest.json", "{}", 1u << 30}}));
  EXPECT_EQ(errorOf([&] { le::tesseraCarriage(t / "bad.imx"); }),
            t / "bad.imx" + ": truncated payload for member manifest.json");
}

// Three bands of 2 x 1 pixels (6 bytes each, 18 in all), bytes 0..17 in track order.
TEST(TesseraReorder, CopiesEachBandIntoItsDonorSlotOrRefuses) {
  std::vector<uint8_t> buf(64), out(64, 0);
  for (size_t i = 0; i < buf.size(); ++i) buf[i] = uint8_t(i);
  using Edit = std::function<void(le::TesseraAttachInputs&)>;
  const std::tuple<const char*, Edit, const uint8_t*, uint8_t*, const char*> cases[] = {
      {"null track", [](auto&) {}, nullptr, out.data(), "teeth: null band buffer"},
      {"order shorter than n", [](auto& in) { in.track_order = {0, 1}; }, buf.data(), out.data(),
       "teeth: track_order does not match n_donors"},
      {"zero width", [](auto& in) { in.band_w = 0; }, buf.data(), out.data(), "teeth: zero reference stride"},
      {"order repeats", [](auto& in) { in.track_order = {0, 0, 1}; }, buf.data(), out.data(),
       "teeth: track_order is not a permutation"},
      {"order past n", [](auto& in) { in.track_order = {0, 3, 1}; }, buf.data(), out.data(),
       "teeth: track_order is not a permutation"},
      {"donor starts inside the track", [](auto&) {}, buf.data(), buf.data() + 17, "teeth: band buffers overlap"},
      {"track starts inside the donor", [](auto&) {}, buf.data() + 17, buf.data(), "teeth: band buffers overlap"},
      {"adjacent buffers do not overlap", [](auto&) {}, buf.data(), buf.data() + 18, "(no error)"},
  };
  for (const auto& [what, edit, track, donor, expected] : cases) {
    le::TesseraAttachInputs in;
    in.n_donors = 3;
    in.track_order = {2, 0, 1};
    in.band_w = 2;
    in.band_h = 1;
    edit(in);
    EXPECT_EQ(errorOf([&] { le::reorderTrackToDonor(in, track, donor); }), expected) << what;
  }
  EXPECT_EQ(out, std::vector<uint8_t>(64, 0)) << "a refusal wrote";
  // The last row copied track band i into donor slot track_order[i].
  std::vector<uint8_t> want(buf.begin(), buf.begin() + 18);
  for (uint8_t i = 0; i < 18; ++i) want.push_back(uint8_t((i + 6) % 18));
  want.insert(want.end(), buf.begin() + 36, buf.end());
  EXPECT_EQ(buf, want);
}

// A row expects the refusal, or the values read (kshort, aperture_tol, cut, K, hysteresis, lookahead).
TEST(ServeConfig, ReadsTheV1SchemaOrRefuses) {
  const auto head = [](const std::string& retrieval, const std::string& temporal, const std::string& rest = "") {
    return "{\"retrieval\": {" + retrieval + "}, \"temporal\": {" + temporal + "}" + rest + "}";
  };
  const std::string r = R"("kshort": 512, "aperture_tol": 0.3, "cut": 96, "K": 64)";
  const std::string t = R"("hysteresis": 8, "lookahead": 8)";
  const std::string w301 =
      "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — refusing "
      "to serve defaults (W3-01)";
  const std::string envelope =
      "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is a gated quantity";
  const std::pair<std::string, std::string> cases[] = {
      {" \n{\"retrieval\": {\"kshort\": 300.9, \"aperture_tol\": 0.25, \"cut\": 40, \"K\": 16}, \"temporal\": "
       "{\"hysteresis\": 3, \"lookahead\": 16}, \"decode\": {\"envelope_clamp_255\": 12.0000005}}",
       "300 0.25 40 16 3 16"},  // kshort truncated
      {head(r, t, R"(, "decode": {"envelope_clamp_255": 12})"), "512 0.3 96 64 8 8"},
      {head(r, t, R"(, "decode": {"envelope_clamp_255": 12.5})"), envelope},
      {R"({"retrieval": {"kshort": 1}})", w301},
      {R"({"temporal": {}, "retrieval": 5})", w301},
      {"{\"retrieval\": {", "teeth: JSON truncated"},
      {head(R"("kshort": 512, "aperture_tol": 0.3, "K": 64)", t), "teeth: member JSON lacks key 'cut'"},
      {head(R"("kshort": 0, "aperture_tol": 0.3, "cut": 96, "K": 64)", t), "teeth: member kshort out of range"},
      {head(R"("kshort": 4097, "aperture_tol": 0.3, "cut": 96, "K": 64)", t), "teeth: member kshort out of range"},
      {head(R"("kshort": 4096.5, "aperture_tol": 0.3, "cut": 96, "K": 64)", t), "4096 0.3 96 64 8 8"},
      {head(R"("kshort": 512, "aperture_tol": -0.1, "cut": 96, "K": 64)", t), "teeth: member aperture_tol out of range"},
      {head(R"("kshort": 512, "aperture_tol": 0.3, "cut": 0.5, "K": 64)", t), "teeth: member cut out of range"},
      {head(R"("kshort": 512, "aperture_tol": 0.3, "cut": 3e9, "K": 64)", t), "teeth: member cut out of range"},
      {head(R"("kshort": 512, "aperture_tol": 0.3, "cut": 96, "K": 1025)", t), "teeth: member K out of range"},
      {head(r, R"("hysteresis": 65, "lookahead": 8)"), "teeth: member hysteresis out of range"},
      {head(r, R"("hysteresis": 8, "lookahead": -1)"), "teeth: member lookahead out of range"},
      {head(r, R"("hysteresis": 64, "lookahead": 64)"), "512 0.3 96 64 64 64"},
  };
  for (const auto& [text, expected] : cases) {
    std::ostringstream read;
    const std::string err = errorOf([&] {
      const auto c = le::tessera::ServeConfig::fromHeadMemberJson(text);
      read << c.kshort << " " << c.aperture_tol << " " << c.cut << " " << c.K << " " << c.hysteresis << " " << c.lookahead;
    });
    EXPECT_EQ(read.str().empty() ? err : read.str(), expected) << text;
  }
}

}  // namespace
