// le_fca_deltas on the fixture frontend and delta model against a numpy
// reference of the whole computation, and its argument and size rules.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
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
  Models() { if (le::test::runFixture({"fca", "models", "--out", tmp.path()}) != 0) std::abort(); }
};

const Models& models() { static const auto* m = new Models(); return *m; }

struct Handle { le_fca* h = le_fca_create(models().frontend.c_str(), models().delta.c_str(), 1); ~Handle() { le_fca_destroy(h); } };

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

// {handle, samples, count, out, max, result, message}: a refused call writes
// nothing; the last sample is checked too (the text is the a2x rows').
TEST(FcaDeltas, SizesArgumentsAndCarelessCallers) {
  Handle h;
  ASSERT_NE(h.h, nullptr);
  std::vector<float> a(1280, 0.1f), ninf1279 = a;
  ninf1279[1279] = -INFINITY;
  const std::string bad = "le_fca_deltas: bad args";
  const struct {
    le_fca* h;
    const float* s;
    int n;
    bool out;
    int max, result;
    std::string message;
  } calls[] = {
      {h.h, a.data(), 1, true, 1, 1, ""},  // a single sample is one frame
      {h.h, a.data(), 0, true, 1, 0, ""},
      {h.h, a.data(), 641, true, 1, -1, ""},  // 2 frames > max
      {nullptr, a.data(), 641, true, 2, -1, bad},
      {h.h, a.data(), 641, false, 2, -1, bad},
      {h.h, a.data(), 0x7fffffff, true, 2, -1, ""},  // its frame count computed without overflow
      {h.h, ninf1279.data(), 1280, true, 2, -1, "le_fca_deltas: sample 1279 is -inf, not a finite value"}};
  for (const auto& c : calls) {
    std::vector<float> out(63 * 2, 7.0f);
    EXPECT_EQ(le_fca_deltas(c.h, c.s, c.n, c.out ? out.data() : nullptr, c.max), c.result) << c.n << " " << c.message;
    EXPECT_EQ(std::string(le_fca_last_error()), c.message);
    if (c.result < 0) {
      EXPECT_EQ(out, std::vector<float>(out.size(), 7.0f)) << c.message;
    }
  }
}

TEST(FcaCreate, RefusalsAndAFrontendOfTheWrongShape) {
  const std::string fe = models().frontend, delta = models().delta;
  // {frontend, threads, message}; the missing file's reason is onnxruntime's.
  const std::tuple<const char*, int, std::string> refused[] = {
      {fe.c_str(), LE_MAX_THREADS + 1, "le_fca_create: threads 257 above the limit of 256"},
      {nullptr, 1, "le_fca_create: bad args"},
      {"/nonexistent/frontend.onnx", 1, "le_fca_create: "}};
  for (const auto& [frontend, threads, want] : refused) {
    EXPECT_EQ(le_fca_create(frontend, delta.c_str(), threads), nullptr) << want;
    const std::string got = le_fca_last_error();
    EXPECT_EQ(want.back() == ' ' ? got.substr(0, want.size()) : got, want);
  }
  // The delta model in the frontend's place: its output holds 63 values, not
  // 12 x 200 x 768, and the run is refused rather than read past.
  le_fca* swapped = le_fca_create(delta.c_str(), delta.c_str(), 1);
  ASSERT_NE(swapped, nullptr);
  std::vector<float> a(6400, 0.1f), out(630);
  EXPECT_EQ(le_fca_deltas(swapped, a.data(), 6400, out.data(), 10), -1);
  EXPECT_EQ(std::string(le_fca_last_error()).rfind("le_fca_deltas: ", 0), 0u);
  le_fca_destroy(swapped);
}

}  // namespace
