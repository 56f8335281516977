// Still images of a render: single frames as PNG, and a contact sheet that
// lays chosen frames out in a grid with their indices drawn in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le::tool {

// Writes width x height RGB24 as PNG; throws std::runtime_error.
void writePng(const std::string& path, const uint8_t* rgb, int width, int height);

class ContactSheet {
 public:
  // Frames are width x height RGB24; `indices` are the frames wanted, in order.
  ContactSheet(std::vector<int> indices, int width, int height);

  bool wants(int index) const;
  // Keeps frame `index`; `driver` (the unedited driver frame, may be null)
  // tells which region the library painted, so cells can show it large.
  // `label` is drawn after the index (digits, space and the capitals of
  // "IDLE SPEECH RAMP").
  void add(int index, const uint8_t* rendered, const uint8_t* driver, const std::string& label = {});
  // Lays out the kept frames (at most 4 columns) and writes the PNG.
  void write(const std::string& path) const;

 private:
  struct Cell {
    int index;
    std::vector<uint8_t> rgb;
    std::string label;
  };
  std::vector<int> indices_;
  int width_, height_;
  std::vector<Cell> cells_;
  // Union of the painted regions, inclusive; empty when x0 > x1.
  int x0_, y0_, x1_ = -1, y1_ = -1;
};

// Draws the decimal number n at (x, y) into an RGB24 image of width x height,
// white digits of 5 x 7 cells of `scale` pixels on a dark box; clipped.
void drawNumber(uint8_t* rgb, int width, int height, int x, int y, int n, int scale);
// The same for text; characters without a glyph leave a blank.
void drawText(uint8_t* rgb, int width, int height, int x, int y, const std::string& text, int scale);

}  // namespace le::tool
