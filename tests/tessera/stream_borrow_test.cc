// The stream borrow on small hand-built banks: construction refusals in
// order, the two delivery-mask log lines, the plane to byte conversion across
// pool chunks, the one-frame delay, and the window write-back into float
// planes and RGBA bytes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <algorithm>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "le/le.h"
#include "le/tessera/tessera_stream.h"
#include "testkit/log_lines.h"
#include "testkit/testkit.h"

namespace {

using le::tessera::BankData;
using le::tessera::FrameResult;
using le::tessera::GeometryStamp;
using le::tessera::HeadWeights;
using le::tessera::ServeConfig;
using le::tessera::StreamBorrow;
using le::tessera::UnifiedPi;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// Window 24 x 16 at (20, 30) on a canvas of `canvas`; band rows 2..14,
// columns 4..20; stored patches 20 x 16 (margin 2); pad 4.
GeometryStamp stampFor(int canvas) {
  GeometryStamp s;
  s.canvas_w = s.canvas_h = canvas;
  s.window_x0 = 20, s.window_y0 = 30, s.window_w = 24, s.window_h = 16, s.pad = 4;
  s.band_r0 = 2, s.band_r1 = 14, s.band_c0 = 4, s.band_c1 = 20, s.shift_margin = 2;
  return s;
}

const char kPi[] =
    "{\"unified\":{\"pi\":{\"mode\":\"prop\",\"prop_gate_scale\":1,\"lip_idx\":[6,12,14,17,19,20],"
    "\"lip_geom_params\":[0.10,0.08,0.074]}}}";

std::string templateJson(int canvas, const char* feather = "2.5") {
  return std::string("{\"format\":\"lip-template-v1\",\"canvas\":") + std::to_string(canvas) +
         ",\"feather_px\":" + feather + ",\"u_canon\":[[-1,-1],[1,-1],[1,1],[-1,1]],\"lip_idx\":[6,12,14,17,19,20]}";
}

// Lips about canvas pixel (32, 38) of a 64 canvas (the same normalised place
// on any canvas); `open` parts them. A NaN `open` gives a frame with no mouth.
std::vector<float> mouthKp(float open = 0.06f) {
  std::vector<float> kp(63, 0.f);
  const float cx = 32.f * 2.f / 63.f - 1.f, cy = 38.f * 2.f / 63.f - 1.f;
  const int rows[6] = {6, 12, 14, 17, 19, 20};
  const float du[6] = {-0.2f, 0.f, 0.2f, -0.2f, 0.f, 0.2f};
  const float dv[6] = {-1.f, -1.2f, -1.f, 1.f, 1.2f, 1.f};
  for (int i = 0; i < 6; ++i) {
    kp[3 * rows[i]] = cx + du[i];
    kp[3 * rows[i] + 1] = cy + dv[i] * open;
  }
  return kp;
}

// Logit = -20 x mean |candidate - frame|.
HeadWeights matchingHead() {
  HeadWeights h;
  h.cand0W.assign(16 * 7 * 9, 0.0f), h.cand0B.assign(16, 0.0f);
  h.cand2W.assign(16 * 16 * 9, 0.0f), h.cand2B.assign(16, 0.0f);
  h.cand4W.assign(16 * 9, 0.0f), h.cand4B.assign(1, 0.0f);
  h.cand0W[(0 * 7 + 6) * 9 + 4] = 1.0f;
  h.cand2W[4] = 1.0f;
  h.cand4W[4] = -20.0f;
  return h;
}

ServeConfig smallConfig() {
  ServeConfig c;
  c.kshort = 6, c.aperture_tol = 0.3, c.cut = 5, c.K = 4, c.hysteresis = 2, c.lookahead = 2;
  return c;
}

// A bank whose canonical centroid is the pi centroid of the open mouth, so
// mouthKp frames get shift (0, 0).
struct Rig {
  int canvas;
  UnifiedPi pi;
  BankData bank;
  HeadWeights head = matchingHead();
  ServeConfig cfg = smallConfig();

  explicit Rig(int c = 64, int donors = 8) : canvas(c), pi(UnifiedPi::fromManifestJson(kPi, c)) {
    bank.stamp = stampFor(c);
    bank.n_donors = donors;
    const std::vector<float> kp = mouthKp();
    pi.canonicalCentroid(kp.data(), 1, &bank.c_canon[0], &bank.c_canon[1]);
    std::mt19937 rng(7);
    bank.track.resize(size_t(donors) * 20 * 16 * 3);
    for (uint8_t& v : bank.track) v = uint8_t(rng());
    for (int d = 0; d < donors; ++d) {
      bank.cent.push_back(bank.c_canon[0] + double(rng() % 3) - 1.0);
      bank.cent.push_back(bank.c_canon[1] + double(rng() % 3) - 1.0);
      bank.aperture.push_back(1.0 + 0.05 * d);
    }
  }
  StreamBorrow make(const std::string& lip = "") const { return StreamBorrow(bank, head, cfg, pi, lip); }
  size_t pixels() const { return size_t(canvas) * size_t(canvas); }
};

// Planes whose every value is an exact byte over 255: R = p mod 256, G and B
// other patterns, so an interleaving fault shows.
std::vector<float> bytePlanes(size_t n, int seed = 0) {
  std::vector<float> planes(3 * n);
  for (size_t p = 0; p < n; ++p) {
    planes[p] = float((p + size_t(seed)) % 256) / 255.f;
    planes[n + p] = float((p * 7 + 3) % 256) / 255.f;
    planes[2 * n + p] = float(255 - p % 256) / 255.f;
  }
  return planes;
}

TEST(StreamBorrowConstruction, RefusalsInOrder) {
  struct Row {
    const char* what;
    std::function<void(Rig&, std::string&)> change;
    std::string want;  // the whole message, or its start when it ends in "..."
  };
  const std::string nonSquare = "teeth stream: non-square compose canvas 512x384 — le_core renders a square crop";
  const std::vector<Row> rows = {
      {"canvas 512 x 384", [](Rig& r, std::string&) { r.bank.stamp.canvas_w = 512, r.bank.stamp.canvas_h = 384; },
       nonSquare},
      {"non-square before the pi canvas",
       [](Rig& r, std::string&) {
         r.bank.stamp.canvas_w = 512, r.bank.stamp.canvas_h = 384;
         r.pi.canvas = 100;
       },
       nonSquare},
      {"pi canvas 48",
       [](Rig& r, std::string&) { r.pi.canvas = 48; },
       "teeth stream: manifest pi canvas 48 != bank compose canvas 64 — refusing to compose a mouth on a canvas "
       "the stamp does not name"},
      {"pass refusal first",
       [](Rig& r, std::string&) {
         r.bank.n_donors = 0;
         r.bank.stamp.canvas_h = 384;
       },
       "teeth: bank has n_donors=0 — the pass needs at least one donor"},
      {"incoherent stamp", [](Rig& r, std::string&) { r.bank.stamp.window_w = 0; },
       "teeth: GeometryStamp incoherent: window dims must be positive;..."},
      {"template on another canvas", [](Rig&, std::string& lip) { lip = templateJson(160); },
       "lip_template.v1.json: ..."},
      {"pi canvas checked before the template",
       [](Rig& r, std::string& lip) {
         r.pi.canvas = 48;
         lip = "not json";
       },
       "teeth stream: manifest pi canvas 48 != ..."},
  };
  for (const Row& row : rows) {
    Rig rig;
    std::string lip = templateJson(64);
    row.change(rig, lip);
    le::test::LogLines log;
    const std::string got = le::test::errorOf([&] { StreamBorrow b(rig.bank, rig.head, rig.cfg, rig.pi, lip); });
    if (row.want.size() > 3 && row.want.compare(row.want.size() - 3, 3, "...") == 0)
      EXPECT_EQ(got.substr(0, row.want.size() - 3), row.want.substr(0, row.want.size() - 3)) << row.what;
    else
      EXPECT_EQ(got, row.want) << row.what;
    EXPECT_TRUE(log.lines().empty()) << row.what << ": a refused borrow names no delivery mask";
  }
}

TEST(StreamBorrowConstruction, NamesItsDeliveryMaskOnce) {
  struct Row {
    std::string lip;
    int level;
    std::string line;
  };
  const std::vector<Row> rows = {
      {templateJson(64), LE_LOG_INFO,
       "[borrow] delivery mask: LIP CONTOUR (4 verts, feather 2.5 px) — the ellipse is not reachable in this "
       "session"},
      {templateJson(64, "7"), LE_LOG_INFO,
       "[borrow] delivery mask: LIP CONTOUR (4 verts, feather 7.0 px) — the ellipse is not reachable in this "
       "session"},
      {"", LE_LOG_WARNING,
       "[borrow] !!! delivery mask: ELLIPSE — this bundle carries no lip_template.v1.json, so it serves the "
       "over-covering elliptical mask the contour replaces. BACKFILL IT: models/cadenza-2/tools/bake_lip_templates"},
  };
  const Rig rig;
  for (const Row& row : rows) {
    le::test::LogLines log;
    const StreamBorrow b = rig.make(row.lip);
    EXPECT_EQ(b.hasContour(), !row.lip.empty());
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u) << row.line;
    EXPECT_EQ(lines[0].first, row.level);
    EXPECT_EQ(lines[0].second, row.line);
  }
}

// Table values placed around the pool's 4096-pixel chunk edges, the rest
// exact bytes: every byte of the RGB buffer is known.
TEST(StreamBorrowPush, PlanesBecomeRoundedBytesOnEveryCanvas) {
  struct Value {
    float v;
    uint8_t want;
  };
  const std::vector<Value> table = {
      {1.5f, 255},  {0.5f, 128},       {kNaN, 0},          {-0.2f, 0},          {0.f, 0},
      {-0.f, 0},    {1.f, 255},        {kInf, 255},        {-kInf, 0},          {0.30196f, 77},
      {1.5f / 255, 2},  // 1.5 rounds to even 2
      {2.5f / 255, 2},  // 2.5 rounds to even 2
      {0.9999f, 255}, {1e-9f, 0},
  };
  for (int canvas : {64, 96, 128}) {
    const Rig rig(canvas);
    StreamBorrow b = rig.make();
    const size_t n = rig.pixels();
    std::vector<float> planes = bytePlanes(n, canvas);
    std::vector<uint8_t> want(3 * n);
    for (size_t p = 0; p < n; ++p)
      for (size_t c = 0; c < 3; ++c) want[3 * p + c] = uint8_t(std::lrint(planes[c * n + p] * 255.f));
    // Positions at chunk edges (4095, 4096, ...) and the last pixel.
    std::vector<size_t> at = {0, 1, 4095, 4096, 4097, 8191, 8192, 12287, n - 1};
    size_t k = 0;
    for (size_t p : at) {
      if (p >= n) continue;
      for (size_t c = 0; c < 3; ++c, ++k) {
        const Value& t = table[k % table.size()];
        planes[c * n + p] = t.v;
        want[3 * p + c] = t.want;
      }
    }
    FrameResult r;
    const std::vector<float> kp = mouthKp();
    EXPECT_FALSE(b.push(planes.data(), kp.data(), &r));
    ASSERT_EQ(0, std::memcmp(b.rgbBuffer(), want.data(), want.size())) << "canvas " << canvas;
    for (size_t i = 0; i < want.size(); ++i)
      if (b.rgbBuffer()[i] != want[i]) {
        ADD_FAILURE() << "canvas " << canvas << " byte " << i << " got " << int(b.rgbBuffer()[i]);
        break;
      }
  }
}

TEST(StreamBorrowPush, RgbaAndPlanesFeedThePassTheSameFrames) {
  const Rig rig;
  StreamBorrow planes = rig.make(), rgba = rig.make();
  const size_t n = rig.pixels();
  for (int f = 0; f < 4; ++f) {
    const std::vector<float> p = bytePlanes(n, 31 * f);
    std::vector<uint8_t> px(4 * n);
    for (size_t i = 0; i < n; ++i)
      for (size_t c = 0; c < 4; ++c) px[4 * i + c] = c < 3 ? uint8_t(std::lrint(p[c * n + i] * 255.f)) : uint8_t(i);
    const std::vector<float> kp = mouthKp(0.03f + 0.01f * float(f));
    FrameResult a, b;
    ASSERT_EQ(planes.push(p.data(), kp.data(), &a), f > 0);
    ASSERT_EQ(rgba.pushRgba(px.data(), kp.data(), &b), f > 0);
    ASSERT_EQ(0, std::memcmp(planes.rgbBuffer(), rgba.rgbBuffer(), 3 * n)) << "frame " << f;
    ASSERT_EQ(0, std::memcmp(planes.maskBuffer(), rgba.maskBuffer(), n)) << "frame " << f;
    EXPECT_EQ(a.window, b.window) << "frame " << f;
  }
}

// Frame 0 has a mouth, frame 1 none: the second push returns frame 0 (with a
// window), the flush frame 1 (passed through), a second flush nothing.
TEST(StreamBorrowPush, EveryFrameLeavesOncePushLater) {
  for (const bool contour : {false, true}) {
    const Rig rig;
    StreamBorrow b = rig.make(contour ? templateJson(64) : "");
    const std::vector<float> planes = bytePlanes(rig.pixels());
    const std::vector<float> open = mouthKp(), none = mouthKp(kNaN);
    FrameResult r;
    EXPECT_FALSE(b.push(planes.data(), open.data(), &r));
    int dy = 9, dx = 9;
    EXPECT_TRUE(b.lastShift(&dy, &dx));
    EXPECT_EQ(dy, 0);
    EXPECT_EQ(dx, 0);
    ASSERT_TRUE(b.push(planes.data(), none.data(), &r));
    EXPECT_FALSE(b.lastShift(nullptr, nullptr)) << "a frame without lips has no shift";
    EXPECT_FALSE(r.passthrough) << "frame 0 had a mouth";
    EXPECT_EQ(r.window.size(), size_t(24 * 16 * 3));
    FrameResult last;
    ASSERT_TRUE(b.flush(&last));
    EXPECT_TRUE(last.passthrough);
    EXPECT_EQ(last.reason, "empty-pi");
    FrameResult again;
    EXPECT_FALSE(b.flush(&again));
    EXPECT_EQ(b.frames(), 2);
    double split = 5.0;
    EXPECT_EQ(b.hostSplit(&split), 0);
    EXPECT_EQ(split, 0.0);
    EXPECT_STREQ(b.backend(), "cpu");
  }
}

FrameResult windowOf(const GeometryStamp& s, uint8_t fill) {
  FrameResult r;
  r.window.assign(size_t(s.window_w) * size_t(s.window_h) * 3, fill);
  return r;
}

// Back-to-back planes of stride x canvas_h floats: each table row at its
// own window pixel and channel; everything else unchanged to the bit.
TEST(StreamBorrowWriteBack, FloatPlanesTakeOnlyTheByteChange) {
  struct Row {
    float v;
    uint8_t w;
    float want;
  };
  const std::vector<Row> rows = {
      {0.30196f, 80, 0.30196f + 3.f / 255.f},  // seen as 77
      {0.5f, 128, 0.5f},                       // same byte: untouched
      {0.5f, 127, 0.5f - 1.f / 255.f},
      {kNaN, 80, 80.f / 255.f},
      {kInf, 10, 10.f / 255.f},
      {-kInf, 200, 200.f / 255.f},
      {-0.5f, 0, 0.f},
      {-0.5f, 3, 0.f},  // q(-0.5) = 0: -0.5 + 3/255 still clamps at 0
      {1.2f, 255, 1.f},
      {0.999f, 0, 0.f},  // 0.999 - 1 clamps at 0
      {0.001f, 255, 1.f},
  };
  const GeometryStamp s = stampFor(64);
  for (const int stride : {64, 71}) {
    const size_t plane = size_t(stride) * 64;
    std::vector<float> planes(3 * plane);
    for (size_t i = 0; i < planes.size(); ++i) planes[i] = float(i % 97) / 97.f;
    FrameResult r = windowOf(s, 0);
    // The unchanged bytes: window byte = the byte the pass saw.
    for (size_t c = 0; c < 3; ++c)
      for (int y = 0; y < s.window_h; ++y)
        for (int x = 0; x < s.window_w; ++x) {
          const float v = planes[c * plane + size_t(s.window_y0 + y) * size_t(stride) + size_t(s.window_x0 + x)];
          r.window[(size_t(y) * size_t(s.window_w) + size_t(x)) * 3 + c] = uint8_t(std::lrint(v * 255.f));
        }
    std::vector<size_t> where;
    for (size_t k = 0; k < rows.size(); ++k) {
      const size_t c = k % 3, y = (k * 5) % size_t(s.window_h), x = (k * 7) % size_t(s.window_w);
      const size_t at = c * plane + (size_t(s.window_y0) + y) * size_t(stride) + size_t(s.window_x0) + x;
      planes[at] = rows[k].v;
      r.window[(y * size_t(s.window_w) + x) * 3 + c] = rows[k].w;
      where.push_back(at);
    }
    std::vector<float> want = planes;
    for (size_t k = 0; k < rows.size(); ++k) want[where[k]] = rows[k].want;
    StreamBorrow::writeWindowDelta(planes.data(), stride, r, s);
    for (size_t k = 0; k < rows.size(); ++k)
      EXPECT_NEAR(planes[where[k]], rows[k].want, 1e-6) << "row " << k << " stride " << stride;
    for (size_t i = 0; i < planes.size(); ++i) {
      if (std::find(where.begin(), where.end(), i) != where.end()) continue;
      if (std::memcmp(&planes[i], &want[i], sizeof(float)) != 0) {
        ADD_FAILURE() << "float " << i << " changed, stride " << stride;
        break;
      }
    }
  }
}

TEST(StreamBorrowWriteBack, WrongWindowThrowsAndChangesNothing) {
  const GeometryStamp s = stampFor(64);
  const size_t good = 24 * 16 * 3;
  for (const size_t size : {size_t(0), good - 1, good + 1, good + 3, size_t(16 * 24)}) {
    FrameResult r;
    r.window.assign(size, 255);
    std::vector<float> planes(3 * 64 * 64, 0.25f);
    std::vector<uint8_t> rgba(4 * 64 * 64, 9);
    const std::string want = "teeth stream: window " + std::to_string(size) +
                             " bytes does not match the stamp window 16x24 — refusing to write back";
    EXPECT_EQ(le::test::errorOf([&] { StreamBorrow::writeWindowDelta(planes.data(), 64, r, s); }), want);
    EXPECT_EQ(le::test::errorOf([&] { StreamBorrow::writeWindowDeltaRgba(rgba.data(), 64, r, s); }), want);
    EXPECT_EQ(planes, std::vector<float>(3 * 64 * 64, 0.25f)) << size;
    EXPECT_EQ(rgba, std::vector<uint8_t>(4 * 64 * 64, 9)) << size;
    // A pass-through result writes nothing, whatever it carries.
    r.passthrough = true;
    StreamBorrow::writeWindowDelta(planes.data(), 64, r, s);
    StreamBorrow::writeWindowDeltaRgba(rgba.data(), 64, r, s);
    EXPECT_EQ(planes, std::vector<float>(3 * 64 * 64, 0.25f)) << size;
    EXPECT_EQ(rgba, std::vector<uint8_t>(4 * 64 * 64, 9)) << size;
  }
  // A row narrower than the window's right edge (44) is refused too.
  FrameResult r = windowOf(s, 1);
  std::vector<float> planes(3 * 43 * 64, 0.25f);
  EXPECT_EQ(le::test::errorOf([&] { StreamBorrow::writeWindowDelta(planes.data(), 43, r, s); }),
            "teeth stream: stride 43 is narrower than the window's right edge 44 — refusing to write back");
  EXPECT_EQ(planes, std::vector<float>(3 * 43 * 64, 0.25f));
}

TEST(StreamBorrowWriteBack, RgbaKeepsAlphaAndTheRestOfTheCrop) {
  const GeometryStamp s = stampFor(64);
  for (const int stride : {64, 80}) {
    std::vector<uint8_t> rgba(size_t(stride) * 64 * 4);
    for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = uint8_t(i * 13 + 5);
    FrameResult r = windowOf(s, 0);
    for (size_t i = 0; i < r.window.size(); ++i) r.window[i] = uint8_t(i * 3 + 1);
    std::vector<uint8_t> want = rgba;
    for (int y = 0; y < s.window_h; ++y)
      for (int x = 0; x < s.window_w; ++x)
        for (int c = 0; c < 3; ++c)
          want[(size_t(s.window_y0 + y) * size_t(stride) + size_t(s.window_x0 + x)) * 4 + size_t(c)] =
              r.window[(size_t(y) * 24 + size_t(x)) * 3 + size_t(c)];
    StreamBorrow::writeWindowDeltaRgba(rgba.data(), stride, r, s);
    EXPECT_EQ(rgba, want) << "stride " << stride;
  }
}

}  // namespace
