// Int8ConvVNNI as an onnxruntime custom operator: attribute reading, input
// checks and the process-wide "com.quillfin.int8" domain.
#include <onnxruntime_cxx_api.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "le/render/le_int8_conv.h"
#include "le/render/ort_domain_warmup.h"

namespace le {

namespace {

constexpr const char* kDomain = "com.quillfin.int8";
constexpr const char* kOpName = "Int8ConvVNNI";
constexpr const char* kRoles[4] = {"activations", "int8 weights", "weight scales", "bias"};

// An absent attribute takes the onnx Conv default; one of the wrong type
// fails the session.
std::vector<int64_t> intsOr(const Ort::ConstKernelInfo& info, const char* name, std::vector<int64_t> dflt) {
  try {
    return info.GetAttributes<int64_t>(name);
  } catch (const Ort::Exception& e) {
    if (std::strstr(e.what(), "No attribute") == nullptr) throw;
    return dflt;
  }
}

int64_t intOr(const Ort::ConstKernelInfo& info, const char* name, int64_t dflt) {
  try {
    return info.GetAttribute<int64_t>(name);
  } catch (const Ort::Exception& e) {
    if (std::strstr(e.what(), "No attribute") == nullptr) throw;
    return dflt;
  }
}

// "com.quillfin.int8::Int8ConvVNNI node "conv3" (inputs x, w, w_scale, b)"
std::string labelOf(const Ort::ConstKernelInfo& info) {
  std::string s = std::string(kDomain) + "::" + kOpName + " node \"" + info.GetNodeName() + "\" (inputs ";
  const size_t n = info.GetInputCount();
  for (size_t i = 0; i < n; ++i) s += (i ? ", " : "") + info.GetInputName(i);
  return s + ")";
}

Ort::Status failure(const char* what) { return Ort::Status(what, ORT_RUNTIME_EXCEPTION); }

struct Kernel {
  Int8Conv conv;

  Kernel(const Int8ConvAttrs& a, std::string label) : conv(a, std::move(label)) {}

  OrtStatusPtr ComputeV2(OrtKernelContext* raw) noexcept {
    try {
      compute(raw);
      return nullptr;
    } catch (const Ort::Exception& e) {
      return Ort::Status(e).release();
    } catch (const std::exception& e) {
      return failure(e.what()).release();
    } catch (...) {
      return failure((conv.label() + ": unknown failure").c_str()).release();
    }
  }

  void compute(OrtKernelContext* raw) {
    Ort::KernelContext ctx(raw);
    const std::string& label = conv.label();
    if (ctx.GetInputCount() < 4)
      throw std::runtime_error(label + ": needs 4 inputs (activations, int8 weights, weight scales, bias), got " +
                               std::to_string(ctx.GetInputCount()) + ". REFUSING.");
    Ort::ConstValue in[4] = {ctx.GetInput(0), ctx.GetInput(1), ctx.GetInput(2), ctx.GetInput(3)};
    for (int i = 0; i < 4; ++i)
      if (!in[i] || !in[i].IsTensor())
        throw std::runtime_error(label + ": input " + std::to_string(i) + " (" + kRoles[i] +
                                 ") is missing. REFUSING.");
    const auto xi = in[0].GetTensorTypeAndShapeInfo();
    const auto wi = in[1].GetTensorTypeAndShapeInfo();
    const size_t scales = in[2].GetTensorTypeAndShapeInfo().GetElementCount();
    const size_t biases = in[3].GetTensorTypeAndShapeInfo().GetElementCount();
    const std::vector<int64_t> xs = xi.GetShape(), ws = wi.GetShape();
    const std::array<int64_t, 4> out = conv.outputShape(xs, ws, scales, biases);
    Ort::UnownedValue y = ctx.GetOutput(0, out.data(), out.size());
    conv.run(in[0].GetTensorData<float>(), xs, in[1].GetTensorData<int8_t>(), ws, in[2].GetTensorData<float>(),
             scales, in[3].GetTensorData<float>(), biases, y.GetTensorMutableData<float>());
  }
};

struct Op : Ort::CustomOpBase<Op, Kernel, true> {
  OrtStatusPtr CreateKernelV2(const OrtApi&, const OrtKernelInfo* raw, void** kernel) const noexcept {
    try {
      const Ort::ConstKernelInfo info(raw);
      Int8ConvAttrs a;
      a.strides = intsOr(info, "strides", a.strides);
      a.pads = intsOr(info, "pads", a.pads);
      a.dilations = intsOr(info, "dilations", a.dilations);
      a.group = intOr(info, "group", a.group);
      *kernel = new Kernel(a, labelOf(info));
      return nullptr;
    } catch (const Ort::Exception& e) {
      return Ort::Status(e).release();
    } catch (const std::exception& e) {
      return Ort::Status(e.what(), ORT_INVALID_ARGUMENT).release();
    } catch (...) {
      return Ort::Status("com.quillfin.int8::Int8ConvVNNI: cannot create a kernel", ORT_FAIL).release();
    }
  }
  const char* GetName() const { return kOpName; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 4; }
  ONNXTensorElementDataType GetInputType(size_t i) const {
    return i == 1 ? ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8 : ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
  }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
};

OrtCustomOpDomain* int8Domain() {
  // Function-local statics: sessions built on several threads at once
  // create the domain and add the operator exactly once.
  static const Op op;
  static Ort::CustomOpDomain domain = [] {
    Ort::CustomOpDomain d(kDomain);
    d.Add(&op);
    warmCustomDomain(d);
    return d;
  }();
  return domain;
}

// onnxruntime refuses options that carry one domain twice; this entry marks
// options (and their copies) that already carry it.
constexpr const char* kRegisteredKey = "le.quillfin.int8.domain";

}  // namespace

void registerInt8ConvVNNI(Ort::SessionOptions& options) {
  if (options.HasConfigEntry(kRegisteredKey)) return;
  options.Add(int8Domain());
  options.AddConfigEntry(kRegisteredKey, "1");
}

}  // namespace le
