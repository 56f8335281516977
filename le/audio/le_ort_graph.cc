#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "le/audio/ort_graph.h"
#include "le/bundle/member.h"
#include "le/runtime/ort_env.h"

namespace le::audio {

std::vector<int64_t> shapeFor(const std::vector<int64_t>& declared, int64_t count,
                              const std::vector<int64_t>& fallback) {
  if (!declared.empty()) {
    int64_t fixed = 1;
    int freeDims = 0;
    for (int64_t d : declared) {
      if (d > 0) {
        if (fixed > count) return fallback;
        fixed *= d;
      } else {
        ++freeDims;
      }
    }
    if (freeDims == 0 && fixed == count) return declared;
    if (freeDims == 1 && fixed > 0 && count % fixed == 0) {
      std::vector<int64_t> s = declared;
      for (int64_t& d : s)
        if (d <= 0) d = count / fixed;
      return s;
    }
  }
  return fallback;
}

OrtGraph::OrtGraph(const std::string& path, const Ort::SessionOptions& options, std::string tag)
    : tag_(std::move(tag)) {
  member::require(path, member::kModelMax, "model");
  session_ = std::make_unique<Ort::Session>(ort::env(), path.c_str(), options);
  Ort::AllocatorWithDefaultOptions alloc;
  for (size_t i = 0; i < session_->GetInputCount(); ++i) {
    inNames_.emplace_back(session_->GetInputNameAllocated(i, alloc).get());
    inShapes_.push_back(session_->GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape());
  }
  for (size_t i = 0; i < session_->GetOutputCount(); ++i)
    outNames_.emplace_back(session_->GetOutputNameAllocated(i, alloc).get());
}

namespace {

// Moves names to the front of `order` (and the matching rows of `extra`).
template <class Extra>
void moveFirst(std::vector<std::string>& order, std::vector<Extra>* extra,
               const std::vector<std::string>& names) {
  for (const std::string& n : names)
    if (std::find(order.begin(), order.end(), n) == order.end()) return;
  for (size_t i = 0; i < names.size(); ++i) {
    const size_t at = size_t(std::find(order.begin(), order.end(), names[i]) - order.begin());
    std::swap(order[i], order[at]);
    if (extra != nullptr) std::swap((*extra)[i], (*extra)[at]);
  }
}

}  // namespace

void OrtGraph::preferInputs(const std::vector<std::string>& names) {
  moveFirst(inNames_, &inShapes_, names);
}

void OrtGraph::preferOutputs(const std::vector<std::string>& names) {
  moveFirst<int>(outNames_, nullptr, names);
}

void OrtGraph::run(const std::vector<GraphInput>& inputs, const std::vector<int64_t>& expected,
                   std::vector<float*> outputs) {
  if (inputs.size() != inNames_.size())
    throw std::runtime_error(tag_ + ": graph has " + std::to_string(inNames_.size()) +
                             " inputs, expected " + std::to_string(inputs.size()));
  if (outNames_.size() < outputs.size())
    throw std::runtime_error(tag_ + ": graph has " + std::to_string(outNames_.size()) +
                             " outputs, expected " + std::to_string(outputs.size()));
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<Ort::Value> in;
  std::vector<const char*> inN, outN;
  for (size_t i = 0; i < inputs.size(); ++i) {
    const std::vector<int64_t> shape = shapeFor(inShapes_[i], inputs[i].count, inputs[i].fallback);
    in.push_back(Ort::Value::CreateTensor<float>(mem, const_cast<float*>(inputs[i].data),
                                                 static_cast<size_t>(inputs[i].count),
                                                 shape.data(), shape.size()));
    inN.push_back(inNames_[i].c_str());
  }
  for (size_t i = 0; i < outputs.size(); ++i) outN.push_back(outNames_[i].c_str());
  Ort::RunOptions ro;
  std::vector<Ort::Value> out =
      session_->Run(ro, inN.data(), in.data(), in.size(), outN.data(), outN.size());
  for (size_t i = 0; i < outputs.size(); ++i) {
    const auto info = out[i].GetTensorTypeAndShapeInfo();
    if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
      throw std::runtime_error(tag_ + ": output '" + outNames_[i] + "' is not float32");
    const int64_t n = static_cast<int64_t>(info.GetElementCount());
    if (n != expected[i])
      throw std::runtime_error(tag_ + ": output '" + outNames_[i] + "' holds " + std::to_string(n) +
                               " values, expected " + std::to_string(expected[i]));
    std::memcpy(outputs[i], out[i].GetTensorData<float>(), sizeof(float) * size_t(n));
  }
}

}  // namespace le::audio
