// The le_tessera_ C functions: NULL arguments, the caller's error buffer at
// every size, broken bundles, and values that agree with the C++ loader.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "le/le_tessera.h"
#include "le/tessera/bundle_tessera.h"
#include "testkit/testkit.h"

namespace {

using le::test::TempDir;

const char kSidecar[] =
    R"({"format": "tessera_bank.v1", "geometry": {"canvas_w": 64, "canvas_h": 64, "window_x0": 16,
 "window_y0": 32, "window_w": 32, "window_h": 24, "pad": 4, "band_r0": 2, "band_r1": 18, "band_c0": 4,
 "band_c1": 28, "shift_margin": 3}, "n_donors": 2, "track_order": [1, 0], "cent": [[1, 2], [3, 4]],
 "aperture": [0.5, 0.25], "c_canon": [7, 8], "codec": {"codec": "h264", "pix_fmt": "rgb24"}})";

void writeMembers(const std::string& dir, const std::string& sidecar = kSidecar) {
  le::test::writeFile(dir + "/manifest.json", R"({"tessera": {"bank_packing": "rgb24_frames"}})");
  le::test::writeFile(dir + "/tessera_bank.v1.mp4", "track");
  le::test::writeFile(dir + "/tessera_bank.v1.json", sidecar);
  le::test::writeFile(dir + "/tessera_head.v1.pt", std::string("PT\0pt", 5));
  le::test::writeFile(dir + "/tessera_head.v1.json", "{}");
}

TEST(TesseraCapi, SlotsAndNullHandles) {
  EXPECT_EQ(le_tessera_slot_count(), 4);
  const char* const keys[] = {nullptr, "bank_track", "bank_sidecar", "head_weights", "head_config", nullptr};
  for (int i = -1; i <= 4; ++i) EXPECT_STREQ(le_tessera_slot_key(i), keys[i + 1]) << i;
  // Null handles give empty answers: no crash, 0, null or "".
  EXPECT_EQ(le_tessera_carriage_open(nullptr), nullptr);
  le_tessera_carriage_close(nullptr);
  le_tessera_members_close(nullptr);
  const le_tessera_members* m = nullptr;
  const int64_t zeros[] = {le_tessera_carriage_complete(nullptr), le_tessera_carriage_declared(nullptr),
                           le_tessera_carriage_missing_count(nullptr), le_tessera_members_n_donors(m),
                           le_tessera_members_head_pt_len(m),         le_tessera_members_band_w(m),
                           le_tessera_members_band_h(m),              int64_t(le_tessera_members_band_bytes(m))};
  EXPECT_EQ(std::vector<int64_t>(std::begin(zeros), std::end(zeros)), std::vector<int64_t>(std::size(zeros)));
  const void* nulls[] = {le_tessera_carriage_missing(nullptr, 0), le_tessera_members_cent(m),
                         le_tessera_members_c_canon(m),           le_tessera_members_aperture(m),
                         le_tessera_members_stamp(m),             le_tessera_members_head_pt(m)};
  EXPECT_EQ(std::vector<const void*>(std::begin(nulls), std::end(nulls)), std::vector<const void*>(std::size(nulls)));
  for (const char* s : {le_tessera_carriage_path(nullptr, "bank_track"), le_tessera_members_head_json(m),
                        le_tessera_members_manifest_json(m), le_tessera_members_bank_track_path(m),
                        le_tessera_members_bank_container(m), le_tessera_members_bank_codec(m),
                        le_tessera_members_bank_pix_fmt(m), le_tessera_members_bank_packing(m)})
    EXPECT_STREQ(s, "");
}

// The caller's buffer is filled by the helper the run entry points share (its
// sizes are swept there): here the texts of this entry point.
TEST(TesseraCapi, OpenNamesWhatIsMissing) {
  TempDir t;  // no members at all
  char err[512] = "stale";
  EXPECT_EQ(le_tessera_members_open(t.path().c_str(), err, sizeof err), nullptr);
  EXPECT_EQ(std::string(err).rfind("missing teeth member(s): bank_track (" + t.path() + "/tessera_bank.v1.mp4), bank_sidecar (", 0), 0u)
      << err;
  EXPECT_EQ(le_tessera_members_open(t.path().c_str(), nullptr, 100), nullptr);  // no buffer: no crash
  EXPECT_EQ(le_tessera_members_open(nullptr, err, sizeof err), nullptr);
  EXPECT_STREQ(err, "le_tessera_members_open: null bundle_dir");
}

TEST(TesseraCapi, MembersAgreeWithTheirFiles) {
  TempDir t;
  writeMembers(t.path());
  char err[256] = "stale";
  le_tessera_members* m = le_tessera_members_open(t.path().c_str(), err, sizeof err);
  ASSERT_NE(m, nullptr) << err;
  EXPECT_STREQ(err, "");  // emptied on success
  // The accessors hand out what the loader read.
  const le::TesseraAttachInputs in = le::loadTesseraMembers(t.path());
  EXPECT_EQ(le_tessera_members_n_donors(m), in.n_donors);
  EXPECT_EQ(std::vector<double>(le_tessera_members_cent(m), le_tessera_members_cent(m) + 4), in.cent);
  EXPECT_EQ(std::vector<double>(le_tessera_members_aperture(m), le_tessera_members_aperture(m) + 2), in.aperture);
  EXPECT_EQ(std::vector<double>(le_tessera_members_c_canon(m), le_tessera_members_c_canon(m) + 2),
            (std::vector<double>{7, 8}));
  const int* s = le_tessera_members_stamp(m);
  EXPECT_EQ(std::vector<int>(s, s + 12), (std::vector<int>{64, 64, 16, 32, 32, 24, 4, 2, 18, 4, 28, 3}));
  ASSERT_EQ(le_tessera_members_head_pt_len(m), 5);
  EXPECT_EQ(std::memcmp(le_tessera_members_head_pt(m), "PT\0pt", 5), 0);
  const std::pair<const char*, std::string> texts[] = {
      {le_tessera_members_head_json(m), in.head_json},         {le_tessera_members_manifest_json(m), in.manifest_json},
      {le_tessera_members_bank_track_path(m), in.bank_track_path}, {le_tessera_members_bank_container(m), "mp4"},
      {le_tessera_members_bank_codec(m), "h264"},              {le_tessera_members_bank_pix_fmt(m), "rgb24"},
      {le_tessera_members_bank_packing(m), "rgb24_frames"}};
  for (const auto& [got, want] : texts) EXPECT_EQ(got, want);
  const auto sizes = std::make_tuple(le_tessera_members_band_w(m), le_tessera_members_band_h(m),
                                     le_tessera_members_band_bytes(m));
  EXPECT_EQ(sizes, std::make_tuple(30, 22, uint64_t(2 * 30 * 22 * 3)));

  const size_t band = 30 * 22 * 3;
  std::vector<uint8_t> track(2 * band), donor(2 * band, 0);
  for (size_t i = 0; i < track.size(); ++i) track[i] = uint8_t(i / band + 1);  // frame k is all k + 1
  std::strcpy(err, "stale");
  EXPECT_EQ(le_tessera_members_reorder(m, track.data(), donor.data(), err, sizeof err), 0);
  EXPECT_STREQ(err, "");
  EXPECT_EQ(donor[0], 2);  // track frame 1 is donor 0
  EXPECT_EQ(donor[band], 1);

  EXPECT_EQ(le_tessera_members_reorder(m, track.data(), track.data(), err, sizeof err), 1);
  EXPECT_STREQ(err, "teeth: band buffers overlap");
  for (const auto& [mm, tr, dn] : {std::tuple{m, (const uint8_t*)nullptr, donor.data()},
                                   std::tuple{m, (const uint8_t*)track.data(), (uint8_t*)nullptr},
                                   std::tuple{(le_tessera_members*)nullptr, (const uint8_t*)track.data(), donor.data()}}) {
    EXPECT_EQ(le_tessera_members_reorder(mm, tr, dn, err, sizeof err), 1);
    EXPECT_STREQ(err, "le_tessera_members_reorder: null argument");
  }
  EXPECT_EQ(le_tessera_members_reorder(nullptr, track.data(), donor.data(), err, 6), 1);
  EXPECT_STREQ(err, "le_te");
  le_tessera_members_close(m);
}

TEST(TesseraCapi, CarriageOfBrokenBundles) {
  TempDir t;
  le::test::ScopedEnv root("LE_IMX_UNWRAP_ROOT", t / "unwrap");
  // A container whose table of contents points past its end cannot be resolved.
  le::test::writeFile(t / "bad.imx", le::test::imxBytes({{"manifest.json", "{}", 1u << 30}}));
  ::mkdir((t / "half").c_str(), 0755);
  writeMembers(t / "half");
  std::remove((t / "half/tessera_head.v1.pt").c_str());
  const std::tuple<std::string, int, int, std::vector<std::string>> cases[] = {
      {t / "bad.imx", 0, 0, {"bank_track", "bank_sidecar", "head_weights", "head_config"}},
      {t / "nowhere", 0, 0, {"bank_track", "bank_sidecar", "head_weights", "head_config"}},
      {t / "half", 0, 1, {"head_weights"}},
  };
  for (const auto& [bundle, complete, declared, missing] : cases) {
    le_tessera_carriage* h = le_tessera_carriage_open(bundle.c_str());
    ASSERT_NE(h, nullptr) << bundle;
    EXPECT_EQ(le_tessera_carriage_complete(h), complete) << bundle;
    EXPECT_EQ(le_tessera_carriage_declared(h), declared) << bundle;
    ASSERT_EQ(le_tessera_carriage_missing_count(h), int(missing.size())) << bundle;
    for (size_t i = 0; i < missing.size(); ++i)
      EXPECT_STREQ(le_tessera_carriage_missing(h, int(i)), missing[i].c_str()) << bundle;
    EXPECT_EQ(le_tessera_carriage_missing(h, int(missing.size())), nullptr);
    EXPECT_EQ(le_tessera_carriage_missing(h, -1), nullptr);
    le_tessera_carriage_close(h);
  }
  le_tessera_carriage* h = le_tessera_carriage_open((t / "half").c_str());
  EXPECT_EQ(std::string(le_tessera_carriage_path(h, "head_weights")), t / "half/tessera_head.v1.pt");
  EXPECT_STREQ(le_tessera_carriage_path(h, "head"), "");
  EXPECT_STREQ(le_tessera_carriage_path(h, nullptr), "");
  le_tessera_carriage_close(h);
}

}  // namespace
