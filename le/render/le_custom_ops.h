// The "com.quillfin" operator domain: GridSampleFast (bilinear, border,
// align_corners 0, output of the input's spatial size) and WarpDirector (one
// pass of the director's corrected 3-channel warp), plus the band functions
// their kernels run on onnxruntime's intra-op threads.
#pragma once

#include <cstdint>

struct OrtCustomOpDomain;
namespace Ort {
struct CustomOpDomain;
struct SessionOptions;
}  // namespace Ort

namespace le {

// The process-wide domain "com.quillfin", created and populated by
// domainOps on first use, released at exit.
OrtCustomOpDomain* quillfinDomain();
void domainOps(Ort::CustomOpDomain& domain);

// Both add the one process-wide domain (holding both operators) to the
// options; onnxruntime errors are thrown as Ort::Exception.
void registerGridSampleFast(Ort::SessionOptions& options);
void registerWarpDirector(Ort::SessionOptions& options);

// One image: X and Y are C planes of H x W floats, grid is H x W (x, y)
// pairs in -1..1. Sample positions are clamped before any conversion to an
// integer, so any float in the grid is safe; a NaN coordinate reads the
// first row or column, like -inf.
void gridsample_fast(const float* X, const float* grid, float* Y, int32_t C, int32_t H, int32_t W);
// Output rows [max(y0, 0), min(y1, H)) only.
void gridsample_fast_band(const float* X, const float* grid, float* Y, int32_t C, int32_t H,
                          int32_t W, int32_t y0, int32_t y1);

// One 3-channel image, same layout; the corrected bilinear warp.
void warpDirector(const float* src, const float* grid, float* Y, int32_t W, int32_t H);
// Output rows [max(y0, 0), min(y1, H)) only.
void warpDirectorBand(const float* src, const float* grid, float* Y, int32_t W, int32_t H,
                      int32_t y0, int32_t y1);

}  // namespace le
