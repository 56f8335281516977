// End to end on bundles from the python fixture writer: members load, the
// bank track decodes into donor order equal to the raw patches the writer
// kept, and reordering a track-order decode agrees with it. Lossy tracks,
// containers and refusals are covered on their own (bankdec_itest,
// members_test).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "le/tessera/bankdec.h"
#include "le/tessera/bundle_tessera.h"
#include "le/tessera/head.h"
#include "le/tessera/member_file.h"
#include "testkit/testkit.h"

namespace {


class TesseraBundles : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<le::test::TempDir>();
    ASSERT_EQ(le::test::runFixture({"tessera", "bundle", "--out", *dir_ / "lossless"}), 0);
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

  // The head checkpoint and its serve configuration as the writer stored them.
  EXPECT_EQ(le::tessera::loadHeadPt(in.head_pt).params(), 4082);
  const auto c = le::tessera::ServeConfig::fromHeadMemberJson(in.head_json);
  EXPECT_EQ(c.kshort, 512);
  EXPECT_EQ(c.K, 64);
  EXPECT_NO_THROW(in.stamp.validate());
}

}  // namespace
