#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "le/tessera/teeth_math.h"
#include "le/tessera/tessera_json.h"
#include "le/tessera/tessera_pi.h"

namespace le::tessera {

namespace {

// Largest canvas edge, window pad and stamp coordinate a bank may name: far
// above any render size, far below where 64-bit products could overflow.
constexpr int64_t kMaxCanvas = 8192;

using json::JVal;

[[noreturn]] void refuse(const std::string& what) { throw std::runtime_error(what); }

// Doubles narrowed to float without leaving its range (NaN stays NaN).
float narrow(double v) {
  if (v > FLT_MAX) return FLT_MAX;
  if (v < -FLT_MAX) return -FLT_MAX;
  return static_cast<float>(v);
}

bool finiteParams(const EllParams& p) {
  return std::isfinite(p.cx) && std::isfinite(p.cy) && std::isfinite(p.rx) && std::isfinite(p.ry) &&
         std::isfinite(p.soft);
}

// Mean and largest deviation of the lip keypoints' x and y.
struct LipStats {
  double cx = 0, cy = 0, dx = 0, dy = 0;
  bool ok = false;  // every lip keypoint finite
};

LipStats lipStats(const std::vector<int32_t>& idx, const float* kp) {
  LipStats s;
  if (!kp || idx.empty()) return s;
  double sx = 0, sy = 0;
  for (const int32_t i : idx) {
    const double x = kp[3 * i], y = kp[3 * i + 1];
    if (!std::isfinite(x) || !std::isfinite(y)) return s;
    sx += x;
    sy += y;
  }
  s.cx = sx / double(idx.size());
  s.cy = sy / double(idx.size());
  for (const int32_t i : idx) {
    s.dx = std::max(s.dx, std::fabs(kp[3 * i] - s.cx));
    s.dy = std::max(s.dy, std::fabs(kp[3 * i + 1] - s.cy));
  }
  s.ok = true;
  return s;
}

EllParams nanParams() {
  const float n = std::numeric_limits<float>::quiet_NaN();
  return {n, n, n, n, n};
}

// The ellipse (cx, cy + down) with radii max(d + pad, min), times scale.
EllParams ellFrom(const LipStats& st, double padX, double padY, double minRx, double minRy,
                  double scale, double down) {
  if (!st.ok) return nanParams();
  double rx = std::max(st.dx + padX, minRx), ry = std::max(st.dy + padY, minRy);
  if (scale != 1.0) rx *= scale, ry *= scale;
  const float frx = narrow(rx), fry = narrow(ry);
  return {narrow(st.cx), narrow(st.cy + down), frx, fry,
          narrow(std::sqrt(double(frx) * double(fry)) * 256.0)};
}

// Smoothstep edge: t = (1 - d) * soft / 10, 0 below 0 (and for NaN).
float edge(float d, float soft) { return teeth::smoothstep01((1.f - d) * soft / 10.f); }


// Squared normalised offsets of every grid entry in [lo, hi) from an axis of
// an ellipse.
void axisTerms(const std::vector<float>& grid, int lo, int hi, float c, float r, float* out) {
  for (int i = lo; i < hi; ++i) {
    const float u = (grid[size_t(i)] - c) / r;
    out[i - lo] = u * u;
  }
}

Box clampBox(const Box& b, int canvas) {
  auto c = [canvas](int32_t v) { return std::clamp<int32_t>(v, 0, canvas); };
  Box r{c(b.x0), c(b.y0), c(b.x1), c(b.y1)};
  if (r.x1 < r.x0) r.x1 = r.x0;
  if (r.y1 < r.y0) r.y1 = r.y0;
  return r;
}

Box intersect(const Box& a, const Box& b) {
  Box r{std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1), std::min(a.y1, b.y1)};
  if (r.x1 < r.x0) r.x1 = r.x0;
  if (r.y1 < r.y0) r.y1 = r.y0;
  return r;
}

// Whole-pixel shift of a centroid difference, half to even; the difference is
// clamped first so no cast leaves the int range.
int shiftOf(double d) { return static_cast<int>(std::nearbyint(std::clamp(d, -1e9, 1e9))); }

}  // namespace

void GeometryStamp::validate() const {
  const int64_t cw = canvas_w, ch = canvas_h, wx = window_x0, wy = window_y0;
  const int64_t ww = window_w, wh = window_h, p = pad, sm = shift_margin;
  const int64_t r0 = band_r0, r1 = band_r1, c0 = band_c0, c1 = band_c1;
  std::string problems;
  auto check = [&](bool ok, const char* text) {
    if (!ok) problems.append(" ").append(text).append(";");
  };
  check(ww > 0 && wh > 0, "window dims must be positive");
  check(wx >= 0 && wx + ww <= cw, "window x-range escapes canvas");
  check(wy >= 0 && wy + wh <= ch, "window y-range escapes canvas");
  check(0 <= r0 && r0 < r1 && r1 <= wh, "band rows escape window");
  check(0 <= c0 && c0 < c1 && c1 <= ww, "band cols escape window");
  check(sm >= 0 && p > 0, "pad/shift_margin must be positive");
  check(p + r0 >= sm && p + r1 + sm <= wh + 2 * p, "stored band rows escape patch");
  check(p + c0 >= sm && p + c1 + sm <= ww + 2 * p, "stored band cols escape patch");
  // Once coherent, sizes must also be ones the pass can allocate: the eight
  // rules above bound the band by the window and the margin by the pad.
  if (problems.empty()) {
    check(cw >= 1 && cw <= kMaxCanvas && ch >= 1 && ch <= kMaxCanvas,
          "canvas dims must be within 1..8192");
    check(ww >= 4 && wh >= 4, "window dims must be at least 4");
    check(p <= kMaxCanvas, "pad must be at most 8192");
  }
  if (!problems.empty()) throw std::runtime_error("teeth: GeometryStamp incoherent:" + problems);
}

// ---------------------------------------------------------------------------
// Reading the descriptor

namespace {

const char kNoUnified[] =
    "teeth-pi: manifest has no `unified` block — this bundle predates the unified compose and "
    "cannot state the pi geometry it was baked with; refusing to guess one";
const char kNoCorpusFrames[] =
    "teeth-pi: the corpus frame is identified from the bundle's own xs_target and none was "
    "supplied — refusing to fall back to the stamped geometry, which is the GRAPH's compose field";
const char kEmptyEverywhere[] =
    "teeth-pi: pi is empty on every source frame — cannot derive the canonical centroid this "
    "bundle's frame is identified by";

void checkCanvas(int canvas) {
  if (canvas < 1 || canvas > kMaxCanvas)
    refuse("teeth-pi: canvas " + std::to_string(canvas) + " is not a render size within 1..8192");
}

void readMode(const JVal& mode, UnifiedPi& u) {
  if (!mode.isStr()) refuse("teeth-pi: unified.pi.mode is not a string");
  if (mode.str != "prop")
    refuse("teeth-pi: unified.pi.mode '" + mode.str +
           "' is a compose-mask geometry this port cannot name — fail loud, never adapt (the "
           "stamped-geometry rule)");
  u.mode = mode.str;
}

void readCornerRecovery(const JVal* v, UnifiedPi& u) {
  if (!v) return;
  if (v->isBool()) u.corner_recovery = v->b;
  else if (v->isStr() && v->str == "lip_landmark_half") u.corner_recovery = true;
  else
    refuse("teeth-pi: unknown unified.pi.corner_recovery — a compose-mask geometry a consumer "
           "cannot name must never be guessed");
}

void readGateScale(const JVal& v, UnifiedPi& u) {
  if (!v.isNum() || !(v.num > 0.0) || v.num > FLT_MAX)
    refuse("teeth-pi: unified.pi.prop_gate_scale must be a positive number");
  u.prop_gate_scale = static_cast<float>(v.num);
}

void readLipIdx(const JVal& v, UnifiedPi& u) {
  if (!v.isArr() || v.arr.empty()) refuse("teeth-pi: unified.pi.lip_idx is not a non-empty array");
  for (const JVal& e : v.arr) {
    const double t = e.isNum() ? std::trunc(e.num) : -1.0;
    if (!(t >= 0.0 && t <= 20.0)) refuse("teeth-pi: unified.pi.lip_idx names a row outside 0..20");
    u.lip_idx.push_back(static_cast<int32_t>(t));
  }
}

void readGeom(const JVal& v, UnifiedPi& u) {
  const char* bad = "teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]";
  if (!v.isArr() || v.arr.size() != 3) refuse(bad);
  float g[3];
  for (int i = 0; i < 3; ++i) {
    const JVal& e = v.arr[size_t(i)];
    if (!e.isNum() || std::fabs(e.num) > FLT_MAX) refuse(bad);
    g[i] = static_cast<float>(e.num);
  }
  u.pad_x = g[0];
  u.pad_y = g[1];
  u.down = g[2];
}

void checkCropCanvas(const JVal& unified, int canvas) {
  const JVal* crop = unified.find("crop");
  const JVal* cc = crop ? crop->find("canvas") : nullptr;
  if (!cc) return;
  const std::string head =
      "teeth-pi: engine renders at canvas " + std::to_string(canvas) + " but unified.crop.canvas is ";
  if (!cc->isNum()) refuse(head + "not a number");
  if (std::trunc(cc->num) != double(canvas)) refuse(head + json::wholeText(cc->num));
}

void fillGrid(int canvas, std::vector<float>& g) {
  g.resize(size_t(canvas));
  if (canvas == 1) {
    g[0] = -1.f;
    return;
  }
  for (int i = 0; i < canvas; ++i) g[size_t(i)] = static_cast<float>(2.0 * i / (canvas - 1) - 1.0);
}

}  // namespace

UnifiedPi UnifiedPi::fromManifestJson(const std::string& manifestJson, int canvas) {
  checkCanvas(canvas);
  const JVal root = json::parseJson(manifestJson, "manifest.json");
  const JVal* unified = root.find("unified");
  if (!unified || !unified->isObj()) refuse(kNoUnified);
  const JVal& pi = unified->req("pi");
  const JVal& mode = pi.req("mode");
  const JVal& gateScale = pi.req("prop_gate_scale");
  const JVal& lipIdx = pi.req("lip_idx");
  const JVal& geom = pi.req("lip_geom_params");
  UnifiedPi u;
  u.canvas = canvas;
  readMode(mode, u);
  readCornerRecovery(pi.find("corner_recovery"), u);
  readGateScale(gateScale, u);
  readLipIdx(lipIdx, u);
  readGeom(geom, u);
  checkCropCanvas(*unified, canvas);
  fillGrid(canvas, u.gridX);
  fillGrid(canvas, u.gridY);
  return u;
}

// ---------------------------------------------------------------------------
// Ellipses per frame

namespace {

double apertureGate(const LipStats& st) {
  const double t = (st.dy - 0.02) / 0.01;
  if (t < 0.0) return 0.0;
  const double c = std::min(t, 1.0);
  return (3.0 - 2.0 * c) * c * c;
}

// Corner recovery grows the lip ellipse until every lip point lies inside it
// with five pixels of edge to spare.
double recoveryScale(const UnifiedPi& u, const LipStats& st, const float* kp) {
  const double rx0 = std::max(st.dx + u.pad_x, 0.1), ry0 = std::max(st.dy + u.pad_y, 0.1);
  const double cyd = st.cy + u.down;
  double m = 0.0;
  for (const int32_t i : u.lip_idx) {
    const double a = (kp[3 * i] - st.cx) / rx0, b = (kp[3 * i + 1] - cyd) / ry0;
    m = std::max(m, std::sqrt(a * a + b * b));
  }
  return std::max(1.0, 5.0 / (std::sqrt(rx0 * ry0) * 256.0) + m);
}

EllParams lipFrom(const UnifiedPi& u, const LipStats& st, const float* kp) {
  if (!st.ok) return nanParams();
  const double scale = u.corner_recovery ? recoveryScale(u, st, kp) : 1.0;
  return ellFrom(st, u.pad_x, u.pad_y, 0.1, 0.1, scale, u.down);
}

EllParams gateFrom(const UnifiedPi& u, const LipStats& st) {
  return ellFrom(st, 0.0, 0.0, 0.004, 0.004, u.prop_gate_scale, 0.0);
}

// Writes mul x the ellipse over the whole canvas (zeros for a NaN ellipse).
void drawEllipse(const UnifiedPi& u, const EllParams& p, float mul, float* out) {
  const size_t n = size_t(u.canvas);
  if (!finiteParams(p) || !(mul > 0.f)) {
    std::fill(out, out + n * n, 0.f);
    return;
  }
  std::vector<float> xs(n);
  axisTerms(u.gridX, 0, u.canvas, p.cx, p.rx, xs.data());
  for (size_t r = 0; r < n; ++r) {
    const float v = (u.gridY[r] - p.cy) / p.ry, vv = v * v;
    for (size_t c = 0; c < n; ++c) out[r * n + c] = mul * edge(std::sqrt(xs[c] + vv), p.soft);
  }
}

// Everything one frame's pi mask needs.
struct PiFrame {
  EllParams lip, gate;
  float gate01 = 0.f;
  bool ok = false;
};

PiFrame frameOf(const UnifiedPi& u, const float* kp) {
  PiFrame f;
  const LipStats st = lipStats(u.lip_idx, kp);
  if (!st.ok) return f;
  f.lip = lipFrom(u, st, kp);
  f.gate = gateFrom(u, st);
  f.gate01 = static_cast<float>(apertureGate(st));
  f.ok = finiteParams(f.lip) && finiteParams(f.gate);
  return f;
}

// Fills the pi bytes of region r (inside the canvas); with a shrink map, only
// where shrink > 0, with min(shrink, pi).
void fillRegion(const UnifiedPi& u, const PiFrame& f, const Box& r, const float* shrink,
                uint8_t* out) {
  const int w = r.width();
  if (w == 0 || r.height() == 0) return;
  const bool gateOn = f.gate01 > 0.f;
  std::vector<float> terms(size_t(2 * w));
  float* lx = terms.data();
  float* gx = lx + w;
  axisTerms(u.gridX, r.x0, r.x1, f.lip.cx, f.lip.rx, lx);
  if (gateOn) axisTerms(u.gridX, r.x0, r.x1, f.gate.cx, f.gate.rx, gx);
  const size_t n = size_t(u.canvas);
  for (int y = r.y0; y < r.y1; ++y) {
    const float lv = (u.gridY[size_t(y)] - f.lip.cy) / f.lip.ry, ly = lv * lv;
    const float gv = (u.gridY[size_t(y)] - f.gate.cy) / f.gate.ry, gy = gv * gv;
    uint8_t* row = out + size_t(y) * n + size_t(r.x0);
    const float* srow = shrink ? shrink + size_t(y) * n + size_t(r.x0) : nullptr;
    for (int i = 0; i < w; ++i) {
      // Outside an ellipse (d >= 1) its edge is 0: skip the root.
      const float l2 = lx[i] + ly;
      float v = l2 < 1.f ? edge(std::sqrt(l2), f.lip.soft) : 0.f;
      if (gateOn) {
        const float g2 = gx[i] + gy;
        if (g2 < 1.f) v = std::max(v, f.gate01 * edge(std::sqrt(g2), f.gate.soft));
      }
      if (srow) row[i] = srow[i] > 0.f ? teeth::toByte(std::min(srow[i], v)) : uint8_t{0};
      else row[i] = teeth::toByte(v);
    }
  }
}

Box unionBox(const Box& a, const Box& b) {
  return {std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
}

}  // namespace

EllParams UnifiedPi::lipParams(const float* kp) const {
  return lipFrom(*this, lipStats(lip_idx, kp), kp);
}

EllParams UnifiedPi::gateParams(const float* kp, float* gate) const {
  const LipStats st = lipStats(lip_idx, kp);
  if (gate) *gate = st.ok ? static_cast<float>(apertureGate(st)) : 0.f;
  return st.ok ? gateFrom(*this, st) : nanParams();
}

void UnifiedPi::ellMask(const float* kp, float padX, float padY, float minRx, float minRy,
                        float scale, float downBy, float* out) const {
  const LipStats st = lipStats(lip_idx, kp);
  drawEllipse(*this, ellFrom(st, padX, padY, minRx, minRy, scale, downBy), 1.f, out);
}

void UnifiedPi::lipMask(const float* kp, float* out) const {
  drawEllipse(*this, lipParams(kp), 1.f, out);
}

void UnifiedPi::propTeethGate(const float* kp, float* out) const {
  float g = 0.f;
  const EllParams p = gateParams(kp, &g);
  drawEllipse(*this, p, g, out);
}

Box UnifiedPi::ellBox(const EllParams& p) const {
  if (canvas < 2) return {0, 0, canvas, canvas};
  if (!finiteParams(p)) return {};
  const double s = (canvas - 1) / 2.0, n = canvas;
  // Clamped in double: an ellipse off the canvas must not become an index.
  auto clampD = [n](double v) { return std::isnan(v) ? 0.0 : std::clamp(v, 0.0, n); };
  auto lo = [&](double c, double r) {
    return static_cast<int32_t>(clampD(std::floor((c - r + 1.0) * s) - 1.0));
  };
  auto hi = [&](double c, double r, int32_t low) {
    return std::max(static_cast<int32_t>(clampD(std::ceil((c + r + 1.0) * s) + 2.0)), low);
  };
  Box b;
  b.x0 = lo(p.cx, p.rx);
  b.y0 = lo(p.cy, p.ry);
  b.x1 = hi(p.cx, p.rx, b.x0);
  b.y1 = hi(p.cy, p.ry, b.y0);
  return b;
}

Box UnifiedPi::supportBox(const float* kp) const {
  const PiFrame f = frameOf(*this, kp);
  if (!f.ok) return {};
  return unionBox(ellBox(f.lip), ellBox(f.gate));
}

// ---------------------------------------------------------------------------
// Masks as bytes and their centroids

void UnifiedPi::piU8(const float* kp, uint8_t* out) const {
  const PiFrame f = frameOf(*this, kp);
  if (!f.ok) {
    std::memset(out, 0, size_t(canvas) * size_t(canvas));
    return;
  }
  fillRegion(*this, f, Box{0, 0, canvas, canvas}, nullptr, out);
}

void UnifiedPi::piU8Boxed(const float* kp, uint8_t* out) const {
  std::memset(out, 0, size_t(canvas) * size_t(canvas));
  const PiFrame f = frameOf(*this, kp);
  if (f.ok) fillRegion(*this, f, unionBox(ellBox(f.lip), ellBox(f.gate)), nullptr, out);
}

void UnifiedPi::piU8ShrunkBy(const float* kp, const float* shrink, const Box& box,
                             uint8_t* out) const {
  std::memset(out, 0, size_t(canvas) * size_t(canvas));
  const PiFrame f = frameOf(*this, kp);
  if (!f.ok || !shrink) return;
  const Box support = unionBox(ellBox(f.lip), ellBox(f.gate));
  fillRegion(*this, f, intersect(clampBox(box, canvas), support), shrink, out);
}

bool UnifiedPi::piU8Centroid(const uint8_t* mask, double* cx, double* cy) const {
  return piU8Centroid(mask, Box{0, 0, canvas, canvas}, cx, cy);
}

bool UnifiedPi::piU8Centroid(const uint8_t* mask, const Box& box, double* cx, double* cy) const {
  const Box b = clampBox(box, canvas);
  uint64_t count = 0, sx = 0, sy = 0;
  for (int y = b.y0; y < b.y1; ++y) {
    const uint8_t* row = mask + size_t(y) * size_t(canvas);
    for (int x = b.x0; x < b.x1; ++x) {
      if (row[x] < 128) continue;
      ++count;
      sx += uint64_t(x);
      sy += uint64_t(y);
    }
  }
  if (count == 0) return false;
  *cx = double(sx) / double(count);
  *cy = double(sy) / double(count);
  return true;
}

bool UnifiedPi::piU8AndShift(const float* kp, const double* cCanon, uint8_t* out, int* dy,
                             int* dx) const {
  if (dy) *dy = 0;
  if (dx) *dx = 0;
  std::memset(out, 0, size_t(canvas) * size_t(canvas));
  const PiFrame f = frameOf(*this, kp);
  if (!f.ok) return false;
  const Box support = unionBox(ellBox(f.lip), ellBox(f.gate));
  fillRegion(*this, f, support, nullptr, out);
  double cx = 0, cy = 0;
  if (!piU8Centroid(out, support, &cx, &cy)) return false;
  if (!cCanon || !std::isfinite(cCanon[0]) || !std::isfinite(cCanon[1])) return false;
  if (dy) *dy = shiftOf(cy - cCanon[1]);
  if (dx) *dx = shiftOf(cx - cCanon[0]);
  return true;
}

// ---------------------------------------------------------------------------
// The canonical centroid and the corpus match

namespace {

// Mean centroid over the frames that have one, each computed inside its
// support box (outside it the mask is zero, so the centroid is the same).
bool meanCentroid(const UnifiedPi& u, const float* frames, int n, double* cx, double* cy) {
  if (!frames || n <= 0) return false;
  std::vector<uint8_t> mask(size_t(u.canvas) * size_t(u.canvas));
  double sx = 0, sy = 0;
  int count = 0;
  for (int i = 0; i < n; ++i) {
    const PiFrame f = frameOf(u, frames + size_t(i) * 63);
    if (!f.ok) continue;
    const Box support = unionBox(u.ellBox(f.lip), u.ellBox(f.gate));
    fillRegion(u, f, support, nullptr, mask.data());
    double x = 0, y = 0;
    if (!u.piU8Centroid(mask.data(), support, &x, &y)) continue;
    sx += x;
    sy += y;
    ++count;
  }
  if (count == 0) return false;
  *cx = sx / count;
  *cy = sy / count;
  return true;
}

struct Candidate {
  const PiGeometry* geom;
  double dist;
};

std::string candidateList(const std::vector<Candidate>& cs) {
  std::string s;
  for (const auto& c : cs) s += std::string(" ") + c.geom->name + "=" + json::fixedText(c.dist, 2) + "px";
  return s;
}

UnifiedPi withGeometry(const UnifiedPi& base, const PiGeometry& g) {
  UnifiedPi u = base;
  u.pad_x = g.pad_x;
  u.pad_y = g.pad_y;
  u.down = g.down;
  return u;
}

}  // namespace

void UnifiedPi::canonicalCentroid(const float* frames, int nFrames, double* cx, double* cy) const {
  if (!meanCentroid(*this, frames, nFrames, cx, cy)) refuse(kEmptyEverywhere);
}

UnifiedPi UnifiedPi::corpusFromManifestJson(const std::string& manifestJson, int canvas,
                                            const float* xsTarget, int nFrames,
                                            const double* cCanon, std::string* chosenName) {
  if (!xsTarget || nFrames <= 0) refuse(kNoCorpusFrames);
  // A NaN distance would break the ordering of the candidates.
  if (!cCanon || !std::isfinite(cCanon[0]) || !std::isfinite(cCanon[1]))
    refuse("teeth-pi: c_canon is not a finite pair");
  const UnifiedPi base = fromManifestJson(manifestJson, canvas);
  std::vector<Candidate> cands;
  for (const PiGeometry& g : kPiCorpus) {
    double cx = 0, cy = 0;
    const bool found = meanCentroid(withGeometry(base, g), xsTarget, nFrames, &cx, &cy);
    const double d = found ? std::hypot(cx - cCanon[0], cy - cCanon[1])
                           : std::numeric_limits<double>::infinity();
    cands.push_back({&g, d});
  }
  std::stable_sort(cands.begin(), cands.end(),
                   [](const Candidate& a, const Candidate& b) { return a.dist < b.dist; });
  const Candidate& best = cands.front();
  if (std::isinf(best.dist)) refuse(kEmptyEverywhere);
  if (best.dist > 8.0)
    refuse("teeth-pi: no corpus pi geometry matches this bank's c_canon (" +
           json::fixedText(cCanon[0], 2) + "," + json::fixedText(cCanon[1], 2) + ") within 8.00px —" +
           candidateList(cands) +
           " — the bank's pi frame is unknown and donors will NOT be placed against a frame "
           "nobody can name");
  if (cands.size() > 1 && cands[1].dist - best.dist < 3.0)
    refuse("teeth-pi: corpus pi geometry is AMBIGUOUS (best two within 3.00px) —" +
           candidateList(cands) + " — refusing to guess the bank frame");
  if (chosenName) *chosenName = best.geom->name;
  return withGeometry(base, *best.geom);
}

}  // namespace le::tessera
