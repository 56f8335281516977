// Runs model bytes through onnxruntime with the custom domains, on
// random inputs that stay the same for every graph of one test, and checks
// node order.
#pragma once

#include <cmath>
#include <map>
#include <random>

#include "le/render/le_custom_ops.h"
#include "le/render/le_int8_conv.h"
#include "le/render/rewrites.h"
#include "le/runtime/ort_env.h"
#include "testkit/testkit.h"

namespace le::test {

using Tensors = std::map<std::string, std::pair<std::vector<int64_t>, std::vector<float>>>;

inline GsBytes readModel(const std::string& path) {
  const std::string s = readFile(path);
  return GsBytes(s.begin(), s.end());
}

inline Ort::Session sessionOf(const GsBytes& model, int threads = 1) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(threads);
  so.SetInterOpNumThreads(1);
  for (int twice = 0; twice < 2; ++twice) {  // a second registration is harmless
    le::registerGridSampleFast(so);
    le::registerWarpDirector(so);
    le::registerInt8ConvVNNI(so);
  }
  return Ort::Session(le::ort::env(), model.data(), model.size(), so);
}

// Inputs the session declares, drawn once per name: keypoints near the face
// centre with the driving set a small move away from the source set, images
// and features in [0, 1]. Named dimensions take `batch`.
class Feeds {
 public:
  explicit Feeds(uint32_t seed, int64_t batch = 1) : rng_(seed), batch_(batch) {}

  std::pair<std::vector<int64_t>, std::vector<float>>& get(const std::string& name, std::vector<int64_t> shape) {
    auto it = t_.find(name);
    if (it != t_.end()) return it->second;
    size_t n = 1;
    for (int64_t& d : shape) {
      if (d < 1) d = batch_;
      n *= static_cast<size_t>(d);
    }
    std::vector<float> v(n);
    const bool kp = name.rfind("kp_", 0) == 0 || name == "kd" || name == "ks";
    if (kp) {
      std::uniform_real_distribution<float> pos(-0.6f, 0.6f), move(-0.08f, 0.08f);
      const std::string other = name == "kp_driving" ? "kp_source" : name == "kd" ? "ks" : "";
      auto o = other.empty() ? t_.end() : t_.find(other);
      for (size_t i = 0; i < n; ++i)
        v[i] = o != t_.end() && o->second.second.size() == n ? o->second.second[i] + move(rng_) : pos(rng_);
    } else {
      std::uniform_real_distribution<float> d(0.f, 1.f);
      for (float& f : v) f = d(rng_);
    }
    return t_[name] = {shape, std::move(v)};
  }
  void set(const std::string& name, std::vector<int64_t> shape, std::vector<float> v) {
    t_[name] = {std::move(shape), std::move(v)};
  }

 private:
  std::mt19937 rng_;
  int64_t batch_;
  Tensors t_;
};

// Every output of one run, by name.
inline Tensors runAll(Ort::Session& s, Feeds& feeds) {
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::AllocatorWithDefaultOptions alloc;
  std::vector<std::string> inNames, outNames;
  std::vector<Ort::Value> inputs;
  for (size_t i = 0; i < s.GetInputCount(); ++i) {
    inNames.push_back(s.GetInputNameAllocated(i, alloc).get());
    auto shape = s.GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape();
    auto& t = feeds.get(inNames.back(), shape);
    inputs.push_back(Ort::Value::CreateTensor<float>(mem, t.second.data(), t.second.size(), t.first.data(), t.first.size()));
  }
  for (size_t i = 0; i < s.GetOutputCount(); ++i) outNames.push_back(s.GetOutputNameAllocated(i, alloc).get());
  std::vector<const char*> in, out;
  for (auto& n : inNames) in.push_back(n.c_str());
  for (auto& n : outNames) out.push_back(n.c_str());
  auto values = s.Run(Ort::RunOptions{nullptr}, in.data(), inputs.data(), in.size(), out.data(), out.size());
  Tensors result;
  for (size_t i = 0; i < values.size(); ++i) {
    auto info = values[i].GetTensorTypeAndShapeInfo();
    const float* p = values[i].GetTensorData<float>();
    result[outNames[i]] = {info.GetShape(), std::vector<float>(p, p + info.GetElementCount())};
  }
  return result;
}

inline Tensors runModel(const GsBytes& model, Feeds& feeds, int threads = 1) {
  Ort::Session s = sessionOf(model, threads);
  return runAll(s, feeds);
}

// "" when every node reads only initializers, graph inputs or tensors
// produced by an earlier node; else what breaks the order.
inline std::string orderProblem(const GsBytes& model) {
  GsGraphInfo g;
  if (!gsReadGraph(model, g)) return "no graph";
  std::map<std::string, size_t> seen;
  for (size_t i = 0; i < g.nodes.size(); ++i) {
    for (const std::string& in : g.nodes[i].inputs)
      if (!in.empty() && !g.isInitializer(in) && !g.inputs.count(in) && !seen.count(in))
        return "node " + g.label(i) + " reads '" + in + "' before it is produced";
    for (const std::string& o : g.nodes[i].outputs)
      if (!seen.emplace(o, i).second) return "'" + o + "' has two producers";
  }
  for (const std::string& o : g.outputs)
    if (!seen.count(o) && !g.inputs.count(o)) return "output '" + o + "' has no producer";
  return {};
}

}  // namespace le::test
