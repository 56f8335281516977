// DriverCursor::open and openPrior on fixture bundles whose driver members
// are written with the ffmpeg CLI: member choice, the log lines, refusals,
// frame-exact pulls through real decoders, looping and seeks.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "le/bundle/manifest.h"
#include "le/driver/cursor.h"
#include "le/runtime/le_simd.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using le::test::errorOf;

using test::ScopedEnv;
using test::TempDir;

constexpr int kW = 64;
constexpr int kH = 48;

// The fixture frames carry their index as four base-4 digits, one grey block
// each across the top half; the greys are 28, 98, 168, 238 in RGB.
int digitOf(double v) {
  const double levels[4] = {28, 98, 168, 238};
  int best = 0;
  for (int d = 1; d < 4; ++d)
    if (std::abs(v - levels[d]) < std::abs(v - levels[best])) best = d;
  return best;
}

int indexOfRgb(const uint8_t* rgb, int w, int h) {
  const int bw = (w / 4) & ~1;
  int idx = 0;
  for (int b = 0; b < 4; ++b) {
    const size_t px = size_t(h / 4) * size_t(w) + size_t(b * bw + bw / 2);
    idx |= digitOf(rgb[px * 3]) << (2 * b);
  }
  return idx;
}

int indexOfPrior(const uint8_t* planes, int side) {
  const auto* r = reinterpret_cast<const uint16_t*>(planes);  // R plane first
  const int bw = (side / 4) & ~1;
  int idx = 0;
  for (int b = 0; b < 4; ++b) {
    float v = 0;
    halfToFloat(r + size_t(side / 4) * size_t(side) + size_t(b * bw + bw / 2), &v, 1);
    idx |= digitOf(double(v) * 255.0) << (2 * b);
  }
  return idx;
}

std::string lastLine(std::string log) {
  if (!log.empty() && log.back() == '\n') log.pop_back();
  const size_t nl = log.rfind('\n');
  return (nl == std::string::npos ? log : log.substr(nl + 1)) + "\n";
}

// A bundle of nt frames of kW x kH, crop `crop`, without driver members.
Manifest bundle(const TempDir& t, int nt, int crop = 32) {
  EXPECT_EQ(test::runFixture({"bundle", "--out", t / "b", "--nt", std::to_string(nt), "--size",
                              std::to_string(kW), std::to_string(kH), "--crop",
                              std::to_string(crop)}),
            0);
  return loadManifest(t / "b");
}

void video(const std::vector<std::string>& args) {
  std::vector<std::string> a = {"video"};
  a.insert(a.end(), args.begin(), args.end());
  ASSERT_EQ(test::runFixture(a), 0);
}

// Adds top-level keys to the bundle's manifest.json.
void addKeys(const Manifest& m, const std::string& keys) {
  std::string text = test::readFile(m.dir + "/manifest.json");
  text.insert(text.find('{') + 1, keys + ",");
  test::writeFile(m.dir + "/manifest.json", text);
}

TEST(DriverCursorOpen, Mp4IsDecodedInPlaceAndLoops) {
  TempDir t;
  ScopedEnv noPrefer("LE_DRIVER_PREFER_MP4", std::nullopt);
  ScopedEnv noHw("LE_DRIVER_HWDEC", std::nullopt);
  const Manifest m = bundle(t, 30);
  video({"mp4", "--out", m.dir + "/target_frames.mp4", "--nt", "30", "--size",
         std::to_string(kW), std::to_string(kH)});
  testing::internal::CaptureStderr();
  auto c = DriverCursor::open(m, 2, 11);
  // The source may log a hardware-decoder fall-back first; ours is the last line.
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(lastLine(log), "[le-driver] target_frames.mp4 decoded IN PLACE (" + c->sourceName() +
                     ", 30 frames 64x48, look-ahead 2, history 11) — no frame of the driver is "
                     "expanded ahead of the paste\n");
  EXPECT_NE(c->sourceName().find("mp4/libavcodec"), std::string::npos);
  EXPECT_EQ(c->frameBytes(), uint64_t(kW) * kH * 3);
  std::vector<uint8_t> rgb(c->frameBytes());
  for (int k = 0; k < 30 + 3; ++k) {
    EXPECT_EQ(c->pull(rgb.data()), k % 30);
    EXPECT_EQ(indexOfRgb(rgb.data(), kW, kH), k % 30) << "pull " << k;
  }
  EXPECT_EQ(c->seeks(), 0);
  // Back into history (frame 0 was taken three pulls ago), then a jump back
  // beyond it, which the source serves by rewinding and decoding forward.
  EXPECT_EQ(indexOfRgb(c->pullAt(0, static_cast<int*>(nullptr)), kW, kH), 0);
  EXPECT_EQ(c->seeks(), 0);
  c->pullAt(10, rgb.data());
  EXPECT_EQ(indexOfRgb(rgb.data(), kW, kH), 10);
  EXPECT_EQ(c->seeks(), 1);
  EXPECT_EQ(c->pull(rgb.data()), 11);
  EXPECT_EQ(indexOfRgb(rgb.data(), kW, kH), 11);
  EXPECT_GT(c->residentBytes(), int64_t(14 * c->frameBytes()));
}

TEST(DriverCursorOpen, JpgDirectoryWinsUnlessMp4IsPreferred) {
  TempDir t;
  ScopedEnv noHw("LE_DRIVER_HWDEC", std::nullopt);
  const Manifest m = bundle(t, 6);
  video({"jpgdir", "--out", m.dir + "/target_frames", "--nt", "6", "--size", std::to_string(kW),
         std::to_string(kH)});
  video({"mp4", "--out", m.dir + "/target_frames.mp4", "--nt", "6", "--size",
         std::to_string(kW), std::to_string(kH)});
  {
    ScopedEnv prefer("LE_DRIVER_PREFER_MP4", "true");
    testing::internal::CaptureStderr();
    auto c = DriverCursor::open(m, 2, 11);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[le-driver] target_frames/ (raw jpg, 6 frames) — read one frame per pull\n");
    EXPECT_EQ(c->sourceName(), "jpg/stb");
    std::vector<uint8_t> rgb(c->frameBytes());
    for (int k = 0; k < 8; ++k) {
      EXPECT_EQ(c->pull(rgb.data()), k % 6);
      EXPECT_EQ(indexOfRgb(rgb.data(), kW, kH), k % 6);
    }
  }
  ScopedEnv prefer("LE_DRIVER_PREFER_MP4", "1");
  testing::internal::CaptureStderr();
  auto c = DriverCursor::open(m, 1, 0);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log.substr(0, log.find('\n') + 1),
            "[le-driver] LE_DRIVER_PREFER_MP4=1 — target_frames/ is populated and NOT used; "
            "target_frames.mp4 is the member this consumer reads\n");
  EXPECT_NE(log.find("decoded IN PLACE"), std::string::npos);
  EXPECT_NE(c->sourceName().find("mp4/"), std::string::npos);
}

TEST(DriverCursorOpen, MemberNamesComeFromTheManifest) {
  TempDir t;
  ScopedEnv noPrefer("LE_DRIVER_PREFER_MP4", std::nullopt);
  const Manifest m = bundle(t, 5);
  addKeys(m, "\"target_frames\": \"frames\", \"target_frames_mp4\": \"drv.mp4\"");
  EXPECT_EQ(errorOf([&] { DriverCursor::open(m, 2, 11); }),
            "this bundle carries neither a populated frames/ nor drv.mp4 (" + m.dir +
                "/drv.mp4) — there is no driver video to play. REFUSING to create a session.");
  // A directory without its last frame does not count as populated.
  video({"jpgdir", "--out", m.dir + "/frames", "--nt", "4", "--size", std::to_string(kW),
         std::to_string(kH)});
  EXPECT_NE(errorOf([&] { DriverCursor::open(m, 2, 11); }).find("neither a populated frames/"),
            std::string::npos);
  video({"mp4", "--out", m.dir + "/drv.mp4", "--nt", "5", "--size", std::to_string(kW),
         std::to_string(kH)});
  testing::internal::CaptureStderr();
  auto c = DriverCursor::open(m, -3, -3);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "[le-driver] drv.mp4 decoded IN PLACE (mp4/libavcodec"),
            std::string::npos);
  EXPECT_EQ(c->residentBytes() > int64_t(2 * c->frameBytes()), true);
  int idx = -1;
  EXPECT_EQ(indexOfRgb(c->pullAt(4, &idx), kW, kH), 4);
}

TEST(DriverCursorOpen, ShortDriverIsRefusedByTheCursor) {
  TempDir t;
  ScopedEnv noPrefer("LE_DRIVER_PREFER_MP4", std::nullopt);
  const Manifest m = bundle(t, 9);
  // No declared frame count, so only the cursor can notice the missing frames.
  video({"mp4-fragmented", "--out", m.dir + "/target_frames.mp4", "--nt", "6", "--size",
         std::to_string(kW), std::to_string(kH)});
  testing::internal::CaptureStderr();
  auto c = DriverCursor::open(m, 2, 11);
  testing::internal::GetCapturedStderr();
  std::vector<uint8_t> rgb(c->frameBytes());
  std::string err;
  int pulled = 0;
  for (; pulled < 10 && err.empty(); ++pulled) {
    try {
      EXPECT_EQ(c->pull(rgb.data()), pulled);
    } catch (const std::exception& e) {
      err = e.what();
    }
  }
  EXPECT_GE(pulled, 5);
  EXPECT_EQ(err, "le_driver: " + c->sourceName() +
                     " ended after 6 frames, the manifest says NT=9 — a short driver is a "
                     "session that stops part way through the loop, refusing");
}

TEST(DriverCursorOpenPrior, HevcPriorPlaysAsPlanarHalves) {
  TempDir t;
  const Manifest m = bundle(t, 6, 32);
  EXPECT_EQ(errorOf([&] { DriverCursor::openPrior(m, 2, 11); }),
            "this bundle carries neither a raw P.f16 nor P_hevc.mov (" + m.dir +
                "/P_hevc.mov) — there is no warp prior to play. REFUSING to create a session.");
  video({"prior444", "--out", m.dir + "/P_hevc.mov", "--nt", "6", "--size", "32", "32"});
  testing::internal::CaptureStderr();
  auto c = DriverCursor::openPrior(m, 2, 0);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log, "quillFin: identity source ready — 6 frames 32x32, played straight from "
                 "P_hevc.mov (" + c->sourceName() + "); nothing is unpacked to disk\n");
  EXPECT_EQ(c->frameBytes(), uint64_t(32) * 32 * 6);
  for (int k = 0; k < 8; ++k) {
    int idx = -1;
    const uint8_t* f = c->pull(&idx);
    EXPECT_EQ(idx, k % 6);
    EXPECT_EQ(indexOfPrior(f, 32), k % 6);
  }
  // Frame 0 after frame 1 with no history: the source rewinds.
  int idx = -1;
  EXPECT_EQ(indexOfPrior(c->pullAt(0, &idx), 32), 0);
  EXPECT_EQ(c->seeks(), 1);

  addKeys(m, "\"P_hevc\": \"prior.mov\"");
  EXPECT_NE(errorOf([&] { DriverCursor::openPrior(m, 2, 11); }).find("nor prior.mov ("),
            std::string::npos);
}

}  // namespace
}  // namespace le
