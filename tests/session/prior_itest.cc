// The HEVC warp prior through le::Identity and the le_prior_* entry points, on
// fixture bundles (older and current names, directories and containers):
// frame-exact rows, the seek counts of in-order and backward reads, and the
// copy that concurrent readers rely on.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "le/bundle/drive.h"
#include "le/bundle/identity.h"
#include "le/bundle/manifest.h"
#include "le/driver/cursor.h"
#include "le/le.h"
#include "le/session/prior.h"
#include "le/runtime/half.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using test::ScopedEnv;
using test::TempDir;

constexpr int kNT = 12;
constexpr int kCrop = 32;
constexpr size_t kRowBytes = size_t(kCrop) * kCrop * 6;

// Fixture frames carry their index as four base-4 digits, grey blocks across
// the top half of the R plane (RGB greys 28, 98, 168, 238).
int indexOfPrior(const void* planes) {
  const auto* r = static_cast<const uint16_t*>(planes);
  const double levels[4] = {28, 98, 168, 238};
  const int bw = (kCrop / 4) & ~1;
  int idx = 0;
  for (int b = 0; b < 4; ++b) {
    const double v = double(half::toFloat(r[(kCrop / 4) * kCrop + b * bw + bw / 2])) * 255.0;
    int best = 0;
    for (int d = 1; d < 4; ++d)
      if (std::abs(v - levels[d]) < std::abs(v - levels[best])) best = d;
    idx |= best << (2 * b);
  }
  return idx;
}

// A bundle holding pooled features, M and only an HEVC prior.
std::string hevcBundle(const TempDir& t, const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {"bundle", "--out", t / "b", "--nt", std::to_string(kNT),
                                   "--crop", std::to_string(kCrop), "--size", "64", "48",
                                   "--identity", "pooled,hevc"};
  args.insert(args.end(), extra.begin(), extra.end());
  EXPECT_EQ(test::runFixture(args), 0);
  return t / "b";
}

struct Prior {
  explicit Prior(const std::string& dir, int lookAhead = 2, int history = 0) {
    testing::internal::CaptureStderr();
    h = le_prior_open(dir.c_str(), lookAhead, history);
    testing::internal::GetCapturedStderr();
  }
  ~Prior() { le_prior_close(h); }
  int row(int si, std::vector<uint8_t>& out) { return le_prior_row(h, si, out.data(), out.size()); }
  int64_t seeks() const { return h->cursor->seeks(); }
  le_prior* h = nullptr;
};

TEST(PriorEntryPoints, RowsInOrderCostNoSeekAndRowZeroRewinds) {
  TempDir t;
  Prior p(hevcBundle(t));
  ASSERT_NE(p.h, nullptr) << le_last_error();
  EXPECT_STREQ(le_last_error(), "");
  EXPECT_EQ(le_prior_row_bytes(p.h), kRowBytes);
  EXPECT_EQ(std::string(le_prior_backend(p.h)), p.h->cursor->sourceName());
  EXPECT_NE(std::string(le_prior_backend(p.h)), "");

  std::vector<uint8_t> row(kRowBytes);
  for (int si = 0; si <= 5; ++si) {
    ASSERT_EQ(p.row(si, row), 1) << le_last_error();
    EXPECT_EQ(indexOfPrior(row.data()), si);
  }
  EXPECT_EQ(p.seeks(), 0);
  ASSERT_EQ(p.row(0, row), 1);
  EXPECT_EQ(indexOfPrior(row.data()), 0);
  EXPECT_EQ(p.seeks(), 1);
  ASSERT_EQ(p.row(1, row), 1);
  EXPECT_EQ(indexOfPrior(row.data()), 1);
  EXPECT_EQ(p.seeks(), 1);
}

TEST(PriorEntryPoints, BackwardSweepSeeksEachFrameWithoutHistory) {
  TempDir t;
  Prior p(hevcBundle(t), 2, 0);
  ASSERT_NE(p.h, nullptr) << le_last_error();
  std::vector<uint8_t> row(kRowBytes);
  // Forward over the loop, then backwards: the frame just delivered is still
  // in its slot, every earlier one is a seek of its own.
  for (int si = 0; si < kNT; ++si) ASSERT_EQ(p.row(si, row), 1);
  EXPECT_EQ(p.seeks(), 0);
  for (int si = kNT - 1, n = 0; si >= 0; --si, ++n) {
    ASSERT_EQ(p.row(si, row), 1) << le_last_error();
    EXPECT_EQ(indexOfPrior(row.data()), si);
    EXPECT_EQ(p.seeks(), n);
  }
}

TEST(PriorEntryPoints, BackwardSweepWithinHistoryCostsNothing) {
  TempDir t;
  Prior p(hevcBundle(t), 2, kNT);
  ASSERT_NE(p.h, nullptr) << le_last_error();
  std::vector<uint8_t> row(kRowBytes);
  for (int si = 0; si < 8; ++si) ASSERT_EQ(p.row(si, row), 1);
  for (int si = 7; si >= 0; --si) {
    ASSERT_EQ(p.row(si, row), 1);
    EXPECT_EQ(indexOfPrior(row.data()), si);
  }
  EXPECT_EQ(p.seeks(), 0);
}

TEST(PriorEntryPoints, RefusalsAndMessages) {
  TempDir t;
  const std::string dir = hevcBundle(t);
  EXPECT_EQ(le_prior_open(nullptr, 2, 0), nullptr);
  EXPECT_STREQ(le_last_error(), "le_prior_open: NULL bundle_dir");
  EXPECT_STREQ(le_prior_backend(nullptr), "");
  EXPECT_EQ(le_prior_row_bytes(nullptr), 0u);
  le_prior_close(nullptr);
  EXPECT_STREQ(le_last_error(), "");

  Prior p(dir, 0, -5);  // defaults: look-ahead 2, history 0
  ASSERT_NE(p.h, nullptr) << le_last_error();
  std::vector<uint8_t> row(kRowBytes - 1);
  EXPECT_EQ(le_prior_row(p.h, 0, row.data(), row.size()), 0);
  EXPECT_EQ(std::string(le_last_error()),
            "le_prior_row: cap " + std::to_string(kRowBytes - 1) + " < row bytes " +
                std::to_string(kRowBytes));
  row.resize(kRowBytes);
  EXPECT_EQ(le_prior_row(p.h, 0, nullptr, kRowBytes), 0);
  EXPECT_STREQ(le_last_error(), "le_prior_row: NULL prior/out");
  EXPECT_EQ(le_prior_row(nullptr, 0, row.data(), kRowBytes), 0);
  EXPECT_STREQ(le_last_error(), "le_prior_row: NULL prior/out");
  for (int si : {-1, kNT}) {
    EXPECT_EQ(p.row(si, row), 0);
    EXPECT_EQ(std::string(le_last_error()),
              "le_prior_row: le_driver: seek(" + std::to_string(si) + ") outside [0,12)");
  }
  EXPECT_EQ(p.row(3, row), 1);  // a refused index leaves the handle usable
  EXPECT_STREQ(le_last_error(), "");
  EXPECT_EQ(indexOfPrior(row.data()), 3);

  // No HEVC member: the cursor's own refusal, nothing mapped or checked first.
  TempDir t2;
  ASSERT_EQ(test::runFixture({"bundle", "--out", t2 / "b", "--nt", "4", "--crop", "16",
                              "--identity", "pooled,P"}),
            0);
  EXPECT_EQ(le_prior_open((t2 / "b").c_str(), 2, 0), nullptr);
  EXPECT_EQ(std::string(le_last_error()),
            "le_prior_open: this bundle carries neither a raw P.f16 nor P_hevc.mov (" +
                t2 / "b/P_hevc.mov) — there is no warp prior to play. REFUSING to create a "
                "session.");
}

TEST(IdentityHevcPrior, PMatchesThePriorRowsAndCountsSeeks) {
  TempDir t;
  const std::string dir = hevcBundle(t);
  testing::internal::CaptureStderr();
  Identity id(loadManifest(dir), driver::openPriorStream);
  EXPECT_TRUE(id.hasHevcPrior());
  EXPECT_FALSE(id.hasRawP());
  const std::string backend = id.priorBackend();  // opens the cursor
  testing::internal::GetCapturedStderr();
  ASSERT_NE(id.prior(), nullptr);
  EXPECT_EQ(id.prior(), id.prior());
  EXPECT_EQ(backend, id.prior()->sourceName());

  Prior p(dir);
  ASSERT_NE(p.h, nullptr) << le_last_error();
  EXPECT_EQ(backend, le_prior_backend(p.h));
  std::vector<uint8_t> row(kRowBytes);
  std::vector<uint16_t> copy(kRowBytes / 2);
  for (int si : {0, 1, 2, 9, 10, 5}) {
    SCOPED_TRACE(si);
    ASSERT_EQ(p.row(si, row), 1) << le_last_error();
    EXPECT_EQ(std::memcmp(id.P(si), row.data(), kRowBytes), 0);
    id.copyP(si, copy.data());
    EXPECT_EQ(std::memcmp(copy.data(), row.data(), kRowBytes), 0);
  }
  // In order, a jump ahead to 9 and one back to 5, which was never decoded:
  // two seeks.
  EXPECT_EQ(id.priorSeeks(), 2);
  EXPECT_GE(id.priorResidentBytes(), int64_t(14 * kRowBytes));
  id.walkP(6);
  id.walkP(7);
  EXPECT_EQ(id.priorSeeks(), 2);
  EXPECT_EQ(id.prior()->position(), 8);
}

TEST(IdentityHevcPrior, ConcurrentCopiesAreWholeFrames) {
  TempDir t;
  const std::string dir = hevcBundle(t);
  testing::internal::CaptureStderr();
  Identity id(loadManifest(dir), driver::openPriorStream);
  id.prior();
  testing::internal::GetCapturedStderr();
  std::vector<int> wrong(2, 0);
  auto reader = [&](int k) {
    std::vector<uint16_t> buf(kRowBytes / 2);
    for (int n = 0; n < 24; ++n) {
      const int si = (n * (k ? 5 : 1)) % kNT;
      id.copyP(si, buf.data());
      // The code is grey, so all three planes carry it: a torn copy mixes frames.
      for (int plane = 0; plane < 3; ++plane)
        if (indexOfPrior(buf.data() + size_t(plane) * kCrop * kCrop) != si) ++wrong[size_t(k)];
    }
  };
  std::thread a(reader, 0), b(reader, 1);
  a.join();
  b.join();
  EXPECT_EQ(wrong[0], 0);
  EXPECT_EQ(wrong[1], 0);
}

TEST(IdentityHevcPrior, ContainersAndBothNamesOpenAlike) {
  for (bool legacy : {true, false}) {
    SCOPED_TRACE(legacy ? "older names" : "current names");
    TempDir t;
    ScopedEnv root("LE_IMX_UNWRAP_ROOT", t / "unwrap");
    std::vector<std::string> args = {"bundle", "--out", t / "id.imx", "--imx", "--nt",
                                     std::to_string(kNT), "--crop", std::to_string(kCrop),
                                     "--size", "64", "48", "--stamp", "128", "96",
                                     "--identity", "pooled,hevc", "--drive-old-names"};
    if (legacy) args.push_back("--legacy-names");
    ASSERT_EQ(test::runFixture(args), 0);
    testing::internal::CaptureStderr();
    const Manifest m = loadManifest(t / "id.imx");
    Identity id(m, driver::openPriorStream);
    EXPECT_EQ(test::exists(m.dir + (legacy ? "/P_hevc.mov" : "/source_frames.hevc")), true);
    std::vector<uint16_t> copy(kRowBytes / 2);
    id.copyP(7, copy.data());
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(indexOfPrior(copy.data()), 7);
    EXPECT_EQ(id.pooled64(kNT - 1)[0], half::fromFloat(float((11 * 131 + 17) % 1000) / 8.0f));
    // Stamp twice the driver: every matrix entry halves.
    const std::string mBytes =
        test::readFile(m.dir + (legacy ? "/M.f32" : "/paste_transform.f32"));
    const float* m0 = reinterpret_cast<const float*>(mBytes.data());
    for (int k = 0; k < 6; ++k) EXPECT_EQ(id.M(3)[k], m0[18 + k] * 0.5f);

    const Drive d = loadDrive(m);
    EXPECT_EQ(d.frames, kNT);
    EXPECT_EQ(d.si[5], 5);

    Prior p(t / "id.imx");
    ASSERT_NE(p.h, nullptr) << le_last_error();
    std::vector<uint8_t> row(kRowBytes);
    ASSERT_EQ(p.row(7, row), 1);
    EXPECT_EQ(std::memcmp(row.data(), copy.data(), kRowBytes), 0);
  }
}

}  // namespace
}  // namespace le
