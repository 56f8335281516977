// Int8Conv without onnxruntime: a sweep of shapes (group, stride, padding,
// dilation, tile tails) x inputs (random, on the quantisation grid with
// zero points 0 / 64 / 255, all zero) x every compiled vector target against
// the double-precision reference; the activation range pass; the refusal
// matrix of attributes, shapes, repacked weights and non-finite inputs.

#include <functional>
#include <limits>

#include "render/int8_reference.h"
#include "testkit/simd_each.h"
#include "testkit/testkit.h"

namespace le::test {
namespace {

std::vector<float> runConv(Int8Conv& conv, const Int8Case& k, const Int8Data& d) {
  const auto out = conv.outputShape(k.xShape(), k.wShape(), d.scale.size(), d.bias.size());
  std::vector<float> y(size_t(out[0] * out[1] * out[2] * out[3]), -999.0f);
  conv.run(d.x.data(), k.xShape(), d.w.data(), k.wShape(), d.scale.data(), d.scale.size(), d.bias.data(), d.bias.size(),
           y.data());
  return y;
}

std::vector<Int8Case> shapes() {
  std::vector<Int8Case> out;
  for (bool dw : {false, true})
    for (int64_t s : {1, 2})
      for (int64_t p : {0, 1})
        for (int64_t d : {1, 2}) out.push_back({2, dw ? 5 : 13, 7, 9, dw ? 5 : 22, 3, 3, dw ? 5 : 1, {s, s}, {p, p, p, p}, {d, d}});
  out.push_back({1, 6, 9, 6, 10, 3, 3, 2, {2, 1}, {1, 0, 2, 1}, {1, 2}});  // group 2, uneven pads
  out.push_back({1, 8, 5, 7, 40, 1, 1, 1});                                 // 3 blocks of 16, 1x1
  out.push_back({1, 4, 3, 3, 3, 5, 5, 1, {1, 1}, {1, 1, 1, 1}});            // one output pixel
  out.push_back({1, 32, 6, 21, 48, 3, 3, 1, {1, 1}, {1, 1, 1, 1}});         // full tiles and a tail
  return out;
}

TEST(Int8Conv, EveryShapeInputAndTargetEqualsTheDequantisedFloatConvolution) {
  const std::vector<Int8Case> all = shapes();
  forEachTarget([&](const char* target) {
    uint32_t seed = 1;
    for (const Int8Case& k : all) {
      Int8Conv conv(k.attrs(), "test");  // one node: later runs reuse the packed weights
      const Int8Data base = int8Data(k, -1.5f, 2.5f, seed++);
      for (int input = 0; input < 6; ++input) {
        const std::string what = std::string(target) + " shape " + std::to_string(seed - 1) + " input " + std::to_string(input);
        Int8Data d = base;
        std::vector<double> x;
        if (input == 1) {
          d.x = int8Data(k, -0.2f, 7.0f, seed + 100).x;  // all positive: zero point 0
        } else if (input >= 2 && input <= 4) {
          // On the grid: range [-zp/16, (255-zp)/16], sx = 1/16 exactly, so the
          // result is the convolution of the input itself.
          const int zp = (input - 2) * 64 + (input == 4) * 127;
          std::mt19937 rng{uint32_t(zp)};
          for (size_t i = 0; i < d.x.size(); ++i) d.x[i] = float((i == 0 ? 0 : i == 1 ? 255 : int(rng() % 256)) - zp) / 16.0f;
          x.assign(d.x.begin(), d.x.end());
        } else if (input == 5) {
          std::fill(d.x.begin(), d.x.end(), 0.0f);  // the bias exactly
        }
        if (x.empty()) x = dequantised(d.x);
        expectInt8Near(runConv(conv, k, d), int8Reference(k, x, d), what);
      }
    }
  });
}

TEST(MinmaxPar, SerialMinimumAndMaximumAndNaNForAnyNonFiniteValue) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-5, 5);
  const float inf = std::numeric_limits<float>::infinity();
  forEachTarget([&](const char*) {
    // Below one part, exactly two parts of 4096, and many parts with a tail.
    for (size_t n : {size_t{1}, size_t{17}, size_t{4095}, size_t{8192}, size_t{3 * 4096 + 5}, size_t{100003}}) {
      std::vector<float> x(n);
      for (float& v : x) v = u(rng);
      x[n / 2] = 9, x[n - 1] = -9.5f;
      float lo, hi;
      minmax_par(x.data(), n, &lo, &hi);
      const auto [mn, mx] = std::minmax_element(x.begin(), x.end());
      EXPECT_EQ(std::make_pair(lo, hi), std::make_pair(*mn, *mx)) << n;
      for (float bad : {std::numeric_limits<float>::quiet_NaN(), inf, -inf})
        for (size_t at : {size_t{0}, n / 2, n - 1}) {
          std::vector<float> y = x;
          y[at] = bad;
          minmax_par(y.data(), n, &lo, &hi);
          EXPECT_TRUE(std::isnan(lo) && std::isnan(hi)) << bad << " at " << at << " of " << n;
        }
    }
    float lo, hi;
    minmax_par(nullptr, 0, &lo, &hi);
    EXPECT_EQ(std::make_pair(lo, hi), std::make_pair(inf, -inf));
  });
}

TEST(Int8Conv, RefusalMatrix) {
  const auto says = [](const std::function<void()>& f, const char* what) {
    const std::string e = errorOf(f);
    EXPECT_NE(e.find(what), std::string::npos) << what << ": " << e;
  };
  const std::pair<Int8ConvAttrs, const char*> attrs[] = {
      {{{1, 0}}, "\"strides\""}, {{{1, 1}, {0, 0, 0, 0}, {0, 1}}, "\"dilations\""}, {{{1, 1}, {0, 0, -1, 0}}, "\"pads\""},
      {{{1, 1}, {1, 1}}, "4 values"}, {{{1, 1}, {0, 0, 0, 0}, {1, 1}, 0}, "\"group\" 0"},
      {{{int64_t{1} << 40, 1}}, "REFUSING"}, {{}, "(no error)"}};
  for (const auto& [a, what] : attrs) says([&] { Int8Conv c(a, "node"); }, what);

  const Int8Conv conv({{1, 1}, {1, 1, 1, 1}, {1, 1}, 2}, "node \"c1\" (inputs x, w, s, b)");
  const std::vector<int64_t> x{1, 8, 5, 5}, w{6, 4, 3, 3};
  EXPECT_EQ(conv.outputShape(x, w, 6, 6), (std::array<int64_t, 4>{1, 6, 5, 5}));
  const std::tuple<std::vector<int64_t>, std::vector<int64_t>, size_t, size_t, const char*> inputs[] = {  // {x, w, scales, biases}
      {x, w, 6, 5, "node \"c1\" (inputs x, w, s, b): input 3 (bias) has 5 values"}, {x, w, 7, 6, "input 2 (weight scales)"},
      {x, {6, 3, 3, 3}, 6, 6, "input channels per group"}, {{1, 7, 5, 5}, w, 6, 6, "does not divide the 7 channels"},
      {x, {5, 4, 3, 3}, 5, 5, "does not divide the 5 output channels"}, {{8, 5, 5}, w, 6, 6, "input 0"},
      {x, {6, 4, 3}, 6, 6, "input 1"}, {{1, 8, 0, 5}, w, 6, 6, "empty dimension"},
      {x, {6, 4, 8, 3}, 6, 6, "output height would be empty"}, {x, {6, 4, 3, 8}, 6, 6, "output width would be empty"},
      {x, {6, 4, 200, 200}, 6, 6, "32-bit accumulator"}, {{int64_t{1} << 62, 8, 5, 5}, w, 6, 6, "overflows"}};
  for (const auto& [xs, ws, scales, biases, what] : inputs) says([&] { conv.outputShape(xs, ws, scales, biases); }, what);

  // Runs: weights changed after packing, of another shape, non-finite or
  // unscalable activations.
  const Int8Case k{1, 4, 5, 5, 3, 3, 3, 1};
  Int8Conv packed(k.attrs(), "node");
  Int8Data d = int8Data(k, -1, 1, 11), flipped = d;
  runConv(packed, k, d);
  flipped.w[5] ^= 1;
  says([&] { runConv(packed, k, flipped); }, "changed since the first run");
  Int8Case six = k;
  six.m = 6;
  says([&] { runConv(packed, six, int8Data(six, -1, 1, 12)); }, "when its packed copy was made");
  for (float a : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), -3e38f}) {
    Int8Data bad = d;
    bad.x[7] = a;
    if (a == -3e38f) bad.x[1] = 3e38f;  // finite, but a range wider than a float
    Int8Conv fresh(k.attrs(), "node");
    says([&] { runConv(fresh, k, bad); }, a == -3e38f ? "wider than a float" : "NaN or infinite");
  }
}

}  // namespace
}  // namespace le::test
