#include "le/render/le_int8_conv.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>

#include "le/render/int8_kernels.h"
#include "le/runtime/le_pool.h"

namespace le {

namespace {

// Values of a part of the minimum and maximum pass.
constexpr size_t kMinMaxGrain = 4096;

// |sum of q x w| <= 255 x 128 x K must stay below 2^31 for the 32-bit
// accumulators, the correction and their difference.
constexpr int64_t kMaxDepth = 65536;

std::string dimsText(const std::vector<int64_t>& d) {
  std::string s = "[";
  for (size_t i = 0; i < d.size(); ++i) s += (i ? ", " : "") + std::to_string(d[i]);
  return s + "]";
}

int64_t checkedMul(int64_t a, int64_t b, const std::string& what) {
  int64_t r;
  if (__builtin_mul_overflow(a, b, &r)) throw std::runtime_error(what + " overflows 64 bits");
  return r;
}

int64_t checkedAdd(int64_t a, int64_t b, const std::string& what) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) throw std::runtime_error(what + " overflows 64 bits");
  return r;
}

int64_t roundUp(int64_t v, int64_t to) { return (v + to - 1) / to * to; }

}  // namespace

void minmax_par(const float* x, size_t n, float* lo, float* hi) {
  if (pool::parts(n, kMinMaxGrain) < 2) {
    int8::minMax(x, n, lo, hi);
    return;
  }
  // One partial result per part, reduced under the lock as each part ends.
  std::mutex m;
  float mn = std::numeric_limits<float>::infinity();
  float mx = -mn;
  bool bad = false;
  pool::parallelRange(n, kMinMaxGrain, [&](size_t b, size_t e) {
    float l, h;
    int8::minMax(x + b, e - b, &l, &h);
    const std::lock_guard<std::mutex> lock(m);
    if (std::isnan(l)) bad = true;
    mn = std::min(mn, l);
    mx = std::max(mx, h);
  });
  if (bad) mn = mx = std::numeric_limits<float>::quiet_NaN();
  *lo = mn;
  *hi = mx;
}

struct Int8Conv::Packed {
  std::vector<int64_t> shape;        // the weight shape packed
  std::vector<int8_t> original;      // to tell a later run's weights apart
  std::vector<int8_t> w8;
  std::vector<int16_t> w16;
  std::vector<int64_t> weightSum;    // [M]: every tap and input channel
};

Int8Conv::Int8Conv(const Int8ConvAttrs& a, std::string label) : label_(std::move(label)) {
  auto refuse = [&](const std::string& why) {
    throw std::runtime_error(label_ + ": " + why + ". REFUSING.");
  };
  if (a.strides.size() != 2) refuse("\"strides\" must hold 2 values, got " + dimsText(a.strides));
  if (a.dilations.size() != 2) refuse("\"dilations\" must hold 2 values, got " + dimsText(a.dilations));
  if (a.pads.size() != 4) refuse("\"pads\" must hold 4 values (top, left, bottom, right), got " + dimsText(a.pads));
  // Bounded far above any real value so that size arithmetic stays in 64 bits.
  constexpr int64_t kMaxAttr = std::numeric_limits<int32_t>::max();
  for (int64_t v : a.strides)
    if (v < 1 || v > kMaxAttr) refuse("\"strides\" " + dimsText(a.strides) + " must be >= 1");
  for (int64_t v : a.dilations)
    if (v < 1 || v > kMaxAttr) refuse("\"dilations\" " + dimsText(a.dilations) + " must be >= 1");
  for (int64_t v : a.pads)
    if (v < 0 || v > kMaxAttr) refuse("\"pads\" " + dimsText(a.pads) + " must be >= 0");
  if (a.group < 1 || a.group > kMaxAttr) refuse("\"group\" " + std::to_string(a.group) + " must be >= 1");
  strideH_ = a.strides[0];
  strideW_ = a.strides[1];
  dilH_ = a.dilations[0];
  dilW_ = a.dilations[1];
  padT_ = a.pads[0];
  padL_ = a.pads[1];
  padB_ = a.pads[2];
  padR_ = a.pads[3];
  group_ = a.group;
}

Int8Conv::~Int8Conv() = default;

std::array<int64_t, 4> Int8Conv::outputShape(const std::vector<int64_t>& x, const std::vector<int64_t>& w,
                                             size_t scaleCount, size_t biasCount) const {
  auto refuse = [&](const std::string& why) {
    throw std::runtime_error(label_ + ": " + why + ". REFUSING.");
  };
  if (x.size() != 4) refuse("input 0 (activations) must be [N, C, H, W], got " + dimsText(x));
  if (w.size() != 4) refuse("input 1 (int8 weights) must be [M, C/group, kh, kw], got " + dimsText(w));
  for (int64_t d : x)
    if (d < 1) refuse("input 0 (activations) " + dimsText(x) + " has an empty dimension");
  for (int64_t d : w)
    if (d < 1) refuse("input 1 (int8 weights) " + dimsText(w) + " has an empty dimension");
  const int64_t C = x[1], M = w[0];
  const std::string g = std::to_string(group_);
  if (C % group_ != 0)
    refuse("group " + g + " does not divide the " + std::to_string(C) + " channels of input 0 " + dimsText(x));
  if (M % group_ != 0)
    refuse("group " + g + " does not divide the " + std::to_string(M) +
           " output channels of input 1 (int8 weights) " + dimsText(w));
  if (w[1] != C / group_)
    refuse("input 1 (int8 weights) " + dimsText(w) + " has " + std::to_string(w[1]) +
           " input channels per group where input 0 " + dimsText(x) + " with group " + g + " has " +
           std::to_string(C / group_));
  if (scaleCount != static_cast<uint64_t>(M))
    refuse("input 2 (weight scales) has " + std::to_string(scaleCount) + " values for the " +
           std::to_string(M) + " output channels of input 1 " + dimsText(w));
  if (biasCount != static_cast<uint64_t>(M))
    refuse("input 3 (bias) has " + std::to_string(biasCount) + " values for the " + std::to_string(M) +
           " output channels of input 1 " + dimsText(w));
  const std::string sizes = label_ + ": sizes of " + dimsText(x) + " and " + dimsText(w);
  const int64_t depth = checkedMul(checkedMul(w[1], w[2], sizes), w[3], sizes);
  if (depth > kMaxDepth)
    refuse("input 1 (int8 weights) " + dimsText(w) + " sums " + std::to_string(depth) +
           " products per output, more than the 32-bit accumulator holds (" + std::to_string(kMaxDepth) + ")");
  auto axis = [&](int64_t in, int64_t padA, int64_t padB, int64_t k, int64_t dil, int64_t stride,
                  const char* name) {
    const int64_t padded = checkedAdd(checkedAdd(in, padA, sizes), padB, sizes);
    const int64_t span = checkedAdd(checkedMul(dil, k - 1, sizes), 1, sizes);
    if (padded < span)
      refuse(std::string("output ") + name + " would be empty: the dilated kernel spans " + std::to_string(span) +
             " but input 0 " + dimsText(x) + " padded is " + std::to_string(padded));
    return (padded - span) / stride + 1;
  };
  const int64_t ho = axis(x[2], padT_, padB_, w[2], dilH_, strideH_, "height");
  const int64_t wo = axis(x[3], padL_, padR_, w[3], dilW_, strideW_, "width");
  checkedMul(checkedMul(checkedMul(x[0], M, sizes), ho, sizes), wo, sizes);
  return {x[0], M, ho, wo};
}

void Int8Conv::pack(const int8_t* w, const std::vector<int64_t>& ws) {
  auto p = std::make_unique<Packed>();
  const int64_t M = ws[0], cg = ws[1], taps = ws[2] * ws[3];
  const int64_t mg = M / group_, blocks = (mg + 15) / 16, cg4 = roundUp(cg, 4);
  const size_t count = static_cast<size_t>(M * cg * taps);
  p->shape = ws;
  p->original.assign(w, w + count);
  const size_t packed = static_cast<size_t>(group_ * blocks * 16 * taps * cg4);
  p->w8.assign(packed, 0);
  p->w16.assign(packed, 0);
  p->weightSum.assign(static_cast<size_t>(M), 0);
  for (int64_t g = 0; g < group_; ++g)
    for (int64_t m = 0; m < mg; ++m) {
      const int64_t blk = g * blocks + m / 16, lane = m % 16;
      int64_t sum = 0;
      for (int64_t c = 0; c < cg; ++c)
        for (int64_t t = 0; t < taps; ++t) {
          const int8_t v = w[((g * mg + m) * cg + c) * taps + t];
          sum += v;
          p->w8[static_cast<size_t>(((blk * taps + t) * (cg4 / 4) + c / 4) * 64 + lane * 4 + c % 4)] = v;
          p->w16[static_cast<size_t>(((blk * taps + t) * (cg4 / 2) + c / 2) * 32 + lane * 2 + c % 2)] = v;
        }
      p->weightSum[static_cast<size_t>(g * mg + m)] = sum;
    }
  packed_ = std::move(p);
}

void Int8Conv::run(const float* x, const std::vector<int64_t>& xs, const int8_t* w,
                   const std::vector<int64_t>& ws, const float* scale, size_t scaleCount, const float* bias,
                   size_t biasCount, float* y) {
  const std::array<int64_t, 4> out = outputShape(xs, ws, scaleCount, biasCount);
  std::call_once(packOnce_, [&] { pack(w, ws); });
  const Packed& pk = *packed_;
  if (pk.shape != ws)
    throw std::runtime_error(label_ + ": input 1 (int8 weights) is " + dimsText(ws) + " but was " +
                             dimsText(pk.shape) + " when its packed copy was made. REFUSING.");
  if (std::memcmp(pk.original.data(), w, pk.original.size()) != 0)
    throw std::runtime_error(label_ + ": input 1 (int8 weights) changed since the first run; the node packs "
                             "its weights once and needs them constant (an initializer). REFUSING.");

  int8::Plan p;
  p.n = xs[0];
  p.c = xs[1];
  p.h = xs[2];
  p.w = xs[3];
  p.group = group_;
  p.cg = ws[1];
  p.cg4 = roundUp(p.cg, 4);
  p.mg = ws[0] / group_;
  p.blocks = (p.mg + 15) / 16;
  p.kh = ws[2];
  p.kw = ws[3];
  p.strideH = strideH_;
  p.strideW = strideW_;
  p.dilH = dilH_;
  p.dilW = dilW_;
  p.padTop = padT_;
  p.padLeft = padL_;
  p.hp = p.h + padT_ + padB_;
  p.wp = p.w + padL_ + padR_;
  p.ho = out[2];
  p.wo = out[3];

  // Per-tensor activation range, always including 0 so that 0 is exact.
  const size_t count = static_cast<size_t>(p.n * p.c * p.h * p.w);
  float lo, hi;
  minmax_par(x, count, &lo, &hi);
  lo = std::min(lo, 0.0f);
  hi = std::max(hi, 0.0f);
  float sx = (hi - lo) / 255.0f;
  if (!std::isfinite(lo) || !std::isfinite(hi) || !std::isfinite(sx))
    throw std::runtime_error(label_ + ": input 0 (activations) holds a NaN or infinite value, or a range "
                             "wider than a float; it cannot be quantised. REFUSING.");
  float zp;
  if (sx <= 0) {
    sx = 1;
    zp = std::nearbyint(-lo);
  } else {
    zp = std::nearbyint(-lo / sx);
  }
  p.sx = sx;
  p.zp = static_cast<int32_t>(std::clamp(zp, 0.0f, 255.0f));

  const std::string sizes = label_ + ": quantised copy of input 0 " + dimsText(xs);
  const int64_t pixels = checkedMul(checkedMul(p.n, p.hp, sizes), p.wp, sizes);
  const size_t elem = int8::quantElemBytes();
  const int64_t bytes = checkedMul(checkedMul(pixels, p.pixelValues(), sizes), static_cast<int64_t>(elem), sizes);
  // uint16_t storage: aligned for either element size.
  const auto q = std::make_unique_for_overwrite<uint16_t[]>(static_cast<size_t>(bytes + 1) / 2);

  std::vector<int64_t> tapOffset(static_cast<size_t>(p.taps()));
  for (int64_t ky = 0; ky < p.kh; ++ky)
    for (int64_t kx = 0; kx < p.kw; ++kx)
      tapOffset[static_cast<size_t>(ky * p.kw + kx)] = ky * p.dilH * p.wp + kx * p.dilW;
  const size_t channels = static_cast<size_t>(p.group * p.blocks * 16);
  std::vector<int32_t> corr(channels, 0);
  std::vector<float> sc(channels, 0.0f), bs(channels, 0.0f);
  for (int64_t g = 0; g < p.group; ++g)
    for (int64_t m = 0; m < p.mg; ++m) {
      const size_t dst = static_cast<size_t>(g * p.blocks * 16 + m), src = static_cast<size_t>(g * p.mg + m);
      corr[dst] = static_cast<int32_t>(p.zp * pk.weightSum[src]);
      sc[dst] = sx * scale[src];
      bs[dst] = bias[src];
    }
  p.w8 = pk.w8.data();
  p.w16 = pk.w16.data();
  p.tapOffset = tapOffset.data();
  p.corr = corr.data();
  p.scale = sc.data();
  p.bias = bs.data();

  void* qd = q.get();
  pool::parallelRange(static_cast<size_t>(p.n * p.hp), 1,
                      [&](size_t b, size_t e) { int8::quantizeRows(p, x, qd, b, e); });
  pool::parallelRange(static_cast<size_t>(p.n * p.ho), 1,
                      [&](size_t b, size_t e) { int8::productRows(p, qd, y, b, e); });
}

}  // namespace le
