// Engine selection and creation. The adapters over the two engines' C
// surfaces plug in here; a build without an engine fails the warm-up with a
// message saying which one the bundle needs.
#include <cstdio>
#include <stdexcept>

#include "le/bundle.h"
#include "le/utt/engine.h"

namespace le::utt {

EngineKind selectEngine(const std::string& motionDir) {
  try {
    const std::string path = resolveMember(motionDir, "a2x_enc_stream.onnx");
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
      std::fclose(f);
      return EngineKind::A2x;
    }
  } catch (const std::exception&) {
  }
  return EngineKind::Motion;
}

std::unique_ptr<Engine> createEngine(EngineKind kind, const std::string& motionDir, int32_t,
                                     const std::string&) {
  if (kind == EngineKind::A2x)
    throw std::runtime_error("le_a2x_create: the streaming audio-to-expression engine is not part of "
                             "this build (" + motionDir + ")");
  throw std::runtime_error("le_motion_create: the motion generator is not part of this build (" +
                           motionDir + ")");
}

}  // namespace le::utt
