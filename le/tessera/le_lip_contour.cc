#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "le/tessera/lip_contour.h"
#include "le/tessera/teeth_math.h"
#include "le/tessera/tessera_json.h"

namespace le::tessera {

namespace {

using json::JVal;

constexpr int kMaxCanvas = 8192;
constexpr int kMaxMapAnchors = 8;
// Chamfer steps: edge and diagonal neighbours.
constexpr float kEdgeStep = 0.955f;
constexpr float kDiagStep = 1.3693f;
constexpr float kFar = 1e10f;

[[noreturn]] void refuse(const std::string& what) {
  throw std::runtime_error("lip_template.v1.json: " + what);
}

// A JSON value as it appears in a message.
std::string valueText(const JVal& v) {
  switch (v.kind) {
    case JVal::kStr: return v.str;
    case JVal::kNum: {
      char buf[32];
      const auto r = std::to_chars(buf, buf + sizeof buf, v.num);
      return std::string(buf, r.ptr);
    }
    case JVal::kBool: return v.b ? "true" : "false";
    case JVal::kArr: return "[...]";
    case JVal::kObj: return "{...}";
    default: return "null";
  }
}

bool rowInRange(double truncated) { return truncated >= 0.0 && truncated <= 20.0; }

void checkFeather(double feather, int canvas) {
  if (!(feather > 0.0) || !(static_cast<float>(std::min(feather, 1e30)) > 0.f))
    refuse("declares feather_px " + json::fixedText(feather, 6) + ", which is not positive");
  if (feather > canvas)
    refuse("declares feather_px " + json::fixedText(feather, 6) + ", wider than the " +
           std::to_string(canvas) + " px canvas");
}

void checkLipRow(double truncated) {
  if (!rowInRange(truncated))
    refuse("lip_idx names keypoint row " + json::wholeText(truncated) + ", and a kd row is 0..20");
}

float featherValue(float d, float feather) { return teeth::smoothstep01(1.f - d / feather); }


Box clampBox(const Box& b, int canvas) {
  auto c = [canvas](int32_t v) { return std::clamp<int32_t>(v, 0, canvas); };
  Box r{c(b.x0), c(b.y0), c(b.x1), c(b.y1)};
  r.x1 = std::max(r.x1, r.x0);
  r.y1 = std::max(r.y1, r.y0);
  return r;
}

bool meets(const Box& a, const Box& b) {
  return std::max(a.x0, b.x0) < std::min(a.x1, b.x1) && std::max(a.y0, b.y0) < std::min(a.y1, b.y1);
}

// ---------------------------------------------------------------------------
// Template reading, one step per function

void readFormat(const JVal& t) {
  const JVal* f = t.find("format");
  if (!f || !f->isStr()) refuse("carries no string `format`");
  if (f->str != "lip-template-v1")
    refuse("declares format '" + f->str + "', not 'lip-template-v1' — this runtime cannot read it");
  if (const JVal* e = t.find("edge"); e && !(e->isStr() && e->str == "outward"))
    refuse("declares edge '" + valueText(*e) +
           "', and the contour feather is OUTWARD — refusing to serve a mask this runtime does not "
           "compute");
}

void readCanvas(const JVal& t, int canvas) {
  const JVal* c = t.find("canvas");
  if (!c || !c->isNum()) refuse("carries no numeric `canvas`");
  if (std::trunc(c->num) != double(canvas))
    refuse("was baked on a " + json::wholeText(c->num) + " canvas but this bundle composes on " +
           std::to_string(canvas) + " — refusing to deform a polygon onto a canvas it does not name");
}

double readFeather(const JVal& t, int canvas) {
  const JVal* f = t.find("feather_px");
  if (!f || !f->isNum()) refuse("carries no numeric `feather_px`");
  checkFeather(f->num, canvas);
  return f->num;
}

std::vector<double> readUCanon(const JVal& t) {
  const JVal* u = t.find("u_canon");
  if (!u || !u->isArr() || u->arr.empty()) refuse("carries no non-empty `u_canon` array");
  std::vector<double> out;
  out.reserve(u->arr.size() * 2);
  for (size_t i = 0; i < u->arr.size(); ++i) {
    const JVal& row = u->arr[i];
    if (!row.isArr() || row.arr.size() != 2 || !row.arr[0].isNum() || !row.arr[1].isNum())
      refuse("u_canon row " + std::to_string(i) + " is not a 2-vector — this is not an nv x 2 template");
    out.push_back(row.arr[0].num);
    out.push_back(row.arr[1].num);
  }
  return out;
}

std::vector<int> readLipIdx(const JVal& t) {
  const JVal* l = t.find("lip_idx");
  if (!l || !l->isArr() || l->arr.empty()) refuse("carries a `lip_idx` that is not a non-empty array");
  std::vector<int> out;
  for (const JVal& e : l->arr) {
    if (!e.isNum()) refuse("lip_idx names keypoint row " + valueText(e) + ", and a kd row is 0..20");
    const double v = std::trunc(e.num);
    checkLipRow(v);
    out.push_back(static_cast<int>(v));
  }
  return out;
}

struct MapData {
  std::vector<double> W, b;
  std::vector<int> idx;
  int rows = 0, cols = 0;
};

std::vector<int> readMapIdx(const JVal& m) {
  const JVal* l = m.find("lip_idx");
  if (!l || !l->isArr() || l->arr.empty() || l->arr.size() > size_t(kMaxMapAnchors))
    refuse("lip_map lip_idx is not 1..8 kd rows");
  std::vector<int> out;
  for (const JVal& e : l->arr) {
    if (!e.isNum() || e.num != std::trunc(e.num) || !rowInRange(e.num))
      refuse("lip_map lip_idx names a row outside 0..20");
    out.push_back(static_cast<int>(e.num));
  }
  return out;
}

void readMapCoefficients(const JVal& m, int nv, MapData& d) {
  const JVal* W = m.find("W");
  const JVal* b = m.find("b");
  if (!W || !b || !W->isArr() || !b->isArr()) refuse("lip_map carries no W/b arrays");
  const size_t rows = size_t(2) * size_t(nv);
  if (W->arr.size() != rows || b->arr.size() != rows)
    refuse("lip_map W/b have " + std::to_string(W->arr.size()) + "/" + std::to_string(b->arr.size()) +
           " rows, not 2*nv=" + std::to_string(rows));
  const size_t cols = 2 * d.idx.size();
  for (size_t i = 0; i < rows; ++i)
    if (!W->arr[i].isArr() || W->arr[i].arr.size() != cols)
      refuse("lip_map W row " + std::to_string(i) + " is not " + std::to_string(cols) + " wide");
  auto take = [](const JVal& v, std::vector<double>& out) {
    if (!v.isNum() || !std::isfinite(v.num)) refuse("lip_map carries a non-finite coefficient");
    out.push_back(v.num);
  };
  for (size_t i = 0; i < rows; ++i)
    for (const JVal& v : W->arr[i].arr) take(v, d.W);
  for (const JVal& v : b->arr) take(v, d.b);
  d.rows = int(rows);
  d.cols = int(cols);
}

MapData readMap(const JVal& m, int nv, int canvas) {
  if (!m.isObj()) refuse("lip_map is not a JSON object");
  const JVal* schema = m.find("schema");
  if (!schema || !schema->isStr() || schema->str != "lip-map-v1")
    refuse("lip_map declares schema '" + (schema ? valueText(*schema) : std::string()) +
           "', not 'lip-map-v1' — this runtime cannot evaluate it");
  const JVal* kind = m.find("kind");
  if (!kind || !kind->isStr() || kind->str != "anchor-linear")
    refuse("lip_map kind is not 'anchor-linear'");
  MapData d;
  d.idx = readMapIdx(m);
  readMapCoefficients(m, nv, d);
  if (const JVal* c = m.find("canvas"); c && !(c->isNum() && std::trunc(c->num) == double(canvas)))
    refuse("lip_map was fitted on another canvas than this bundle composes on");
  return d;
}

}  // namespace

LipContour LipContour::fromTemplateJson(const std::string& text, int canvas) {
  JVal t;
  try {
    t = json::parseJson(text, "lip_template.v1.json");
  } catch (const std::exception& e) {
    refuse(std::string("is not parseable JSON (") + e.what() + ")");
  }
  if (!t.isObj()) refuse("is not a JSON object");
  readFormat(t);
  readCanvas(t, canvas);
  const double feather = readFeather(t, canvas);
  const std::vector<double> u = readUCanon(t);
  const std::vector<int> idx = readLipIdx(t);
  const int nv = int(u.size() / 2);
  LipContour lc(canvas, static_cast<float>(feather), u.data(), nv, idx.data(), int(idx.size()));
  if (const JVal* m = t.find("lip_map")) {
    const MapData d = readMap(*m, nv, canvas);
    lc.attachMap(d.W.data(), d.b.data(), d.rows, d.cols, d.idx.data(), int(d.idx.size()));
  }
  return lc;
}

LipContour::LipContour(int canvas, float feather_px, const double* u_canon, int nv,
                       const int* lip_idx, int n)
    : canvas_(canvas), feather_px_(feather_px), nv_(nv) {
  if (canvas < 1 || canvas > kMaxCanvas)
    refuse("canvas " + std::to_string(canvas) + " is not a render size within 1..8192");
  checkFeather(feather_px, canvas);
  if (!u_canon || nv < 1) refuse("carries no non-empty `u_canon` array");
  if (!lip_idx || n < 1) refuse("carries a `lip_idx` that is not a non-empty array");
  for (int i = 0; i < n; ++i) checkLipRow(lip_idx[i]);
  u_canon_.assign(u_canon, u_canon + size_t(2) * size_t(nv));
  lip_idx_.assign(lip_idx, lip_idx + n);
}

void LipContour::attachMap(const double* W, const double* b, int rows, int cols, const int* lip_idx,
                           int k) {
  if (!W || !b || !lip_idx || k < 1 || k > kMaxMapAnchors || int64_t(rows) != 2 * int64_t(nv_) ||
      int64_t(cols) != 2 * int64_t(k))
    refuse("lip_map shape does not match the template");
  for (int i = 0; i < k; ++i)
    if (!rowInRange(lip_idx[i])) refuse("lip_map lip_idx names a row outside 0..20");
  const size_t nW = size_t(rows) * size_t(cols);
  for (size_t i = 0; i < nW; ++i)
    if (!std::isfinite(W[i])) refuse("lip_map carries a non-finite coefficient");
  for (int i = 0; i < rows; ++i)
    if (!std::isfinite(b[i])) refuse("lip_map carries a non-finite coefficient");
  W_.assign(W, W + nW);
  b_.assign(b, b + rows);
  mapCols_ = cols;
  lip_idx_.assign(lip_idx, lip_idx + k);
}

// ---------------------------------------------------------------------------
// Per frame

void LipContour::polygon(const float* kp, double* out) const {
  const size_t k = lip_idx_.size();
  const double half = canvas_ / 2.0;
  double mx = 0, my = 0;
  for (const int32_t r : lip_idx_) {
    mx += (double(kp[3 * r]) + 1.0) * half;
    my += (double(kp[3 * r + 1]) + 1.0) * half;
  }
  mx /= double(k);
  my /= double(k);
  if (mapCols_ > 0) {
    // a = anchor offsets (x0 - mx, y0 - my, x1 - mx, ...); out = b + W a.
    double a[2 * kMaxMapAnchors];
    for (size_t i = 0; i < k; ++i) {
      a[2 * i] = (double(kp[3 * lip_idx_[i]]) + 1.0) * half - mx;
      a[2 * i + 1] = (double(kp[3 * lip_idx_[i] + 1]) + 1.0) * half - my;
    }
    for (size_t j = 0; j < size_t(2) * size_t(nv_); ++j) {
      const double* w = W_.data() + j * size_t(mapCols_);
      double v = b_[j];
      for (int c = 0; c < mapCols_; ++c) v += w[c] * a[c];
      out[j] = v + ((j % 2) ? my : mx);
    }
    return;
  }
  double sx = 0, sy = 0;
  for (const int32_t r : lip_idx_) {
    sx = std::max(sx, std::fabs((double(kp[3 * r]) + 1.0) * half - mx));
    sy = std::max(sy, std::fabs((double(kp[3 * r + 1]) + 1.0) * half - my));
  }
  sx = std::max(sx, 1e-6);
  sy = std::max(sy, 1e-6);
  for (size_t i = 0; i < size_t(nv_); ++i) {
    out[2 * i] = u_canon_[2 * i] * sx + mx;
    out[2 * i + 1] = u_canon_[2 * i + 1] * sy + my;
  }
}

Box LipContour::box(const double* poly) const {
  double x0 = poly[0], x1 = poly[0], y0 = poly[1], y1 = poly[1];
  for (size_t i = 0; i < size_t(nv_); ++i) {
    const double x = poly[2 * i], y = poly[2 * i + 1];
    if (!std::isfinite(x) || !std::isfinite(y)) return {};
    x0 = std::min(x0, x), x1 = std::max(x1, x);
    y0 = std::min(y0, y), y1 = std::max(y1, y);
  }
  const double g = double(feather_px_) + 2.0, n = canvas_;
  // Clamped in double: a polygon far off the canvas must not become an index.
  auto c = [n](double v) { return static_cast<int32_t>(std::clamp(v, 0.0, n)); };
  Box b;
  b.x0 = c(std::floor(x0 - g));
  b.y0 = c(std::floor(y0 - g));
  b.x1 = std::max(c(std::ceil(x1 + g) + 1.0), b.x0);
  b.y1 = std::max(c(std::ceil(y1 + g) + 1.0), b.y0);
  return b;
}

namespace {

// Plots the Bresenham line between two box-relative points, every octant,
// both ends, keeping only the pixels inside the w x h box.
void drawLine(int64_t xa, int64_t ya, int64_t xb, int64_t yb, int w, int h, uint8_t* out) {
  const int64_t dx = std::abs(xb - xa), sx = xa < xb ? 1 : -1;
  const int64_t dy = -std::abs(yb - ya), sy = ya < yb ? 1 : -1;
  int64_t err = dx + dy;
  for (;;) {
    if (xa >= 0 && xa < w && ya >= 0 && ya < h) out[size_t(ya) * size_t(w) + size_t(xa)] = 255;
    if (xa == xb && ya == yb) return;
    const int64_t e2 = 2 * err;
    if (e2 >= dy) err += dy, xa += sx;
    if (e2 <= dx) err += dx, ya += sy;
  }
}

// Even-odd scanline fill: per row, the crossings of the edges that cover it
// (smaller y inclusive, larger y exclusive) in 16.16 fixed point, 64 bits
// wide so vertices far off the box cannot overflow; pairs fill from the first
// rounded up to the second rounded down.
void fillRows(const std::vector<int64_t>& vx, const std::vector<int64_t>& vy, int w, int h,
              uint8_t* out) {
  const size_t n = vx.size();
  std::vector<int64_t> xs;
  for (int y = 0; y < h; ++y) {
    xs.clear();
    for (size_t i = 0; i < n; ++i) {
      int64_t xa = vx[i], ya = vy[i], xb = vx[(i + 1) % n], yb = vy[(i + 1) % n];
      if (ya == yb) continue;
      if (ya > yb) std::swap(xa, xb), std::swap(ya, yb);
      if (y < ya || y >= yb) continue;
      const int64_t step = ((xb - xa) * 65536) / (yb - ya);
      xs.push_back(xa * 65536 + step * (y - ya));
    }
    std::sort(xs.begin(), xs.end());
    uint8_t* row = out + size_t(y) * size_t(w);
    for (size_t k = 0; k + 1 < xs.size(); k += 2) {
      const int64_t lo = std::max<int64_t>((xs[k] + 65535) >> 16, 0);
      const int64_t hi = std::min<int64_t>(xs[k + 1] >> 16, w - 1);
      if (lo <= hi) std::memset(row + lo, 255, size_t(hi - lo + 1));
    }
  }
}

// Two-pass chamfer distance from the non-zero pixels of `fill`, then the
// outward feather, written into the box region of a canvas-wide array.
void feather(const uint8_t* fill, int w, int h, float featherPx, float* dist, float* out,
             size_t stride) {
  for (size_t i = 0; i < size_t(w) * size_t(h); ++i) dist[i] = fill[i] ? 0.f : kFar;
  for (int y = 0; y < h; ++y) {  // forward: left, upper-left, up, upper-right
    float* r = dist + size_t(y) * size_t(w);
    const float* up = y > 0 ? r - w : nullptr;
    for (int x = 0; x < w; ++x) {
      float d = r[x];
      if (x > 0) d = std::min(d, r[x - 1] + kEdgeStep);
      if (up) {
        if (x > 0) d = std::min(d, up[x - 1] + kDiagStep);
        d = std::min(d, up[x] + kEdgeStep);
        if (x + 1 < w) d = std::min(d, up[x + 1] + kDiagStep);
      }
      r[x] = d;
    }
  }
  for (int y = h - 1; y >= 0; --y) {  // backward: right, lower-right, down, lower-left
    float* r = dist + size_t(y) * size_t(w);
    const float* dn = y + 1 < h ? r + w : nullptr;
    for (int x = w - 1; x >= 0; --x) {
      float d = r[x];
      if (x + 1 < w) d = std::min(d, r[x + 1] + kEdgeStep);
      if (dn) {
        if (x + 1 < w) d = std::min(d, dn[x + 1] + kDiagStep);
        d = std::min(d, dn[x] + kEdgeStep);
        if (x > 0) d = std::min(d, dn[x - 1] + kDiagStep);
      }
      r[x] = d;
    }
  }
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      out[size_t(y) * stride + size_t(x)] = featherValue(dist[size_t(y) * size_t(w) + size_t(x)], featherPx);
}

}  // namespace

void LipContour::fillScanline(const double* poly, const Box& boxIn, uint8_t* out) const {
  const Box b = clampBox(boxIn, canvas_);
  const int w = b.width(), h = b.height();
  if (w == 0 || h == 0) return;
  std::memset(out, 0, size_t(w) * size_t(h));
  // Vertices far off the canvas are pulled in to [-2c, 3c] before rounding:
  // no pixel of the box changes, and the integer arithmetic stays small.
  const double lo = -2.0 * canvas_, hi = 3.0 * canvas_;
  std::vector<int64_t> vx(static_cast<size_t>(nv_)), vy(static_cast<size_t>(nv_));
  for (size_t i = 0; i < size_t(nv_); ++i) {
    const double x = poly[2 * i], y = poly[2 * i + 1];
    if (!std::isfinite(x) || !std::isfinite(y)) return;
    vx[i] = static_cast<int64_t>(std::nearbyint(std::clamp(x, lo, hi))) - b.x0;
    vy[i] = static_cast<int64_t>(std::nearbyint(std::clamp(y, lo, hi))) - b.y0;
  }
  for (size_t i = 0; i < size_t(nv_); ++i) {
    const size_t j = (i + 1) % size_t(nv_);
    drawLine(vx[i], vy[i], vx[j], vy[j], w, h, out);
  }
  fillRows(vx, vy, w, h, out);
}

void LipContour::contourF32(const double* poly, const Box& boxIn, float* out) const {
  const Box b = clampBox(boxIn, canvas_);
  const int w = b.width(), h = b.height();
  if (w == 0 || h == 0) return;
  const size_t n = size_t(w) * size_t(h);
  if (fill_.size() < n) fill_.resize(n), dist_.resize(n);
  fillScanline(poly, b, fill_.data());
  feather(fill_.data(), w, h, feather_px_, dist_.data(),
          out + size_t(b.y0) * size_t(canvas_) + size_t(b.x0), size_t(canvas_));
}

void LipContour::contourF32Canvas(const float* kp, float* out) const {
  std::fill(out, out + size_t(canvas_) * size_t(canvas_), 0.f);
  poly_.resize(size_t(2) * size_t(nv_));
  polygon(kp, poly_.data());
  contourF32(poly_.data(), box(poly_.data()), out);
}

// The contour of a frame in the canvas buffer, valid inside *box only.
const float* LipContour::contourOver(const float* kp, Box* b) const {
  poly_.resize(size_t(2) * size_t(nv_));
  polygon(kp, poly_.data());
  *b = box(poly_.data());
  canvasF_.resize(size_t(canvas_) * size_t(canvas_));
  if (!b->empty()) contourF32(poly_.data(), *b, canvasF_.data());
  return canvasF_.data();
}

void LipContour::checkPi(const UnifiedPi& pi) const {
  if (pi.canvas != canvas_)
    throw std::runtime_error("lip contour: the compose descriptor renders at canvas " +
                             std::to_string(pi.canvas) + " but the contour was built for " +
                             std::to_string(canvas_));
}

void LipContour::deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out) const {
  checkPi(pi);
  Box b;
  const float* contour = contourOver(kp, &b);
  if (b.empty()) {
    std::memset(out, 0, size_t(canvas_) * size_t(canvas_));
    return;
  }
  pi.piU8ShrunkBy(kp, contour, b, out);
}

bool LipContour::shrinkU8InPlace(const float* kp, const Box& boxIn, uint8_t* mask) const {
  const Box region = clampBox(boxIn, canvas_);
  if (region.empty()) return false;
  Box cb;
  const float* contour = contourOver(kp, &cb);
  const size_t n = size_t(canvas_);
  if (!meets(region, cb)) {
    for (int y = region.y0; y < region.y1; ++y)
      std::memset(mask + size_t(y) * n + size_t(region.x0), 0, size_t(region.width()));
    return false;
  }
  bool lit = false;
  for (int y = region.y0; y < region.y1; ++y) {
    uint8_t* row = mask + size_t(y) * n;
    const float* crow = contour + size_t(y) * n;
    const bool rowIn = y >= cb.y0 && y < cb.y1;
    for (int x = region.x0; x < region.x1; ++x) {
      const bool in = rowIn && x >= cb.x0 && x < cb.x1;
      row[x] = in ? std::min(row[x], teeth::toByte(crow[x])) : uint8_t{0};
      lit = lit || row[x] != 0;
    }
  }
  return lit;
}

bool LipContour::deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double* cCanon,
                                     uint8_t* out, int* dy, int* dx) const {
  checkPi(pi);
  const bool found = pi.piU8AndShift(kp, cCanon, out, dy, dx);
  const bool lit = shrinkU8InPlace(kp, pi.supportBox(kp), out);
  return found && lit;
}

}  // namespace le::tessera
