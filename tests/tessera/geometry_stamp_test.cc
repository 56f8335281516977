// Stamp coherence: each rule alone, several at once in rule order, the size
// bounds that follow the eight rules, and sums that would wrap in 32 bits.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "le/tessera/tessera_pi.h"
#include "testkit/testkit.h"

namespace {

using le::tessera::GeometryStamp;

// 512 x 512 canvas, 256 x 128 window at (128, 256), pad 16, band rows 16..112,
// cols 32..224, margin 8: coherent with room on every side.
GeometryStamp base() { return {512, 512, 128, 256, 256, 128, 16, 16, 112, 32, 224, 8}; }

const std::string kHead = "teeth: GeometryStamp incoherent:";
const std::string kWin = " window dims must be positive;";
const std::string kX = " window x-range escapes canvas;";
const std::string kY = " window y-range escapes canvas;";
const std::string kRows = " band rows escape window;";
const std::string kCols = " band cols escape window;";
const std::string kPad = " pad/shift_margin must be positive;";
const std::string kSRows = " stored band rows escape patch;";
const std::string kSCols = " stored band cols escape patch;";
const std::string kCanvas = " canvas dims must be within 1..8192;";
const std::string kWin4 = " window dims must be at least 4;";
const std::string kPadMax = " pad must be at most 8192;";

TEST(GeometryStamp, RulesAloneAndTogetherInOrder) {
  // {what, edit, the problems listed; "" = coherent}
  const std::vector<std::tuple<const char*, std::function<void(GeometryStamp&)>, std::string>> cases = {
      {"coherent", [](GeometryStamp&) {}, ""},
      {"margin 0, pad 1", [](GeometryStamp& s) { s.shift_margin = 0, s.pad = 1; }, ""},
      {"window at the canvas edge", [](GeometryStamp& s) { s.window_x0 = 256, s.window_y0 = 384; }, ""},
      {"x-range right", [](GeometryStamp& s) { s.window_x0 = 257; }, kX},
      {"x-range left", [](GeometryStamp& s) { s.window_x0 = -1; }, kX},
      {"y-range bottom", [](GeometryStamp& s) { s.window_y0 = 385; }, kY},
      {"y-range top", [](GeometryStamp& s) { s.window_y0 = -1; }, kY},
      {"band rows past window", [](GeometryStamp& s) { s.band_r1 = 129; }, kRows},
      {"band rows empty", [](GeometryStamp& s) { s.band_r0 = 112; }, kRows},
      {"band cols negative", [](GeometryStamp& s) { s.band_c0 = -1; }, kCols},
      {"band cols empty", [](GeometryStamp& s) { s.band_c1 = 32; }, kCols},
      {"margin negative", [](GeometryStamp& s) { s.shift_margin = -1; }, kPad},
      {"pad 0", [](GeometryStamp& s) { s.pad = 0; }, kPad},
      {"stored rows above", [](GeometryStamp& s) { s.shift_margin = 40; }, kSRows},
      {"stored cols right", [](GeometryStamp& s) { s.band_c1 = 256, s.shift_margin = 17; }, kSCols},
      {"width 0 and rows outside",
       [](GeometryStamp& s) { s.window_w = 0, s.band_r1 = 200; },
       kWin + kRows + kCols + kSRows + kSCols},
      {"negative window",
       [](GeometryStamp& s) { s.window_w = -4, s.window_h = -4; },
       kWin + kRows + kCols + kSRows + kSCols},
      {"canvas too large", [](GeometryStamp& s) { s.canvas_w = 9000; }, kCanvas},
      {"canvas too tall", [](GeometryStamp& s) { s.canvas_h = 8193, s.canvas_w = 8192; }, kCanvas},
      {"small window",
       [](GeometryStamp& s) {
         s.window_w = s.window_h = 3, s.band_r0 = s.band_c0 = 0, s.band_r1 = s.band_c1 = 3;
         s.pad = 1, s.shift_margin = 0;
       },
       kWin4},
      {"pad too wide", [](GeometryStamp& s) { s.pad = 8193; }, kPadMax},
      {"all three bounds",
       [](GeometryStamp& s) {
         s.canvas_w = 9000, s.window_w = s.window_h = 3, s.band_r0 = s.band_c0 = 0;
         s.band_r1 = s.band_c1 = 3, s.pad = 9000, s.shift_margin = 0;
       },
       kCanvas + kWin4 + kPadMax},
      {"bounds wait for the rules",
       [](GeometryStamp& s) { s.canvas_w = 9000, s.window_x0 = -1, s.pad = 9000; }, kX},
      // Sums that wrap in 32 bits must not pass.
      {"x0 at INT32_MAX", [](GeometryStamp& s) { s.window_x0 = INT32_MAX; }, kX},
      {"y0 at INT32_MIN", [](GeometryStamp& s) { s.window_y0 = INT32_MIN; }, kY},
      {"margin at INT32_MAX", [](GeometryStamp& s) { s.shift_margin = INT32_MAX; }, kSRows + kSCols},
      {"band rows to INT32_MAX", [](GeometryStamp& s) { s.band_r1 = INT32_MAX; }, kRows + kSRows},
      {"band cols to INT32_MAX", [](GeometryStamp& s) { s.band_c1 = INT32_MAX; }, kCols + kSCols},
      {"pad at INT32_MIN", [](GeometryStamp& s) { s.pad = INT32_MIN; }, kPad + kSRows + kSCols},
      {"pad at INT32_MAX", [](GeometryStamp& s) { s.pad = INT32_MAX; }, kPadMax},
      {"window and canvas at INT32_MAX",
       [](GeometryStamp& s) { s.canvas_h = s.window_h = INT32_MAX, s.window_y0 = 0; }, kCanvas},
  };
  for (const auto& [what, edit, problems] : cases) {
    GeometryStamp s = base();
    edit(s);
    const std::string want = problems.empty() ? "(no error)" : kHead + problems;
    EXPECT_EQ(le::test::errorOf([&] { s.validate(); }), want) << what;
  }
}

}  // namespace
