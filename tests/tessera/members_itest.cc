// End to end on bundles from the python fixture writer: members load, the
// bank track decodes into donor order equal to the raw patches the writer
// kept, and reordering a track-order decode agrees with it.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "le/le_tessera.h"
#include "le/tessera/bankdec.h"
#include "le/tessera/bundle_tessera.h"
#include "le/tessera/head.h"
#include "le/tessera/member_file.h"
#include "testkit/testkit.h"

namespace {

using le::test::errorOf;

class TesseraBundles : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<le::test::TempDir>();
    ASSERT_EQ(le::test::runFixture({"tessera", "bundle", "--out", *dir_ / "lossless"}), 0);
    ASSERT_EQ(le::test::runFixture({"tessera", "bundle", "--out", *dir_ / "lossy", "--kind", "lossy",
                                    "--donors", "9", "--no-identity"}),
              0);
    ASSERT_EQ(le::test::runFixture({"tessera", "bundle", "--out", *dir_ / "nan", "--nan", "cent",
                                    "--no-identity"}),
              0);
    ASSERT_EQ(le::test::runFixture({"tessera", "bundle", "--out", *dir_ / "renamed", "--no-identity",
                                    "--name", "bank_track=bank/track.mp4", "--name",
                                    "head_weights=head.pt"}),
              0);
  }
  static void TearDownTestSuite() { dir_.reset(); }
  static std::string bundle(const std::string& name) { return *dir_ / name; }
  static std::unique_ptr<le::test::TempDir> dir_;
};
std::unique_ptr<le::test::TempDir> TesseraBundles::dir_;

std::vector<uint8_t> decode(const le::TesseraAttachInputs& in, const std::vector<int>& order) {
  const std::vector<uint8_t> track = le::tessera::readMemberBytes(in.bank_track_path);
  return le::tessera::decodeBankTrack(track.data(), track.size(), in.n_donors, in.band_h, in.band_w, order);
}

TEST_F(TesseraBundles, LosslessBankDecodesToTheWritersPatches) {
  const le::TesseraAttachInputs in = le::loadTesseraMembers(bundle("lossless"));
  ASSERT_EQ(in.n_donors, 16);
  const std::string reference = le::test::readFile(bundle("lossless") + "/bank_reference.rgb");
  ASSERT_EQ(reference.size(), in.bandBytes());

  const std::vector<uint8_t> donor = decode(in, {in.track_order.begin(), in.track_order.end()});
  ASSERT_EQ(donor.size(), reference.size());
  EXPECT_EQ(std::memcmp(donor.data(), reference.data(), donor.size()), 0);

  // Decoded in track order, then reordered: the same bank.
  std::vector<int> identity(size_t(in.n_donors));
  std::iota(identity.begin(), identity.end(), 0);
  const std::vector<uint8_t> track = decode(in, identity);
  std::vector<uint8_t> reordered(track.size(), 0);
  le::reorderTrackToDonor(in, track.data(), reordered.data());
  EXPECT_EQ(reordered, donor);

  le_tessera_members* m = le_tessera_members_open(bundle("lossless").c_str(), nullptr, 0);
  ASSERT_NE(m, nullptr);
  std::vector<uint8_t> viaC(size_t(le_tessera_members_band_bytes(m)), 0);
  char err[128];
  EXPECT_EQ(le_tessera_members_reorder(m, track.data(), viaC.data(), err, sizeof err), 0) << err;
  EXPECT_EQ(viaC, donor);
  le_tessera_members_close(m);
}

TEST_F(TesseraBundles, HeadAndServeConfigurationLoadFromTheMembers) {
  const le::TesseraAttachInputs in = le::loadTesseraMembers(bundle("lossless"));
  EXPECT_EQ(le::tessera::loadHeadPt(in.head_pt).params(), 4082);
  const auto c = le::tessera::ServeConfig::fromHeadMemberJson(in.head_json);
  EXPECT_EQ(c.kshort, 512);
  EXPECT_EQ(c.K, 64);
  EXPECT_NO_THROW(in.stamp.validate());
}

TEST_F(TesseraBundles, LossyBankKeepsDonorsInTheirSlots) {
  const le::TesseraAttachInputs in = le::loadTesseraMembers(bundle("lossy"));
  EXPECT_EQ(in.bank_pix_fmt, "yuv420p");
  const std::string reference = le::test::readFile(bundle("lossy") + "/bank_reference.rgb");
  const std::vector<uint8_t> donor = decode(in, {in.track_order.begin(), in.track_order.end()});
  ASSERT_EQ(donor.size(), reference.size());
  int worst = 0;
  for (size_t i = 0; i < donor.size(); ++i) worst = std::max(worst, std::abs(donor[i] - int(uint8_t(reference[i]))));
  EXPECT_LE(worst, 3);
}

TEST_F(TesseraBundles, RenamedMembersAreFoundUnderTheirNames) {
  const le::TesseraCarriage c = le::tesseraCarriage(bundle("renamed"));
  EXPECT_TRUE(c.complete);
  EXPECT_EQ(c.names.bank_track, "bank/track.mp4");
  EXPECT_EQ(c.path("head_weights"), bundle("renamed") + "/head.pt");
  const le::TesseraAttachInputs in = le::loadTesseraMembers(bundle("renamed"));
  EXPECT_EQ(decode(in, {in.track_order.begin(), in.track_order.end()}).size(), in.bandBytes());
}

TEST_F(TesseraBundles, ANaNInTheSidecarIsRefused) {
  EXPECT_EQ(errorOf([&] { le::loadTesseraMembers(bundle("nan")); }),
            "teeth: tessera_bank.v1.json is not readable JSON: teeth: bad JSON number");
}

TEST_F(TesseraBundles, AContainerOfTheBundleLoads) {
  le::test::TempDir t;
  le::test::ScopedEnv root("LE_IMX_UNWRAP_ROOT", t / "unwrap");
  ASSERT_EQ(le::test::runFixture({"imx", bundle("lossless"), "--out", t / "b.imx"}), 0);
  const le::TesseraAttachInputs in = le::loadTesseraMembers(t / "b.imx");
  EXPECT_EQ(in.n_donors, 16);
  const std::string reference = le::test::readFile(bundle("lossless") + "/bank_reference.rgb");
  const std::vector<uint8_t> donor = decode(in, {in.track_order.begin(), in.track_order.end()});
  EXPECT_EQ(std::memcmp(donor.data(), reference.data(), std::min(donor.size(), reference.size())), 0);
}

}  // namespace
