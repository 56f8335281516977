// Vector kernels of the fp16 engine (le/render/le_conv_kernels.cc), compiled
// per processor target. Activations travel as binary16 words, channel-last
// (pixel-major, the channels of one pixel contiguous); arithmetic is float32
// with fused multiply-add. The engine (conv_engine.h) looks the table of the
// dispatched target up once and keeps it, so its packed weights and its
// kernels always agree on the vector width.
#pragma once

#include <cstddef>
#include <cstdint>

namespace le::conv {

enum class Act : int32_t { kNone = 0, kRelu = 1, kSigmoid = 2 };

// One output-channel block of a convolution over a staged input.
//
// Staged input: float32 pixels of inPix values (the first ci used), rows of
// inRow values; `in` is the pixel under the top-left tap of output (0, 0).
// Every staged row must hold width + maxTile + k - 1 pixels: a call computes
// whole tiles of pixels and stores only the first `width`.
// Weights: [k * k taps][ci][block], the block's output channels contiguous;
// bias: [block]. block is a multiple of `lanes`; channels past `valid` hold
// zero weights and are computed but never stored.
struct ConvBlockArgs {
  const float* in = nullptr;
  size_t inPix = 0, inRow = 0;
  int32_t ci = 0, k = 1;
  int32_t rows = 0, width = 0;
  const float* w = nullptr;
  const float* bias = nullptr;
  int32_t block = 0, valid = 0;
  Act act = Act::kNone;
  uint16_t* out = nullptr;  // channel 0 of the block at output (0, 0)
  size_t outPix = 0, outRow = 0;
};

// Softmax motion grid of one 64-pixel row: logits [w][22] (channel 0 the
// background, channel k + 1 keypoint row k), base grid and output [w][2]
// (x, y), disp [21][2] = source minus driving. tmp holds 22 x w floats.
struct GridRowArgs {
  const uint16_t* logits = nullptr;
  const float* base = nullptr;
  const float* disp = nullptr;
  float* grid = nullptr;
  float* tmp = nullptr;
  int32_t width = 0;
};

// Row y of the warped prior: the 64 x 64 grid upsampled to C x C (linear,
// half-pixel, edge-clamped), then bilinear sampling of the float32 prior
// planes [3][C][C] with border padding (align_corners 0). out: [C][3]
// binary16; tmp holds 3 x C floats.
struct SampleRowArgs {
  const float* prior = nullptr;
  const float* grid = nullptr;  // [64][64][2]
  int32_t crop = 0, y = 0;
  uint16_t* out = nullptr;
  float* tmp = nullptr;
};

// Row y of refined = occ512 * warped + the DepthToSpace(2, DCR) correction:
// warped and out [C][3], occ one 64-pixel row of occ_sig (nearest to C),
// corr row y / 2 of the [C/2][C/2][12] correction. tmp holds 12 x C floats
// and 3 x C words.
struct RefineRowArgs {
  const uint16_t* warped = nullptr;
  const uint16_t* occ = nullptr;
  const uint16_t* corr = nullptr;
  int32_t crop = 0, y = 0;
  uint16_t* out = nullptr;
  float* tmp = nullptr;
  uint16_t* tmp16 = nullptr;
};

// Row y of the float32 output planes: Clip(refined, 0, 1), and inside the
// tile window [x0, x0 + tileW) of this row (tile != null) Clip(refined +
// feather * (Sigmoid(tile3) - refined), 0, 1). refined [C][3], tile [tileW][3],
// feather [tileW]; out planes R, G, B of `plane` floats each, at row y.
// tmp holds 3 x C + 3 x tileW floats.
struct ComposeRowArgs {
  const uint16_t* refined = nullptr;
  const uint16_t* tile = nullptr;
  const float* feather = nullptr;
  int32_t crop = 0, x0 = 0, tileW = 0;
  float* out = nullptr;  // pixel (y, 0) of plane R
  size_t plane = 0;
  float* tmp = nullptr;
};

struct Kernels {
  const char* target = "";
  // Binary16 converted in hardware and float32 FMA: the engine serves only
  // on such targets.
  bool halfFma = false;
  int32_t lanes = 1;    // convolution blocks are multiples of this (at most 8)
  int32_t maxTile = 1;  // pixels a convolution call may compute past `width`

  void (*convBlock)(const ConvBlockArgs&) = nullptr;

  // Staging: n pixels of c channels into float32 pixels of dstPix values.
  // widen: src pixel x; pool2: the mean of the 2 x 2 pixels (2x, 2x + 1) of
  // rows r0 and r1; up: src pixel (x0 + x) / factor (nearest).
  void (*widenPixels)(const uint16_t* src, size_t srcPix, int32_t c, int32_t n, float* dst,
                      size_t dstPix) = nullptr;
  void (*pool2Pixels)(const uint16_t* r0, const uint16_t* r1, size_t srcPix, int32_t c, int32_t n,
                      float* dst, size_t dstPix) = nullptr;
  void (*upPixels)(const uint16_t* src, size_t srcPix, int32_t c, int32_t n, int32_t factor,
                   int32_t x0, float* dst, size_t dstPix) = nullptr;

  // Row y of the 32 x 32 x 88 input: channels 0..63 the pooled features
  // (planar [64][32][32], copied), 64 + k the keypoint heat of row k, 85..87
  // zero. grid32 [32][32][2]; kd, ks 21 x 3. tmp holds 21 x 32 floats.
  void (*inputRow)(const uint16_t* pooled, const float* grid32, const float* kd, const float* ks,
                   int32_t y, uint16_t* out, float* tmp) = nullptr;
  void (*gridRow)(const GridRowArgs&) = nullptr;
  void (*sampleRow)(const SampleRowArgs&) = nullptr;

  // out[r][c] = sum_k coef[r][k] basis[k][c] for c in [c0, c1), r < rows;
  // coef [rows][64], basis [64][cols], out [rows][cols], all binary16.
  void (*basisGemm)(const uint16_t* coef, int32_t rows, const uint16_t* basis, size_t cols, size_t c0,
                    size_t c1, uint16_t* out) = nullptr;

  void (*refineRow)(const RefineRowArgs&) = nullptr;
  void (*composeRow)(const ComposeRowArgs&) = nullptr;
};

// The table of the target Highway dispatches to now.
const Kernels& kernels();

}  // namespace le::conv
