// Renderer internals shared by its source files (construction, session
// building, input binding, rendering) and reachable by the library's tests.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "le/render/conv_backend.h"
#include "le/render/le_renderer.h"
#include "le/render/onnx_wire.h"
#include "le/render/source_cone.h"
#include "le/tessera/lip_contour.h"

namespace le {

inline bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

struct Renderer::Impl {
  std::string ep;  // in use; "" = the CPU provider
  std::string key, modelPath, dir;
  int32_t threads = 1;

  // onnxruntime objects (on the process's environment, le::ort::env()). The
  // ring (below) owns the prep session and binding.
  Ort::SessionOptions options{nullptr};
  Ort::RunOptions runOptions;
  std::unique_ptr<Ort::Session> session;
  std::unique_ptr<Ort::IoBinding> binding;
  Ort::AllocatorWithDefaultOptions allocator;
  Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);

  bool profiling = false;
  double runMs = 0;
  int64_t runFrames = 0;

  Identity* identity = nullptr;
  int32_t crop = 0;
  int32_t batch = 0;

  static constexpr size_t kPooledN = 64 * 32 * 32;
  static constexpr size_t kFsRedN = 64 * 64 * 64;
  size_t priorN = 0;  // 3 x crop x crop

  // Host buffers sized for `batch` frames, bound once.
  std::vector<float> pooled, prior, kd, ks, out;
  std::vector<Ort::Value> bound;  // tensors over the buffers above
  // A played HEVC prior is copied out under the identity's prior lock: its
  // cursor memory is rewritten by any other thread that walks the prior.
  std::vector<uint16_t> priorHalf;

  bool featSynth = false;

  // The lip-contour binding narrows the compose alpha to the lip polygon:
  // "lip_delivery" (batch x crop x crop, bound once) holds each frame's
  // contour. Only the thread that calls render touches the contour and the
  // canvas; the prefetch thread never does. lipInput: the graph takes
  // "lip_delivery" (the binding added it, or the graph declared it); without
  // a bound contour the canvas stays 1.0, the graph's own alpha.
  std::optional<tessera::LipContour> lipContour;
  bool lipBound = false;
  bool lipInput = false;
  std::vector<float> lipCanvas;

  // The fp16 engine, when it serves every render (no onnxruntime session
  // then): frame pointers for one render, and a played HEVC prior copied
  // into one slot per frame of the batch.
  std::unique_ptr<ConvBackend> conv;
  std::vector<const uint16_t*> convPooled, convPrior;

  // Source-cone hoist: set by the session builder when it applies. The prep
  // session waits here until the ring is built over the bound buffers.
  std::string boundary;
  std::array<int64_t, 4> boundaryDims{};
  std::unique_ptr<Ort::Session> prepSession;
  std::unique_ptr<SourceConeRing> ring;

  ~Impl();

  // Construction step 2: builds the fp16 engine when ep (or LE_CONV_BACKEND
  // with an empty ep) asks for it and it accepts the bundle; true when it
  // serves. Otherwise ep is cleared when it named the engine.
  bool chooseConvBackend(std::string& ep, const std::string& lipTemplateText);
  const float* renderConv(const int32_t* si, const float* ks, const float* kd, int32_t n);

  // Session builder: options, provider, custom domains, rewrites, session.
  void buildSession(const std::string& epIn);
  // Input inspection, the keypoint contract and the prior-presence refusals.
  void inspectInputs();
  // Buffers, I/O binding and (hoisted) the ring with its prefetch thread.
  void bindOnce();
  const float* renderPlain(const int32_t* si, const float* ks, const float* kd, int32_t n);
  const float* renderHoisted(int32_t si, const float* ks, const float* kd);
  void run();

  // Builds the contour from the bundle's lip template (empty: none); its
  // refusals fail the construction. A backend that does not run the graph
  // skips this and reports itself through logLipNotBound.
  void prepareLipContour(const std::string& templateJson);
  // The graph serves its own ellipse although the bundle carries a template.
  void logLipNotBound(const std::string& reason) const;

 private:
  // Nodes each load-time rewrite changed.
  struct RewriteCounts {
    size_t warp = 0, gs = 0, blend = 0, head = 0;
    bool any() const { return warp > 0 || gs > 0 || blend > 0 || head > 0; }
  };

  // The steps of buildSession, in order. chooseOptions returns the CoreML
  // unit text ("" off CoreML).
  std::string chooseOptions(const std::string& epIn, bool coreml);
  GsBytes readModelAndRegisterDomains(bool coreml, bool& gsRewrite);
  RewriteCounts rewriteModel(GsBytes& bytes, bool coreml, bool gsRewrite);
  // Binds the contour into the model bytes (Min with "lip_delivery"), or
  // to the graph's own "lip_delivery", or says why the ellipse serves; true
  // when the bytes changed.
  bool bindLipContour(GsBytes& bytes);
  void logLipContour() const;
  bool applyHoist(const GsBytes& model, bool coreml, const std::string& unit, bool warpApplied);
  void logRewrites(const RewriteCounts& done) const;
  void openSession(const GsBytes& bytes, bool rewritten);
};

}  // namespace le
