// Entry points of the fp16 engine: whether this processor runs it, whether a
// model file is the graph it implements, and its construction.
#include <stdexcept>

#include "le/render/conv_backend.h"
#include "le/render/conv_engine.h"

namespace le {

ConvBackend::~ConvBackend() = default;

bool ConvBackend::available() { return conv::kernels().halfFma; }

M4bProbe probeM4b(const std::string& modelPath) {
  M4bProbe p;
  try {
    const conv::LoadedOnnx m = conv::loadOnnx(modelPath);
    conv::M4bNames names;
    if (!conv::m4bResolve(m.inits, names, p.reason)) return p;
    if (!conv::m4bWiring(m, names, p.crop, p.reason)) return p;
    p.batch = static_cast<int32_t>(m.batch);
    p.supported = true;
  } catch (const std::exception& e) {
    p.reason = e.what();
  } catch (...) {
    p.reason = "unknown failure while reading the model";
  }
  return p;
}

bool ConvBackend::graphSupported(const std::string& modelPath) { return probeM4b(modelPath).supported; }

std::unique_ptr<ConvBackend> ConvBackend::create(const std::string& modelPath, int32_t threads) {
  if (!available()) throw std::runtime_error("le_conv: fp16 NEON not supported on this CPU");
  const conv::LoadedOnnx m = conv::loadOnnx(modelPath);
  conv::M4bNames names;
  std::string reason;
  if (!conv::m4bResolve(m.inits, names, reason)) throw std::runtime_error(conv::topologyMessage(reason));
  int32_t crop = 0;
  if (!conv::m4bWiring(m, names, crop, reason)) throw std::runtime_error(conv::topologyMessage(reason));
  return std::make_unique<conv::Engine>(m, names, crop, threads, conv::kernels());
}

}  // namespace le
