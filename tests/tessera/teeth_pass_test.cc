// The teeth pass on small hand-built banks: every refusal of its
// construction, the shift rules, the teeth weights, the coordinates at the
// canvas edge, the selection, the delay's refusals, the held set and the
// NaN-last orderings.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <functional>
#include <tuple>
#include <random>
#include <string>
#include <vector>

#include "le/runtime/le_simd.h"
#include "le/tessera/le_tessera.h"
#include "le/tessera/teeth_math.h"
#include "testkit/testkit.h"

namespace {

using le::tessera::BankData;
using le::tessera::FrameResult;
using le::tessera::HeadWeights;
using le::tessera::ServeConfig;
using le::tessera::TeethPass;

// Canvas 64; window 24 x 16 at (20, 30); band rows 2..14, columns 4..20;
// stored patches 20 x 16 (margin 2); pad 4; c_canon at the band's centre:
// canvas (32, 38).
BankData smallBank(int n, uint32_t seed = 1) {
  BankData b;
  b.stamp = {64, 64, 20, 30, 24, 16, 4, 2, 14, 4, 20, 2};
  b.n_donors = n;
  b.c_canon = {32.0, 38.0};
  std::mt19937 rng(seed);
  b.track.resize(static_cast<size_t>(n) * 20 * 16 * 3);
  for (uint8_t& v : b.track) v = static_cast<uint8_t>(rng());
  for (int d = 0; d < n; ++d) {
    b.cent.push_back(32.0 + static_cast<double>(rng() % 5) - 2.0);
    b.cent.push_back(38.0 + static_cast<double>(rng() % 5) - 2.0);
    b.aperture.push_back(1.0 + d);
  }
  return b;
}

// Logit = -gain x mean |candidate - frame| (the centre taps pass channel 6).
HeadWeights matchingHead(bool syn = false) {
  HeadWeights h;
  h.cand0W.assign(16 * 7 * 9, 0.0f), h.cand0B.assign(16, 0.0f);
  h.cand2W.assign(16 * 16 * 9, 0.0f), h.cand2B.assign(16, 0.0f);
  h.cand4W.assign(16 * 9, 0.0f), h.cand4B.assign(1, 0.0f);
  h.cand0W[(0 * 7 + 6) * 9 + 4] = 1.0f;
  h.cand2W[4] = 1.0f;
  h.cand4W[4] = -20.0f;
  if (syn) {
    h.syn0W.assign(16 * 3 * 9, 0.5f), h.syn0B.assign(16, 0.5f);
    h.syn2W.assign(16 * 9, 0.5f), h.syn2B.assign(1, 0.5f);
  }
  return h;
}

ServeConfig smallConfig() {
  ServeConfig c;
  c.kshort = 6, c.aperture_tol = 0.3, c.cut = 5, c.K = 4, c.hysteresis = 2, c.lookahead = 2;
  return c;
}

// A grey canvas with a mouth mask (255) of 13 x 11 pixels centred on
// c_canon + (dx, dy) and teeth-coloured pixels in its top `teethRows` rows.
struct Frame {
  std::vector<uint8_t> rgb = std::vector<uint8_t>(64 * 64 * 3, 90), mask = std::vector<uint8_t>(64 * 64, 0);
  Frame(int dy, int dx, int teethRows) {
    for (int y = 33; y < 44; ++y)
      for (int x = 26; x < 39; ++x) {
        const size_t i = static_cast<size_t>((y + dy) * 64 + x + dx);
        mask[i] = 255;
        const bool tooth = y < 33 + teethRows;
        rgb[3 * i] = tooth ? 220 : 40, rgb[3 * i + 1] = tooth ? 218 : 10, rgb[3 * i + 2] = tooth ? 210 : 20;
      }
  }
};

// The three construction inputs, edited by the refusal rows.
struct Inputs {
  BankData b = smallBank(3);
  HeadWeights h = matchingHead();
  ServeConfig c = smallConfig();
  std::string error() const { return le::test::errorOf([&] { TeethPass pass(b, h, c); }); }
};

TEST(TeethPassConstruction, RefusalsName) {
  const std::string nonFinite = "teeth: bank sidecar arrays carry a non-finite value";
  const std::string params = "teeth: head has 3488 params, not the 4,082 of BlendHead(16) nor the 3,489 of BlendHead8(16)";
  // The stamp's own rules are GeometryStamp's: one row shows the pass applies them.
  // {what, change, the whole message or its start when it ends in "..."}
  const std::vector<std::tuple<const char*, std::function<void(Inputs&)>, std::string>> rows = {
      {"window of 0 columns", [](Inputs& in) { in.b.stamp.window_w = 0; },
       "teeth: GeometryStamp incoherent: window dims must be positive;..."},
      {"track one byte short", [](Inputs& in) { in.b.track.pop_back(); },
       "teeth: reference track is 2879 bytes, the stamp requires 2880 (n * stored_h * stored_w * 3) — a decoder "
       "that delivered a different pixel format would land here"},
      {"2^31 - 1 donors", [](Inputs& in) { in.b.n_donors = INT_MAX; },
       "teeth: reference track is 2880 bytes, the stamp requires 2061584301120 (n * stored_h * stored_w * 3)..."},
      {"no donors", [](Inputs& in) { in.b.n_donors = 0; }, "teeth: bank has n_donors=0 — the pass needs at least one donor"},
      {"aperture short", [](Inputs& in) { in.b.aperture.pop_back(); }, "teeth: bank sidecar arrays disagree with n_donors"},
      {"cent short", [](Inputs& in) { in.b.cent.pop_back(); }, "teeth: bank sidecar arrays disagree with n_donors"},
      {"NaN aperture", [](Inputs& in) { in.b.aperture[1] = NAN; }, nonFinite},
      {"infinite centroid", [](Inputs& in) { in.b.cent[4] = -INFINITY; }, nonFinite},
      {"NaN c_canon", [](Inputs& in) { in.b.c_canon[1] = NAN; }, nonFinite},
      {"centroid beyond a canvas side", [](Inputs& in) { in.b.cent[2] = 32.0 + 64.5; },
       "teeth: donor 1 centroid lies more than one canvas side from c_canon — its shift cannot be placed"},
      {"kshort 0", [](Inputs& in) { in.c.kshort = 0; }, "teeth: member kshort out of range"},
      {"kshort 4097", [](Inputs& in) { in.c.kshort = 4097; }, "teeth: member kshort out of range"},
      {"NaN aperture_tol", [](Inputs& in) { in.c.aperture_tol = NAN; }, "teeth: member aperture_tol out of range"},
      {"negative aperture_tol", [](Inputs& in) { in.c.aperture_tol = -0.1; }, "teeth: member aperture_tol out of range"},
      {"cut 0", [](Inputs& in) { in.c.cut = 0; }, "teeth: member cut out of range"},
      {"K 0", [](Inputs& in) { in.c.K = 0; }, "teeth: member K out of range"},
      {"K 1025", [](Inputs& in) { in.c.K = 1025; }, "teeth: member K out of range"},
      {"hysteresis above K", [](Inputs& in) { in.c.hysteresis = 5; }, "teeth: member hysteresis out of range"},
      {"negative lookahead", [](Inputs& in) { in.c.lookahead = -1; }, "teeth: member lookahead out of range"},
      {"NaN mask decay", [](Inputs& in) { in.c.maskDecay = NAN; }, "teeth: member maskDecay out of range"},
      {"a weight short", [](Inputs& in) { in.h.cand0W.pop_back(); }, params},
      {"a NaN bias", [](Inputs& in) { in.h.cand2B[3] = NAN; }, "teeth: head 'cand.2.bias' carries a non-finite weight"},
      {"an infinite syn weight", [](Inputs& in) { in.h = matchingHead(true), in.h.syn2W[0] = INFINITY; },
       "teeth: head 'syn.2.weight' carries a non-finite weight"},
      {"half of the syn tensors", [](Inputs& in) { in.h.syn0W.assign(432, 0.0f); },
       "teeth: head has 3921 params, not the 4,082 of BlendHead(16) nor the 3,489 of BlendHead8(16)"},
      {"BlendHead8", [](Inputs&) {}, "(no error)"},
      {"BlendHead", [](Inputs& in) { in.h = matchingHead(true); }, "(no error)"},
  };
  for (const auto& [what, change, want] : rows) {
    Inputs in;
    change(in);
    const std::string got = in.error();
    if (want.size() > 3 && want.compare(want.size() - 3, 3, "...") == 0)
      EXPECT_EQ(got.substr(0, want.size() - 3), want.substr(0, want.size() - 3)) << what;
    else
      EXPECT_EQ(got, want) << what;
  }
}

TEST(TeethPassShift, GivenAndDerived) {
  const TeethPass pass(smallBank(3), matchingHead(), smallConfig());
  const std::vector<uint8_t> none(64 * 64, 127);  // 127 is below the 128 cut
  // Two mask pixels in column 32, rows r and r + 1 (c_canon is (32, 38)).
  const auto two = [](int r, uint8_t lower) {
    std::vector<uint8_t> m(64 * 64, 0);
    m[r * 64 + 32] = 128, m[(r + 1) * 64 + 32] = lower;
    return m;
  };
  // {the given shift (empty: derive from the mask), the mask, found, dy, dx, reason}
  const std::vector<std::tuple<std::vector<int>, std::vector<uint8_t>, bool, int, int, const char*>> rows = {
      // Pad 4: each of the four bounds just inside and just past.
      {{4, -4}, none, true, 4, -4, ""}, {{-4, 4}, none, true, -4, 4, ""},
      {{5, 0}, none, false, 0, 0, "shift-out-of-range"}, {{-5, 0}, none, false, 0, 0, "shift-out-of-range"},
      {{0, 5}, none, false, 0, 0, "shift-out-of-range"}, {{0, -5}, none, false, 0, 0, "shift-out-of-range"},
      {{INT_MIN, 0}, none, false, 0, 0, "shift-out-of-range"}, {{0, INT_MIN}, none, false, 0, 0, "shift-out-of-range"},
      {{INT_MAX, INT_MAX}, none, false, 0, 0, "shift-out-of-range"},
      {{}, none, false, 0, 0, "empty-pi"},  // derived shifts within the pad meet the reference run
      {{}, Frame(5, 0, 0).mask, false, 0, 0, "shift-out-of-range"},
      // Half a pixel off rounds to even: rows 38 and 39 average 38.5 (dy 0), rows 39 and 40 39.5 (dy 2).
      {{}, two(38, 128), true, 0, 0, ""}, {{}, two(39, 255), true, 2, 0, ""},
  };
  for (const auto& [given, mask, found, wantDy, wantDx, why] : rows) {
    int dy = 99, dx = 99;
    std::string reason = "stale";
    EXPECT_EQ(pass.deriveShift(mask.data(), given.empty() ? nullptr : given.data(), &dy, &dx, &reason), found) << why;
    EXPECT_EQ(reason, why);
    EXPECT_TRUE(!found || (dy == wantDy && dx == wantDx)) << dy << "," << dx;
  }
}

TEST(TeethPassWeights, TeethPixelsOrTheWholeMouth) {
  // The mouth holds 143 pixels: 31 teeth pixels are too few and the whole
  // mouth weighs, 32 weigh alone; weights summing below 1 normalise by 1.
  for (const auto& [teeth, mouth, normaliser] :
       std::vector<std::tuple<int, bool, double>>{{31, true, 143.0}, {32, true, 32.0}, {0, false, 1.0}}) {
    Frame f(0, 0, 0);
    if (!mouth) f.mask.assign(f.mask.size(), 0);
    for (int i = 0; i < teeth; ++i) {
      uint8_t* px = &f.rgb[((33 + i / 13) * 64 + 26 + i % 13) * 3];
      px[0] = 220, px[1] = 218, px[2] = 210;
    }
    TeethPass pass(smallBank(3), matchingHead(), smallConfig());
    pass.retrievePrepare(f.rgb.data(), f.mask.data(), 0, 0);
    EXPECT_EQ(pass.prepared().normaliser, normaliser) << teeth;
    EXPECT_EQ(pass.prepared().active.size(), mouth ? static_cast<size_t>(normaliser) : 0u) << teeth;
  }
}

TEST(TeethPassWeights, TeethPixelTestBoundaries) {
  struct Probe {
    uint8_t mask, r, g, b;
    float weight;
  };
  const std::vector<Probe> probes = {
      {128, 200, 200, 200, 1}, {127, 200, 200, 200, 0},  // mask byte / 255 > 0.5
      {255, 100, 100, 100, 1}, {255, 99, 99, 99, 0},      // luma 100 (exact in double)
      {255, 120, 144, 120, 1}, {255, 120, 145, 120, 0},   // |G - R| < 25
      {255, 144, 120, 120, 1}, {255, 145, 120, 120, 0},
  };
  std::vector<uint8_t> rgb(64 * 64 * 3, 30), mask(64 * 64, 0);
  auto put = [&](int y, int x, uint8_t m, uint8_t r, uint8_t g, uint8_t b) {
    mask[y * 64 + x] = m;
    rgb[(y * 64 + x) * 3] = r, rgb[(y * 64 + x) * 3 + 1] = g, rgb[(y * 64 + x) * 3 + 2] = b;
  };
  for (int x = 20; x < 40; ++x) put(31, x, 255, 220, 218, 210), put(32, x, 255, 220, 218, 210);  // 40 teeth
  for (size_t i = 0; i < probes.size(); ++i)
    put(40, 22 + 2 * static_cast<int>(i), probes[i].mask, probes[i].r, probes[i].g, probes[i].b);
  TeethPass pass(smallBank(3), matchingHead(), smallConfig());
  pass.retrievePrepare(rgb.data(), mask.data(), 0, 0);
  for (size_t i = 0; i < probes.size(); ++i)
    EXPECT_EQ(pass.prepared().weight[10 * 24 + 2 + 2 * i], probes[i].weight) << "probe " << i;
}

TEST(TeethPassRetrieval, SelectionKeepsTheBestAndFillsToK) {
  BankData b = smallBank(6);
  b.aperture = {10.0, 12.5, 13.1, 7.0, 10.0, 30.0};
  const TeethPass pass(b, matchingHead(), smallConfig());  // K 4, cut 5, tolerance 0.3
  const std::vector<std::pair<std::vector<int>, std::vector<int>>> rows = {  // {ordered, selected}
      {{0, 1, 2, 3, 4, 5}, {0, 1, 3, 4}},  // 13.1 lies beyond 10 +- 3; 7 exactly on it
      {{2, 1, 0, 4, 3}, {2, 1, 0, 4}},     // tolerance 3.93 about 13.1; K reached
      {{3, 5, 1, 2}, {3, 3, 3, 3}},        // nobody else within 2.1 of 7: K copies
      {{5, 0, 1}, {5, 5, 5, 5}},           // nor within 9 of 30
      {{1, 2, 0, 3, 5, 4}, {1, 2, 0, 0}},  // 4 lies past the cut of 5: the last kept repeats
  };
  for (const auto& [ordered, want] : rows) EXPECT_EQ(pass.retrieveSelect(ordered), want);
}

// The delay itself meets the numpy reference in teeth_pass_itest (whose given
// shifts are the ones the masks give); here a given shift the mask does not
// give, and the refusals of a push and a flush.
TEST(TeethPassSteadying, GivenShiftsAreNotRederivedAndBuffersAreNeeded) {
  TeethPass pass(smallBank(5), matchingHead(), smallConfig());
  FrameResult out;
  const Frame f(0, 0, 4);
  EXPECT_EQ(le::test::errorOf([&] { pass.push(4, nullptr, f.mask.data(), nullptr, &out); }),
            "teeth: push needs a canvas, a mask and a result");
  const int tooFar[2] = {0, 5};
  EXPECT_FALSE(pass.push(2, f.rgb.data(), f.mask.data(), tooFar, &out));
  EXPECT_EQ(le::test::errorOf([&] { pass.flush(nullptr); }), "teeth: flush needs a result");
  ASSERT_TRUE(pass.flush(&out));
  EXPECT_TRUE(out.passthrough && out.reason == "shift-out-of-range") << out.reason;
}

TEST(TeethPassSteadying, HeldSetLeadsOnlyTheNextFrameIndex) {
  ServeConfig c = smallConfig();  // K 4, hysteresis 2
  c.lookahead = 0;
  // Two frames a, b; returns (held set after a, b's selection, b's blended set).
  auto run = [&](int a, int b) {
    TeethPass pass(smallBank(9, 5), matchingHead(), c);
    FrameResult out;
    pass.push(a, Frame(0, 0, 4).rgb.data(), Frame(0, 0, 4).mask.data(), nullptr, &out);
    const Frame fb(1, -1, 3);
    pass.push(b, fb.rgb.data(), fb.mask.data(), nullptr, &out);
    const std::vector<int> held = pass.heldSet(), own = pass.lastRetrieval().selection;
    EXPECT_TRUE(pass.flush(&out));
    return std::make_tuple(held, own, pass.lastSet());
  };
  int differing = 0;
  // Consecutive indices, at both ends of the int range: held, then own.
  for (const auto& [a, b] : std::vector<std::pair<int, int>>{{5, 6}, {INT_MIN, INT_MIN + 1}, {INT_MAX - 1, INT_MAX}}) {
    const auto [held, own, set] = run(a, b);
    ASSERT_EQ(held.size(), 2u);
    std::vector<int> want = held;
    for (const int d : own)
      if (std::find(held.begin(), held.end(), d) == held.end()) want.push_back(d);
    want.resize(std::min<size_t>(want.size(), 4));
    EXPECT_EQ(set, want) << a;
    differing += std::vector<int>(own.begin(), own.begin() + 2) != held;
  }
  EXPECT_GT(differing, 0) << "the held set never differed from the own selection: nothing was tested";
  // A gap or a wrap (INT_MAX, INT_MIN) is no next frame: the own selection.
  for (const auto& [a, b] : std::vector<std::pair<int, int>>{{5, 7}, {INT_MAX, INT_MIN}, {6, 5}}) {
    const auto [held, own, set] = run(a, b);
    EXPECT_EQ(set, own) << a;
  }
}

TEST(TeethPassEmission, ShiftLeavingTheCanvasKeepsTheRenderedPixels) {
  // The window touches the canvas's bottom edge; a shift of +4 rows moves its
  // last four rows off the canvas.
  BankData b = smallBank(4);
  b.stamp.window_y0 = 48;
  b.c_canon = {32.0, 56.0};
  for (size_t d = 0; d < 4; ++d) b.cent[2 * d + 1] += 18.0;
  TeethPass pass(b, matchingHead(), smallConfig());
  std::vector<uint8_t> rgb(64 * 64 * 3), mask(64 * 64, 255);
  std::mt19937 rng(8);
  for (uint8_t& v : rgb) v = static_cast<uint8_t>(rng());
  const int shift[2] = {4, 0};
  FrameResult out;
  pass.push(0, rgb.data(), mask.data(), shift, &out);
  const auto& p = pass.prepared();
  for (int y = 12; y < 16; ++y)
    for (int x = 0; x < 24; ++x) {
      EXPECT_EQ(p.weight[y * 24 + x], 0.0f);
      EXPECT_EQ(p.rgb[(y * 24 + x) * 3], 0);
    }
  ASSERT_TRUE(pass.flush(&out));
  ASSERT_FALSE(out.passthrough);
  for (int y = 12; y < 16; ++y)
    for (int x = 0; x < 24; ++x)
      for (int c = 0; c < 3; ++c)
        EXPECT_EQ(out.window[(y * 24 + x) * 3 + c], rgb[((48 + y) * 64 + 20 + x) * 3 + c]) << y << "," << x;
}

TEST(TeethPassIndex, OddWindowsFloorTheirPools) {
  BankData b = smallBank(3);
  b.stamp.window_w = 23, b.stamp.window_h = 13;
  b.stamp.band_r1 = 11, b.stamp.band_c1 = 19;  // patch 19 x 13
  b.track.resize(3 * 19 * 13 * 3);
  TeethPass pass(b, matchingHead(), smallConfig());
  EXPECT_EQ(std::make_pair(pass.pooledH(), pass.pooledW()), std::make_pair(3, 5));
  // The index (built from row blocks) is the 4 x 4 mean of the whole
  // canonical windows.
  std::vector<uint16_t> planes(3 * 13 * 23);
  for (int d = 0; d < 3; ++d) {
    pass.canonicalWindowF16(d, planes.data());
    std::vector<float> f(planes.size());
    le::simd::f16ToF32(planes.data(), f.data(), f.size());
    std::vector<uint16_t> want(3 * 15);
    for (int c = 0; c < 3; ++c)
      for (int py = 0; py < 3; ++py)
        for (int px = 0; px < 5; ++px) {
          double s = 0;  // exact: halves of k / 255 add exactly
          for (int r = 0; r < 4; ++r)
            for (int q = 0; q < 4; ++q) s += f[c * 299 + (4 * py + r) * 23 + 4 * px + q];
          const float mean = static_cast<float>(s / 16);
          le::simd::f32ToF16(&mean, &want[c * 15 + py * 5 + px], 1);
        }
    EXPECT_EQ(std::vector<uint16_t>(pass.pooledIndex().begin() + d * 45, pass.pooledIndex().begin() + d * 45 + 45), want);
  }
  const Frame f(0, 0, 4);
  FrameResult out;
  pass.push(0, f.rgb.data(), f.mask.data(), nullptr, &out);
  ASSERT_TRUE(pass.flush(&out));
  EXPECT_EQ(out.window.size(), 23u * 13 * 3);
}

// NaN last, ties in index order. (Byte conversion is checked where the stream
// borrow converts its planes.)
TEST(TeethMath, StableOrderingsPutNaNLast) {
  using le::tessera::teeth::stableOrder;
  EXPECT_EQ(stableOrder(std::vector<float>{3, NAN, 1, 1, NAN, 2}), (std::vector<int>{2, 3, 5, 0, 1, 4}));
  EXPECT_EQ(stableOrder(std::vector<double>{-1, -INFINITY, NAN, -1}), (std::vector<int>{1, 0, 3, 2}));
}

}  // namespace
