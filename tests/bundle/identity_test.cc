// le::Identity and le::loadDrive on bundles written here byte by byte: exact
// member sizes under both names, the warp-prior refusals, matrix rescaling,
// index checks, the drive tables, and sizes that overflow.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "le/bundle/drive.h"
#include "le/bundle/fsutil.h"
#include "le/bundle/identity.h"
#include "le/bundle/manifest.h"
#include "le/bundle/paths.h"
#include "le/bundle/rawfile.h"
#include "le/runtime/half.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using test::bytesOf;
using test::errorOf;
using test::TempDir;
using test::writeFile;

constexpr size_t kPooled = 64 * 32 * 32, kFsRed = 64 * 64 * 64;
constexpr int kNT = 3, kCrop = 8;
constexpr size_t kP = 3 * kCrop * kCrop;

// Value j of frame i of a member with this salt, exact in binary16.
uint16_t pattern(uint64_t i, uint64_t j, int salt) {
  return half::fromFloat(float((i * 131 + j * 7 + 17 * uint64_t(salt)) % 1000) / 8.0f);
}

std::string halves(size_t perFrame, int salt) {
  std::vector<uint16_t> v(kNT * perFrame);
  for (size_t i = 0; i < v.size(); ++i) v[i] = pattern(i / perFrame, i % perFrame, salt);
  return bytesOf(v);
}

std::vector<float> sampleM() {
  std::vector<float> m;
  for (int i = 0; i < kNT; ++i) m.insert(m.end(), {0.25f + float(i), -0.1f, 100.3f + float(i), 0.07f, 0.5f - float(i), -13.7f});
  return m;
}

struct BundleShape {
  int w = 64, h = 48, stampW = 64, stampH = 48, frames = 5;
  bool current = false;  // current member names instead of the older ones
  bool pooled = true, P = true, fsRed = false, M = true;
  std::string extraKeys = "";  // appended to the manifest, each with a leading comma
};

// Writes the bundle (identity members and drive tables) and returns its manifest.
Manifest writeBundle(const std::string& dir, const BundleShape& s) {
  writeFile(dir + "/manifest.json",
            "{\"format\": \"le-bundle-v0\", \"agent\": \"t\", \"NT\": 3, \"H\": " + std::to_string(s.h) +
                ", \"W\": " + std::to_string(s.w) + ", \"crop\": 8, \"amount\": 1.3, \"sigma\": 2.0, \"ksize\": 13, "
                "\"frames\": " + std::to_string(s.frames) + ", \"M_src_w\": " + std::to_string(s.stampW) +
                ", \"M_src_h\": " + std::to_string(s.stampH) + s.extraKeys + "}\n");
  auto name = [&](const char* old, const char* cur) { return dir + "/" + (s.current ? cur : old); };
  if (s.pooled) writeFile(name("pooled64.f16", "pooled_features.f16"), halves(kPooled, 1));
  if (s.P) writeFile(name("P.f16", "source_frames.f16"), halves(kP, 2));
  if (s.fsRed) writeFile(name("fs_red.f16", "feature_synth.f16"), halves(kFsRed, 3));
  if (s.M) writeFile(name("M.f32", "paste_transform.f32"), bytesOf(sampleM()));
  std::vector<float> xs, xd;
  std::vector<int32_t> si;
  for (int i = 0; i < s.frames * 63; ++i) xs.push_back(0.001f * float(i)), xd.push_back(-0.002f * float(i));
  for (int i = 0; i < s.frames; ++i) si.push_back((i * 7) % kNT);
  fs::mkdirs(s.current ? dir + "/idle_loop" : dir + "/drive");
  writeFile(name("drive/xs.f32", "idle_loop/source_keypoints.f32"), bytesOf(xs));
  writeFile(name("drive/xd.f32", "idle_loop/driven_keypoints.f32"), bytesOf(xd));
  writeFile(name("drive/si.i32", "idle_loop/source_index.i32"), bytesOf(si));
  return loadManifest(dir);
}

TEST(Identity, MapsOlderAndCurrentNamesAlike) {
  for (bool current : {false, true}) {
    SCOPED_TRACE(current ? "current names" : "older names");
    TempDir t;
    Identity id(writeBundle(t.path(), {.current = current, .fsRed = true}));
    EXPECT_EQ(std::make_tuple(id.NT(), id.crop(), id.hasRawP(), id.hasFsRed(), id.hasHevcPrior()),
              std::make_tuple(3, 8, true, true, false));
    std::vector<uint16_t> copy(kP);
    const std::vector<float> m = sampleM();
    for (int si = 0; si < kNT; ++si) {
      // First and last value of each frame catch both a wrong stride and a wrong base.
      for (size_t j : {size_t(0), kPooled - 1}) EXPECT_EQ(id.pooled64(si)[j], pattern(si, j, 1));
      for (size_t j : {size_t(0), kP - 1}) EXPECT_EQ(id.P(si)[j], pattern(si, j, 2));
      for (size_t j : {size_t(0), kFsRed - 1}) EXPECT_EQ(id.fsRed(si)[j], pattern(si, j, 3));
      id.copyP(si, copy.data());
      EXPECT_EQ(std::make_pair(std::memcmp(copy.data(), id.P(si), kP * 2), std::memcmp(id.M(si), m.data() + 6 * si, 24)), std::make_pair(0, 0));
    }
    EXPECT_EQ(id.priorBackend(), "mmap P.f16");
    EXPECT_EQ(std::make_tuple(id.prior(), id.priorSeeks(), id.priorResidentBytes()),
              std::make_tuple(static_cast<PriorStream*>(nullptr), int64_t(0), int64_t(0)));
    id.walkP(1);  // nothing to walk
    const Drive d = loadDrive(id.manifest());
    EXPECT_EQ(d.frames, 5);
    EXPECT_EQ(bytesOf(d.xs), test::readFile(resolveMember(t.path(), "drive/xs.f32")));
    EXPECT_EQ(bytesOf(d.xd), test::readFile(resolveMember(t.path(), "drive/xd.f32")));
    EXPECT_EQ(d.si, (std::vector<int32_t>{0, 1, 2, 0, 1}));
  }
}

TEST(Identity, EveryMemberSizeIsExact) {
  const std::pair<const char*, size_t> members[] = {
      {"pooled64.f16", kPooled * 2}, {"P.f16", kP * 2}, {"fs_red.f16", kFsRed * 2}, {"M.f32", 24},
      {"drive/xs.f32", 63 * 4 * 5 / 3}, {"drive/xd.f32", 63 * 4 * 5 / 3}, {"drive/si.i32", 4 * 5 / 3}};
  for (const auto& [member, frameBytes] : members) {
    for (int delta : {-4, +1}) {  // short by a whole element; long by a byte
      SCOPED_TRACE(std::string(member) + " " + std::to_string(delta));
      TempDir t;
      const Manifest m = writeBundle(t.path(), {.fsRed = true});
      std::string bytes = test::readFile(t / member);
      ASSERT_EQ(bytes.size() / 3, frameBytes);
      if (delta < 0) bytes.resize(bytes.size() - size_t(-delta));
      else bytes.append(size_t(delta), '\0');
      writeFile(t / member, bytes);
      const bool drive = std::string(member).rfind("drive/", 0) == 0;
      EXPECT_EQ(errorOf([&] { drive ? void(loadDrive(m)) : void(Identity(m)); }), "size mismatch " + t / member);
    }
  }
  for (const char* member : {"M.f32", "pooled64.f16", "drive/xd.f32"}) {
    TempDir t;
    const Manifest m = writeBundle(t.path(), BundleShape{});
    ::unlink((t / member).c_str());
    EXPECT_EQ(errorOf([&] { Identity id(m); void(loadDrive(m)); }), "cannot open " + t / member);
  }
}

TEST(Identity, RescalesMatricesToTheDriverFrame) {
  const std::vector<float> m0 = sampleM();
  // {driver, stamp}: equal leaves M bit-identical; otherwise each row by its
  // own factor, the product taken in double and rounded once.
  for (const auto& [w, h, sw, sh] : {std::tuple{64, 48, 64, 48}, {960, 540, 1920, 1080}, {1280, 720, 1080, 1920}}) {
    TempDir t;
    Identity id(writeBundle(t.path(), {.w = w, .h = h, .stampW = sw, .stampH = sh}));
    for (int si = 0; si < kNT; ++si)
      for (int k = 0; k < 6; ++k)
        EXPECT_EQ(id.M(si)[k], float(double(m0[size_t(6 * si + k)]) * (k < 3 ? double(w) / sw : double(h) / sh)))
            << w << "x" << h << " frame " << si << " entry " << k;
  }
  TempDir t;
  Manifest m = writeBundle(t.path(), BundleShape{});
  m.srcW = 0;
  EXPECT_EQ(errorOf([&] { Identity id(m); }),
            "le::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) — refusing to paste M without "
            "knowing the space it was authored in");
}

TEST(Identity, RefusesBundlesWithoutAWarpPrior) {
  const std::string welded =
      "this bundle's manifest names its raw warp prior 'prior_rgb.f16' (P_rgb) but le::Identity maps the welded "
      "name P.f16 and would find nothing — it maps NOTHING silently and Identity::P(si) is then an offset from a "
      "null pointer. REFUSING rather than rendering off a prior nothing will read.";
  TempDir t;
  Manifest m = writeBundle(t.path(), {.P = false, .extraKeys = ", \"P_rgb\": \"prior_rgb.f16\""});
  writeFile(t / "prior_rgb.f16", halves(kP, 2));
  EXPECT_EQ(errorOf([&] { ensureIdentityMembers(m); }), welded);
  EXPECT_EQ(errorOf([&] { Identity id(m); }), welded);
  writeFile(t / "P.f16", halves(kP, 2));  // with P.f16 beside it the other name is harmless
  EXPECT_EQ(errorOf([&] { Identity id(m); }), "(no error)");
  TempDir u;
  m = writeBundle(u.path(), {.P = false});
  EXPECT_EQ(errorOf([&] { Identity id(m); }),
            "this bundle carries neither P.f16 nor fs_red.f16, and its manifest names no P_hevc member to play one "
            "from — the renderer has no warp prior and le::Identity would hand it a null pointer. REFUSING to "
            "create a session.");
  m = writeBundle(u.path(), {.P = false, .extraKeys = ", \"P_hevc\": \"prior.mov\""});
  EXPECT_EQ(errorOf([&] { ensureIdentityMembers(m); }),
            "this bundle's manifest names P_hevc 'prior.mov' and the file is not there (" + u / "prior.mov" +
                ") — the renderer has no warp prior. REFUSING to create a session.");
}

TEST(Identity, FsRedAloneAndIndicesOutsideTheFrames) {
  TempDir t;
  Identity id(writeBundle(t.path(), {.P = false, .fsRed = true}));
  EXPECT_FALSE(id.hasRawP() || id.hasHevcPrior());
  EXPECT_EQ(id.priorBackend(), "none");
  EXPECT_EQ(id.prior(), nullptr);
  std::vector<uint16_t> dst(kP);
  // No prior at all: a clear failure instead of an offset from null.
  for (const auto& [what, call] : {std::pair<std::string, std::function<void()>>{"P", [&] { id.P(0); }},
                                   {"copyP", [&] { id.copyP(0, dst.data()); }}})
    EXPECT_EQ(errorOf(call), "le::Identity::" + what +
                                 ": this bundle has no warp prior to read (no P.f16, no playable P_hevc)");
  id.walkP(0);
  TempDir u;
  Identity raw(writeBundle(u.path(), BundleShape{}));
  const std::pair<std::string, std::function<void(int)>> accessors[] = {
      {"pooled64", [&](int si) { raw.pooled64(si); }}, {"P", [&](int si) { raw.P(si); }},
      {"copyP", [&](int si) { raw.copyP(si, dst.data()); }}, {"fsRed", [&](int si) { raw.fsRed(si); }},
      {"walkP", [&](int si) { raw.walkP(si); }},       {"M", [&](int si) { raw.M(si); }}};
  for (int si : {-1, 3, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()})
    for (const auto& [name, call] : accessors) {
      std::string got = "(no out_of_range)";  // any other exception fails the test
      try {
        call(si);
      } catch (const std::out_of_range& e) {
        got = e.what();
      }
      EXPECT_EQ(got, "le::Identity::" + name + ": si " + std::to_string(si) + " outside [0,3)");
    }
  EXPECT_EQ(errorOf([&] { raw.fsRed(0); }), "le::Identity::fsRed: fs_red.f16 is not mapped");
}

TEST(Drive, SourceIndicesStayInsideTheDriver) {
  TempDir t;
  const Manifest m = writeBundle(t.path(), BundleShape{});
  const std::string si = resolveMember(t.path(), "drive/si.i32");
  for (const auto& [values, ok] : {std::pair{std::vector<int32_t>{0, 2, 2, 0, 1}, true},  // both ends of [0, NT)
                                   {{0, 1, 3, 0, 1}, false}, {{0, -1, 2, 0, 1}, false}, {{0, 1, 1 << 30, 0, 1}, false}}) {
    writeFile(si, bytesOf(values));
    if (ok) EXPECT_EQ(loadDrive(m).si, values);
    else EXPECT_EQ(errorOf([&] { loadDrive(m); }), "drive: si out of range") << values[2];
  }
  Manifest bad = m;
  bad.frames = -1;
  EXPECT_EQ(errorOf([&] { loadDrive(bad); }), "drive: frames -1 is negative");
  bad.frames = 0x7fffffff;  // far beyond the files: refused by size before any allocation
  EXPECT_EQ(errorOf([&] { loadDrive(bad); }), "size mismatch " + t / "drive/xs.f32");
  TempDir z;
  const Drive d = loadDrive(writeBundle(z.path(), {.frames = 0}));
  EXPECT_TRUE(d.frames == 0 && d.xs.empty() && d.xd.empty() && d.si.empty());
}

TEST(RawMembers, SizesAreCheckedIn64BitsBeforeAnyMapping) {
  const int64_t big = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(raw::checkedProduct({12, 32, 32, 6}, "x"), 73728u);
  EXPECT_EQ(raw::checkedProduct({0, int64_t(1) << 62}, "x"), 0u);
  EXPECT_EQ(raw::checkedProduct({int64_t(1) << 31, int64_t(1) << 31}, "x"), uint64_t(1) << 62);
  EXPECT_EQ(raw::checkedProduct({big}, "x"), uint64_t(big));
  // 2^32 x 2^32 wraps to 0 in 64 bits; 2^63 does not fit an off_t.
  EXPECT_THROW(raw::checkedProduct({int64_t(1) << 32, int64_t(1) << 32}, "x"), std::runtime_error);
  EXPECT_THROW(raw::checkedProduct({int64_t(1) << 31, int64_t(1) << 31, 2}, "x"), std::runtime_error);
  EXPECT_EQ(errorOf([] { raw::checkedProduct({-1, 5}, "M.f32"); }),
            "M.f32: -1 x 5 bytes is negative or overflows 64 bits — refusing");
  TempDir t;
  Manifest m = writeBundle(t.path(), BundleShape{});
  m.NT = m.crop = std::numeric_limits<int32_t>::max();
  EXPECT_EQ(errorOf([&] { Identity id(m); }),
            "P.f16: 2147483647 x 2147483647 x 2147483647 x 6 bytes is negative or overflows 64 bits — refusing");
  m.crop = 8;  // a huge NT whose products fit: the member sizes refuse it
  EXPECT_EQ(errorOf([&] { Identity id(m); }), "size mismatch " + t / "pooled64.f16");
  m.NT = 3, m.crop = 0;
  EXPECT_EQ(errorOf([&] { Identity id(m); }), "le::Identity: bad dims");
  writeFile(t / "v.f32", bytesOf(std::vector<float>{1.5f, -2.0f}));
  EXPECT_EQ(raw::readRaw<float>(t / "v.f32", 2, "v"), (std::vector<float>{1.5f, -2.0f}));
  for (int64_t n : {1, 3}) EXPECT_EQ(errorOf([&] { raw::readRaw<float>(t / "v.f32", n, "v"); }), "size mismatch " + t / "v.f32");
  // A directory under a member name is not a member; an empty member maps to nothing.
  EXPECT_EQ(errorOf([&] { raw::mapFile(t.path(), 4096); }), "cannot open " + t.path());
  writeFile(t / "empty", "");
  EXPECT_EQ(errorOf([&] { raw::mapFile(t / "empty", 0); }), "mmap failed " + t / "empty");
  EXPECT_TRUE(raw::readRaw<int32_t>(t / "empty", 0, "v").empty());
}

}  // namespace
}  // namespace le
