// Log-mel features of one motion window: 4480 samples, 21 frames of 512 at a
// hop of 320, magnitude spectrum through libavutil's real transform, 80 bands.
#pragma once

#include <cstdint>
#include <vector>

namespace le::motion {

inline constexpr int kWinSamples = 4480;
inline constexpr int kWinLead = 2000;   // window w starts at sample 640 w - 2000
inline constexpr int kFftLen = 512;
inline constexpr int kHop = 320;
// The 4480 samples sit after 256 zeros (half an FFT frame, so mel frame i is
// centred on window sample 320 i); 21 frames read the first 6912 of 6992.
inline constexpr int kAnalysisPad = 256;
inline constexpr int kAnalysisLen = 6992;

// Copies the window's 4480 samples (zeros outside [0, n)) of audio starting at
// `first` (may be negative) into the analysis layout.
void fillAnalysis(const float* audio, int64_t n, int64_t first, float* analysis /*kAnalysisLen*/);

// 80 x 21 log-mel values, band-major: out[band * 21 + frame]. window holds 512
// values, binmat 257 x 80 (a row per bin). Scratch is per thread.
void logMel(const float* analysis, const float* window, const float* binmat, float* out);

// The magnitudes of one 512-sample frame (already windowed), 257 bins.
void magnitude512(const float* frame, float* mag);

}  // namespace le::motion
