// The director: the per-bundle ONNX graph that turns one source frame of the
// identity (warp prior and pooled features) and two keypoint sets into square
// RGB face crops. Everything is decided and bound at construction; render
// copies only per-frame data into the bound buffers and runs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace le {

struct Manifest;
class Identity;

// Keypoint rows the host feeds per frame (21 x 3 floats).
inline constexpr int32_t kHostKpRows = 21;

class Renderer {
 public:
  // identity is not owned and must outlive the Renderer. threads < 1 means
  // le::pool::threads(). Load-time refusals throw std::runtime_error.
  Renderer(const Manifest& manifest, Identity* identity, const std::string& key, int32_t threads,
           const std::string& ep);
  ~Renderer();
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  // n frames (1 <= n <= batch()): si[i] is frame i's source-frame index, ks
  // and kd hold n x 63 floats. Returns n planar crops of 3 x crop x crop
  // floats, owned by the Renderer and valid until the next call. One thread
  // at a time.
  const float* render(const int32_t* si, const float* ks, const float* kd, int32_t n);

  int32_t batch() const;
  std::string ep() const;
  const char* backend() const;
  const char* directorNote() const;

  struct Impl;
  // Internal state, for the library's own tests and benchmarks.
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace le
