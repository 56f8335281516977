// le::Identity on bundles written here byte by byte: exact sizes, both member
// names, the warp-prior refusals, matrix rescaling, index checks and
// manifests whose sizes overflow.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "le/bundle/identity.h"
#include "le/bundle/manifest.h"
#include "le/bundle/rawfile.h"
#include "le/runtime/half.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using le::test::errorOf;

using test::TempDir;
using test::writeFile;

constexpr size_t kPooledHalves = 64 * 32 * 32;
constexpr size_t kFsRedHalves = 64 * 64 * 64;

// Value j of frame i of a member with this salt, exact in binary16.
uint16_t pattern(uint64_t i, uint64_t j, int salt) {
  return half::fromFloat(float((i * 131 + j * 7 + 17 * uint64_t(salt)) % 1000) / 8.0f);
}

std::string halves(int nt, size_t perFrame, int salt) {
  std::string s(size_t(nt) * perFrame * 2, '\0');
  auto* p = reinterpret_cast<uint16_t*>(s.data());
  for (int i = 0; i < nt; ++i)
    for (size_t j = 0; j < perFrame; ++j) p[size_t(i) * perFrame + j] = pattern(i, j, salt);
  return s;
}

std::string floats(const std::vector<float>& v) {
  return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(float));
}

std::vector<float> sampleM(int nt) {
  std::vector<float> m;
  for (int i = 0; i < nt; ++i) {
    const float f = float(i);
    m.insert(m.end(), {0.25f + f, -0.1f, 100.3f + f, 0.07f, 0.5f - f, -13.7f});
  }
  return m;
}

struct BundleShape {
  int nt = 3;
  int crop = 8;
  int w = 64, h = 48;
  int stampW = 64, stampH = 48;
  bool current = false;  // current member names instead of the older ones
  bool pooled = true, P = true, fsRed = false, M = true;
  std::string extraKeys;  // appended to the manifest, each with a leading comma
};

std::string manifestText(const BundleShape& s) {
  return "{\"format\": \"le-bundle-v0\", \"agent\": \"t\", \"NT\": " + std::to_string(s.nt) +
         ", \"H\": " + std::to_string(s.h) + ", \"W\": " + std::to_string(s.w) +
         ", \"crop\": " + std::to_string(s.crop) +
         ", \"amount\": 1.3, \"sigma\": 2.0, \"ksize\": 13, \"frames\": 1, \"M_src_w\": " +
         std::to_string(s.stampW) + ", \"M_src_h\": " + std::to_string(s.stampH) + s.extraKeys +
         "}\n";
}

// Writes the bundle into dir and returns its manifest.
Manifest writeBundle(const std::string& dir, const BundleShape& s) {
  writeFile(dir + "/manifest.json", manifestText(s));
  auto name = [&](const char* old, const char* cur) { return dir + "/" + (s.current ? cur : old); };
  if (s.pooled)
    writeFile(name("pooled64.f16", "pooled_features.f16"), halves(s.nt, kPooledHalves, 1));
  if (s.P)
    writeFile(name("P.f16", "source_frames.f16"),
              halves(s.nt, size_t(3) * size_t(s.crop) * size_t(s.crop), 2));
  if (s.fsRed) writeFile(name("fs_red.f16", "feature_synth.f16"), halves(s.nt, kFsRedHalves, 3));
  if (s.M) writeFile(name("M.f32", "paste_transform.f32"), floats(sampleM(s.nt)));
  return loadManifest(dir);
}

void expectFrames(Identity& id, const BundleShape& s) {
  const size_t pHalves = size_t(3) * size_t(s.crop) * size_t(s.crop);
  std::vector<uint16_t> copy(pHalves);
  for (int si = 0; si < s.nt; ++si) {
    // First and last value of each frame catch both a wrong stride and a
    // wrong base.
    EXPECT_EQ(id.pooled64(si)[0], pattern(si, 0, 1));
    EXPECT_EQ(id.pooled64(si)[kPooledHalves - 1], pattern(si, kPooledHalves - 1, 1));
    EXPECT_EQ(id.P(si)[0], pattern(si, 0, 2));
    EXPECT_EQ(id.P(si)[pHalves - 1], pattern(si, pHalves - 1, 2));
    id.copyP(si, copy.data());
    EXPECT_EQ(std::memcmp(copy.data(), id.P(si), pHalves * 2), 0);
    const std::vector<float> m = sampleM(s.nt);
    EXPECT_EQ(std::memcmp(id.M(si), m.data() + 6 * si, 24), 0);
  }
}

TEST(Identity, MapsOlderAndCurrentNamesAlike) {
  for (bool current : {false, true}) {
    SCOPED_TRACE(current ? "current names" : "older names");
    TempDir t;
    BundleShape s;
    s.current = current;
    s.fsRed = true;
    Identity id(writeBundle(t.path(), s));
    EXPECT_EQ(id.NT(), 3);
    EXPECT_EQ(id.crop(), 8);
    EXPECT_TRUE(id.hasRawP());
    EXPECT_TRUE(id.hasFsRed());
    EXPECT_FALSE(id.hasHevcPrior());
    expectFrames(id, s);
    EXPECT_EQ(id.fsRed(2)[0], pattern(2, 0, 3));
    EXPECT_EQ(id.fsRed(2)[kFsRedHalves - 1], pattern(2, kFsRedHalves - 1, 3));
    EXPECT_EQ(id.priorBackend(), "mmap P.f16");
    EXPECT_EQ(id.prior(), nullptr);
    EXPECT_EQ(id.priorSeeks(), 0);
    EXPECT_EQ(id.priorResidentBytes(), 0);
    id.walkP(1);  // nothing to walk
  }
}

TEST(Identity, EveryMemberSizeIsExact) {
  struct Case {
    const char* member;
    size_t frameBytes;
  };
  const Case cases[] = {{"pooled64.f16", kPooledHalves * 2},
                        {"P.f16", 3 * 8 * 8 * 2},
                        {"fs_red.f16", kFsRedHalves * 2},
                        {"M.f32", 24}};
  for (const Case& c : cases) {
    for (int delta : {-1, +1}) {
      SCOPED_TRACE(std::string(c.member) + (delta < 0 ? " one byte short" : " one byte long"));
      TempDir t;
      BundleShape s;
      s.fsRed = true;
      const Manifest m = writeBundle(t.path(), s);
      std::string bytes = test::readFile(t / c.member);
      ASSERT_EQ(bytes.size(), 3 * c.frameBytes);
      if (delta < 0) bytes.pop_back();
      else bytes.push_back('\0');
      writeFile(t / c.member, bytes);
      EXPECT_EQ(errorOf([&] { Identity id(m); }), "size mismatch " + t / c.member);
    }
  }
}

TEST(Identity, MissingRequiredMembersCannotOpen) {
  for (bool pooled : {false, true}) {
    TempDir t;
    BundleShape s;
    s.pooled = pooled;
    s.M = !pooled;
    const Manifest m = writeBundle(t.path(), s);
    EXPECT_EQ(errorOf([&] { Identity id(m); }),
              "cannot open " + t / (pooled ? "M.f32" : "pooled64.f16"));
  }
}

TEST(Identity, RescalesMatricesToTheDriverFrame) {
  const std::vector<float> m0 = sampleM(3);
  {
    TempDir t;
    BundleShape s;  // stamp equal to the driver: bit-identical
    Identity id(writeBundle(t.path(), s));
    EXPECT_EQ(std::memcmp(id.M(0), m0.data(), m0.size() * 4), 0);
  }
  {
    TempDir t;
    BundleShape s;
    s.w = 960, s.h = 540, s.stampW = 1920, s.stampH = 1080;
    Identity id(writeBundle(t.path(), s));
    for (int si = 0; si < 3; ++si)
      for (int k = 0; k < 6; ++k) EXPECT_EQ(id.M(si)[k], m0[size_t(6 * si + k)] * 0.5f);
  }
  {
    // Unequal factors that are not powers of two: each row by its own factor,
    // the product taken in double and rounded once.
    TempDir t;
    BundleShape s;
    s.w = 1280, s.h = 720, s.stampW = 1080, s.stampH = 1920;
    Identity id(writeBundle(t.path(), s));
    const double sx = 1280.0 / 1080.0, sy = 720.0 / 1920.0;
    for (int si = 0; si < 3; ++si)
      for (int k = 0; k < 6; ++k)
        EXPECT_EQ(id.M(si)[k], float(double(m0[size_t(6 * si + k)]) * (k < 3 ? sx : sy)))
            << "frame " << si << " entry " << k;
  }
}

TEST(Identity, RefusesAManifestWithoutStamp) {
  TempDir t;
  BundleShape s;
  Manifest m = writeBundle(t.path(), s);
  m.srcW = 0;
  EXPECT_EQ(errorOf([&] { Identity id(m); }),
            "le::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) — refusing "
            "to paste M without knowing the space it was authored in");
}

TEST(Identity, RefusesBundlesWithoutAWarpPrior) {
  {
    TempDir t;
    BundleShape s;
    s.P = false;
    s.extraKeys = ", \"P_rgb\": \"prior_rgb.f16\"";
    const Manifest m = writeBundle(t.path(), s);
    writeFile(t / "prior_rgb.f16", halves(3, 3 * 8 * 8, 2));
    const std::string welded =
        "this bundle's manifest names its raw warp prior 'prior_rgb.f16' (P_rgb) but "
        "le::Identity maps the welded name P.f16 and would find nothing — it maps NOTHING "
        "silently and Identity::P(si) is then an offset from a null pointer. REFUSING rather "
        "than rendering off a prior nothing will read.";
    EXPECT_EQ(errorOf([&] { ensureIdentityMembers(m); }), welded);
    EXPECT_EQ(errorOf([&] { Identity id(m); }), welded);
    // With P.f16 beside it the other name is harmless.
    writeFile(t / "P.f16", halves(3, 3 * 8 * 8, 2));
    EXPECT_EQ(errorOf([&] { Identity id(m); }), "(no error)");
  }
  {
    TempDir t;
    BundleShape s;
    s.P = false;
    const Manifest m = writeBundle(t.path(), s);
    EXPECT_EQ(errorOf([&] { Identity id(m); }),
              "this bundle carries neither P.f16 nor fs_red.f16, and its manifest names no "
              "P_hevc member to play one from — the renderer has no warp prior and le::Identity "
              "would hand it a null pointer. REFUSING to create a session.");
  }
  {
    TempDir t;
    BundleShape s;
    s.P = false;
    s.extraKeys = ", \"P_hevc\": \"prior.mov\"";
    const Manifest m = writeBundle(t.path(), s);
    EXPECT_EQ(errorOf([&] { ensureIdentityMembers(m); }),
              "this bundle's manifest names P_hevc 'prior.mov' and the file is not there (" +
                  t / "prior.mov" +
                  ") — the renderer has no warp prior. REFUSING to create a session.");
  }
}

TEST(Identity, FsRedAloneOpensWithoutPrior) {
  TempDir t;
  BundleShape s;
  s.P = false;
  s.fsRed = true;
  s.current = true;
  Identity id(writeBundle(t.path(), s));
  EXPECT_FALSE(id.hasRawP());
  EXPECT_FALSE(id.hasHevcPrior());
  EXPECT_EQ(id.priorBackend(), "none");
  EXPECT_EQ(id.prior(), nullptr);
  EXPECT_EQ(id.priorSeeks(), 0);
  EXPECT_EQ(id.fsRed(1)[5], pattern(1, 5, 3));
  // No prior at all: a clear failure instead of an offset from null.
  EXPECT_NE(errorOf([&] { id.P(0); }).find("no warp prior"), std::string::npos);
  std::vector<uint16_t> dst(3 * 8 * 8);
  EXPECT_NE(errorOf([&] { id.copyP(0, dst.data()); }).find("no warp prior"), std::string::npos);
  id.walkP(0);
}

TEST(Identity, IndicesOutsideTheFramesAreRefused) {
  TempDir t;
  BundleShape s;
  Identity id(writeBundle(t.path(), s));
  std::vector<uint16_t> dst(3 * 8 * 8);
  for (int si : {-1, 3, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()}) {
    SCOPED_TRACE(si);
    EXPECT_THROW(id.pooled64(si), std::out_of_range);
    EXPECT_THROW(id.P(si), std::out_of_range);
    EXPECT_THROW(id.copyP(si, dst.data()), std::out_of_range);
    EXPECT_THROW(id.M(si), std::out_of_range);
    EXPECT_THROW(id.fsRed(si), std::out_of_range);
    EXPECT_THROW(id.walkP(si), std::out_of_range);
  }
  EXPECT_EQ(errorOf([&] { id.M(3); }), "le::Identity::M: si 3 outside [0,3)");
  EXPECT_NE(errorOf([&] { id.fsRed(0); }).find("fs_red.f16 is not mapped"), std::string::npos);
}

TEST(Identity, HugeSizesAreRefusedBeforeMapping) {
  {
    // NT x crop x crop x 6 overflows 64 bits: refused by the arithmetic, not by
    // a file size that happens to match a wrapped product.
    TempDir t;
    BundleShape s;
    Manifest m = writeBundle(t.path(), s);
    m.NT = std::numeric_limits<int32_t>::max();
    m.crop = std::numeric_limits<int32_t>::max();
    EXPECT_EQ(errorOf([&] { Identity id(m); }),
              "P.f16: 2147483647 x 2147483647 x 2147483647 x 6 bytes is negative or overflows "
              "64 bits — refusing");
  }
  {
    // A huge NT whose products fit: the member sizes refuse it.
    TempDir t;
    BundleShape s;
    s.extraKeys = "";
    Manifest m = writeBundle(t.path(), s);
    m.NT = std::numeric_limits<int32_t>::max();
    EXPECT_EQ(errorOf([&] { Identity id(m); }), "size mismatch " + t / "pooled64.f16");
  }
  {
    TempDir t;
    BundleShape s;
    Manifest m = writeBundle(t.path(), s);
    m.crop = 0;
    EXPECT_EQ(errorOf([&] { Identity id(m); }), "le::Identity: bad dims");
  }
}

TEST(RawMembers, ProductsAreCheckedIn64Bits) {
  EXPECT_EQ(raw::checkedProduct({12, 32, 32, 6}, "x"), 73728u);
  EXPECT_EQ(raw::checkedProduct({0, int64_t(1) << 62}, "x"), 0u);
  EXPECT_EQ(raw::checkedProduct({int64_t(1) << 31, int64_t(1) << 31}, "x"), uint64_t(1) << 62);
  EXPECT_EQ(raw::checkedProduct({std::numeric_limits<int64_t>::max()}, "x"),
            uint64_t(std::numeric_limits<int64_t>::max()));
  // 2^32 x 2^32 wraps to 0 in 64 bits; 2^63 does not fit an off_t.
  EXPECT_THROW(raw::checkedProduct({int64_t(1) << 32, int64_t(1) << 32}, "x"), std::runtime_error);
  EXPECT_THROW(raw::checkedProduct({int64_t(1) << 31, int64_t(1) << 31, 2}, "x"),
               std::runtime_error);
  EXPECT_EQ(errorOf([] { raw::checkedProduct({-1, 5}, "M.f32"); }),
            "M.f32: -1 x 5 bytes is negative or overflows 64 bits — refusing");
}

TEST(RawMembers, ReadsRefuseOtherSizesAndNonFiles) {
  TempDir t;
  writeFile(t / "v.f32", floats({1.5f, -2.0f}));
  EXPECT_EQ(raw::readRaw<float>(t / "v.f32", 2, "v"), (std::vector<float>{1.5f, -2.0f}));
  EXPECT_EQ(errorOf([&] { raw::readRaw<float>(t / "v.f32", 3, "v"); }), "size mismatch " + t / "v.f32");
  EXPECT_EQ(errorOf([&] { raw::readRaw<float>(t / "v.f32", 1, "v"); }), "size mismatch " + t / "v.f32");
  // A directory under a member name is not a member, and is not mapped.
  EXPECT_EQ(errorOf([&] { raw::mapFile(t.path(), 4096); }), "cannot open " + t.path());
  EXPECT_EQ(errorOf([&] { raw::readRaw<float>(t / "none", 0, "v"); }), "cannot open " + t / "none");
  // An empty member maps to nothing rather than to an invalid mapping.
  writeFile(t / "empty", "");
  EXPECT_EQ(errorOf([&] { raw::mapFile(t / "empty", 0); }), "mmap failed " + t / "empty");
  EXPECT_TRUE(raw::readRaw<int32_t>(t / "empty", 0, "v").empty());
}

}  // namespace
}  // namespace le
