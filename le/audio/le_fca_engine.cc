#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "le/audio/fca_engine.h"
#include "le/audio/frontend.h"
#include "le/audio/quantile_gate.h"
#include "le/runtime/ort_env.h"

namespace le::audio {

void gateAndNormalise(std::vector<float>& frames, int64_t F) {
  QuantileGate gate;
  std::vector<double> sum(kFcaDim, 0.0);
  int64_t count = 0;
  for (int64_t t = 0; t < F; ++t) {
    float* f = frames.data() + t * kFcaDim;
    double e2 = 0.0;
    for (int c = 0; c < kFcaDim; ++c) e2 += double(f[c]) * double(f[c]);
    const double e = std::sqrt(e2);
    if (std::isnan(e)) throw std::runtime_error("non-finite feature at frame " + std::to_string(t));
    if (gate.push(e) < e) {
      for (int c = 0; c < kFcaDim; ++c) sum[c] += f[c];
      ++count;
    }
    const double div = static_cast<double>(std::max<int64_t>(count, 1));
    for (int c = 0; c < kFcaDim; ++c) f[c] = static_cast<float>(f[c] - sum[c] / div);
  }
}

FcaEngine::FcaEngine(const std::string& frontend, const std::string& delta, int threads) {
  ort::Recipe recipe;
  recipe.intraThreads = threads;
  recipe.interThreads = 1;
  recipe.level = ORT_ENABLE_ALL;
  recipe.spin = ort::Spin::OrtDefault;
  options_ = std::move(ort::sessionOptions(recipe).options);
  frontend_ = std::make_unique<OrtGraph>(frontend, options_, "frontend");
  frontend_->preferInputs({"input_values"});
  frontend_->preferOutputs({"audio_emb"});
  delta_ = std::make_unique<OrtGraph>(delta, options_, "fca_stream");
  delta_->preferInputs({"cond", "prev", "h"});
  delta_->preferOutputs({"m", "hn"});
}

void FcaEngine::deltas(const float* samples, int64_t n, float* out) {
  const int64_t F = (n + kFcaFrameSamples - 1) / kFcaFrameSamples;
  std::vector<float> feat(size_t(F) * kFcaDim, 0.0f);
  std::vector<float> window(kFcaWindow);
  std::vector<float> emb(size_t(kFcaLayers) * kFcaWindowFrames * kFcaDim);
  int64_t filled = 0;  // frames are filled in order; a later window never overwrites
  for (int64_t k = 0; kFcaHopFrames * k < F; ++k) {
    const int64_t first = k * kFcaHopFrames * kFcaFrameSamples;
    const int64_t take = std::min(n - first, kFcaWindow);
    std::fill(window.begin(), window.end(), 0.0f);
    std::memcpy(window.data(), samples + first, sizeof(float) * size_t(take));
    normaliseWindow(window.data(), window.size());
    frontend_->run({{window.data(), kFcaWindow, {1, kFcaWindow}}}, {int64_t(emb.size())},
                   {emb.data()});
    for (int64_t j = k > 0 ? 50 : 0; j < kFcaWindowFrames; ++j) {
      const int64_t f = kFcaHopFrames * k + j;
      if (f >= F) break;
      if (f < filled) continue;
      float* row = feat.data() + f * kFcaDim;
      for (int c = 0; c < kFcaDim; ++c) {
        float s = 0.0f;
        for (int l = 4; l <= 9; ++l) s += emb[(size_t(l) * kFcaWindowFrames + size_t(j)) * kFcaDim + c];
        row[c] = s / 6.0f;
      }
      filled = f + 1;
    }
  }
  gateAndNormalise(feat, F);

  std::vector<float> cond(size_t(kFcaTaps) * kFcaDim), prev(kFcaDelta, 0.0f),
      h(kFcaHidden, 0.0f), m(kFcaDelta), hn(kFcaHidden);
  for (int64_t t = 0; t < F; ++t) {
    for (int i = 0; i < kFcaTaps; ++i) {
      const int64_t s = std::min(std::max<int64_t>(t - 1 + i, 0), F - 1);
      std::memcpy(cond.data() + size_t(i) * kFcaDim, feat.data() + s * kFcaDim,
                  sizeof(float) * kFcaDim);
    }
    delta_->run({{cond.data(), int64_t(cond.size()), {1, kFcaTaps, kFcaDim}},
                 {prev.data(), kFcaDelta, {1, kFcaDelta}},
                 {h.data(), kFcaHidden, {1, 1, kFcaHidden}}},
                {kFcaDelta, kFcaHidden}, {m.data(), hn.data()});
    std::memcpy(out + t * kFcaDelta, m.data(), sizeof(float) * kFcaDelta);
    prev.swap(m);
    h.swap(hn);
  }
}

}  // namespace le::audio
