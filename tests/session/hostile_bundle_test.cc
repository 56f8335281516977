// Hostile bundles and careless callers at le_create and the frame entry
// points: names that lead outside the bundle, members that are FIFOs or
// devices, thread counts beyond the pool, keypoints and crops that are not
// finite.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <limits>

#include "le/bundle/fsutil.h"
#include "session/session_bundle.h"

namespace le {
namespace {

using test::BundleShape;
using test::Ctx;
using test::err;
using test::TempDir;
using test::writeBundle;

// What opening a bundle and using it once answers: le_create's error, the
// first frame's, the first render's, or "rendered".
std::string openAndUse(const std::string& dir) {
  Ctx ctx(le_create(dir.c_str(), "k", 1, nullptr));
  if (!ctx.p) return err();
  if (!le_target_frame(ctx.p, 0)) return err();
  const float kp[63] = {};
  return le_render_kp_crop(ctx.p, 0, kp, kp) ? "rendered" : err();
}

// Each way a manifest key or a member can lead outside, once per reader that
// takes a name from the bundle; a link that stays inside is fine. The bundle
// is b and links lead into b2: the bundle's real path must be a whole prefix
// of the target, a sibling whose name merely extends it is outside.
TEST(HostileBundle, EveryNameTheManifestGivesStaysInside) {
  const std::string climbs = "'..' climbs above it";
  const struct {
    std::string keys;  // manifest keys added
    const char* drop;  // member removed first
    const char* link;  // member replaced by a link ...
    const char* to;    // ... to this, beside the bundle
    std::string what, value, reason;  // reason "": through the link
  } cases[] = {
      {", \"target_frames\": \"../frames\"", nullptr, nullptr, "", "manifest key target_frames", "../frames", climbs},
      {", \"target_frames\": \"/tmp\"", nullptr, nullptr, "", "manifest key target_frames", "/tmp", "an absolute path"},
      {", \"target_frames_mp4\": \"x.mp4\"", nullptr, "x.mp4", "b2/p.bin", "manifest key target_frames_mp4", "x.mp4", ""},
      {", \"P_rgb\": \"sub/../../p.bin\"", nullptr, nullptr, "", "manifest key P_rgb", "sub/../../p.bin", climbs},
      {", \"P_hevc\": \"../p.mov\"", "P.f16", nullptr, "", "manifest key P_hevc", "../p.mov", climbs},
      {"", "M.f32", "M.f32", "b2/p.bin", "member", "M.f32", ""},
      {"", "drive", "drive", "b2", "member", "drive/xs.f32", ""},
      {"", "manifest.json", "manifest.json", "b2/p.bin", "member", "manifest.json", ""},
      {", \"target_frames\": \"in\"", nullptr, "in", "b/target_frames", "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys + (c.link ? c.link : ""));
    TempDir t;
    const std::string dir = t / "b";
    BundleShape s;
    s.extraKeys = c.keys;
    writeBundle(dir, s);
    ASSERT_EQ(::mkdir((t / "b2").c_str(), 0755), 0);
    test::writeFile(t / "b2/p.bin", "p");
    ASSERT_TRUE(!c.drop || fs::rmTree(dir + "/" + c.drop));
    ASSERT_TRUE(!c.link || ::symlink((t / c.to).c_str(), (dir + "/" + c.link).c_str()) == 0);
    Ctx ctx(le_create(dir.c_str(), "k", 1, nullptr));
    const std::string reason = c.reason.empty() ? "through a symbolic link to " + t / c.to : c.reason;
    EXPECT_EQ(err(), c.what.empty() ? "" : "le_create: " + c.what + " '" + c.value + "' leaves the bundle directory " +
                                               dir + " (" + reason + ") — refusing");
  }
}

// A member that is a FIFO or a device is refused at once, never waited on: a
// blocking open would hang here until the alarm ends the test. The director
// model is opened by the renderer, every other member by the bundle readers.
TEST(HostileBundle, FifosAndDevicesInPlaceOfMembersAreRefusedAtOnce) {
  const bool canMknod = [] {
    TempDir t;
    return ::mknod((t / "z").c_str(), S_IFCHR | 0644, makedev(1, 5)) == 0;
  }();
  const struct {
    const char* member;
    bool fifo;
    const char* prefix;
  } cases[] = {{"manifest.json", true, "le_create: "},
               {"drive/xs.f32", true, "le_create: "},
               {"target_frames/frame_000000.jpg", true, "le_create: "},
               {"model_k.onnx", true, "le_render_kp_crop: Renderer: "},
               {"P.f16", false, "le_create: "}};
  ::alarm(30);
  for (const auto& c : cases) {
    if (!c.fifo && !canMknod) continue;
    SCOPED_TRACE(c.member);
    TempDir t;
    writeBundle(t.path(), BundleShape{});
    const std::string path = t / c.member;
    ::unlink(path.c_str());
    ASSERT_EQ(c.fifo ? ::mkfifo(path.c_str(), 0644) : ::mknod(path.c_str(), S_IFCHR | 0644, makedev(1, 5)), 0);
    EXPECT_EQ(openAndUse(t.path()), c.prefix + std::string("cannot open ") + path);
  }
  ::alarm(0);
}

TEST(CarelessCaller, ThreadCountsKeypointsAndCropsAreChecked) {
  TempDir t;
  const BundleShape s;
  writeBundle(t.path(), s);
  for (const auto& [threads, error] : {std::pair{-5, std::string()}, {LE_MAX_THREADS, ""},
                                       {LE_MAX_THREADS + 1, "le_create: threads 257 above the limit of 256"},
                                       {std::numeric_limits<int>::max(), "le_create: threads 2147483647 above the limit of 256"}}) {
    Ctx ctx(le_create(t.path().c_str(), "k", threads, nullptr));
    EXPECT_EQ(err(), error) << threads;
    EXPECT_EQ(ctx.p != nullptr, error.empty()) << threads;
  }
  Ctx ctx(le_create(t.path().c_str(), "k", 1, nullptr));
  ASSERT_NE(ctx.p, nullptr) << err();
  // {kd (else ks), index into the 63 values, value, text after the function}
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const std::string rendered = "Renderer: cannot open " + t / "model_k.onnx";  // taken: the render runs
  const std::tuple<bool, int, float, std::string> kps[] = {
      {false, 0, nan, "ks row 0 column 0 is nan, not a finite keypoint value within ±1e+06"},
      {true, 62, nan, "kd row 20 column 2 is nan, not a finite keypoint value within ±1e+06"},
      {false, 30, -inf, "ks row 10 column 0 is -inf, not a finite keypoint value within ±1e+06"},
      {true, 31, 1e30f, "kd row 10 column 1 is 1e+30, not a finite keypoint value within ±1e+06"},
      {false, 5, -2e6f, "ks row 1 column 2 is -2e+06, not a finite keypoint value within ±1e+06"},
      {true, 5, 1e6f, rendered}, {false, 5, -1e6f, rendered}};
  std::vector<uint8_t> rgba(size_t(s.w) * s.h * 4);
  for (const auto& [driving, index, value, error] : kps) {
    float ks[63] = {}, kd[63] = {};
    (driving ? kd : ks)[index] = value;
    EXPECT_EQ(le_render_kp_crop(ctx.p, 1, ks, kd), nullptr);
    EXPECT_EQ(err(), "le_render_kp_crop: " + error);
    EXPECT_EQ(le_render_kp_rgba(ctx.p, 1, ks, kd, rgba.data(), rgba.size()), 0);
    EXPECT_EQ(err(), "le_render_kp_crop: " + error);  // the render step refused
  }
  std::vector<float> crop(size_t(3) * s.crop * s.crop, 100.0f);
  std::vector<uint8_t> out(size_t(s.w) * s.h * 3);
  ASSERT_EQ(le_paste_crop(ctx.p, 0, crop.data(), out.data(), out.size()), 1) << err();
  for (const auto& [at, v, shown] : {std::tuple{size_t(0), nan, "nan"}, {crop.size() - 1, -inf, "-inf"}}) {
    std::vector<float> bad = crop;
    bad[at] = v;
    EXPECT_EQ(le_paste_crop(ctx.p, 0, bad.data(), out.data(), out.size()), 0);
    EXPECT_EQ(err(), "le_paste_crop: crop value " + std::to_string(at) + " is " + shown + ", not a finite value");
  }
}

}  // namespace
}  // namespace le
