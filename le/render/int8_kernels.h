// Vector kernels of the int8 convolution, compiled per processor target
// (le/render/le_int8_kernels.cc). The convolution itself (le_int8_conv.h)
// prepares the layouts described here and splits the work over le::pool.
//
// Quantised image: per image, (H + padTop + padBottom) x (W + padLeft +
// padRight) pixels, each holding group x cg4 channel values (cg4 = C/group
// rounded up to 4), unsigned, one byte or two depending on the target
// (quantElemBytes). Border pixels and padding channels hold the zero point,
// so a tap in the border adds zp x weight, which the correction zp x (sum of
// all the channel's weights) takes back out: the same result as skipping it.
//
// Packed weights, per group, per block of 16 output channels, per tap, per
// step of input channels: 16 channels x the step's input channels, channel
// major. w8 steps over 4 input channels (64 bytes), w16 over 2 (64 bytes).
// Channels and input channels past the real ones hold 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace le::int8 {

// The whole run, fixed before any parallel work starts.
struct Plan {
  int64_t n = 0, c = 0, h = 0, w = 0;   // input
  int64_t group = 1, cg = 0, cg4 = 0;   // input channels per group, rounded up to 4
  int64_t mg = 0, blocks = 0;           // output channels per group, blocks of 16 per group
  int64_t kh = 0, kw = 0;
  int64_t strideH = 1, strideW = 1, dilH = 1, dilW = 1;
  int64_t padTop = 0, padLeft = 0;
  int64_t hp = 0, wp = 0;               // padded input size
  int64_t ho = 0, wo = 0;               // output size
  float sx = 1;                         // input scale
  int32_t zp = 0;                       // input zero point, 0..255

  const int8_t* w8 = nullptr;           // [group][blocks][taps][cg4 / 4][16][4]
  const int16_t* w16 = nullptr;         // [group][blocks][taps][cg4 / 2][16][2]
  const int64_t* tapOffset = nullptr;   // [kh * kw] pixel offset of each tap from the window origin
  // Per group, blocks x 16 entries (padding channels 0): zp x weight sum,
  // sx x sw and the bias.
  const int32_t* corr = nullptr;
  const float* scale = nullptr;
  const float* bias = nullptr;

  int64_t pixelValues() const { return group * cg4; }
  int64_t taps() const { return kh * kw; }
};

// 1 or 2: the element size of the quantised image the running target reads.
size_t quantElemBytes();

// Minimum and maximum of x[0, n); both NaN when any value is NaN or infinite,
// +inf and -inf when n is 0.
void minMax(const float* x, size_t n, float* lo, float* hi);

// Padded rows [r0, r1) of the quantised image (row r = image r / hp, padded
// row r % hp): filled with the zero point, interior pixels quantised from x.
void quantizeRows(const Plan& plan, const float* x, void* q, size_t r0, size_t r1);

// Output rows [i0, i1) (item i = image i / ho, output row i % ho) of every
// output channel: integer products, correction and dequantisation into y
// ([n][group * mg][ho][wo]).
void productRows(const Plan& plan, const void* q, float* y, size_t i0, size_t i1);

}  // namespace le::int8
