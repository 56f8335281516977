// A float32 onnxruntime graph run by input order: inputs shaped after what the
// graph declares, every output's element count checked before it is read.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace le::audio {

// Shape for `count` values given a declared shape: the declared one when it
// holds exactly count values, its single free dimension filled in when that
// works, else the fallback.
std::vector<int64_t> shapeFor(const std::vector<int64_t>& declared, int64_t count,
                              const std::vector<int64_t>& fallback);

struct GraphInput {
  const float* data;
  int64_t count;
  std::vector<int64_t> fallback;  // shape used when the graph leaves it open
};

class OrtGraph {
 public:
  // A session on the process's environment (le::ort::env()).
  OrtGraph(const std::string& path, const Ort::SessionOptions& options, std::string tag);
  // Runs with the inputs in the graph's input order; outputs[i] receives
  // output i, which must hold exactly expected[i] values.
  void run(const std::vector<GraphInput>& inputs, const std::vector<int64_t>& expected,
           std::vector<float*> outputs);
  size_t inputCount() const { return inNames_.size(); }
  // Puts the named inputs (outputs) first, in this order, when the graph has
  // them all; otherwise the graph's own order stays.
  void preferInputs(const std::vector<std::string>& names);
  void preferOutputs(const std::vector<std::string>& names);

 private:
  std::string tag_;
  std::unique_ptr<Ort::Session> session_;
  std::vector<std::string> inNames_, outNames_;
  std::vector<std::vector<int64_t>> inShapes_;
};

}  // namespace le::audio
