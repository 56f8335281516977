// The measured float32 fused multiply-add peak of the dispatched vector
// target: independent accumulator chains, nothing from memory.
#pragma once

namespace le::bench {

// GFLOP/s (two per lane per FMA) on `threads` threads at once.
double fmaPeakGflops(int threads);

}  // namespace le::bench
