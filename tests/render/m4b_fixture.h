// Fixture m4b directors (lefix m4b) cached per build, binary16 frame inputs
// and onnxruntime's reference output of the same graph.
#pragma once

#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "le/fsutil.h"
#include "le/runtime/le_simd.h"
#include "render/rewrite_runner.h"
#include "testkit/testkit.h"

namespace le::test {

// The model file of `variant` at crop and batch, written once per version of
// the generator and reused by every test process of this build.
inline std::string m4bModel(const std::string& variant, int crop, int batch, bool stageOutputs = false) {
  static const std::string dir = [] {
    const std::string gen = readFile(std::string(LE_FIXTURES_DIR) + "/lefix/m4b.py");
    char key[32];
    std::snprintf(key, sizeof key, "%016zx", std::hash<std::string>{}(gen));
    const std::string d = std::string(LE_FIXTURE_CACHE) + "/m4b-" + key;
    le::fs::mkdirs(d);
    return d;
  }();
  const std::string path = dir + "/" + variant + "_" + std::to_string(crop) + "_b" + std::to_string(batch) +
                           (stageOutputs ? "_stages" : "") + ".onnx";
  if (exists(path)) return path;
  const std::string tmp = path + ".tmp" + std::to_string(::getpid());
  std::vector<std::string> args{"m4b", "--out", tmp, "--variant", variant, "--crop", std::to_string(crop),
                                "--batch", std::to_string(batch)};
  if (stageOutputs) args.push_back("--stage-outputs");
  if (runFixture(args) != 0) throw std::runtime_error("lefix m4b failed for " + path);
  if (std::rename(tmp.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot rename " + tmp);
  return path;
}

// Frames of binary16 inputs: smooth pooled features and priors in [0, 1],
// keypoints of a face outline with the driving set moved a little.
struct M4bFrames {
  int crop = 256;
  int n = 0;
  std::vector<std::vector<uint16_t>> pooled, prior;
  std::vector<float> ks, kd;

  M4bFrames(int crop_, int n_, uint32_t seed) : crop(crop_), n(n_) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.f, 1.f), move(-0.06f, 0.06f);
    for (int f = 0; f < n; ++f) {
      pooled.push_back(smooth(64, 32, rng));
      prior.push_back(smooth(3, crop, rng));
      for (int k = 0; k < 21; ++k) {
        const float a = 6.2831853f * static_cast<float>(k) / 21.f;
        const float s[3] = {0.3f * std::cos(a) + 0.05f * (u(rng) - 0.5f), 0.35f * std::sin(a), 0.05f * std::cos(a)};
        for (int j = 0; j < 3; ++j) {
          ks.push_back(s[j]);
          kd.push_back(s[j] + move(rng));
        }
      }
    }
  }

  static std::vector<uint16_t> smooth(int planes, int side, std::mt19937& rng) {
    std::uniform_real_distribution<float> fr(1.f, 5.f), ph(0.f, 6.28f);
    std::vector<uint16_t> out(static_cast<size_t>(planes) * side * side);
    for (int p = 0; p < planes; ++p) {
      const float a = fr(rng), b = fr(rng), c = ph(rng), d = ph(rng);
      for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
          const float fx = (static_cast<float>(x) + 0.5f) / static_cast<float>(side);
          const float fy = (static_cast<float>(y) + 0.5f) / static_cast<float>(side);
          const float v = 0.5f + 0.25f * std::sin(6.28f * a * fx + c) + 0.2f * std::cos(6.28f * b * fy + d);
          out[(static_cast<size_t>(p) * side + y) * side + x] = le::f32ToF16(v);
        }
    }
    return out;
  }

  std::vector<const uint16_t*> pooledPtrs() const {
    std::vector<const uint16_t*> v;
    for (const auto& p : pooled) v.push_back(p.data());
    return v;
  }
  std::vector<const uint16_t*> priorPtrs() const {
    std::vector<const uint16_t*> v;
    for (const auto& p : prior) v.push_back(p.data());
    return v;
  }
};

inline std::vector<float> widened(const std::vector<uint16_t>& h) {
  std::vector<float> f(h.size());
  le::halfToFloat(h.data(), f.data(), h.size());
  return f;
}

// onnxruntime's outputs for frames [f0, f0 + batch) of `in` in one run of a
// graph of that batch (frames past in.n repeat the last one).
inline Tensors ortRun(const std::string& model, const M4bFrames& in, int f0, int batch, int threads = 1) {
  const std::string bytes = readFile(model);
  Ort::Session s = sessionOf(GsBytes(bytes.begin(), bytes.end()), threads);
  Feeds feeds(1, batch);
  std::vector<float> pooled, prior, ks, kd;
  for (int b = 0; b < batch; ++b) {
    const int f = std::min(f0 + b, in.n - 1);
    const std::vector<float> p = widened(in.pooled[static_cast<size_t>(f)]);
    const std::vector<float> r = widened(in.prior[static_cast<size_t>(f)]);
    pooled.insert(pooled.end(), p.begin(), p.end());
    prior.insert(prior.end(), r.begin(), r.end());
    ks.insert(ks.end(), in.ks.begin() + f * 63, in.ks.begin() + (f + 1) * 63);
    kd.insert(kd.end(), in.kd.begin() + f * 63, in.kd.begin() + (f + 1) * 63);
  }
  const int64_t B = batch, C = in.crop;
  feeds.set("pooled64", {B, 64, 32, 32}, pooled);
  feeds.set("P_rgb", {B, 3, C, C}, prior);
  feeds.set("kp_source", {B, 21, 3}, ks);
  feeds.set("kp_driving", {B, 21, 3}, kd);
  return runAll(s, feeds);
}

struct Diff {
  float max = 0, mean = 0;
};
inline Diff diffOf(const float* a, const float* b, size_t n) {
  Diff d;
  double sum = 0;
  for (size_t i = 0; i < n; ++i) {
    const float e = std::fabs(a[i] - b[i]);
    d.max = std::max(d.max, std::isnan(e) ? INFINITY : e);
    sum += e;
  }
  d.mean = n ? static_cast<float>(sum / static_cast<double>(n)) : 0.f;
  return d;
}

// NCHW [c][h][w] (one image) as channel-last [h][w][c].
inline std::vector<float> toChannelLast(const float* x, size_t c, size_t hw) {
  std::vector<float> out(c * hw);
  for (size_t k = 0; k < c; ++k)
    for (size_t p = 0; p < hw; ++p) out[p * c + k] = x[k * hw + p];
  return out;
}

}  // namespace le::test
