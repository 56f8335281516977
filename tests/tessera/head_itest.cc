// Blend-head checkpoints in the training framework's own layout, written by
// the python fixture (zipfile-checked, pickled by Python's Pickler): each
// valid variant loads to its exact floats, each faulty one is refused with
// its message.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "le/tessera/head.h"
#include "tessera/tessera_fixtures.h"

namespace {

using le::tessera::HeadWeights;
using le::tessera::loadHeadPt;
using le::test::errorOf;

// <variant>.pt, or its expected floats (<variant>.f32), as the fixture wrote them.
std::vector<uint8_t> bytes(const std::string& variant, const char* ext = ".pt") {
  return le::test::readArray<uint8_t>(le::test::fixtureOut({"tessera", "heads"}) + "/" + variant + ext);
}

std::string concatenated(const HeadWeights& w) {
  std::string out;
  for (const auto& t : le::tessera::headTensors()) {
    const auto& v = w.*t.field;
    out.append(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(float));
  }
  return out;
}

TEST(HeadCheckpoints, VariantsLoadToTheirExactFloats) {
  const std::pair<const char*, int64_t> cases[] = {{"blendhead", 4082}, {"blendhead8", 3489}, {"older", 4082},
                                                   {"nested", 4082},    {"shared", 4082},     {"memo", 4082}};
  for (const auto& [variant, params] : cases) {
    HeadWeights w;
    ASSERT_NO_THROW(w = loadHeadPt(bytes(variant))) << variant;
    EXPECT_EQ(w.params(), params) << variant;
    const std::vector<uint8_t> want = bytes(variant, ".f32");
    const std::string got = concatenated(w);
    ASSERT_EQ(got.size(), want.size()) << variant;
    EXPECT_EQ(std::memcmp(got.data(), want.data(), want.size()), 0) << variant;
  }
}

// Tensor-level refusals on checkpoints as torch lays them out; archive and
// opcode refusals are head_test's.
TEST(HeadCheckpoints, Refusals) {
  const std::pair<const char*, const char*> cases[] = {
      {"big_endian", "teeth: head .pt byteorder is 'big', storages are read as little-endian"},
      {"no_storage", "teeth: head storage 3 missing"},
      {"wrong_shape", "teeth: head 'cand.0.weight' has shape [16,8,3,3] — not the BlendHead(16) arch"},
      {"small_storage", "teeth: head storage 1 too small"}, {"syn_partial", "teeth: head .pt lacks 'syn.0.weight'"},
      {"cand_missing", "teeth: head .pt lacks 'cand.4.bias'"},
      {"nan", "teeth: head 'cand.4.bias' carries a non-finite weight"},
      {"duplicate", "teeth: head .pt names 'cand.0.bias' 2 times — ambiguous"},
      {"parameter",
       "teeth: head .pt calls torch._utils _rebuild_parameter — this reader refuses code it does "
       "not model"},
      {"negative_offset", "teeth: head storage 1 offset out of range"},
  };
  for (const auto& [variant, expected] : cases)
    EXPECT_EQ(errorOf([&] { loadHeadPt(bytes(variant)); }), expected) << variant;
}

}  // namespace
