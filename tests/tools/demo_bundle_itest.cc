// The demo identity: every member agrees with the drawn driver video, and the
// drive table opens and closes the mouth.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "le/bundle/drive.h"
#include "le/bundle/identity.h"
#include "le/bundle/manifest.h"
#include "le/driver/cursor.h"
#include "tools/demo_fixture.h"

namespace le::test {
namespace {

constexpr int kUpperLip = 18, kLowerLip = 20, kChin = 16;

// Mean absolute difference (0..1 scale) between P(si) and the crop of driver
// frame `frame` taken through m, each pixel shifted by (du, dv) crop pixels.
double priorVsCrop(Identity& id, const uint8_t* frame, int W, int H, const float* m, int si, double du,
                   double dv) {
  const int S = id.crop();
  std::vector<float> p(static_cast<size_t>(3) * S * S);
  halfToFloat(id.P(si), p.data(), p.size());
  double sum = 0;
  for (int v = 0; v < S; ++v)
    for (int u = 0; u < S; ++u) {
      double x, y;
      cropToFrame(m, u + du, v + dv, x, y);
      for (int c = 0; c < 3; ++c)
        sum += std::fabs(p[(static_cast<size_t>(c) * S + v) * S + u] - sampleRGB(frame, W, H, x, y, c) / 255.0);
    }
  return sum / (3.0 * S * S);
}

// RGB (0..1) of P(si) at crop pixel (u, v), nearest.
std::array<float, 3> priorAt(Identity& id, int si, double u, double v) {
  const int S = id.crop();
  std::vector<float> p(static_cast<size_t>(3) * S * S);
  halfToFloat(id.P(si), p.data(), p.size());
  const int iu = std::clamp(static_cast<int>(std::lround(u)), 0, S - 1);
  const int iv = std::clamp(static_cast<int>(std::lround(v)), 0, S - 1);
  std::array<float, 3> out{};
  for (int c = 0; c < 3; ++c) out[c] = p[(static_cast<size_t>(c) * S + iv) * S + iu];
  return out;
}

TEST(DemoBundle, MembersAgreeWithTheDrawnDriverVideo) {
  ASSERT_FALSE(demoContainer().empty()) << "lefix demo failed";
  const Manifest m = loadManifest(demoContainer());
  EXPECT_NE(m.dir.find(".lebundle"), std::string::npos) << "the container was not unwrapped: " << m.dir;
  EXPECT_EQ(m.W, 1280);
  EXPECT_EQ(m.H, 720);
  EXPECT_EQ(m.crop, 256);
  EXPECT_EQ(m.NT, kDemoFrames);
  EXPECT_EQ(m.frames, kDemoFrames);
  EXPECT_EQ(m.srcW, m.W);
  EXPECT_EQ(m.srcH, m.H);

  Identity id(m, driver::openPriorStream);
  ASSERT_TRUE(id.hasRawP());
  auto cursor = DriverCursor::open(m, 2, 11);
  ASSERT_EQ(cursor->W(), m.W);
  ASSERT_EQ(cursor->H(), m.H);
  std::vector<uint8_t> frame(static_cast<size_t>(m.W) * m.H * 3);
  // P is the crop of the frame through M: only codec noise separates them,
  // while a one-pixel misplacement of the crop shows clearly.
  for (int si : {0, 9, 22, kDemoFrames - 1}) {
    SCOPED_TRACE(si);
    ASSERT_EQ(cursor->pullAt(si, frame.data()), si);
    const double aligned = priorVsCrop(id, frame.data(), m.W, m.H, id.M(si), si, 0, 0);
    const double shifted = priorVsCrop(id, frame.data(), m.W, m.H, id.M(si), si, 1.5, 1.5);
    EXPECT_LT(aligned, 0.01);
    EXPECT_GT(shifted, 2 * aligned);
    // The head sways: another frame's matrix does not place this frame's crop.
    const int other = (si + kDemoFrames / 2) % kDemoFrames;
    EXPECT_GT(priorVsCrop(id, frame.data(), m.W, m.H, id.M(other), si, 0, 0), 2 * aligned);
  }
}

TEST(DemoBundle, KeypointsSitOnTheDrawnFeaturesAndTheDriveOpensTheMouth) {
  ASSERT_FALSE(demoContainer().empty()) << "lefix demo failed";
  const Manifest m = loadManifest(demoContainer());
  Identity id(m, driver::openPriorStream);
  const Drive d = loadDrive(m);
  ASSERT_EQ(d.frames, kDemoFrames);
  const std::string target = readFile(m.dir + "/xs_target.bin");
  ASSERT_EQ(target.size(), static_cast<size_t>(m.NT) * 63 * 4);
  std::vector<float> xt(static_cast<size_t>(m.NT) * 63);
  std::memcpy(xt.data(), target.data(), target.size());

  const int S = m.crop;
  auto kp = [&](const float* row, int k, int axis) { return row[k * 3 + axis]; };
  auto luma = [](std::array<float, 3> c) { return 0.299f * c[0] + 0.587f * c[1] + 0.114f * c[2]; };
  const float* row = xt.data();
  auto at = [&](int k) { return priorAt(id, 0, kpToCrop(kp(row, k, 0), S), kpToCrop(kp(row, k, 1), S)); };
  // Lips are red on skin; brows dark; nostrils darker than the nose tip.
  for (int k : {kUpperLip, kLowerLip}) {
    const auto c = at(k);
    EXPECT_GT(c[0] - c[1], 0.2f) << "keypoint " << k << " is not on a lip";
  }
  EXPECT_LT(luma(at(1)), 0.3f);
  EXPECT_LT(luma(at(4)), 0.3f);
  EXPECT_LT(luma(at(12)), luma(at(11)) - 0.15f);
  // The opening between the lips is dark.
  const auto gap = priorAt(id, 0, kpToCrop(0.f, S),
                           kpToCrop(0.5f * (kp(row, kUpperLip, 1) + kp(row, kLowerLip, 1)), S) + 1.5);
  EXPECT_LT(luma(gap), 0.35f);

  // Source rows are the target rows of their frame; driving rows differ only
  // by the jaw: upper lip up, lower lip and chin down.
  std::vector<float> open(d.frames);
  for (int i = 0; i < d.frames; ++i) {
    ASSERT_EQ(d.si[i], i);
    const float* xs = &d.xs[static_cast<size_t>(i) * 63];
    const float* xd = &d.xd[static_cast<size_t>(i) * 63];
    ASSERT_EQ(std::memcmp(xs, &xt[static_cast<size_t>(i) * 63], 63 * 4), 0);
    for (int k = 0; k < 21; ++k)
      for (int a = 0; a < 3; ++a)
        if (!(a == 1 && (k == kUpperLip || k == kLowerLip || k == kChin))) {
          ASSERT_EQ(xs[k * 3 + a], xd[k * 3 + a]) << k;
        }
    EXPECT_LE(xd[kUpperLip * 3 + 1], xs[kUpperLip * 3 + 1]);
    EXPECT_GE(xd[kLowerLip * 3 + 1], xs[kLowerLip * 3 + 1]);
    open[i] = (xd[kLowerLip * 3 + 1] - xd[kUpperLip * 3 + 1]) - (xs[kLowerLip * 3 + 1] - xs[kUpperLip * 3 + 1]);
  }
  // Opens and closes: wide at frame 9, shut at the start and between openings.
  EXPECT_LT(open[0], 0.01f);
  EXPECT_GT(open[9], 0.1f);
  EXPECT_LT(*std::min_element(open.begin() + 15, open.begin() + 25), 0.01f);
  EXPECT_GT(*std::max_element(open.begin() + 25, open.end()), 0.05f);
}

}  // namespace
}  // namespace le::test
