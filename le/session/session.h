// The session context behind the C handle le_ctx: one opened bundle with its
// manifest, mapped identity, drive tables, compositor, driver cursor and the
// director built on first render. The C entry points and the pipelines built
// on a context use it through the members below; one thread at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "le/bundle/drive.h"
#include "le/bundle/identity.h"
#include "le/bundle/manifest.h"
#include "le/driver/cursor.h"
#include "le/paste/le_paste.h"
#include "le/render/le_renderer.h"

namespace le::session {

// Look-ahead and history of the driver cursor: the live pipeline jumps back by
// at most the 11 frames it keeps in flight.
inline constexpr int kLookAhead = 2;
inline constexpr int kHistory = 11;

// The crop x crop bytes of the bundle's paste mask (the member keeps its name
// whatever the crop side); throws "mask read failed" when it is missing or
// shorter, "size mismatch <path>" when it is longer.
std::vector<uint8_t> readMask(const Manifest& manifest);

// Director intra-op threads: the caller's count when it chose one (or asked
// for a provider), else at most 2 so the le_utt pipeline's other stages keep
// their cores. `note` says whether the choice was the core's own.
int32_t intraThreads(int32_t threads, bool explicitThreads, const std::string& ep, bool* note);

// The step of a composite call that failed: the drive-table entry, the
// render, the output buffer or the paste. The C interface reports each under
// the entry point that does that step alone.
enum class Step { DriveEntry, Render, Output, Paste };

struct StepFailure : std::runtime_error {
  StepFailure(Step s, const std::string& what) : std::runtime_error(what), step(s) {}
  Step step;
};

}  // namespace le::session

// Members are declared in construction order; C++ destroys them in reverse, so
// the frame buffer and the cursor (joining its thread) go first and the
// identity is unmapped only after the renderer that reads it is gone.
struct le_ctx {
  // Opens bundle (a directory or a container). threads < 1 sizes the pool
  // automatically. Every loader's failure propagates as its own exception.
  le_ctx(const std::string& bundle, std::string modelKey, int32_t threads, std::string ep);
  ~le_ctx();
  le_ctx(const le_ctx&) = delete;
  le_ctx& operator=(const le_ctx&) = delete;

  // The director, built by the first call (logs the intra-op choice once).
  le::Renderer& ensureRenderer();

  // Renders frame si's crop (batch of one) and keeps it as lastCrop; a throw
  // leaves lastCrop as it was. si is checked against NT.
  const float* renderCrop(int32_t si, const float* ks, const float* kd);
  // renderCrop of drive-table entry i: its source index and keypoint rows.
  // StepFailure: DriveEntry for an entry outside the table or naming a frame
  // outside [0, NT), Render for a failed render.
  const float* renderDrive(int32_t i);
  // Renders frame si and pastes that crop into driver frame si, delivered into
  // out as RGBA with alpha 255; out (outBytes) is written only when every step
  // succeeded. The size of out is checked after the render, so a short buffer
  // still replaces lastCrop. StepFailure: Render, Output, Paste.
  void renderRgba(int32_t si, const float* ks, const float* kd, uint8_t* out, uint64_t outBytes);
  // renderRgba of drive-table entry i (StepFailure DriveEntry as renderDrive).
  void renderDriveRgba(int32_t i, uint8_t* out, uint64_t outBytes);
  // Driver frame si written into out (frameBytes() bytes) with crop pasted in.
  void pasteInto(int32_t si, const float* crop, uint8_t* out);
  // lastCrop pasted into driver frame si in the context's frame buffer.
  const uint8_t* pasteLast(int32_t si);

  int32_t NT() const { return manifest.NT; }
  int32_t W() const { return manifest.W; }
  int32_t H() const { return manifest.H; }
  // H x W x 3 and W x H x 4, computed once in 64 bits.
  uint64_t frameBytes() const { return frameBytes_; }
  uint64_t rgbaBytes() const { return rgbaBytes_; }
  // Floats of one crop: 3 planes of crop x crop.
  int64_t cropValues() const { return 3 * int64_t(manifest.crop) * manifest.crop; }

  le::Manifest manifest;
  le::Identity identity;
  le::Drive drive;
  std::unique_ptr<le::Renderer> renderer;
  std::unique_ptr<le::Paste> paste;
  int32_t threads;
  std::string ep;
  bool explicitThreads;
  std::string modelKey;
  std::unique_ptr<le::DriverCursor> cursor;
  std::vector<uint8_t> frame;
  const float* lastCrop = nullptr;
  // Set while an le_utt pipeline drives the context: its threads own the
  // renderer, cursor and compositor, so the frame-level entry points refuse.
  std::atomic<bool> uttBusy{false};

 private:
  void checkFrame(int32_t si, const char* what) const;
  // Entry i's source index, checked; StepFailure DriveEntry otherwise.
  int32_t driveSource(int32_t i) const;

  uint64_t frameBytes_ = 0;
  uint64_t rgbaBytes_ = 0;
};

namespace le::session {

// RGB24 pixels to RGBA with alpha 255; n pixels.
void rgbToRgba(const uint8_t* rgb, uint8_t* rgba, uint64_t n);

}  // namespace le::session
