#include <cmath>
#include <cstring>
#include <stdexcept>

#include "le/audio/mel.h"
#include "le/audio/motion_files.h"

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/tx.h>
}

namespace le::motion {
namespace {

// One real-to-complex transform of 512 points and its buffers, per thread so
// handles on different threads never share scratch.
struct Rdft {
  AVTXContext* ctx = nullptr;
  av_tx_fn fn = nullptr;
  float* in = nullptr;
  AVComplexFloat* out = nullptr;
  Rdft() {
    const float scale = 1.0f;
    if (av_tx_init(&ctx, &fn, AV_TX_FLOAT_RDFT, 0, kFftLen, &scale, 0) < 0 || ctx == nullptr)
      throw std::runtime_error("le_motion: av_tx_init(RDFT 512) failed");
    in = static_cast<float*>(av_mallocz(sizeof(float) * (kFftLen + 2)));
    out = static_cast<AVComplexFloat*>(av_mallocz(sizeof(AVComplexFloat) * (kFftLen / 2 + 1)));
    if (in == nullptr || out == nullptr) {
      release();
      throw std::runtime_error("le_motion: out of memory for the transform");
    }
  }
  ~Rdft() { release(); }
  Rdft(const Rdft&) = delete;
  Rdft& operator=(const Rdft&) = delete;
  void release() {
    av_tx_uninit(&ctx);
    av_freep(&in);
    av_freep(&out);
  }
};

Rdft& rdft() {
  thread_local Rdft t;
  return t;
}

}  // namespace

void fillAnalysis(const float* audio, int64_t n, int64_t first, float* analysis) {
  std::memset(analysis, 0, sizeof(float) * kAnalysisLen);
  // Overlap of [first, first + 4480) with [0, n), as offsets into the window.
  const int64_t lo = first < 0 ? -first : 0;
  int64_t hi = kWinSamples;
  if (n - first < hi) hi = n - first;
  if (hi > lo)
    std::memcpy(analysis + kAnalysisPad + lo, audio + first + lo, sizeof(float) * size_t(hi - lo));
}

void magnitude512(const float* frame, float* mag) {
  Rdft& t = rdft();
  std::memcpy(t.in, frame, sizeof(float) * kFftLen);
  t.fn(t.ctx, t.out, t.in, sizeof(float));
  // DC and Nyquist of a real input are real; libavutil 57 leaves the Nyquist
  // bin's imaginary slot unwritten, so it would carry the previous call's value.
  t.out[0].im = 0.0f;
  t.out[kFftLen / 2].im = 0.0f;
  for (int b = 0; b < kFftBins; ++b) {
    const double re = t.out[b].re, im = t.out[b].im;
    mag[b] = static_cast<float>(std::sqrt(re * re + im * im));
  }
}

void logMel(const float* analysis, const float* window, const float* binmat, float* out) {
  float frame[kFftLen];
  float mag[kFftBins];
  for (int i = 0; i < kMelFrames; ++i) {
    const float* src = analysis + i * kHop;
    for (int k = 0; k < kFftLen; ++k) frame[k] = src[k] * window[k];
    magnitude512(frame, mag);
    float acc[kMel] = {};
    for (int b = 0; b < kFftBins; ++b) {
      const float m = mag[b];
      const float* row = binmat + b * kMel;
      for (int j = 0; j < kMel; ++j) acc[j] += m * row[j];
    }
    for (int j = 0; j < kMel; ++j) out[j * kMelFrames + i] = std::log(acc[j] + 1e-8f);
  }
}

}  // namespace le::motion
