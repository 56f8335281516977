// Initializer table of the fp16 loader: every graph initializer of a model as
// {name, dims, float32 values}, refused unless it is a complete FLOAT tensor.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "le/render/onnx_wire.h"

namespace le {

struct OnnxInit {
  std::string name;
  std::vector<int64_t> dims;
  std::vector<float> values;  // product of dims elements
};

class OnnxModel {
 public:
  // Reads the initializers of model's graph; throws the codec's messages.
  static OnnxModel parse(GsSlice model);

  // The entry, or throws "onnx: missing initializer " + name.
  const OnnxInit& get(std::string_view name) const;
  const OnnxInit* find(std::string_view name) const;
  // In file order.
  const std::vector<OnnxInit>& initializers() const { return inits_; }

 private:
  std::vector<OnnxInit> inits_;
  std::unordered_map<std::string, size_t> byName_;
};

}  // namespace le
