// Kernels of the fp16 engine, one source for every processor target. Data
// stays binary16 in memory; every value is widened to float32 for arithmetic
// (fused multiply-add where the target has it) and rounded back to binary16
// on store. Vectors are held in named variables, never in arrays or structs:
// SVE vectors are sizeless.
#include "le/runtime/simd_targets.h"
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "le/render/le_conv_kernels.cc"
#include <hwy/foreach_target.h>
#include <hwy/highway.h>
#include <hwy/contrib/math/math-inl.h>

#include <algorithm>
#include <cstring>

#include "le/render/conv_kernels.h"
#include "le/runtime/half.h"

// Targets that convert binary16 in hardware (F16C, FCVT) and fuse the
// multiply-add; elsewhere Highway emulates both, and demotion truncates, so
// stores round through the scalar form instead.
#undef LE_CONV_HALF_FMA
#if HWY_TARGET == HWY_AVX2 || HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL || \
    HWY_TARGET == HWY_NEON || HWY_TARGET == HWY_SVE || HWY_TARGET == HWY_SVE2 ||     \
    HWY_TARGET == HWY_SVE_256 || HWY_TARGET == HWY_SVE2_128
#define LE_CONV_HALF_FMA 1
#else
#define LE_CONV_HALF_FMA 0
#endif
// Vector registers the convolution tile may fill with accumulators.
#undef LE_CONV_REGS
#if HWY_TARGET == HWY_AVX2 || HWY_TARGET == HWY_SSE4 || HWY_TARGET == HWY_SSSE3
#define LE_CONV_REGS 16
#else
#define LE_CONV_REGS 32
#endif

HWY_BEFORE_NAMESPACE();
namespace le::conv {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::CappedTag<float, 16>;
constexpr int kMaxTile = 8;

// ---- binary16 loads and stores ----------------------------------------------

template <class D>
HWY_INLINE hn::Vec<D> LoadHalf(D d, const uint16_t* HWY_RESTRICT p) {
  const hn::Rebind<uint16_t, D> du16;
  const hn::Rebind<hwy::float16_t, D> dh;
  return hn::PromoteTo(d, hn::BitCast(dh, hn::LoadU(du16, p)));
}

// The first `count` lanes (all when count >= lanes).
template <class D>
HWY_INLINE void StoreHalf(D d, hn::Vec<D> v, uint16_t* HWY_RESTRICT p, size_t count) {
  const size_t N = hn::Lanes(d);
#if LE_CONV_HALF_FMA
  const hn::Rebind<uint16_t, D> du16;
  const hn::Rebind<hwy::float16_t, D> dh;
  const auto h = hn::BitCast(du16, hn::DemoteTo(dh, v));
  if (count >= N) {
    hn::StoreU(h, du16, p);
  } else {
    HWY_ALIGN uint16_t tmp[16];
    hn::StoreU(h, du16, tmp);
    std::memcpy(p, tmp, count * sizeof(uint16_t));
  }
#else
  HWY_ALIGN float tmp[16];
  hn::StoreU(v, d, tmp);
  for (size_t i = 0; i < std::min(count, N); ++i) p[i] = half::fromFloat(tmp[i]);
#endif
}

void WidenRun(DF d, const uint16_t* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n) {
  const size_t N = hn::Lanes(d);
  size_t i = 0;
  for (; i + N <= n; i += N) hn::StoreU(LoadHalf(d, src + i), d, dst + i);
  for (; i < n; ++i) dst[i] = half::toFloat(src[i]);
}

void NarrowRun(DF d, const float* HWY_RESTRICT src, uint16_t* HWY_RESTRICT dst, size_t n) {
  const size_t N = hn::Lanes(d);
  size_t i = 0;
  for (; i + N <= n; i += N) StoreHalf(d, hn::LoadU(d, src + i), dst + i, N);
  for (; i < n; ++i) dst[i] = half::fromFloat(src[i]);
}

template <class D>
HWY_INLINE hn::Vec<D> Sigmoid(D d, hn::Vec<D> v) {
  const auto one = hn::Set(d, 1.0f);
  return hn::Div(one, hn::Add(one, hn::Exp(d, hn::Neg(v))));
}

// ---- convolution ------------------------------------------------------------

template <class D>
HWY_INLINE void PutAct(D d, hn::Vec<D> v, Act act, uint16_t* HWY_RESTRICT o, int count) {
  if (count <= 0) return;
  if (act == Act::kRelu) v = hn::Max(v, hn::Zero(d));
  if (act == Act::kSigmoid) v = Sigmoid(d, v);
  StoreHalf(d, v, o, static_cast<size_t>(count));
}

// Accumulators a<pixel><vector>: P pixels of one row times KV vectors of
// output channels, each started from the bias.
#define LE_CONV_ACC(p) auto a##p##0 = b0, a##p##1 = b1, a##p##2 = b2, a##p##3 = b3;
#define LE_CONV_FMA(p)                                               \
  if constexpr (P > p) {                                             \
    const auto x = hn::Set(d, s[p * inPix]);                         \
    a##p##0 = hn::MulAdd(w0, x, a##p##0);                            \
    if constexpr (KV > 1) a##p##1 = hn::MulAdd(w1, x, a##p##1);      \
    if constexpr (KV > 2) a##p##2 = hn::MulAdd(w2, x, a##p##2);      \
    if constexpr (KV > 3) a##p##3 = hn::MulAdd(w3, x, a##p##3);      \
  }
#define LE_CONV_PUT(p)                                                          \
  if constexpr (P > p) {                                                        \
    if (p < pixels) {                                                           \
      uint16_t* o = out + p * outPix;                                           \
      PutAct(d, a##p##0, act, o, valid);                                        \
      if constexpr (KV > 1) PutAct(d, a##p##1, act, o + NV, valid - NV);        \
      if constexpr (KV > 2) PutAct(d, a##p##2, act, o + 2 * NV, valid - 2 * NV); \
      if constexpr (KV > 3) PutAct(d, a##p##3, act, o + 3 * NV, valid - 3 * NV); \
    }                                                                           \
  }

template <int P, int KV, class D>
HWY_INLINE void ConvTile(D d, const float* HWY_RESTRICT in, size_t inPix, size_t inRow, int ci, int k,
                         const float* HWY_RESTRICT w, size_t wStride, const float* HWY_RESTRICT bias, Act act,
                         uint16_t* HWY_RESTRICT out, size_t outPix, int valid, int pixels) {
  const int NV = static_cast<int>(hn::Lanes(d));
  const auto b0 = hn::LoadU(d, bias);
  const auto b1 = KV > 1 ? hn::LoadU(d, bias + NV) : b0;
  const auto b2 = KV > 2 ? hn::LoadU(d, bias + 2 * NV) : b0;
  const auto b3 = KV > 3 ? hn::LoadU(d, bias + 3 * NV) : b0;
  LE_CONV_ACC(0) LE_CONV_ACC(1) LE_CONV_ACC(2) LE_CONV_ACC(3)
  LE_CONV_ACC(4) LE_CONV_ACC(5) LE_CONV_ACC(6) LE_CONV_ACC(7)
  for (int ky = 0; ky < k; ++ky) {
    for (int kx = 0; kx < k; ++kx) {
      const float* HWY_RESTRICT s = in + static_cast<size_t>(ky) * inRow + static_cast<size_t>(kx) * inPix;
      const float* HWY_RESTRICT wt = w + static_cast<size_t>(ky * k + kx) * static_cast<size_t>(ci) * wStride;
      for (int c = 0; c < ci; ++c, ++s, wt += wStride) {
        const auto w0 = hn::LoadU(d, wt);
        const auto w1 = KV > 1 ? hn::LoadU(d, wt + NV) : w0;
        const auto w2 = KV > 2 ? hn::LoadU(d, wt + 2 * NV) : w0;
        const auto w3 = KV > 3 ? hn::LoadU(d, wt + 3 * NV) : w0;
        LE_CONV_FMA(0) LE_CONV_FMA(1) LE_CONV_FMA(2) LE_CONV_FMA(3)
        LE_CONV_FMA(4) LE_CONV_FMA(5) LE_CONV_FMA(6) LE_CONV_FMA(7)
      }
    }
  }
  LE_CONV_PUT(0) LE_CONV_PUT(1) LE_CONV_PUT(2) LE_CONV_PUT(3)
  LE_CONV_PUT(4) LE_CONV_PUT(5) LE_CONV_PUT(6) LE_CONV_PUT(7)
}
#undef LE_CONV_ACC
#undef LE_CONV_FMA
#undef LE_CONV_PUT

// Pixels per tile for KV accumulator vectors: as many as the registers hold
// beside the weights and the broadcast input.
template <int KV>
constexpr int TileFor() {
  if constexpr (LE_CONV_REGS == 16) return KV == 1 ? 8 : KV == 2 ? 6 : KV == 3 ? 4 : 3;
  return KV <= 2 ? 8 : 6;
}

// Sub-block of KV vectors starting at channel `first` of the block.
template <int KV, class D>
void ConvRows(D d, const ConvBlockArgs& a, int first) {
  constexpr int P = TileFor<KV>();
  const size_t off = static_cast<size_t>(first);
  const int valid = a.valid - first;
  for (int y = 0; y < a.rows; ++y) {
    const float* row = a.in + static_cast<size_t>(y) * a.inRow;
    uint16_t* orow = a.out + static_cast<size_t>(y) * a.outRow + off;
    for (int x = 0; x < a.width; x += P)
      ConvTile<P, KV, D>(d, row + static_cast<size_t>(x) * a.inPix, a.inPix, a.inRow, a.ci, a.k, a.w + off,
                      static_cast<size_t>(a.block), a.bias + off, a.act, orow + static_cast<size_t>(x) * a.outPix,
                      a.outPix, valid, std::min(P, a.width - x));
  }
}

// convCoBlock: one block, in sub-blocks of at most four vectors; with
// 16-lane vectors the last 8 channels of a block of 8 or 24 take one 8-lane
// vector instead of a half-empty one.
void ConvBlock(const ConvBlockArgs& a) {
  const DF d;
  const int NV = static_cast<int>(hn::Lanes(d));
  const int kv = a.block / NV;
  for (int s = 0; s < kv && s * NV < a.valid; s += 4) {
    switch (std::min(4, kv - s)) {
      case 1: ConvRows<1>(d, a, s * NV); break;
      case 2: ConvRows<2>(d, a, s * NV); break;
      case 3: ConvRows<3>(d, a, s * NV); break;
      default: ConvRows<4>(d, a, s * NV); break;
    }
  }
  if (a.block % NV != 0 && kv * NV < a.valid) ConvRows<1>(hn::CappedTag<float, 8>(), a, kv * NV);
}

// ---- staging ------------------------------------------------------------------

void WidenPixels(const uint16_t* src, size_t srcPix, int32_t c, int32_t n, float* dst, size_t dstPix) {
  const DF d;
  const size_t cc = static_cast<size_t>(c);
  if (srcPix == cc && dstPix == cc) {
    WidenRun(d, src, dst, static_cast<size_t>(n) * cc);
    return;
  }
  for (int32_t x = 0; x < n; ++x) WidenRun(d, src + x * srcPix, dst + x * dstPix, cc);
}

void Pool2Pixels(const uint16_t* r0, const uint16_t* r1, size_t srcPix, int32_t c, int32_t n, float* dst,
                 size_t dstPix) {
  const DF d;
  const size_t N = hn::Lanes(d);
  const size_t cc = static_cast<size_t>(c);
  const auto quarter = hn::Set(d, 0.25f);
  for (int32_t x = 0; x < n; ++x) {
    const uint16_t* a = r0 + 2 * static_cast<size_t>(x) * srcPix;
    const uint16_t* b = r1 + 2 * static_cast<size_t>(x) * srcPix;
    float* o = dst + static_cast<size_t>(x) * dstPix;
    size_t i = 0;
    // The window's values in row order, then the mean.
    for (; i + N <= cc; i += N) {
      const auto s = hn::Add(hn::Add(hn::Add(LoadHalf(d, a + i), LoadHalf(d, a + srcPix + i)), LoadHalf(d, b + i)),
                             LoadHalf(d, b + srcPix + i));
      hn::StoreU(hn::Mul(s, quarter), d, o + i);
    }
    for (; i < cc; ++i)
      o[i] = (((half::toFloat(a[i]) + half::toFloat(a[srcPix + i])) + half::toFloat(b[i])) +
              half::toFloat(b[srcPix + i])) *
             0.25f;
  }
}

void UpPixels(const uint16_t* src, size_t srcPix, int32_t c, int32_t n, int32_t factor, int32_t x0, float* dst,
              size_t dstPix) {
  const DF d;
  const size_t cc = static_cast<size_t>(c);
  for (int32_t x = 0; x < n; ++x) {
    const int32_t sx = (x0 + x) / factor;
    float* o = dst + static_cast<size_t>(x) * dstPix;
    if (x > 0 && sx == (x0 + x - 1) / factor)
      std::memcpy(o, o - dstPix, cc * sizeof(float));
    else
      WidenRun(d, src + static_cast<size_t>(sx) * srcPix, o, cc);
  }
}

// ---- phase A ------------------------------------------------------------------

void InputRow(const uint16_t* pooled, const float* grid32, const float* kd, const float* ks, int32_t y,
              uint16_t* out, float* tmp) {
  const DF d;
  const int N = static_cast<int>(hn::Lanes(d));
  const auto k50 = hn::Set(d, -50.0f);
  const float* g = grid32 + static_cast<size_t>(y) * 64;
  int x = 0;
  for (; x + N <= 32; x += N) {
    hn::Vec<DF> gx, gy;
    hn::LoadInterleaved2(d, g + 2 * x, gx, gy);
    for (int k = 0; k < 21; ++k) {
      const auto ddx = hn::Sub(gx, hn::Set(d, kd[3 * k])), ddy = hn::Sub(gy, hn::Set(d, kd[3 * k + 1]));
      const auto sdx = hn::Sub(gx, hn::Set(d, ks[3 * k])), sdy = hn::Sub(gy, hn::Set(d, ks[3 * k + 1]));
      const auto hd = hn::Exp(d, hn::Mul(hn::Add(hn::Mul(ddx, ddx), hn::Mul(ddy, ddy)), k50));
      const auto hs = hn::Exp(d, hn::Mul(hn::Add(hn::Mul(sdx, sdx), hn::Mul(sdy, sdy)), k50));
      hn::StoreU(hn::Sub(hd, hs), d, tmp + k * 32 + x);
    }
  }
  for (int p = 0; p < 32; ++p) {
    uint16_t* o = out + p * 88;
    for (int c = 0; c < 64; ++c) o[c] = pooled[c * 1024 + y * 32 + p];
    for (int k = 0; k < 21; ++k) o[64 + k] = half::fromFloat(tmp[k * 32 + p]);
    o[85] = o[86] = o[87] = 0;
  }
}

void GridRow(const GridRowArgs& a) {
  const DF d;
  const int N = static_cast<int>(hn::Lanes(d));
  const int w = a.width;
  for (int x = 0; x < w; ++x)
    for (int k = 0; k < 22; ++k) a.tmp[k * w + x] = half::toFloat(a.logits[x * 22 + k]);
  int x = 0;
  for (; x + N <= w; x += N) {
    auto m = hn::LoadU(d, a.tmp + x);
    for (int k = 1; k < 22; ++k) m = hn::Max(m, hn::LoadU(d, a.tmp + k * w + x));
    auto s = hn::Exp(d, hn::Sub(hn::LoadU(d, a.tmp + x), m));
    auto fx = hn::Zero(d), fy = hn::Zero(d);
    for (int k = 1; k < 22; ++k) {
      const auto e = hn::Exp(d, hn::Sub(hn::LoadU(d, a.tmp + k * w + x), m));
      s = hn::Add(s, e);
      fx = hn::MulAdd(e, hn::Set(d, a.disp[2 * (k - 1)]), fx);
      fy = hn::MulAdd(e, hn::Set(d, a.disp[2 * (k - 1) + 1]), fy);
    }
    const auto inv = hn::Div(hn::Set(d, 1.0f), s);
    hn::Vec<DF> bx, by;
    hn::LoadInterleaved2(d, a.base + 2 * x, bx, by);
    hn::StoreInterleaved2(hn::MulAdd(fx, inv, bx), hn::MulAdd(fy, inv, by), d, a.grid + 2 * x);
  }
  // The last pixels one by one, with the same lane arithmetic.
  const hn::CappedTag<float, 1> d1;
  for (; x < w; ++x) {
    auto m = hn::Set(d1, a.tmp[x]);
    for (int k = 1; k < 22; ++k) m = hn::Max(m, hn::Set(d1, a.tmp[k * w + x]));
    auto s = hn::Exp(d1, hn::Sub(hn::Set(d1, a.tmp[x]), m));
    auto fx = hn::Zero(d1), fy = hn::Zero(d1);
    for (int k = 1; k < 22; ++k) {
      const auto e = hn::Exp(d1, hn::Sub(hn::Set(d1, a.tmp[k * w + x]), m));
      s = hn::Add(s, e);
      fx = hn::MulAdd(e, hn::Set(d1, a.disp[2 * (k - 1)]), fx);
      fy = hn::MulAdd(e, hn::Set(d1, a.disp[2 * (k - 1) + 1]), fy);
    }
    const auto inv = hn::Div(hn::Set(d1, 1.0f), s);
    a.grid[2 * x] = hn::GetLane(hn::MulAdd(fx, inv, hn::Set(d1, a.base[2 * x])));
    a.grid[2 * x + 1] = hn::GetLane(hn::MulAdd(fy, inv, hn::Set(d1, a.base[2 * x + 1])));
  }
}

// ---- phase B ------------------------------------------------------------------

// A NaN coordinate becomes 0 before it turns into an index.
HWY_INLINE hn::Vec<DF> ClampCoord(DF d, hn::Vec<DF> v, float hi) {
  v = hn::IfThenElseZero(hn::Eq(v, v), v);
  return hn::Min(hn::Max(v, hn::Zero(d)), hn::Set(d, hi));
}

void SampleRow(const SampleRowArgs& a) {
  const DF d;
  const hn::RebindToSigned<DF> di;
  const int N = static_cast<int>(hn::Lanes(d));
  const int C = a.crop;
  const float step = 64.0f / static_cast<float>(C);
  const float sy = std::min(std::max((static_cast<float>(a.y) + 0.5f) * step - 0.5f, 0.0f), 63.0f);
  const int y0 = static_cast<int>(sy), y1 = std::min(y0 + 1, 63);
  const auto wy = hn::Set(d, sy - static_cast<float>(y0));
  const float* g0 = a.grid + y0 * 128;
  const float* g1 = a.grid + y1 * 128;
  const float* g0y = g0 + 1;
  const float* g1y = g1 + 1;
  const auto one = hn::Set(d, 1.0f), halfV = hn::Set(d, 0.5f);
  const auto sizeV = hn::Set(d, static_cast<float>(C));
  const auto lastI = hn::Set(di, C - 1);
  const auto last64 = hn::Set(di, 63);
  const size_t plane = static_cast<size_t>(C) * static_cast<size_t>(C);
  for (int x = 0; x < C; x += N) {
    // the grid at this row, linearly upsampled from 64 x 64
    const auto xs = ClampCoord(d, hn::Sub(hn::Mul(hn::Add(hn::Iota(d, static_cast<float>(x)), halfV), hn::Set(d, step)), halfV), 63.0f);
    const auto xi0 = hn::ConvertTo(di, xs);
    const auto wx = hn::Sub(xs, hn::ConvertTo(d, xi0));
    const auto xi1 = hn::Min(hn::Add(xi0, hn::Set(di, 1)), last64);
    const auto i0 = hn::ShiftLeft<1>(xi0), i1 = hn::ShiftLeft<1>(xi1);
    const auto ux = hn::Sub(one, wx), uy = hn::Sub(one, wy);
    const auto gx = hn::MulAdd(uy, hn::MulAdd(ux, hn::GatherIndex(d, g0, i0), hn::Mul(wx, hn::GatherIndex(d, g0, i1))),
                               hn::Mul(wy, hn::MulAdd(ux, hn::GatherIndex(d, g1, i0), hn::Mul(wx, hn::GatherIndex(d, g1, i1)))));
    const auto gy = hn::MulAdd(uy, hn::MulAdd(ux, hn::GatherIndex(d, g0y, i0), hn::Mul(wx, hn::GatherIndex(d, g0y, i1))),
                               hn::Mul(wy, hn::MulAdd(ux, hn::GatherIndex(d, g1y, i0), hn::Mul(wx, hn::GatherIndex(d, g1y, i1)))));
    // bilinear sample of the prior, border padding, align_corners 0
    const float hi = static_cast<float>(C - 1);
    const auto ix = ClampCoord(d, hn::Mul(hn::Sub(hn::Mul(hn::Add(gx, one), sizeV), one), halfV), hi);
    const auto iy = ClampCoord(d, hn::Mul(hn::Sub(hn::Mul(hn::Add(gy, one), sizeV), one), halfV), hi);
    const auto px0 = hn::ConvertTo(di, ix), py0 = hn::ConvertTo(di, iy);
    const auto fx = hn::Sub(ix, hn::ConvertTo(d, px0)), fy = hn::Sub(iy, hn::ConvertTo(d, py0));
    const auto px1 = hn::Min(hn::Add(px0, hn::Set(di, 1)), lastI);
    const auto py1 = hn::Min(hn::Add(py0, hn::Set(di, 1)), lastI);
    const auto r0 = hn::Mul(py0, hn::Set(di, C)), r1 = hn::Mul(py1, hn::Set(di, C));
    const auto i00 = hn::Add(r0, px0), i01 = hn::Add(r0, px1), i10 = hn::Add(r1, px0), i11 = hn::Add(r1, px1);
    const auto vx = hn::Sub(one, fx), vy = hn::Sub(one, fy);
    const float* p0 = a.prior;
    const float* p1 = a.prior + plane;
    const float* p2 = a.prior + 2 * plane;
    const auto c0 = hn::MulAdd(vy, hn::MulAdd(vx, hn::GatherIndex(d, p0, i00), hn::Mul(fx, hn::GatherIndex(d, p0, i01))),
                               hn::Mul(fy, hn::MulAdd(vx, hn::GatherIndex(d, p0, i10), hn::Mul(fx, hn::GatherIndex(d, p0, i11)))));
    const auto c1 = hn::MulAdd(vy, hn::MulAdd(vx, hn::GatherIndex(d, p1, i00), hn::Mul(fx, hn::GatherIndex(d, p1, i01))),
                               hn::Mul(fy, hn::MulAdd(vx, hn::GatherIndex(d, p1, i10), hn::Mul(fx, hn::GatherIndex(d, p1, i11)))));
    const auto c2 = hn::MulAdd(vy, hn::MulAdd(vx, hn::GatherIndex(d, p2, i00), hn::Mul(fx, hn::GatherIndex(d, p2, i01))),
                               hn::Mul(fy, hn::MulAdd(vx, hn::GatherIndex(d, p2, i10), hn::Mul(fx, hn::GatherIndex(d, p2, i11)))));
    hn::StoreInterleaved3(c0, c1, c2, d, a.tmp + 3 * x);
  }
  NarrowRun(d, a.tmp, a.out, 3 * static_cast<size_t>(C));
}

void RefineRow(const RefineRowArgs& a) {
  const DF d;
  const size_t N = hn::Lanes(d);
  const size_t C = static_cast<size_t>(a.crop), n = 3 * C;
  float* w = a.tmp;
  float* corr = a.tmp + n;
  float* occ = a.tmp + 2 * n;
  // DepthToSpace(2, DCR) over channel-last data: output pixels 2j and 2j + 1
  // of this row are the six values of block row y % 2 of correction pixel j.
  const uint16_t* src = a.corr + (a.y % 2) * 6;
  for (size_t j = 0; j < C / 2; ++j) std::memcpy(a.tmp16 + 6 * j, src + 12 * j, 6 * sizeof(uint16_t));
  WidenRun(d, a.tmp16, corr, n);
  WidenRun(d, a.warped, w, n);
  const size_t f = C / 64;
  for (size_t x = 0; x < C; ++x) occ[3 * x] = occ[3 * x + 1] = occ[3 * x + 2] = half::toFloat(a.occ[x / f]);
  size_t i = 0;
  for (; i + N <= n; i += N)
    hn::StoreU(hn::Add(hn::Mul(hn::LoadU(d, occ + i), hn::LoadU(d, w + i)), hn::LoadU(d, corr + i)), d, w + i);
  for (; i < n; ++i) w[i] = occ[i] * w[i] + corr[i];
  NarrowRun(d, w, a.out, n);
}

// Pixels [x, end) of the output row; tile pixel t = x - x0 when inside.
void ComposeSpan(DF d, const float* ref, const float* tile, const float* feather, int x, int end, int x0, float* r,
                 float* g, float* b) {
  const int N = static_cast<int>(hn::Lanes(d));
  const auto zero = hn::Zero(d), one = hn::Set(d, 1.0f);
  for (; x + N <= end; x += N) {
    hn::Vec<DF> v0, v1, v2;
    hn::LoadInterleaved3(d, ref + 3 * x, v0, v1, v2);
    if (tile != nullptr) {
      hn::Vec<DF> t0, t1, t2;
      hn::LoadInterleaved3(d, tile + 3 * (x - x0), t0, t1, t2);
      const auto f = hn::LoadU(d, feather + (x - x0));
      v0 = hn::Add(v0, hn::Mul(f, hn::Sub(Sigmoid(d, t0), v0)));
      v1 = hn::Add(v1, hn::Mul(f, hn::Sub(Sigmoid(d, t1), v1)));
      v2 = hn::Add(v2, hn::Mul(f, hn::Sub(Sigmoid(d, t2), v2)));
    }
    hn::StoreU(hn::Min(hn::Max(v0, zero), one), d, r + x);
    hn::StoreU(hn::Min(hn::Max(v1, zero), one), d, g + x);
    hn::StoreU(hn::Min(hn::Max(v2, zero), one), d, b + x);
  }
  const hn::CappedTag<float, 1> d1;
  for (; x < end; ++x) {
    float* dst[3] = {r + x, g + x, b + x};
    for (int c = 0; c < 3; ++c) {
      auto v = hn::Set(d1, ref[3 * x + c]);
      if (tile != nullptr) {
        const auto t = hn::Set(d1, tile[3 * (x - x0) + c]);
        const auto one1 = hn::Set(d1, 1.0f);
        const auto s = hn::Div(one1, hn::Add(one1, hn::Exp(d1, hn::Neg(t))));
        v = hn::Add(v, hn::Mul(hn::Set(d1, feather[x - x0]), hn::Sub(s, v)));
      }
      *dst[c] = hn::GetLane(hn::Min(hn::Max(v, hn::Zero(d1)), hn::Set(d1, 1.0f)));
    }
  }
}

void ComposeRow(const ComposeRowArgs& a) {
  const DF d;
  const int C = a.crop;
  float* ref = a.tmp;
  float* tile = a.tmp + 3 * static_cast<size_t>(C);
  WidenRun(d, a.refined, ref, 3 * static_cast<size_t>(C));
  float* r = a.out;
  float* g = a.out + a.plane;
  float* b = a.out + 2 * a.plane;
  if (a.tile == nullptr) {
    ComposeSpan(d, ref, nullptr, nullptr, 0, C, 0, r, g, b);
    return;
  }
  WidenRun(d, a.tile, tile, 3 * static_cast<size_t>(a.tileW));
  ComposeSpan(d, ref, nullptr, nullptr, 0, a.x0, 0, r, g, b);
  ComposeSpan(d, ref, tile, a.feather, a.x0, a.x0 + a.tileW, a.x0, r, g, b);
  ComposeSpan(d, ref, nullptr, nullptr, a.x0 + a.tileW, C, 0, r, g, b);
}

// ---- basis product -------------------------------------------------------------

#define LE_GEMM_ACC(r) auto a##r##0 = hn::Zero(d), a##r##1 = hn::Zero(d);
#define LE_GEMM_FMA(r)                                          \
  if constexpr (R > r) {                                        \
    const auto x = hn::Set(d, cf[r * 64 + k]);                  \
    a##r##0 = hn::MulAdd(v0, x, a##r##0);                       \
    if constexpr (V > 1) a##r##1 = hn::MulAdd(v1, x, a##r##1);  \
  }
#define LE_GEMM_PUT(r)                                                     \
  if constexpr (R > r) {                                                   \
    StoreHalf(d, a##r##0, out + r * cols + c, N);                          \
    if constexpr (V > 1) StoreHalf(d, a##r##1, out + r * cols + c + N, N); \
  }

// Columns [c, c + V vectors) of R rows.
template <int R, int V>
HWY_INLINE void GemmStrip(DF d, const float* HWY_RESTRICT cf, const uint16_t* HWY_RESTRICT basis, size_t cols,
                          size_t c, uint16_t* HWY_RESTRICT out) {
  const size_t N = hn::Lanes(d);
  LE_GEMM_ACC(0) LE_GEMM_ACC(1) LE_GEMM_ACC(2) LE_GEMM_ACC(3)
  for (int k = 0; k < 64; ++k) {
    const uint16_t* row = basis + static_cast<size_t>(k) * cols + c;
    const auto v0 = LoadHalf(d, row);
    const auto v1 = V > 1 ? LoadHalf(d, row + N) : v0;
    LE_GEMM_FMA(0) LE_GEMM_FMA(1) LE_GEMM_FMA(2) LE_GEMM_FMA(3)
  }
  LE_GEMM_PUT(0) LE_GEMM_PUT(1) LE_GEMM_PUT(2) LE_GEMM_PUT(3)
}
#undef LE_GEMM_ACC
#undef LE_GEMM_FMA
#undef LE_GEMM_PUT

template <int R>
void GemmRows(DF d, const float* cf, const uint16_t* basis, size_t cols, size_t c0, size_t c1, uint16_t* out) {
  const size_t N = hn::Lanes(d);
  size_t c = c0;
  for (; c + 2 * N <= c1; c += 2 * N) GemmStrip<R, 2>(d, cf, basis, cols, c, out);
  for (; c + N <= c1; c += N) GemmStrip<R, 1>(d, cf, basis, cols, c, out);
  for (; c < c1; ++c) {
    for (int r = 0; r < R; ++r) {
      float acc = 0.0f;
      for (int k = 0; k < 64; ++k)
        acc = hn::GetLane(hn::MulAdd(hn::Set(hn::CappedTag<float, 1>(), half::toFloat(basis[k * cols + c])),
                                     hn::Set(hn::CappedTag<float, 1>(), cf[r * 64 + k]),
                                     hn::Set(hn::CappedTag<float, 1>(), acc)));
      out[r * cols + c] = half::fromFloat(acc);
    }
  }
}

void BasisGemm(const uint16_t* coef, int32_t rows, const uint16_t* basis, size_t cols, size_t c0, size_t c1,
               uint16_t* out) {
  const DF d;
  HWY_ALIGN float cf[4 * 64];
  for (int32_t r = 0; r < rows; r += 4) {
    const int R = std::min(4, rows - r);
    for (int i = 0; i < R * 64; ++i) cf[i] = half::toFloat(coef[r * 64 + i]);
    uint16_t* o = out + static_cast<size_t>(r) * cols;
    switch (R) {
      case 1: GemmRows<1>(d, cf, basis, cols, c0, c1, o); break;
      case 2: GemmRows<2>(d, cf, basis, cols, c0, c1, o); break;
      case 3: GemmRows<3>(d, cf, basis, cols, c0, c1, o); break;
      default: GemmRows<4>(d, cf, basis, cols, c0, c1, o); break;
    }
  }
}

// ---- the table -----------------------------------------------------------------

const Kernels* GetKernels() {
  static const Kernels table = [] {
    Kernels t;
    t.target = hwy::TargetName(HWY_TARGET);
    t.halfFma = LE_CONV_HALF_FMA != 0;
    t.lanes = static_cast<int32_t>(std::min<size_t>(hn::Lanes(DF()), 8));
    t.maxTile = kMaxTile;
    t.convBlock = &ConvBlock;
    t.widenPixels = &WidenPixels;
    t.pool2Pixels = &Pool2Pixels;
    t.upPixels = &UpPixels;
    t.inputRow = &InputRow;
    t.gridRow = &GridRow;
    t.sampleRow = &SampleRow;
    t.basisGemm = &BasisGemm;
    t.refineRow = &RefineRow;
    t.composeRow = &ComposeRow;
    return t;
  }();
  return &table;
}

}  // namespace HWY_NAMESPACE
}  // namespace le::conv
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::conv {

HWY_EXPORT(GetKernels);

const Kernels& kernels() { return *HWY_DYNAMIC_DISPATCH(GetKernels)(); }

}  // namespace le::conv
#endif  // HWY_ONCE
