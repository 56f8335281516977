#include "contact_sheet.h"

#include "output_file.h"

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace le::tool {
namespace {

// 5 x 7 digit glyphs, one byte per row, bit 4 the leftmost column.
constexpr uint8_t kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

// The capitals the frame labels use, same layout.
struct Letter {
  char c;
  uint8_t rows[7];
};
constexpr Letter kLetters[] = {
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'D', {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E}}, {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}}, {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}}, {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
};

// Glyph rows of c, or null (drawn as a blank).
const uint8_t* glyphOf(char c) {
  if (c >= '0' && c <= '9') return kDigits[c - '0'];
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  for (const Letter& l : kLetters)
    if (l.c == c) return l.rows;
  return nullptr;
}

// A pixel changed by more than codec-free rounding: the paste's blend and
// resampling move untouched areas by at most a step or two.
constexpr int kPaintedThreshold = 6;
constexpr int kMargin = 16;        // pixels around the painted region
constexpr int kMaxCellSide = 480;  // cells larger than this are scaled down
constexpr int kGap = 8;

void fillRect(uint8_t* rgb, int w, int h, int x0, int y0, int x1, int y1, uint8_t v) {
  for (int y = std::max(y0, 0); y < std::min(y1, h); ++y)
    for (int x = std::max(x0, 0); x < std::min(x1, w); ++x)
      for (int c = 0; c < 3; ++c) rgb[(static_cast<size_t>(y) * w + x) * 3 + c] = v;
}

}  // namespace

void writePng(const std::string& path, const uint8_t* rgb, int width, int height) {
  std::string png;
  auto append = [](void* user, void* data, int size) {
    static_cast<std::string*>(user)->append(static_cast<const char*>(data), static_cast<size_t>(size));
  };
  if (!stbi_write_png_to_func(append, &png, width, height, 3, rgb, width * 3))
    throw std::runtime_error("cannot encode " + path);
  writeFileAtomically(path, png, "image");
}

void drawNumber(uint8_t* rgb, int width, int height, int x, int y, int n, int scale) {
  drawText(rgb, width, height, x, y, std::to_string(n), scale);
}

void drawText(uint8_t* rgb, int width, int height, int x, int y, const std::string& text, int scale) {
  const int advance = 6 * scale;
  fillRect(rgb, width, height, x - scale, y - scale, x + advance * static_cast<int>(text.size()) + scale,
           y + 8 * scale, 16);
  for (size_t i = 0; i < text.size(); ++i) {
    const uint8_t* glyph = glyphOf(text[i]);
    if (!glyph) continue;
    for (int r = 0; r < 7; ++r)
      for (int col = 0; col < 5; ++col)
        if (glyph[r] & (0x10 >> col)) {
          const int px = x + static_cast<int>(i) * advance + col * scale, py = y + r * scale;
          fillRect(rgb, width, height, px, py, px + scale, py + scale, 240);
        }
  }
}

ContactSheet::ContactSheet(std::vector<int> indices, int width, int height)
    : indices_(std::move(indices)), width_(width), height_(height), x0_(width), y0_(height) {}

bool ContactSheet::wants(int index) const {
  return std::find(indices_.begin(), indices_.end(), index) != indices_.end();
}

void ContactSheet::add(int index, const uint8_t* rendered, const uint8_t* driver, const std::string& label) {
  const size_t bytes = static_cast<size_t>(width_) * height_ * 3;
  cells_.push_back({index, std::vector<uint8_t>(rendered, rendered + bytes), label});
  if (!driver) {
    x0_ = y0_ = 0;
    x1_ = width_ - 1;
    y1_ = height_ - 1;
    return;
  }
  for (int y = 0; y < height_; ++y)
    for (int x = 0; x < width_; ++x) {
      const size_t o = (static_cast<size_t>(y) * width_ + x) * 3;
      for (int c = 0; c < 3; ++c)
        if (std::abs(rendered[o + c] - driver[o + c]) > kPaintedThreshold) {
          x0_ = std::min(x0_, x);
          x1_ = std::max(x1_, x);
          y0_ = std::min(y0_, y);
          y1_ = std::max(y1_, y);
          break;
        }
    }
}

void ContactSheet::write(const std::string& path) const {
  if (cells_.empty()) throw std::runtime_error("contact sheet: none of the chosen frames was rendered");
  // The painted region with a margin, or the whole frame when nothing changed.
  int x0 = 0, y0 = 0, x1 = width_ - 1, y1 = height_ - 1;
  if (x0_ <= x1_ && y0_ <= y1_) {
    x0 = std::max(x0_ - kMargin, 0);
    y0 = std::max(y0_ - kMargin, 0);
    x1 = std::min(x1_ + kMargin, width_ - 1);
    y1 = std::min(y1_ + kMargin, height_ - 1);
  }
  const int rw = x1 - x0 + 1, rh = y1 - y0 + 1;
  const int step = std::max(1, (std::max(rw, rh) + kMaxCellSide - 1) / kMaxCellSide);
  const int cw = rw / step, ch = rh / step;
  const int n = static_cast<int>(cells_.size());
  const int cols = std::min(n, n <= 4 ? n : (n <= 9 ? 3 : 4));
  const int rows = (n + cols - 1) / cols;
  const int sw = cols * cw + (cols + 1) * kGap, sh = rows * ch + (rows + 1) * kGap;
  std::vector<uint8_t> sheet(static_cast<size_t>(sw) * sh * 3, 32);
  for (int k = 0; k < n; ++k) {
    const int ox = kGap + (k % cols) * (cw + kGap), oy = kGap + (k / cols) * (ch + kGap);
    const uint8_t* src = cells_[k].rgb.data();
    // Box filter of step x step source pixels per cell pixel.
    for (int y = 0; y < ch; ++y)
      for (int x = 0; x < cw; ++x)
        for (int c = 0; c < 3; ++c) {
          int sum = 0;
          for (int dy = 0; dy < step; ++dy)
            for (int dx = 0; dx < step; ++dx)
              sum += src[((static_cast<size_t>(y0) + y * step + dy) * width_ + x0 + x * step + dx) * 3 + c];
          sheet[((static_cast<size_t>(oy) + y) * sw + ox + x) * 3 + c] =
              static_cast<uint8_t>((sum + step * step / 2) / (step * step));
        }
    const std::string number = std::to_string(cells_[k].index);
    drawText(sheet.data(), sw, sh, ox + 8, oy + 8,
             cells_[k].label.empty() ? number : number + " " + cells_[k].label, std::max(2, ch / 90));
  }
  writePng(path, sheet.data(), sw, sh);
}

}  // namespace le::tool
