// le_fca_deltas on the fixture frontend and delta model against a numpy
// reference of the whole computation, and its argument and size rules.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "le/le.h"
#include "le/le_fca.h"
#include "testkit/testkit.h"

namespace {

using le::test::readF32;

struct Models {
  le::test::TempDir tmp;
  std::string frontend = tmp / "frontend.onnx", delta = tmp / "fca_stream.onnx";
  Models() {
    if (le::test::runFixture({"fca", "models", "--out", tmp.path()}) != 0) std::abort();
  }
};

const Models& models() {
  static const auto* m = new Models();
  return *m;
}

struct Handle {
  le_fca* h = le_fca_create(models().frontend.c_str(), models().delta.c_str(), 1);
  ~Handle() { le_fca_destroy(h); }
};

TEST(FcaDeltas, MatchesTheNumpyReferenceAcrossWindows) {
  le::test::TempDir d;
  // 5.1 windows of audio: noise with a loud middle and a quiet tail, so the
  // gate both admits and refuses frames; the last frame is partial.
  const int n = 64000 * 5 + 12345;
  std::vector<float> a(static_cast<size_t>(n));
  std::mt19937 rng(9);
  std::normal_distribution<float> g(0.0f, 1.0f);
  for (int i = 0; i < n; ++i)
    a[size_t(i)] = g(rng) * (i > 100000 && i < 200000 ? 0.5f : i > 300000 ? 0.01f : 0.1f);
  le::test::writeF32(d / "a.f32", a);
  ASSERT_EQ(le::test::runFixture({"fca", "ref", "--audio", d / "a.f32", "--out", d / "ref.f32"}), 0);
  const std::vector<float> ref = readF32(d / "ref.f32");
  const int F = (n + 639) / 640;
  ASSERT_EQ(ref.size(), size_t(F) * 63);

  Handle h;
  ASSERT_NE(h.h, nullptr) << le_fca_last_error();
  std::vector<float> out(size_t(F) * 63, -9.0f);
  ASSERT_EQ(le_fca_deltas(h.h, a.data(), n, out.data(), F), F) << le_fca_last_error();
  for (size_t i = 0; i < out.size(); ++i) ASSERT_NEAR(out[i], ref[i], 2e-4) << i / 63;
  // Each call starts from zero state.
  std::vector<float> again(out.size());
  ASSERT_EQ(le_fca_deltas(h.h, a.data(), n, again.data(), F), F);
  EXPECT_EQ(again, out);
}

TEST(FcaDeltas, SizesAndArguments) {
  Handle h;
  ASSERT_NE(h.h, nullptr);
  const float one = 0.5f;
  float row[63] = {};
  EXPECT_EQ(le_fca_deltas(h.h, &one, 1, row, 1), 1);  // a single sample is one frame
  EXPECT_STREQ(le_fca_last_error(), "");
  EXPECT_EQ(le_fca_deltas(h.h, &one, 0, row, 1), 0);
  std::vector<float> a(641, 0.1f);
  std::vector<float> out(63 * 2, 7.0f);
  EXPECT_EQ(le_fca_deltas(h.h, a.data(), 641, out.data(), 1), -1);  // F = 2 > max
  EXPECT_STREQ(le_fca_last_error(), "");
  for (float v : out) ASSERT_EQ(v, 7.0f);
  EXPECT_EQ(le_fca_deltas(nullptr, a.data(), 641, out.data(), 2), -1);
  EXPECT_STREQ(le_fca_last_error(), "le_fca_deltas: bad args");
  EXPECT_EQ(le_fca_deltas(h.h, a.data(), 641, nullptr, 2), -1);
  EXPECT_STREQ(le_fca_last_error(), "le_fca_deltas: bad args");
  // The frame count of the largest count is computed without overflow.
  EXPECT_EQ(le_fca_deltas(h.h, a.data(), 0x7fffffff, out.data(), 2), -1);
  EXPECT_STREQ(le_fca_last_error(), "");
}

// Samples that are not finite are refused naming the first; thread counts
// beyond the pool are refused at create.
TEST(FcaDeltas, CarelessCallersAreRefused) {
  Handle h;
  ASSERT_NE(h.h, nullptr);
  const struct {
    int at;
    float value;
    std::string text;
  } cases[] = {
      {0, NAN, "le_fca_deltas: sample 0 is nan, not a finite value"},
      {1000, INFINITY, "le_fca_deltas: sample 1000 is inf, not a finite value"},
      {1279, -INFINITY, "le_fca_deltas: sample 1279 is -inf, not a finite value"},
  };
  std::vector<float> out(63 * 2, 7.0f);
  for (const auto& c : cases) {
    std::vector<float> a(1280, 0.1f);
    a[size_t(c.at)] = c.value;
    EXPECT_EQ(le_fca_deltas(h.h, a.data(), 1280, out.data(), 2), -1);
    EXPECT_EQ(std::string(le_fca_last_error()), c.text);
    for (float v : out) ASSERT_EQ(v, 7.0f);  // nothing written
  }
  for (const int threads : {LE_MAX_THREADS + 1, 100000}) {
    EXPECT_EQ(le_fca_create(models().frontend.c_str(), models().delta.c_str(), threads), nullptr);
    EXPECT_EQ(std::string(le_fca_last_error()),
              "le_fca_create: threads " + std::to_string(threads) + " above the limit of 256");
  }
}

TEST(FcaCreate, RefusesMissingModels) {
  EXPECT_EQ(le_fca_create("/nonexistent/frontend.onnx", models().delta.c_str(), 1), nullptr);
  EXPECT_EQ(std::string(le_fca_last_error()).rfind("le_fca_create: ", 0), 0u);
  EXPECT_EQ(le_fca_create(nullptr, models().delta.c_str(), 1), nullptr);
  EXPECT_STREQ(le_fca_last_error(), "le_fca_create: bad args");
  // The delta model in the frontend's place: its output holds 63 values, not
  // 12 x 200 x 768, and the run is refused rather than read past.
  le_fca* swapped = le_fca_create(models().delta.c_str(), models().delta.c_str(), 1);
  ASSERT_NE(swapped, nullptr);
  std::vector<float> a(6400, 0.1f), out(630);
  EXPECT_EQ(le_fca_deltas(swapped, a.data(), 6400, out.data(), 10), -1);
  EXPECT_EQ(std::string(le_fca_last_error()).rfind("le_fca_deltas: ", 0), 0u);
  le_fca_destroy(swapped);
}

}  // namespace
