// The session context end to end on fixture bundles (python lefix): the
// fixture director, a lossless H.264 driver, the warp prior raw, as HEVC, and
// the whole bundle inside an IMX container; and the HEVC prior through
// le::Identity and le_prior_*: frame-exact rows, seek counts, whole copies
// under concurrent readers, both member names in a container.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "le/runtime/half.h"
#include "le/runtime/le_pool.h"
#include "le/session/prior.h"
#include "le/session/session.h"  // the context, its identity and driver cursor
#include "session/session_bundle.h"

namespace le {
namespace {

using test::Ctx;
using test::err;
using test::TempDir;

constexpr int kNT = 6, kW = 64, kH = 48, kCrop = 32, kFrames = 9;  // drive entries wrap around the driver
// The fixture bundle for le_create: identity parts as lefix names them.
std::string writeBundle(const TempDir& t, const char* identity, bool imx) {
  const std::string dir = t / "b";
  EXPECT_EQ(test::runFixture({"bundle", "--out", dir, "--nt", std::to_string(kNT), "--frames", std::to_string(kFrames), "--crop",
                              std::to_string(kCrop), "--size", std::to_string(kW), std::to_string(kH), "--identity", identity}), 0);
  EXPECT_EQ(test::runFixture({"video", "mp4", "--out", dir + "/target_frames.mp4", "--nt", std::to_string(kNT), "--size",
                              std::to_string(kW), std::to_string(kH)}), 0);
  EXPECT_EQ(test::runFixture({"director", "--variant", "plain", "--crop", std::to_string(kCrop), "--out", dir + "/model_plain.onnx"}), 0);
  if (!imx) return dir;
  EXPECT_EQ(test::runFixture({"imx", dir, "--out", t / "b.imx"}), 0);
  return t / "b.imx";
}

class SessionEndToEnd : public testing::TestWithParam<std::pair<const char*, bool>> {};

// Finished frames carry alpha 255, change the driver frame, repeat exactly,
// and are le_paste_last's pixels, which le_paste_crop agrees with. Where the
// crop lands is the session and paste unit tests' footprint.
TEST_P(SessionEndToEnd, DriveEntriesBecomeFinishedFrames) {
  TempDir t;
  Ctx ctx(le_create(writeBundle(t, GetParam().first, GetParam().second).c_str(), "plain", 2, nullptr));
  ASSERT_NE(ctx.p, nullptr) << err();
  ASSERT_EQ(le_drive_frames(ctx.p), kFrames);
  const size_t px = size_t(kW) * kH;
  std::vector<uint8_t> rgba(px * 4), again(px * 4), viaCrop(px * 3);
  for (int i = 0; i < kFrames; ++i) {
    const int si = ctx.p->drive.si[size_t(i)];
    ASSERT_EQ(le_render_drive_rgba(ctx.p, i, rgba.data(), rgba.size()), 1) << err();
    const uint8_t* tf = le_target_frame(ctx.p, si);
    ASSERT_NE(tf, nullptr) << err();
    const std::vector<uint8_t> driver(tf, tf + px * 3);
    int changed = 0;
    for (size_t p = 0; p < px; ++p) {
      ASSERT_EQ(rgba[p * 4 + 3], 255) << "entry " << i << " pixel " << p;
      changed += std::memcmp(&rgba[p * 4], &driver[p * 3], 3) != 0;
    }
    EXPECT_GT(changed, 0) << "entry " << i << ": the crop left no trace";
    ASSERT_EQ(le_render_drive_rgba(ctx.p, i, again.data(), again.size()), 1) << err();
    EXPECT_EQ(rgba, again);
    const float* crop = le_render_drive_crop(ctx.p, i);
    ASSERT_NE(crop, nullptr) << err();
    ASSERT_EQ(le_paste_crop(ctx.p, si, crop, viaCrop.data(), viaCrop.size()), 1) << err();
    const uint8_t* last = le_paste_last(ctx.p, si);
    ASSERT_NE(last, nullptr) << err();
    EXPECT_EQ(std::memcmp(last, viaCrop.data(), viaCrop.size()), 0);
    for (size_t p = 0; p < px; ++p) ASSERT_EQ(std::memcmp(&rgba[p * 4], &last[p * 3], 3), 0) << p;
  }
}

INSTANTIATE_TEST_SUITE_P(Bundles, SessionEndToEnd,
                         testing::Values(std::pair{"pooled,P", false}, std::pair{"pooled,hevc", false}, std::pair{"pooled,P", true}),
                         [](const auto& i) { return std::string(i.param.second ? "container" : i.param.first[7] == 'P' ? "rawPrior" : "hevcPrior"); });

// A short output buffer fails after the render and writes nothing; the
// intra-op choice is logged once, and only when the caller did not choose.
TEST(SessionRender, EachStepStopsTheNextAndNothingIsWrittenOnFailure) {
  TempDir t;
  const std::string bundle = writeBundle(t, "pooled,P", false);
  Ctx ctx(le_create(bundle.c_str(), "plain", 0, nullptr));
  ASSERT_NE(ctx.p, nullptr) << err();
  const size_t n = size_t(kW) * kH * 4, cropFloats = size_t(3) * kCrop * kCrop;
  testing::internal::CaptureStderr();
  const float* first = le_render_drive_crop(ctx.p, 0);
  ASSERT_NE(first, nullptr) << err();
  const std::vector<float> before(first, first + cropFloats);
  std::vector<float> ks(ctx.p->drive.xs.begin(), ctx.p->drive.xs.begin() + 63), kd = ks;
  for (size_t k = 0; k < 63; k += 3) kd[k] += 0.05f;
  std::vector<uint8_t> out(n, 0x5A);
  EXPECT_EQ(le_render_kp_rgba(ctx.p, 3, ks.data(), kd.data(), out.data(), n - 1), 0);
  EXPECT_EQ(err(), "le_render_*_rgba: out buffer too small");
  EXPECT_NE(before, std::vector<float>(ctx.p->lastCrop, ctx.p->lastCrop + cropFloats)) << "the render before the size check did not happen";
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t v) { return v == 0x5A; }));
  EXPECT_EQ(le_render_drive_rgba(ctx.p, 0, nullptr, n), 0);
  EXPECT_EQ(err(), "le_render_*_rgba: out buffer too small");
  ASSERT_EQ(le_render_kp_rgba(ctx.p, 3, ks.data(), kd.data(), out.data(), n), 1) << err();
  const int pool = pool::threads();
  const std::string intra = "[le] director intra-op " + std::to_string(std::min(pool, 2)) + " of pool " + std::to_string(pool) +
                            ": the caller did not choose, the core sized it for the le_utt pipeline\n";
  EXPECT_EQ(test::countOf(testing::internal::GetCapturedStderr(), intra), 1);
  Ctx chosen(le_create(bundle.c_str(), "absent", 4, nullptr));  // the caller chose: no line, though the render fails
  ASSERT_NE(chosen.p, nullptr) << err();
  const float kp[63] = {};
  testing::internal::CaptureStderr();
  EXPECT_EQ(le_render_kp_crop(chosen.p, 0, kp, kp), nullptr);
  EXPECT_EQ(test::countOf(testing::internal::GetCapturedStderr(), "[le] director intra-op"), 0);
  EXPECT_EQ(err().rfind("le_render_kp_crop: Renderer: ", 0), 0u) << err();
}

// ---- the HEVC prior ---------------------------------------------------------

constexpr int kPriorNT = 12;
constexpr size_t kRowBytes = size_t(kCrop) * kCrop * 6;

// Fixture frames carry their index as four base-4 digits, grey blocks across
// the top half of the R plane (RGB greys 28, 98, 168, 238).
int indexOfPrior(const void* planes) {
  const auto* r = static_cast<const uint16_t*>(planes);
  const double levels[4] = {28, 98, 168, 238};
  int idx = 0;
  for (int b = 0; b < 4; ++b) {
    const double v = double(half::toFloat(r[(kCrop / 4) * kCrop + b * 8 + 4])) * 255.0;
    int best = 0;
    for (int d = 1; d < 4; ++d) best = std::abs(v - levels[d]) < std::abs(v - levels[best]) ? d : best;
    idx |= best << (2 * b);
  }
  return idx;
}

std::string hevcBundle(const TempDir& t, std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"bundle", "--out", t / "b", "--nt", std::to_string(kPriorNT), "--crop", std::to_string(kCrop),
                                   "--size", "64", "48", "--identity", "pooled,hevc"};
  args.insert(args.end(), extra.begin(), extra.end());
  EXPECT_EQ(test::runFixture(args), 0);
  return args[2];
}

struct Prior {
  explicit Prior(const std::string& dir, int lookAhead = 2, int history = 0) {
    testing::internal::CaptureStderr();
    h = le_prior_open(dir.c_str(), lookAhead, history);
    testing::internal::GetCapturedStderr();
  }
  ~Prior() { le_prior_close(h); }
  int row(int si, std::vector<uint8_t>& out) { return le_prior_row(h, si, out.data(), out.size()); }
  le_prior* h = nullptr;
};

// {history, rows read in order, seeks after each read}: the history given
// reaches the cursor (whose jumps the driver tests sweep): without it a jump
// back is a seek, with it none.
TEST(PriorEntryPoints, RowsAreFrameExactAndSeeksFollowTheHistory) {
  TempDir t;
  const std::string dir = hevcBundle(t);
  const std::tuple<int, std::vector<int>, std::vector<int>> walks[] = {
      {0, {0, 1, 2, 3, 4, 5, 0, 1}, {0, 0, 0, 0, 0, 0, 1, 1}},
      {kPriorNT, {0, 1, 2, 3, 4, 5, 0, 1}, std::vector<int>(8, 0)}};
  std::vector<uint8_t> row(kRowBytes);
  for (const auto& [history, order, seeks] : walks) {
    Prior p(dir, 2, history);
    ASSERT_NE(p.h, nullptr) << err();
    for (size_t k = 0; k < order.size(); ++k) {
      ASSERT_EQ(p.row(order[k], row), 1) << err();
      ASSERT_EQ(std::make_pair(indexOfPrior(row.data()), p.h->cursor->seeks()), std::make_pair(order[k], int64_t(seeks[k]))) << k;
    }
  }
  Prior p(dir, 0, -5);  // defaults: look-ahead 2, history 0
  ASSERT_NE(p.h, nullptr) << err();
  EXPECT_EQ(std::make_pair(le_prior_row_bytes(p.h), std::string(le_prior_backend(p.h))), std::make_pair(kRowBytes, p.h->cursor->sourceName()));
  const std::pair<std::function<int()>, std::string> refusals[] = {
      {[&] { return le_prior_row(p.h, 0, row.data(), kRowBytes - 1); }, "le_prior_row: cap " + std::to_string(kRowBytes - 1) + " < row bytes " + std::to_string(kRowBytes)},
      {[&] { return le_prior_row(p.h, 0, nullptr, kRowBytes); }, "le_prior_row: NULL prior/out"},
      {[&] { return le_prior_row(nullptr, 0, row.data(), kRowBytes); }, "le_prior_row: NULL prior/out"},
      {[&] { return le_prior_open(nullptr, 2, 0) != nullptr; }, "le_prior_open: NULL bundle_dir"}};
  for (const auto& [call, why] : refusals) {
    EXPECT_EQ(call(), 0) << why;
    EXPECT_EQ(err(), why);
  }
  EXPECT_EQ(std::make_pair(std::string(le_prior_backend(nullptr)), le_prior_row_bytes(nullptr)), std::make_pair(std::string(), size_t(0)));
  le_prior_close(nullptr);
}

TEST(IdentityHevcPrior, PMatchesThePriorRowsCountsSeeksAndCopiesWholeFrames) {
  TempDir t;
  const std::string dir = hevcBundle(t);
  testing::internal::CaptureStderr();
  Identity id(loadManifest(dir), driver::openPriorStream);
  const std::string backend = id.priorBackend();  // opens the cursor, once
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(id.hasHevcPrior() && !id.hasRawP() && id.prior() != nullptr);
  Prior p(dir);
  EXPECT_EQ(std::make_pair(backend, backend), std::make_pair(id.prior()->sourceName(), std::string(le_prior_backend(p.h))));
  std::vector<uint8_t> row(kRowBytes);
  std::vector<uint16_t> copy(kRowBytes / 2);
  for (int si : {0, 1, 2, 9, 10, 5}) {  // in order, ahead to 9, back to 5 never decoded: two seeks
    ASSERT_EQ(p.row(si, row), 1) << err();
    EXPECT_EQ(std::memcmp(id.P(si), row.data(), kRowBytes), 0) << si;
    id.copyP(si, copy.data());
    EXPECT_EQ(std::memcmp(copy.data(), row.data(), kRowBytes), 0) << si;
  }
  id.walkP(6), id.walkP(7);
  EXPECT_EQ(std::make_tuple(id.priorSeeks(), id.prior()->position()), std::make_tuple(int64_t(2), 8));
  EXPECT_GE(id.priorResidentBytes(), int64_t(14 * kRowBytes));
  std::vector<int> wrong(2, 0);
  const auto reader = [&](int k) {
    std::vector<uint16_t> buf(kRowBytes / 2);
    for (int n = 0; n < 24; ++n) {
      const int si = (n * (k ? 5 : 1)) % kPriorNT;
      id.copyP(si, buf.data());
      for (int plane = 0; plane < 3; ++plane)  // a grey code: a torn copy mixes frames across planes
        wrong[size_t(k)] += indexOfPrior(buf.data() + size_t(plane) * kCrop * kCrop) != si;
    }
  };
  std::thread a(reader, 0), b(reader, 1);
  a.join();
  b.join();
  EXPECT_EQ(wrong, std::vector<int>(2, 0));
}

}  // namespace
}  // namespace le
