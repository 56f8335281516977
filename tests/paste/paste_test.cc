// Compositor construction and environment switches, the placements with a
// known answer, the no-paste cases, refused calls and thread-count
// independence.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "le/paste/le_paste.h"
#include "le/runtime/le_pool.h"
#include "testkit/testkit.h"

namespace {

using le::Paste;
using le::Unsharp;
using le::test::ScopedEnv;

template <class T>
std::vector<T> random(size_t n, unsigned seed, float lo = 0.0f, float hi = 1.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(lo, hi);
  std::vector<T> v(n);
  for (T& x : v) x = std::is_same_v<T, float> ? T(u(rng)) : T(rng());
  return v;
}
std::vector<uint8_t> mask(int S, uint8_t v) { return std::vector<uint8_t>(size_t(S) * S, v); }

class PasteTest : public ::testing::Test {
 protected:
  ScopedEnv fast_{"LE_PASTE_FAST", std::nullopt}, ksize_{"LE_PASTE_KSIZE", std::nullopt};
};

TEST_F(PasteTest, ConstructionRefusesInconsistentParameters) {
  const struct {
    int maskSide, side;
    Unsharp u;
    std::string want;
  } cases[] = {
      {8, 9, {}, "paste: mask size"}, {8, 8, {1.3f, 2.0f, 12}, "paste: ksize must be odd"},
      {8, 8, {1.3f, 2.0f, 0}, "paste: ksize must be odd"},
      {8, 8, {1.3f, 2.0f, 15}, "(no error)"},  // the mirror reaches (ksize - 1) / 2 samples
      {8, 8, {1.3f, 2.0f, 17}, "paste: ksize 17 out of range 1 ... 15 (2 x side - 1) for side 8"},
      {8, 8, {1.3f, 2.0f, -3}, "paste: ksize -3 out of range 1 ... 15 (2 x side - 1) for side 8"},
      {1, 1, {1.3f, 2.0f, 1}, "(no error)"}, {0, 0, {1.3f, 2.0f, 1}, "paste: side 0 must be at least 1"},
      {8, 8, {1.3f, 0.0f, 5}, "paste: sigma 0 must be finite and > 0"},
      {8, 8, {1.3f, -1.0f, 5}, "paste: sigma -1 must be finite and > 0"},
      {8, 8, {1.3f, NAN, 5}, "paste: sigma nan must be finite and > 0"},
      {8, 8, {1.3f, INFINITY, 5}, "paste: sigma inf must be finite and > 0"},
      {8, 8, {NAN, 2.0f, 5}, "paste: amount nan must be finite"},
      {8, 8, {-INFINITY, 2.0f, 5}, "paste: amount -inf must be finite"}};
  for (const auto& c : cases)
    EXPECT_EQ(le::test::errorOf([&] { Paste p(mask(c.maskSide, 1), c.side, c.u); }), c.want) << c.u.ksize;
  // {LE_PASTE_FAST, LE_PASTE_KSIZE, mode, ksize}: out of range or not a whole
  // odd number in [3, manifest ksize] is ignored.
  const struct {
    const char *fast, *ksize;
    int mode, k;
  } env[] = {{"1", nullptr, 1, 13}, {"2", "5", 2, 5},   {"3", nullptr, 0, 13}, {"-1", "4", 0, 13}, {"abc", "15", 0, 13},
             {"0", "1", 0, 13},     {"", "3", 0, 3},    {"1x", "13", 0, 13},   {nullptr, "11 ", 0, 13}};
  for (const auto& e : env) {
    const ScopedEnv f("LE_PASTE_FAST", e.fast ? std::optional<std::string>(e.fast) : std::nullopt);
    const ScopedEnv k("LE_PASTE_KSIZE", e.ksize ? std::optional<std::string>(e.ksize) : std::nullopt);
    Paste p(mask(32, 255), 32, {1.3f, 2.0f, 13});
    EXPECT_EQ(std::make_tuple(p.mode(), p.ksize(), p.padded(), p.gauss().size()),
              std::make_tuple(e.mode, e.k, 31 + e.k, size_t(e.k)))
        << (e.fast ? e.fast : "(unset)") << " / " << (e.ksize ? e.ksize : "(unset)");
  }
}

// Identity placement at an integer offset: phase 0 selects one tap and alpha
// is 1, so the frame receives the sharpened crop truncated, and nothing else.
// (The sharpening itself is held to a double-precision reference in the
// per-target tests.)
TEST_F(PasteTest, IdentityPlacementCopiesTheSharpenedCrop) {
  const int S = 512, W = 720, H = 620;
  Paste p(mask(S, 255), S, {1.3f, 2.0f, 13});
  const auto crop = random<float>(3 * S * S, 11, -0.05f, 1.2f);  // over 1: clamped before resampling
  const auto before = random<uint8_t>(size_t(W) * H * 3, 12);
  std::vector<uint8_t> frame = before;
  const float M[6] = {1, 0, 100, 0, 1, 50};
  p.composite(crop.data(), 255.0f, M, frame.data(), W, H);
  int mismatches = 0;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      for (int c = 0; c < 3; ++c) {
        const size_t i = (size_t(y) * W + x) * 3 + size_t(c);
        const bool inside = x >= 100 && x <= 611 && y >= 50 && y <= 561;
        mismatches += frame[i] != (inside ? uint8_t(p.plane(c)[size_t((y - 50) * S + (x - 100))]) : before[i]);
      }
  EXPECT_EQ(mismatches, 0);
}

TEST_F(PasteTest, NothingIsPastedWithoutAlphaOrPlacementOrOutsideTheFootprint) {
  const int S = 24, W = 64, H = 48;
  auto crop = random<float>(3 * S * S, 5);
  const auto before = random<uint8_t>(size_t(W) * H * 3, 6);
  const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
  const struct {
    const char* what;
    uint8_t mask;
    float M[6];
  } tries[] = {{"all-zero mask", 0, {1.1f, 0.1f, 10, -0.1f, 1.1f, 5}}, {"singular", 255, {1, 2, 10, 2, 4, 5}},
               {"all zero", 255, {0, 0, 0, 0, 0, 0}},                   {"nan", 255, {1, 0, nan, 0, 1, 5}},
               {"inf", 255, {inf, 0, 10, 0, 1, 5}},
               {"huge inverse", 255, {1e-7f, 0, 10, 0, 1e-7f, 5}},  // leaves the int32 1/1024 range
               {"off frame", 255, {1, 0, 1e30f, 0, 1, 5}},          {"left of frame", 255, {1, 0, -40, 0, 1, 5}}};
  for (const auto& t : tries) {
    Paste p(mask(S, t.mask), S, {1.3f, 2.0f, 5});
    std::vector<uint8_t> frame = before;
    p.composite(crop.data(), 255.0f, t.M, frame.data(), W, H);
    EXPECT_EQ(frame, before) << t.what;
  }
  // Non-finite crop values stay inside the footprint of the crop.
  crop[100] = nan;
  crop[300] = inf;
  Paste p(mask(S, 255), S, {1.3f, 2.0f, 5});
  std::vector<uint8_t> frame = before;
  const float M[6] = {1, 0, 10, 0, 1, 10};
  p.composite(crop.data(), 255.0f, M, frame.data(), W, H);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      for (size_t c = 0, i = (size_t(y) * W + x) * 3; c < 3 && (x < 6 || x > 37 || y < 6 || y > 37); ++c)
        ASSERT_EQ(frame[i + c], before[i + c]) << x << "," << y;
  EXPECT_NE(frame, before);
}

TEST_F(PasteTest, BadCallsAreRefusedAndLeaveTheFrame) {
  Paste big(mask(1025, 255), 1025, {1.3f, 2.0f, 3});
  const std::vector<float> bigCrop(3 * 1025 * 1025, 0.5f);
  std::vector<uint8_t> frame(32 * 32 * 3, 1);
  const float M[6] = {1, 0, 4, 0, 1, 4};
  using le::test::errorOf;
  EXPECT_EQ(errorOf([&] { big.composite(bigCrop.data(), 255.0f, M, frame.data(), 32, 32); }), "paste: side > 1024");
  EXPECT_EQ(frame, std::vector<uint8_t>(frame.size(), 1));
  Paste edge(mask(1024, 255), 1024, {1.3f, 2.0f, 3});  // the largest side still pastes
  std::vector<uint8_t> scratch(frame);
  EXPECT_EQ(errorOf([&] { edge.composite(bigCrop.data(), 255.0f, M, scratch.data(), 32, 32); }), "(no error)");
  Paste p(mask(8, 255), 8, {1.3f, 2.0f, 3});
  std::vector<float> crop(3 * 64, 0.5f);
  EXPECT_EQ(errorOf([&] { p.composite(nullptr, 255.0f, M, frame.data(), 32, 32); }),
            "paste: null crop, matrix or frame");
  EXPECT_EQ(errorOf([&] { p.composite(crop.data(), 255.0f, M, frame.data(), 0, 32); }), "paste: bad frame size 0x32");
  const auto tail = [&](int x0, int x1, int y1, int W = 32) {
    return errorOf([&] { p.compositeTail(frame.data(), W, x0, x1, 0, y1, 0, 1, 0, 0); });
  };
  const std::string outside = " outside the frame or the column tables";
  EXPECT_EQ(tail(0, 31, 31), "paste: compositeTail columns 0 ... 31, rows 0 ... 31" + outside);  // no column tables
  p.composite(crop.data(), 255.0f, M, frame.data(), 32, 32);
  EXPECT_EQ(tail(5, 4, 3), "paste: compositeTail columns 5 ... 4, rows 0 ... 3" + outside);
  EXPECT_EQ(tail(-1, 4, 3), "paste: compositeTail columns -1 ... 4, rows 0 ... 3" + outside);
  EXPECT_EQ(tail(0, 8, 3, 8), "paste: compositeTail columns 0 ... 8, rows 0 ... 3" + outside);  // tables reach 11
  EXPECT_NO_THROW(p.compositeTail(frame.data(), 32, 0, 15, 0, 3, 0, 1, -4, -4));
}

TEST_F(PasteTest, OneAndTwoThreadsGiveIdenticalFrames) {
  if (le::pool::threads() < 2) GTEST_SKIP() << "one thread: nothing splits";
  const int S = 160, W = 420, H = 380;
  const auto crop = random<float>(3 * S * S, 21, -0.1f, 1.2f);
  auto m = random<uint8_t>(size_t(S) * S, 4);
  for (size_t i = 0; i < m.size(); i += 3) m[i] = 0;
  const float M[6] = {1.7f, -0.6f, 150.3f, 0.6f, 1.7f, 20.8f};
  for (const char* mode : {"0", "1", "2"}) {
    const ScopedEnv fast("LE_PASTE_FAST", mode);
    Paste one(m, S, {1.3f, 2.0f, 13}), two(m, S, {1.3f, 2.0f, 13});
    const auto before = random<uint8_t>(size_t(W) * H * 3, 1);
    std::vector<uint8_t> a = before, b = before;
    // A parallel call made inside chunk 0 of another one runs inline.
    le::pool::Pool outer(2);
    auto job = [&](size_t begin, size_t) { if (begin == 0) one.composite(crop.data(), 255.0f, M, a.data(), W, H); };
    outer.run(2, 2, le::pool::RangeRef(job));
    two.composite(crop.data(), 255.0f, M, b.data(), W, H);
    EXPECT_EQ(a, b) << "mode " << mode;
    EXPECT_NE(a, before) << "mode " << mode;
  }
}

TEST_F(PasteTest, ExecutorLineIsPrintedOnceOnTheFirstComposite) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string line = "[le-paste] executor=cpu (side=8, ksize=3, threads=" + std::to_string(le::pool::threads()) +
                           ") \xE2\x80\x94 1080p frame\n";
  // In a fresh process: the line is printed once per process.
  const auto child = [&] {
    testing::internal::CaptureStderr();
    Paste p(mask(8, 255), 8, {1.3f, 2.0f, 3});
    const std::vector<float> crop(3 * 64, 0.5f);
    std::vector<uint8_t> frame(32 * 32 * 3, 0);
    const float singular[6] = {1, 1, 0, 1, 1, 0}, M[6] = {1, 0, 4, 0, 1, 4};
    p.composite(crop.data(), 255.0f, singular, frame.data(), 32, 32);  // no line yet
    p.composite(crop.data(), 255.0f, M, frame.data(), 32, 32);
    p.composite(crop.data(), 255.0f, M, frame.data(), 32, 32);
    const std::string err = testing::internal::GetCapturedStderr();
    std::exit(le::test::countOf(err, line) == 1 && le::test::countOf(err, "[le-paste]") == 1 ? 0 : 1);
  };
  EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
