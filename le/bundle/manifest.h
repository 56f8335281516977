// manifest.json of a bundle: the sizes and parameters every other loader of
// the bundle takes as given.
#pragma once

#include <cstdint>
#include <string>

namespace le {

// The compositor's unsharp mask.
struct Unsharp {
  float amount = 1.3f;
  float sigma = 2.0f;
  int32_t ksize = 13;
};

struct Manifest {
  std::string dir;    // bundle directory after container resolution
  std::string agent;
  int32_t NT = 0;     // driver-video frames
  int32_t H = 0;      // driver frame size
  int32_t W = 0;
  int32_t srcW = 0;   // canvas the paste matrices were authored on
  int32_t srcH = 0;
  int32_t crop = 512; // side of the director's square crop
  Unsharp unsharp;
  int32_t frames = 0; // drive-table entries
  std::string lipTemplateJson;  // lip_template.v1.json, empty when absent

  // The director member "model_" + key + ".onnx", through le::resolveMember.
  std::string modelPath(const std::string& key) const;
};

// The text of dir/manifest.json, read as a member: inside dir, a regular
// file, at most 64 MiB.
std::string manifestText(const std::string& dir);

// Resolves dir (unwrapping a container), reads and checks its manifest.json.
// Every key read is required; failures throw std::runtime_error.
Manifest loadManifest(const std::string& dir);

}  // namespace le
