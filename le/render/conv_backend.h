// The fp16 engine: an executor of exactly one director network, the fused
// m4b graph, without onnxruntime. It reads the weights from the same ONNX
// file, refuses any graph that is not wired exactly as it computes, and
// renders a batch of frames on its own threads. Its output equals
// onnxruntime's output of the same graph to half-precision accuracy.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace le {

class ConvBackend {
 public:
  virtual ~ConvBackend();
  // Frames per render: the static batch of the graph input "pooled64".
  virtual int32_t batch() const = 0;
  // pooled[i] and prior[i]: frame i's binary16 pooled features (64 x 32 x 32)
  // and warp prior (3 x crop x crop); ks, kd: n x 63 floats; out: n x 3 x
  // crop x crop floats. Throws "le_conv: bad n" unless 1 <= n <= batch().
  virtual void render(const uint16_t* const* pooled, const uint16_t* const* prior, const float* ks,
                      const float* kd, int32_t n, float* out) = 0;

  // The dispatched vector target converts binary16 in hardware and fuses
  // multiply-adds (every Arm target; AVX2 and AVX-512 on x86-64).
  static bool available();
  // The file parses and is the fused m4b graph this engine implements. Never
  // throws.
  static bool graphSupported(const std::string& modelPath);
  // Throws "le_conv: fp16 NEON not supported on this CPU" when !available(),
  // the loader's and packer's refusals otherwise.
  static std::unique_ptr<ConvBackend> create(const std::string& modelPath, int32_t threads);
};

// What a caller learns about a model file before building the engine.
struct M4bProbe {
  bool supported = false;
  std::string reason;  // why not, when !supported
  int32_t crop = 0;    // C of "P_rgb" / "rgb" [B,3,C,C]
  int32_t batch = 0;
};
// graphSupported with its reason and the graph's crop and batch. Never throws.
M4bProbe probeM4b(const std::string& modelPath);

}  // namespace le
