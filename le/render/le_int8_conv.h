// The "com.quillfin.int8" operator domain and its one operator Int8ConvVNNI:
// a convolution with int8 weights quantised offline (per output channel
// scale) that quantises its float input per tensor to unsigned 8 bits on the
// fly, multiplies in 32-bit integers and dequantises per output channel. Its
// parallel work runs on le::pool.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Ort {
struct SessionOptions;
}

namespace le {

// Creates the process-wide domain once and adds it to the options (once per
// options object: onnxruntime refuses options that carry a domain twice).
// onnxruntime errors are thrown as Ort::Exception.
void registerInt8ConvVNNI(Ort::SessionOptions& options);

// Minimum and maximum of x[0, n), in parts of at least 4096 values over
// le::pool. Both are NaN when any value is NaN or infinite; n = 0 gives +inf
// and -inf.
void minmax_par(const float* x, size_t n, float* lo, float* hi);

// Attributes of one node, as the graph states them (onnx Conv defaults).
struct Int8ConvAttrs {
  std::vector<int64_t> strides{1, 1};
  std::vector<int64_t> pads{0, 0, 0, 0};  // top, left, bottom, right
  std::vector<int64_t> dilations{1, 1};
  int64_t group = 1;
};

// The operator without onnxruntime: the onnxruntime kernel, the tests and the
// benchmark drive it alike. Every failure is a std::runtime_error whose text
// starts with the node's label.
class Int8Conv {
 public:
  // Refuses strides or dilations below 1, negative pads, group below 1 and
  // attribute lists of the wrong length.
  Int8Conv(const Int8ConvAttrs& attrs, std::string label);
  ~Int8Conv();
  Int8Conv(const Int8Conv&) = delete;
  Int8Conv& operator=(const Int8Conv&) = delete;

  // Output shape [N, M, Ho, Wo] of the given input shapes; refuses every
  // mismatch (ranks, group divisibility, weight channels, scale and bias
  // counts, non-positive output size).
  std::array<int64_t, 4> outputShape(const std::vector<int64_t>& x, const std::vector<int64_t>& w,
                                     size_t scaleCount, size_t biasCount) const;

  // One run, checked like outputShape; y holds N x M x Ho x Wo floats. The
  // weights are packed on the first run; later runs must pass the same
  // weights (checked: they are an initializer in every real graph).
  void run(const float* x, const std::vector<int64_t>& xShape, const int8_t* w,
           const std::vector<int64_t>& wShape, const float* scale, size_t scaleCount, const float* bias,
           size_t biasCount, float* y);

  const std::string& label() const { return label_; }

 private:
  struct Packed;
  void pack(const int8_t* w, const std::vector<int64_t>& wShape);

  std::string label_;
  int64_t strideH_, strideW_, dilH_, dilW_;
  int64_t padT_, padL_, padB_, padR_;
  int64_t group_;
  std::once_flag packOnce_;
  std::unique_ptr<Packed> packed_;
};

}  // namespace le
