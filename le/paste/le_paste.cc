#include "le/paste/le_paste.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "le/paste/le_paste_simd.h"
#include "le/paste/paste_pixel.h"
#include "le/runtime/env.h"
#include "le/runtime/le_pool.h"
#include "le/runtime/log.h"

namespace le {

namespace {

constexpr size_t kGrain = 64;
constexpr double kPi = 3.14159265358979323846;
// Largest magnitude a 1/1024 coordinate term may reach: rint() of it, plus
// the +16 phase offset, still fits an int32.
constexpr double kFixedLimit = 2147483647.0 - 1024.0;

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

bool fitsFixed(double v) { return std::isfinite(v) && std::fabs(v) <= kFixedLimit; }

// Reflection without repeating the edge sample: -k reads k, side-1+k reads
// side-1-k. Callers keep |i| below side.
int reflect(int i, int side) {
  if (i < 0) return -i;
  if (i > side - 1) return 2 * (side - 1) - i;
  return i;
}

}  // namespace

Paste::Paste(std::vector<uint8_t> mask, int side, const Unsharp& unsharp)
    : side_(side),
      ksize_(unsharp.ksize),
      padded_(0),
      amount_(unsharp.amount),
      mode_(0),
      mask_(std::move(mask)) {
  if (side < 1) throw std::runtime_error("paste: side " + std::to_string(side) + " must be at least 1");
  if (mask_.size() != static_cast<uint64_t>(side) * static_cast<uint64_t>(side))
    throw std::runtime_error("paste: mask size");
  if (ksize_ % 2 == 0) throw std::runtime_error("paste: ksize must be odd");
  // The mirrored border reflects up to (ksize - 1) / 2 samples, which must
  // stay inside the plane.
  if (ksize_ < 1 || static_cast<int64_t>(ksize_) > 2 * static_cast<int64_t>(side) - 1)
    throw std::runtime_error("paste: ksize " + std::to_string(ksize_) + " out of range 1 ... " +
                             std::to_string(2 * static_cast<int64_t>(side) - 1) +
                             " (2 x side - 1) for side " + std::to_string(side));
  if (!std::isfinite(unsharp.sigma) || !(unsharp.sigma > 0.0f))
    throw std::runtime_error("paste: sigma " + num(unsharp.sigma) + " must be finite and > 0");
  if (!std::isfinite(unsharp.amount))
    throw std::runtime_error("paste: amount " + num(unsharp.amount) + " must be finite");

  if (const auto mode = env::wholeIn("LE_PASTE_FAST", 0, 2)) mode_ = static_cast<int32_t>(*mode);
  if (const auto k = env::wholeIn("LE_PASTE_KSIZE", 3, ksize_); k && *k % 2 != 0)
    ksize_ = static_cast<int32_t>(*k);
  padded_ = side_ + ksize_ - 1;

  const double sigma = unsharp.sigma;
  const double centre = (ksize_ - 1) / 2;
  std::vector<double> g(static_cast<size_t>(ksize_));
  double sum = 0.0;
  for (int i = 0; i < ksize_; ++i) {
    const double dx = i - centre;
    g[static_cast<size_t>(i)] = std::exp(-(dx * dx) / (2.0 * sigma * sigma));
    sum += g[static_cast<size_t>(i)];
  }
  // A tiny sigma leaves only the centre tap; exp never underflows it.
  gauss_.resize(g.size());
  for (size_t i = 0; i < g.size(); ++i) gauss_[i] = static_cast<float>(g[i] / sum);

  for (int p = 0; p < kPhases; ++p) {
    const double t = p / 32.0;
    bilinear_[2 * p] = static_cast<float>(1.0 - t);
    bilinear_[2 * p + 1] = static_cast<float>(t);

    float* lz = &lanczos_[8 * static_cast<size_t>(p)];
    if (t < 1e-7) {
      std::fill(lz, lz + 8, 0.0f);
      lz[3] = 1.0f;
    } else {
      double w[8];
      double s = 0.0;
      for (int k = 0; k < 8; ++k) {
        const double x = t + 3 - k;
        w[k] = std::sin(kPi * x) * std::sin(kPi * x / 4.0) / (x * x);
        s += w[k];
      }
      for (int k = 0; k < 8; ++k) lz[k] = static_cast<float>(w[k] / s);
    }

    const double t1 = t + 1.0, r = 1.0 - t;
    const double w0 = ((-0.75 * t1 + 3.75) * t1 - 6.0) * t1 + 3.0;
    const double w1 = (1.25 * t - 2.25) * t * t + 1.0;
    const double w2 = (1.25 * r - 2.25) * r * r + 1.0;
    float* cb = &cubic_[4 * static_cast<size_t>(p)];
    cb[0] = static_cast<float>(w0);
    cb[1] = static_cast<float>(w1);
    cb[2] = static_cast<float>(w2);
    cb[3] = static_cast<float>(1.0 - w0 - w1 - w2);
  }

  const size_t area = static_cast<size_t>(side_) * static_cast<size_t>(side_);
  for (auto& p : planes_) p.assign(area, 0.0f);
  rgba_.assign(area * 4, 0.0f);
  const size_t padArea = static_cast<size_t>(padded_) * static_cast<size_t>(padded_);
  pad_.assign(padArea, 0.0f);
  blur_.assign(padArea, 0.0f);
}

void Paste::composite(const float* crop, float scale, const float M[6], uint8_t* frame, int W,
                      int H) {
  if (crop == nullptr || M == nullptr || frame == nullptr)
    throw std::invalid_argument("paste: null crop, matrix or frame");
  if (W < 1 || H < 1)
    throw std::invalid_argument("paste: bad frame size " + std::to_string(W) + "x" + std::to_string(H));
  for (int i = 0; i < 6; ++i)
    if (!std::isfinite(M[i])) return;  // no placement to honour: paste nothing
  const double a = M[0], b = M[1], c = M[2], d = M[3], e = M[4], f = M[5];
  const double det = a * e - b * d;
  if (det == 0.0) return;

  // Footprint of the crop grown by the kernel reach, clamped to the frame
  // before any conversion to int.
  const double S = side_;
  const double us[4] = {-4.0, S + 3.0, -4.0, S + 3.0};
  const double vs[4] = {-4.0, -4.0, S + 3.0, S + 3.0};
  double minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
  for (int i = 0; i < 4; ++i) {
    const double x = a * us[i] + b * vs[i] + c, y = d * us[i] + e * vs[i] + f;
    minX = std::min(minX, x);
    maxX = std::max(maxX, x);
    minY = std::min(minY, y);
    maxY = std::max(maxY, y);
  }
  const double fx0 = std::max(std::floor(minX), 0.0), fx1 = std::min(std::ceil(maxX), W - 1.0);
  const double fy0 = std::max(std::floor(minY), 0.0), fy1 = std::min(std::ceil(maxY), H - 1.0);
  if (!(fx0 <= fx1 && fy0 <= fy1)) return;
  const int x0 = static_cast<int>(fx0), x1 = static_cast<int>(fx1);
  const int y0 = static_cast<int>(fy0), y1 = static_cast<int>(fy1);

  const double ia = e / det, ib = -b / det, id = -d / det, ie = a / det;
  const double tu = -(c * ia + f * ib), tv = -(c * id + f * ie);
  // Every fixed-point term of the box (column part, row part and their sum at
  // the corners, where the linear maps peak) must fit the int32 tables.
  for (const int x : {x0, x1}) {
    if (!fitsFixed(x * ia * 1024.0) || !fitsFixed(x * id * 1024.0)) return;
    for (const int y : {y0, y1}) {
      if (!fitsFixed((y * ib + tu) * 1024.0) || !fitsFixed((y * ie + tv) * 1024.0)) return;
      if (!fitsFixed((x * ia + y * ib + tu) * 1024.0) || !fitsFixed((x * id + y * ie + tv) * 1024.0))
        return;
    }
  }

  const size_t cols = static_cast<size_t>(x1) + 1;
  if (colU_.size() < cols) {
    colU_.resize(cols);
    colV_.resize(cols);
  }
  for (int x = x0; x <= x1; ++x) {
    colU_[static_cast<size_t>(x)] = static_cast<int32_t>(std::rint(x * ia * 1024.0));
    colV_[static_cast<size_t>(x)] = static_cast<int32_t>(std::rint(x * id * 1024.0));
  }

  static std::atomic<bool> logged{false};
  if (!logged.exchange(true))
    log::linef(log::Level::Info,
               "[le-paste] executor=%s (side=%d, ksize=%d, threads=%d) \u2014 1080p frame", "cpu",
               side_, ksize_, le::pool::threads());

  fillPlanes(crop, scale);
  for (auto& p : planes_) unsharpPlane(p.data());
  compositeTail(frame, W, x0, x1, y0, y1, ib, ie, tu, tv);
}

void Paste::fillPlanes(const float* crop, float scale) {
  if (crop == nullptr) throw std::invalid_argument("paste: null crop");
  const size_t S = static_cast<size_t>(side_);
  le::pool::parallelRange(3 * S, kGrain, [&](size_t begin, size_t end) {
    for (size_t r = begin; r < end; ++r) {
      float* dst = planes_[r / S].data() + (r % S) * S;
      const float* src = crop + r * S;
      for (size_t i = 0; i < S; ++i) dst[i] = src[i] * scale;
    }
  });
}

void Paste::unsharpPlane(float* plane) {
  if (side_ > kMaxSide) throw std::runtime_error("paste: side > 1024");
  if (plane == nullptr) throw std::invalid_argument("paste: null plane");
  const int S = side_;
  const int h = (ksize_ - 1) / 2;
  const size_t P = static_cast<size_t>(padded_);

  le::pool::parallelRange(P, kGrain, [&](size_t begin, size_t end) {
    for (size_t r = begin; r < end; ++r) {
      const float* src = plane + static_cast<size_t>(reflect(static_cast<int>(r) - h, S)) * S;
      float* dst = pad_.data() + r * P;
      for (int i = 0; i < h; ++i) dst[i] = src[h - i];
      std::memcpy(dst + h, src, static_cast<size_t>(S) * sizeof(float));
      for (int i = h + S; i < padded_; ++i) dst[i] = src[reflect(i - h, S)];
    }
  });

  // Horizontal pass over the flat pad, one padded row per call so the split
  // between vector body and tail never depends on the thread count. Values
  // that wrap into the next row land in columns >= S, which nobody reads.
  const size_t n = P * P - static_cast<size_t>(ksize_ - 1);
  le::pool::parallelRange(P, kGrain, [&](size_t begin, size_t end) {
    for (size_t r = begin; r < end; ++r)
      le::simd::pasteBlurFlat(pad_.data() + r * P, gauss_.data(), ksize_, blur_.data() + r * P,
                              std::min(P, n - r * P));
  });

  le::pool::parallelRange(static_cast<size_t>(S), kGrain, [&](size_t begin, size_t end) {
    for (size_t y = begin; y < end; ++y)
      le::simd::pasteSharpenRow(blur_.data() + y * P, P, gauss_.data(), ksize_, amount_,
                                plane + y * static_cast<size_t>(S), static_cast<size_t>(S));
  });
}

void Paste::interleave() {
  const size_t S = static_cast<size_t>(side_);
  le::pool::parallelRange(S, kGrain, [&](size_t begin, size_t end) {
    const float* r = planes_[0].data();
    const float* g = planes_[1].data();
    const float* b = planes_[2].data();
    for (size_t i = begin * S; i < end * S; ++i) {
      float* px = rgba_.data() + 4 * i;
      px[0] = r[i];
      px[1] = g[i];
      px[2] = b[i];
      px[3] = 0.0f;
    }
  });
}

namespace {

// The row's part of the fixed-point coordinates; false when it does not fit.
bool rowBase(int y, double i0, double t0, int32_t& out) {
  const double v = (y * i0 + t0) * 1024.0;
  if (!fitsFixed(v)) return false;
  out = static_cast<int32_t>(std::rint(v)) + 16;
  return true;
}

}  // namespace

void Paste::compositeTail(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double ib,
                          double ie, double tu, double tv) {
  if (frame == nullptr) throw std::invalid_argument("paste: null frame");
  if (W < 1 || x0 < 0 || x0 > x1 || x1 >= W || y0 < 0 || y0 > y1 ||
      static_cast<size_t>(x1) >= colU_.size())
    throw std::invalid_argument("paste: compositeTail columns " + std::to_string(x0) + " ... " +
                                std::to_string(x1) + ", rows " + std::to_string(y0) + " ... " +
                                std::to_string(y1) + " outside the frame or the column tables");
  if (mode_ != 0) {
    pasteRowsSeparable(frame, W, x0, x1, y0, y1, ib, ie, tu, tv);
    return;
  }
  interleave();
  const le::simd::PasteLanczos8RowFn kernel = le::simd::pasteLanczos8RowKernel();
  const size_t rows = static_cast<size_t>(y1 - y0) + 1;
  le::pool::parallelRange(rows, kGrain, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      const int y = y0 + static_cast<int>(i);
      int32_t bu, bv;
      if (!rowBase(y, ib, tu, bu) || !rowBase(y, ie, tv, bv)) continue;
      kernel(rgba_.data(), side_, mask_.data(), lanczos_.data(), bilinear_.data(), colU_.data(),
             colV_.data(), bu, bv, x0, x1, frame + static_cast<size_t>(y) * static_cast<size_t>(W) * 3);
    }
  });
}

void Paste::pasteRowsSeparable(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double ib,
                               double ie, double tu, double tv) {
  // Bicubic: 4 taps at -1 ... 2; bilinear: 2 taps at 0 ... 1.
  const bool cubic = mode_ == 1;
  const int taps = cubic ? 4 : 2;
  const int first = cubic ? -1 : 0;
  const float* table = cubic ? cubic_.data() : bilinear_.data();
  const int S = side_;
  const size_t rows = static_cast<size_t>(y1 - y0) + 1;
  le::pool::parallelRange(rows, kGrain, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      const int y = y0 + static_cast<int>(i);
      int32_t bu, bv;
      if (!rowBase(y, ib, tu, bu) || !rowBase(y, ie, tv, bv)) continue;
      uint8_t* row = frame + static_cast<size_t>(y) * static_cast<size_t>(W) * 3;
      for (int x = x0; x <= x1; ++x) {
        paste::Tap t;
        if (!paste::tapAt(int64_t{bu} + colU_[static_cast<size_t>(x)],
                          int64_t{bv} + colV_[static_cast<size_t>(x)], S, t))
          continue;
        const float level = paste::maskLevel(mask_.data(), S, t, bilinear_.data());
        if (level <= 0.0f) continue;
        const float alpha = level / 255.0f;
        const float* wx = table + taps * t.pu;
        const float* wy = table + taps * t.pv;
        float acc[3] = {0.0f, 0.0f, 0.0f};
        for (int r = 0; r < taps; ++r) {
          const int64_t sy = t.iv + first + r;
          if (sy < 0 || sy >= S) continue;
          float hsum[3] = {0.0f, 0.0f, 0.0f};
          for (int k = 0; k < taps; ++k) {
            const int64_t sx = t.iu + first + k;
            if (sx < 0 || sx >= S) continue;
            const size_t at = static_cast<size_t>(sy * S + sx);
            for (int ch = 0; ch < 3; ++ch) hsum[ch] += wx[k] * planes_[static_cast<size_t>(ch)][at];
          }
          for (int ch = 0; ch < 3; ++ch) acc[ch] += wy[r] * hsum[ch];
        }
        uint8_t* px = row + static_cast<size_t>(x) * 3;
        for (int ch = 0; ch < 3; ++ch) px[ch] = paste::blendByte(alpha, acc[ch], px[ch]);
      }
    }
  });
}

}  // namespace le
