// The stream borrow on a small hand-built bank: construction refusals in
// order and the delivery-mask lines, byte conversion across pool chunks, the
// one-frame delay, and the window write-back into float planes and RGBA.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "le/le.h"
#include "le/tessera/tessera_stream.h"
#include "tessera/tessera_lips.h"
#include "testkit/log_lines.h"
#include "testkit/testkit.h"

namespace {

using le::tessera::FrameResult;
using le::tessera::GeometryStamp;
using le::tessera::StreamBorrow;
using le::tessera::UnifiedPi;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

std::string tpl(int canvas, const char* feather = "2.5") {
  return "{\"format\":\"lip-template-v1\",\"canvas\":" + std::to_string(canvas) + ",\"feather_px\":" + feather +
         ",\"u_canon\":[[-1,-1],[1,-1],[1,1],[-1,1]],\"lip_idx\":[6,12,14,17,19,20]}";
}

// Lips about canvas pixel (32, 38) of a 64 canvas; a NaN `open` gives a frame
// with no mouth.
std::vector<float> mouthKp(float open = 0.072f) {
  return le::test::mouthKp(32.f * 2.f / 63.f - 1.f, 38.f * 2.f / 63.f - 1.f, 0.2f, open);
}

// Window 24 x 16 at (20, 30), stored patches 20 x 16; c_canon is the open
// mouth's pi centroid, so mouthKp() gets shift (0, 0).
struct Rig {
  int canvas;
  UnifiedPi pi;
  le::tessera::BankData bank;
  le::tessera::HeadWeights head;
  le::tessera::ServeConfig cfg;

  explicit Rig(int c = 64) : canvas(c), pi(le::test::piV2(c)) {
    bank.stamp = {c, c, 20, 30, 24, 16, 4, 2, 14, 4, 20, 2};
    bank.n_donors = 8;
    pi.canonicalCentroid(mouthKp().data(), 1, &bank.c_canon[0], &bank.c_canon[1]);
    std::mt19937 rng(7);
    bank.track.resize(8 * 20 * 16 * 3);
    for (uint8_t& v : bank.track) v = uint8_t(rng());
    for (int d = 0; d < 8; ++d)
      bank.cent.insert(bank.cent.end(), {bank.c_canon[0] + d % 3 - 1, bank.c_canon[1] + d % 2}),
          bank.aperture.push_back(1.0 + 0.05 * d);
    head.cand0W.assign(16 * 7 * 9, 0.01f), head.cand2W.assign(16 * 16 * 9, 0.01f), head.cand4W.assign(16 * 9, 0.01f);
    head.cand0B.assign(16, 0.f), head.cand2B.assign(16, 0.f), head.cand4B.assign(1, 0.f);
    cfg.kshort = 6, cfg.cut = 5, cfg.K = 4, cfg.hysteresis = 2, cfg.lookahead = 2;
  }
  StreamBorrow make(const std::string& lip = "") const { return StreamBorrow(bank, head, cfg, pi, lip); }
};

TEST(StreamBorrow, RefusesInOrderAndNamesItsDeliveryMaskOnce) {
  const std::string nonSquare = "teeth stream: non-square compose canvas 512x384 — le_core renders a square crop";
  const auto contour = [](const std::string& feather) {
    return "[borrow] delivery mask: LIP CONTOUR (4 verts, feather " + feather +
           " px) — the ellipse is not reachable in this session";
  };
  // {change, a refusal's start or the one log line, the line's level (0 for a refusal)}
  const std::vector<std::tuple<std::function<void(Rig&, std::string&)>, std::string, int>> rows = {
      {[](Rig& r, std::string&) { r.bank.stamp.canvas_w = 512, r.bank.stamp.canvas_h = 384, r.pi.canvas = 9; },
       nonSquare, 0},
      {[](Rig& r, std::string& lip) { r.pi.canvas = 48, lip = "not json"; },
       "teeth stream: manifest pi canvas 48 != bank compose canvas 64 — refusing to compose a mouth on a canvas "
       "the stamp does not name", 0},
      {[](Rig& r, std::string&) { r.bank.n_donors = 0, r.bank.stamp.canvas_h = 384; },
       "teeth: bank has n_donors=0 — the pass needs at least one donor", 0},
      {[](Rig&, std::string& lip) { lip = tpl(160); }, "lip_template.v1.json: ", 0},
      {[](Rig&, std::string&) {}, contour("2.5"), LE_LOG_INFO},
      {[](Rig&, std::string& lip) { lip = tpl(64, "7"); }, contour("7.0"), LE_LOG_INFO},
      {[](Rig&, std::string& lip) { lip.clear(); },
       "[borrow] !!! delivery mask: ELLIPSE — this bundle carries no lip_template.v1.json, so it serves the "
       "over-covering elliptical mask the contour replaces. BACKFILL IT: models/cadenza-2/tools/bake_lip_templates",
       LE_LOG_WARNING},
  };
  for (const auto& [change, want, level] : rows) {
    Rig rig;
    std::string lip = tpl(64);
    change(rig, lip);
    le::test::LogLines log;
    const std::string got = le::test::errorOf([&] { StreamBorrow b(rig.bank, rig.head, rig.cfg, rig.pi, lip); });
    const auto lines = log.lines();
    if (level == 0) {
      EXPECT_EQ(got.substr(0, want.size()), want);
      EXPECT_TRUE(lines.empty()) << want;
    } else {
      EXPECT_EQ(got, "(no error)");
      ASSERT_EQ(lines.size(), 1u) << want;
      EXPECT_EQ(lines[0], std::make_pair(level, want));
    }
  }
}

// Table values at the pool's 4096-pixel chunk edges, exact bytes elsewhere
// (planes patterned apart so an interleaving fault shows); then the one-frame
// delay: frame 0 (a mouth) leaves at the second push, frame 1 (none) at the
// flush, passed through.
TEST(StreamBorrow, PushesRoundedBytesAndEmitsOnePushLater) {
  const std::vector<std::pair<float, uint8_t>> table = {
      {1.5f, 255}, {0.5f, 128},        {kNaN, 0},         {-0.2f, 0}, {-0.f, 0},   {kInf, 255},
      {-kInf, 0},  {0.30196f, 77},     {1.5f / 255, 2},   {2.5f / 255, 2}, {0.9999f, 255}, {1e-9f, 0}};
  for (const int canvas : {64, 96, 128}) {
    const Rig rig(canvas);
    StreamBorrow b = rig.make(canvas == 64 ? tpl(64) : "");
    const size_t n = size_t(canvas) * size_t(canvas);
    std::vector<float> planes(3 * n);
    std::vector<uint8_t> want(3 * n), rgba(4 * n, 1);
    for (size_t p = 0, k = 0; p < n; ++p)
      for (size_t c = 0; c < 3; ++c) {
        const bool edge = p % 4096 == 0 || p % 4096 == 4095 || p == n - 1;
        const auto [v, byte] = edge ? table[k++ % table.size()] : std::pair<float, uint8_t>{0, uint8_t(p * (c + 3) + c)};
        planes[c * n + p] = edge ? v : float(byte) / 255.f;
        want[3 * p + c] = rgba[4 * p + c] = byte;
      }
    const std::vector<float> open = mouthKp(), none = mouthKp(kNaN);
    FrameResult r;
    EXPECT_FALSE(b.push(planes.data(), open.data(), &r));
    EXPECT_EQ(0, std::memcmp(b.rgbBuffer(), want.data(), want.size())) << "canvas " << canvas;
    int dy = 9, dx = 9;
    EXPECT_TRUE(b.lastShift(&dy, &dx) && dy == 0 && dx == 0) << dy << ", " << dx;
    std::fill(b.rgbBuffer(), b.rgbBuffer() + 3 * n, 0);
    ASSERT_TRUE(b.pushRgba(rgba.data(), none.data(), &r));
    EXPECT_EQ(0, std::memcmp(b.rgbBuffer(), want.data(), want.size())) << "canvas " << canvas;
    EXPECT_FALSE(b.lastShift(nullptr, nullptr));
    EXPECT_TRUE(!r.passthrough && r.window.size() == 24 * 16 * 3) << "frame 0 had a mouth";
    ASSERT_TRUE(b.flush(&r));
    EXPECT_TRUE(r.passthrough && r.reason == "empty-pi") << r.reason;
    EXPECT_FALSE(b.flush(&r));
    EXPECT_EQ(b.frames(), 2);
  }
}

// Back-to-back planes of stride x canvas_h floats: each row of the table at
// its own window pixel; every other float keeps its bits.
TEST(StreamBorrow, WritesBackOnlyTheByteChange) {
  const std::vector<std::tuple<float, uint8_t, float>> rows = {
      {0.30196f, 80, 0.30196f + 3.f / 255.f}, {0.5f, 127, 0.5f - 1.f / 255.f}, {kNaN, 80, 80.f / 255.f},
      {kInf, 10, 10.f / 255.f},  {-kInf, 200, 200.f / 255.f}, {-0.5f, 3, 0.f}, {1.2f, 255, 1.f},
      {0.999f, 0, 0.f}, {0.001f, 255, 1.f}};
  const GeometryStamp s = Rig().bank.stamp;
  for (const int stride : {44, 71}) {  // 44: the window's right edge, the narrowest stride allowed
    const size_t plane = size_t(stride) * 64;
    std::vector<float> planes(3 * plane);
    for (size_t i = 0; i < planes.size(); ++i) planes[i] = float(i % 97) / 97.f;
    FrameResult r;
    r.window.resize(24 * 16 * 3);
    auto at = [&](size_t c, size_t y, size_t x) { return c * plane + (30 + y) * size_t(stride) + 20 + x; };
    for (size_t y = 0; y < 16; ++y)  // bytes as the pass saw them: no change
      for (size_t x = 0; x < 24; ++x)
        for (size_t c = 0; c < 3; ++c) r.window[(y * 24 + x) * 3 + c] = uint8_t(std::lrint(planes[at(c, y, x)] * 255.f));
    for (size_t k = 0; k < rows.size(); ++k) {
      planes[at(k % 3, k, 2 * k)] = std::get<0>(rows[k]);
      r.window[(k * 24 + 2 * k) * 3 + k % 3] = std::get<1>(rows[k]);
    }
    std::vector<float> want = planes;
    for (size_t k = 0; k < rows.size(); ++k) want[at(k % 3, k, 2 * k)] = std::get<2>(rows[k]);
    StreamBorrow::writeWindowDelta(planes.data(), stride, r, s);
    for (size_t i = 0; i < planes.size(); ++i)
      ASSERT_TRUE(planes[i] == want[i] || std::fabs(planes[i] - want[i]) < 1e-6f) << i << ": " << planes[i];

    std::vector<uint8_t> rgba(size_t(stride) * 64 * 4), wantRgba;
    for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = uint8_t(i * 13 + 5);
    wantRgba = rgba;
    for (size_t y = 0; y < 16; ++y)
      for (size_t x = 0; x < 24; ++x)
        std::memcpy(&wantRgba[((30 + y) * size_t(stride) + 20 + x) * 4], &r.window[(y * 24 + x) * 3], 3);
    StreamBorrow::writeWindowDeltaRgba(rgba.data(), stride, r, s);
    EXPECT_EQ(rgba, wantRgba) << "stride " << stride << ": alpha and the rest of the crop kept";
  }
}

TEST(StreamBorrow, WrongWindowOrStrideThrowsAndChangesNothing) {
  const GeometryStamp s = Rig().bank.stamp;
  const std::string tail = " bytes does not match the stamp window 16x24 — refusing to write back";
  for (const auto& [size, stride, want] : std::vector<std::tuple<size_t, int, std::string>>{
           {0, 64, "teeth stream: window 0" + tail},
           {1151, 64, "teeth stream: window 1151" + tail},
           {1155, 64, "teeth stream: window 1155" + tail},
           {1152, 43, "teeth stream: stride 43 is narrower than the window's right edge 44 — refusing to write back"}}) {
    for (const bool passthrough : {false, true}) {
      FrameResult r;
      r.window.assign(size, 255);
      r.passthrough = passthrough;
      std::vector<float> planes(3 * 64 * 64, 0.25f);
      std::vector<uint8_t> rgba(4 * 64 * 64, 9);
      const std::string got[2] = {le::test::errorOf([&] { StreamBorrow::writeWindowDelta(planes.data(), stride, r, s); }),
                                  le::test::errorOf([&] { StreamBorrow::writeWindowDeltaRgba(rgba.data(), stride, r, s); })};
      for (const std::string& g : got) EXPECT_EQ(g, passthrough ? "(no error)" : want);
      EXPECT_EQ(planes, std::vector<float>(3 * 64 * 64, 0.25f)) << want;
      EXPECT_EQ(rgba, std::vector<uint8_t>(4 * 64 * 64, 9)) << want;
    }
  }
}

}  // namespace
