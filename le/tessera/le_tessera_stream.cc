#include "le/tessera/tessera_stream.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <stdexcept>
#include <string>

#include "le/runtime/le_pool.h"
#include "le/runtime/log.h"
#include "le/tessera/teeth_math.h"

namespace le::tessera {

namespace {

// Pixels per pool task of the plane conversion.
constexpr size_t kChunkPixels = 4096;

void checkSquare(const GeometryStamp& s) {
  if (s.canvas_w != s.canvas_h)
    throw std::runtime_error("teeth stream: non-square compose canvas " + std::to_string(s.canvas_w) + "x" +
                             std::to_string(s.canvas_h) + " — le_core renders a square crop");
}

void checkPiCanvas(const UnifiedPi& pi, const GeometryStamp& s) {
  if (pi.canvas != s.canvas_w)
    throw std::runtime_error("teeth stream: manifest pi canvas " + std::to_string(pi.canvas) +
                             " != bank compose canvas " + std::to_string(s.canvas_w) +
                             " — refusing to compose a mouth on a canvas the stamp does not name");
}

// The feather with one decimal and a point whatever the host's locale.
std::string oneDecimal(float v) {
  char text[48];
  const auto r = std::to_chars(text, text + sizeof text - 1, static_cast<double>(v), std::chars_format::fixed, 1);
  return std::string(text, r.ptr);
}

void logContour(const LipContour& c) {
  log::linef(log::Level::Info,
             "[borrow] delivery mask: LIP CONTOUR (%d verts, feather %s px) — the ellipse is not "
             "reachable in this session",
             c.nv(), oneDecimal(c.featherPx()).c_str());
}

void logEllipse() {
  log::linef(log::Level::Warning,
             "[borrow] !!! delivery mask: ELLIPSE — this bundle carries no %s, so it serves the "
             "over-covering elliptical mask the contour replaces. BACKFILL IT: "
             "models/cadenza-2/tools/bake_lip_templates",
             "lip_template.v1.json");
}

// The window a result must carry, checked before anything is written.
void checkWindow(const FrameResult& r, const GeometryStamp& s) {
  const uint64_t want = uint64_t(uint32_t(std::max(s.window_w, 0))) * uint64_t(uint32_t(std::max(s.window_h, 0))) * 3u;
  if (r.window.size() != want)
    throw std::runtime_error("teeth stream: window " + std::to_string(r.window.size()) +
                             " bytes does not match the stamp window " + std::to_string(s.window_h) + "x" +
                             std::to_string(s.window_w) + " — refusing to write back");
}

// A caller's stamp and stride must keep every written pixel inside its row
// and the canvas.
void checkTarget(const GeometryStamp& s, int stride) {
  s.validate();
  if (int64_t(stride) < int64_t(s.window_x0) + s.window_w)
    throw std::runtime_error("teeth stream: stride " + std::to_string(stride) + " is narrower than the window's right edge " +
                             std::to_string(int64_t(s.window_x0) + s.window_w) + " — refusing to write back");
}

}  // namespace

StreamBorrow::StreamBorrow(const BankData& bank, const HeadWeights& head, const ServeConfig& config,
                           const UnifiedPi& pi, const std::string& lipTemplateJson)
    : pass_(std::make_unique<TeethPass>(bank, head, config)), pi_(pi) {
  cCanon_[0] = bank.c_canon[0];
  cCanon_[1] = bank.c_canon[1];
  checkSquare(bank.stamp);
  checkPiCanvas(pi_, bank.stamp);
  canvas_ = bank.stamp.canvas_w;
  if (!lipTemplateJson.empty()) {
    contour_.emplace(LipContour::fromTemplateJson(lipTemplateJson, canvas_));
    logContour(*contour_);
  } else {
    logEllipse();
  }
  const size_t side = static_cast<size_t>(canvas_);  // 1..8192 once the stamp is valid
  rgb_.assign(side * side * 3, 0);
  mask_.assign(side * side, 0);
}

StreamBorrow::~StreamBorrow() = default;

bool StreamBorrow::push(const float* planes, const float* kp, FrameResult* out) {
  if (planes == nullptr) throw std::invalid_argument("teeth stream: push needs the crop's planes");
  const size_t n = static_cast<size_t>(canvas_) * static_cast<size_t>(canvas_);
  const size_t chunks = (n + kChunkPixels - 1) / kChunkPixels;
  uint8_t* rgb = rgb_.data();
  for (size_t c = 0; c < 3; ++c) {
    const float* plane = planes + c * n;
    pool::parallelRange(chunks, 1, [&](size_t b, size_t e) {
      const size_t end = std::min(e * kChunkPixels, n);
      for (size_t p = b * kChunkPixels; p < end; ++p) rgb[3 * p + c] = teeth::toByte(plane[p]);
    });
  }
  return pushSynth(kp, out);
}

bool StreamBorrow::pushRgba(const uint8_t* rgba, const float* kp, FrameResult* out) {
  if (rgba == nullptr) throw std::invalid_argument("teeth stream: pushRgba needs the crop's pixels");
  const size_t n = static_cast<size_t>(canvas_) * static_cast<size_t>(canvas_);
  for (size_t p = 0; p < n; ++p) std::copy_n(rgba + 4 * p, 3, &rgb_[3 * p]);
  return pushSynth(kp, out);
}

bool StreamBorrow::pushSynth(const float* kp, FrameResult* out) {
  if (kp == nullptr || out == nullptr)
    throw std::invalid_argument("teeth stream: a push needs the frame's keypoints and a result");
  int dy = 0, dx = 0;
  const bool found = contour_ ? contour_->deliveredU8AndShift(kp, pi_, cCanon_, mask_.data(), &dy, &dx)
                              : pi_.piU8AndShift(kp, cCanon_, mask_.data(), &dy, &dx);
  hasShift_ = found;
  shift_[0] = dy;
  shift_[1] = dx;
  const bool emitted = pass_->push(frame_, rgb_.data(), mask_.data(), found ? shift_ : nullptr, out);
  // The index only links a frame to the one before it (the held donor set);
  // a stream that outlives 2^31 frames starts again at 0 rather than overflow.
  frame_ = frame_ == INT32_MAX ? 0 : frame_ + 1;
  return emitted;
}

bool StreamBorrow::flush(FrameResult* out) {
  if (out == nullptr) throw std::invalid_argument("teeth stream: flush needs a result");
  return pass_->flush(out);
}

bool StreamBorrow::lastShift(int* dy, int* dx) const {
  if (dy) *dy = shift_[0];
  if (dx) *dx = shift_[1];
  return hasShift_;
}

void StreamBorrow::writeWindowDelta(float* planes, int stride, const FrameResult& r, const GeometryStamp& s) {
  if (r.passthrough) return;
  checkWindow(r, s);
  checkTarget(s, stride);
  if (planes == nullptr) throw std::invalid_argument("teeth stream: write-back needs the crop's planes");
  const size_t st = static_cast<size_t>(stride);
  const size_t plane = st * static_cast<size_t>(s.canvas_h);
  const size_t ww = static_cast<size_t>(s.window_w), wh = static_cast<size_t>(s.window_h);
  for (size_t c = 0; c < 3; ++c)
    for (size_t y = 0; y < wh; ++y) {
      float* row = planes + c * plane + (static_cast<size_t>(s.window_y0) + y) * st + static_cast<size_t>(s.window_x0);
      const uint8_t* w = r.window.data() + y * ww * 3 + c;
      for (size_t x = 0; x < ww; ++x) {
        const float v = row[x];
        const float wb = static_cast<float>(w[3 * x]);
        if (!std::isfinite(v)) {
          row[x] = wb / 255.0f;
          continue;
        }
        // Only the byte the pass saw changes: equal bytes leave v as it was.
        const float moved = v + (wb - static_cast<float>(teeth::toByte(v))) / 255.0f;
        row[x] = std::clamp(moved, 0.0f, 1.0f);
      }
    }
}

void StreamBorrow::writeWindowDeltaRgba(uint8_t* rgba, int stride, const FrameResult& r, const GeometryStamp& s) {
  if (r.passthrough) return;
  checkWindow(r, s);
  checkTarget(s, stride);
  if (rgba == nullptr) throw std::invalid_argument("teeth stream: write-back needs the crop's pixels");
  const size_t st = static_cast<size_t>(stride);
  const size_t ww = static_cast<size_t>(s.window_w), wh = static_cast<size_t>(s.window_h);
  for (size_t y = 0; y < wh; ++y) {
    uint8_t* row = rgba + ((static_cast<size_t>(s.window_y0) + y) * st + static_cast<size_t>(s.window_x0)) * 4;
    const uint8_t* w = r.window.data() + y * ww * 3;
    for (size_t x = 0; x < ww; ++x) std::copy_n(w + 3 * x, 3, row + 4 * x);
  }
}

int StreamBorrow::hostSplit(double* seconds) const {
  if (seconds) *seconds = 0.0;
  return 0;
}

}  // namespace le::tessera
