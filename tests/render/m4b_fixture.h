// Fixture m4b directors (lefix m4b) cached per build, binary16 frame inputs
// and onnxruntime's reference output of the same graph.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "le/bundle/fsutil.h"
#include "render/m4b_frames.h"
#include "render/rewrite_runner.h"

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

// onnxruntime's outputs for frame 0 of `in` on a graph of batch 1.
inline Tensors ortRun(const std::string& model, const M4bFrames& in) {
  Ort::Session s = sessionOf(readModel(model));
  Feeds feeds(1);
  std::vector<float> pooled(in.pooled[0].size()), prior(in.prior[0].size());  // binary16 as float
  le::halfToFloat(in.pooled[0].data(), pooled.data(), pooled.size());
  le::halfToFloat(in.prior[0].data(), prior.data(), prior.size());
  feeds.set("pooled64", {1, 64, 32, 32}, pooled);
  feeds.set("P_rgb", {1, 3, in.crop, in.crop}, prior);
  feeds.set("kp_source", {1, 21, 3}, {in.ks.begin(), in.ks.begin() + 63});
  feeds.set("kp_driving", {1, 21, 3}, {in.kd.begin(), in.kd.begin() + 63});
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

}  // namespace le::test
