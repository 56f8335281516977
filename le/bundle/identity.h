// The identity of a bundle: read-only per-frame access to the warp prior, the
// pooled source features, the optional feature-synthesis tensor and the paste
// matrices rescaled to the driver frame. Large members are memory-mapped,
// never copied; a bundle without a raw prior plays its HEVC prior through a
// prior stream created on first use by the opener the identity was given
// (le::driver::openPriorStream: decoding is the driver floor's work).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "le/bundle/manifest.h"

namespace le {

// The warp prior decoded from the bundle's HEVC member, frame by frame:
// 3 planes of crop x crop binary16 values per frame.
class PriorStream {
 public:
  virtual ~PriorStream() = default;
  // Frame si in the stream's own memory, valid until its next pull.
  virtual const uint8_t* pullAt(int si) = 0;
  // Frame si copied into dst.
  virtual void pullAt(int si, uint8_t* dst) = 0;
  virtual const std::string& sourceName() const = 0;
  // The frame the next pull in order would deliver.
  virtual int position() const = 0;
  virtual int64_t seeks() const = 0;
  virtual int64_t residentBytes() const = 0;
};

using PriorOpener = std::function<std::unique_ptr<PriorStream>(const Manifest&)>;

// Refuses a bundle that would leave the renderer without a warp prior.
void ensureIdentityMembers(const Manifest& manifest);

// binary16 -> float32, one value at a time.
void halfToFloat(const uint16_t* src, float* dst, size_t n);

class Identity {
 public:
  // openPrior plays the HEVC prior of a bundle that has no raw one; without
  // it such a bundle's prior accessors throw.
  explicit Identity(const Manifest& manifest, PriorOpener openPrior = nullptr);
  ~Identity();
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;

  int NT() const { return NT_; }
  int crop() const { return crop_; }
  const Manifest& manifest() const { return manifest_; }

  // Every per-frame accessor throws std::out_of_range for si outside [0, NT).
  // Frame si of pooled64.f16: 64 x 32 x 32 binary16 values.
  const uint16_t* pooled64(int si) const;
  // Frame si of the warp prior, 3 planes of crop x crop binary16 values. On the
  // HEVC path the memory belongs to the prior cursor and the next pull
  // overwrites it: a caller that may run beside another thread uses copyP.
  const uint16_t* P(int si);
  // Frame si of the warp prior copied into dst (3 x crop x crop values) while
  // the prior cursor is held, so concurrent callers never see a torn frame.
  void copyP(int si, uint16_t* dst);
  // Keeps the HEVC prior's decoding position with the session; no-op otherwise.
  void walkP(int si);
  // Frame si of fs_red.f16: 64 x 64 x 64 binary16 values; throws without it.
  const uint16_t* fsRed(int si) const;
  // Frame si's paste matrix: 6 floats, row order, rescaled to the driver frame.
  const float* M(int si) const;

  bool hasRawP() const;      // P.f16 is mapped
  bool hasFsRed() const;     // fs_red.f16 is mapped
  bool hasHevcPrior() const; // the prior is played from the HEVC member

  // The prior stream, created exactly once even under concurrent first calls;
  // null when the prior is not played from the HEVC member.
  PriorStream* prior();
  std::string priorBackend();
  int64_t priorSeeks();
  int64_t priorResidentBytes();

 private:
  struct Mapping;
  void rescaleM();
  // Throws std::out_of_range for si outside [0, NT).
  void checkIndex(const char* what, int si) const;
  PriorStream* requirePrior(const char* what);

  int32_t NT_ = 0;
  int32_t crop_ = 0;
  std::unique_ptr<Mapping> pooled64_, P_, fsRed_;
  std::vector<float> M_;
  Manifest manifest_;
  std::string hevcPath_;
  PriorOpener openPrior_;
  std::once_flag priorOnce_;
  std::unique_ptr<PriorStream> prior_;
  std::mutex priorMutex_;  // serialises pulls that copy out of the stream
};

}  // namespace le
