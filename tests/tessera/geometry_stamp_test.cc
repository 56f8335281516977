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
  using Stamp = GeometryStamp;
  // {what, edit, the problems listed; "" = coherent}
  const std::vector<std::tuple<const char*, std::function<void(Stamp&)>, std::string>> cases = {
      {"coherent", [](Stamp&) {}, ""},
      {"margin 0, pad 1", [](Stamp& s) { s.shift_margin = 0, s.pad = 1; }, ""},
      {"window at the canvas edge", [](Stamp& s) { s.window_x0 = 256, s.window_y0 = 384; }, ""},
      {"x-range right", [](Stamp& s) { s.window_x0 = 257; }, kX},
      {"x-range left", [](Stamp& s) { s.window_x0 = -1; }, kX},
      {"y-range bottom", [](Stamp& s) { s.window_y0 = 385; }, kY},
      {"y-range top", [](Stamp& s) { s.window_y0 = -1; }, kY},
      {"band rows past window", [](Stamp& s) { s.band_r1 = 129; }, kRows},
      {"band rows empty", [](Stamp& s) { s.band_r0 = 112; }, kRows},
      {"band cols negative", [](Stamp& s) { s.band_c0 = -1; }, kCols},
      {"band cols empty", [](Stamp& s) { s.band_c1 = 32; }, kCols},
      {"margin negative", [](Stamp& s) { s.shift_margin = -1; }, kPad}, {"pad 0", [](Stamp& s) { s.pad = 0; }, kPad},
      {"stored rows above", [](Stamp& s) { s.shift_margin = 40; }, kSRows},
      {"stored cols right", [](Stamp& s) { s.band_c1 = 256, s.shift_margin = 17; }, kSCols},
      {"width 0", [](Stamp& s) { s.window_w = 0, s.band_r1 = 200; }, kWin + kRows + kCols + kSRows + kSCols},
      {"negative window", [](Stamp& s) { s.window_w = -4, s.window_h = -4; }, kWin + kRows + kCols + kSRows + kSCols},
      {"canvas too large", [](Stamp& s) { s.canvas_w = 9000; }, kCanvas},
      {"canvas too tall", [](Stamp& s) { s.canvas_h = 8193, s.canvas_w = 8192; }, kCanvas},
      {"small window", [](Stamp& s) {
         s.window_w = s.window_h = 3, s.band_r0 = s.band_c0 = 0, s.band_r1 = s.band_c1 = 3;
         s.pad = 1, s.shift_margin = 0;
       }, kWin4},
      {"pad too wide", [](Stamp& s) { s.pad = 8193; }, kPadMax},
      {"all three bounds", [](Stamp& s) {
         s.canvas_w = 9000, s.window_w = s.window_h = 3, s.band_r0 = s.band_c0 = 0;
         s.band_r1 = s.band_c1 = 3, s.pad = 9000, s.shift_margin = 0;
       }, kCanvas + kWin4 + kPadMax},
      {"bounds wait for the rules", [](Stamp& s) { s.canvas_w = 9000, s.window_x0 = -1, s.pad = 9000; }, kX},
      // Sums that wrap in 32 bits must not pass.
      {"x0 at INT32_MAX", [](Stamp& s) { s.window_x0 = INT32_MAX; }, kX},
      {"y0 at INT32_MIN", [](Stamp& s) { s.window_y0 = INT32_MIN; }, kY},
      {"margin at INT32_MAX", [](Stamp& s) { s.shift_margin = INT32_MAX; }, kSRows + kSCols},
      {"band rows to INT32_MAX", [](Stamp& s) { s.band_r1 = INT32_MAX; }, kRows + kSRows},
      {"band cols to INT32_MAX", [](Stamp& s) { s.band_c1 = INT32_MAX; }, kCols + kSCols},
      {"pad at INT32_MIN", [](Stamp& s) { s.pad = INT32_MIN; }, kPad + kSRows + kSCols},
      {"pad at INT32_MAX", [](Stamp& s) { s.pad = INT32_MAX; }, kPadMax},
      {"window and canvas INT32_MAX", [](Stamp& s) { s.canvas_h = s.window_h = INT32_MAX, s.window_y0 = 0; }, kCanvas},
  };
  for (const auto& [what, edit, problems] : cases) {
    GeometryStamp s = base();
    edit(s);
    const std::string want = problems.empty() ? "(no error)" : kHead + problems;
    EXPECT_EQ(le::test::errorOf([&] { s.validate(); }), want) << what;
  }
}

}  // namespace
