// The measured float32 fused multiply-add peak of the dispatched vector
// target: independent accumulator chains, nothing from memory.
#pragma once

namespace le::bench {

struct FmaPeak {
  double wall;   // GFLOP/s of all threads together, by the wall clock
  double perCpu; // GFLOP per processor-second of one thread: a core's peak,
                 // unmoved by other work sharing the machine
};
// Two FLOPs per lane per FMA, on `threads` threads at once.
FmaPeak fmaPeakGflops(int threads);

}  // namespace le::bench
