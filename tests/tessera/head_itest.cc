// Blend-head checkpoints in the training framework's own layout, written by
// the python fixture (zipfile-checked, pickled by Python's Pickler): each
// valid variant loads to its exact floats, each faulty one is refused with
// its message.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "le/tessera/head.h"
#include "testkit/testkit.h"

namespace {

using le::tessera::HeadWeights;
using le::tessera::loadHeadPt;
using le::test::errorOf;

class HeadCheckpoints : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<le::test::TempDir>();
    ASSERT_EQ(le::test::runFixture({"tessera", "heads", "--out", dir_->path()}), 0);
  }
  static void TearDownTestSuite() { dir_.reset(); }
  static std::vector<uint8_t> bytes(const std::string& variant) {
    const std::string s = le::test::readFile(*dir_ / (variant + ".pt"));
    return {s.begin(), s.end()};
  }
  static std::string expected(const std::string& variant) {
    return le::test::readFile(*dir_ / (variant + ".f32"));
  }
  static std::unique_ptr<le::test::TempDir> dir_;
};
std::unique_ptr<le::test::TempDir> HeadCheckpoints::dir_;

std::string concatenated(const HeadWeights& w) {
  std::string out;
  for (const auto& t : le::tessera::headTensors()) {
    const auto& v = w.*t.field;
    out.append(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(float));
  }
  return out;
}

TEST_F(HeadCheckpoints, VariantsLoadToTheirExactFloats) {
  struct Case {
    const char* variant;
    int64_t params;
  };
  const Case cases[] = {
      {"blendhead", 4082}, {"blendhead8", 3489}, {"older", 4082},
      {"nested", 4082},    {"shared", 4082},     {"memo", 4082},
  };
  for (const Case& c : cases) {
    HeadWeights w;
    ASSERT_NO_THROW(w = loadHeadPt(bytes(c.variant))) << c.variant;
    EXPECT_EQ(w.params(), c.params) << c.variant;
    const std::string want = expected(c.variant);
    const std::string got = concatenated(w);
    ASSERT_EQ(got.size(), want.size()) << c.variant;
    EXPECT_EQ(std::memcmp(got.data(), want.data(), want.size()), 0) << c.variant;
  }
}

TEST_F(HeadCheckpoints, Refusals) {
  struct Case {
    const char* variant;
    const char* expected;
  };
  const Case cases[] = {
      {"deflated",
       "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a "
       "compressed member"},
      {"protocol4", "teeth: unsupported pickle opcode 0x95 in head .pt"},
      {"big_endian", "teeth: head .pt byteorder is 'big', storages are read as little-endian"},
      {"no_pickle", "teeth: head .pt has no data.pkl"},
      {"no_storage", "teeth: head storage 3 missing"},
      {"empty", "teeth: head .pt state_dict is empty"},
      {"wrong_shape", "teeth: head 'cand.0.weight' has shape [16,8,3,3] — not the BlendHead(16) arch"},
      {"small_storage", "teeth: head storage 1 too small"},
      {"syn_partial", "teeth: head .pt lacks 'syn.0.weight'"},
      {"cand_missing", "teeth: head .pt lacks 'cand.4.bias'"},
      {"nan", "teeth: head 'cand.4.bias' carries a non-finite weight"},
      {"duplicate", "teeth: head .pt names 'cand.0.bias' 2 times — ambiguous"},
      {"half",
       "teeth: head .pt storage is torch HalfStorage, not torch FloatStorage — refusing to "
       "reinterpret it"},
      {"parameter",
       "teeth: head .pt calls torch._utils _rebuild_parameter — this reader refuses code it does "
       "not model"},
      {"negative_offset", "teeth: head storage 1 offset out of range"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(errorOf([&] { loadHeadPt(bytes(c.variant)); }), c.expected) << c.variant;
}

}  // namespace
