#include <cstdint>
#include <stdexcept>
#include <string>

#include "le/tessera/tessera_pi.h"

namespace le::tessera {

namespace {

// Largest canvas edge, window pad and stamp coordinate a bank may name: far
// above any render size, far below where 64-bit products could overflow.
constexpr int64_t kMaxCanvas = 8192;

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

}  // namespace le::tessera
