// The session context: construction in loader order, the lazily built
// director, and the render and paste steps the C entry points share.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <utility>

#include "le/bundle/member.h"
#include "le/bundle/paths.h"
#include "le/bundle/rawfile.h"
#include "le/runtime/le_pool.h"
#include "le/runtime/log.h"
#include "le/session/session.h"

namespace le::session {

std::vector<uint8_t> readMask(const Manifest& manifest) {
  const uint64_t n = raw::checkedProduct({manifest.crop, manifest.crop}, "mask");
  const std::string path = resolveMember(manifest.dir, "mask_512.u8");
  // Exactly crop x crop bytes, like every other per-bundle member: a longer
  // file was written for another crop.
  std::optional<member::File> f = member::File::tryOpen(path, member::kNoBound, "mask");
  if (!f || f->size() < n) throw std::runtime_error("mask read failed");
  if (f->size() > n) throw std::runtime_error("size mismatch " + path);
  std::vector<uint8_t> mask(n);
  if (f->read(mask.data(), n) != n) throw std::runtime_error("mask read failed");
  return mask;
}

int32_t intraThreads(int32_t threads, bool explicitThreads, const std::string& ep, bool* note) {
  const bool chosen = explicitThreads || !ep.empty();
  if (note) *note = !chosen;
  return chosen ? threads : std::min<int32_t>(threads, 2);
}

void rgbToRgba(const uint8_t* rgb, uint8_t* rgba, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) {
    rgba[4 * i + 0] = rgb[3 * i + 0];
    rgba[4 * i + 1] = rgb[3 * i + 1];
    rgba[4 * i + 2] = rgb[3 * i + 2];
    rgba[4 * i + 3] = 255;
  }
}

}  // namespace le::session

le_ctx::le_ctx(const std::string& bundle, std::string key, int32_t threadCount, std::string epText)
    : manifest(le::loadManifest(bundle)),
      identity(manifest, le::driver::openPriorStream),
      drive(le::loadDrive(manifest)),
      threads(threadCount > 0 ? threadCount : le::pool::threads()),
      ep(std::move(epText)),
      explicitThreads(threadCount > 0),
      modelKey(std::move(key)) {
  paste = std::make_unique<le::Paste>(le::session::readMask(manifest), manifest.crop,
                                      manifest.unsharp);
  cursor = le::DriverCursor::open(manifest, le::session::kLookAhead, le::session::kHistory);
  frameBytes_ = le::raw::checkedProduct({manifest.H, manifest.W, 3}, "frame");
  rgbaBytes_ = le::raw::checkedProduct({manifest.W, manifest.H, 4}, "RGBA frame");
  // Every pull writes the cursor's frame size into buffers sized from the
  // manifest; they must agree or a pull would overrun.
  if (cursor->frameBytes() != frameBytes_)
    throw std::runtime_error("driver frames of " + std::to_string(cursor->frameBytes()) +
                             " bytes, the manifest's " + std::to_string(manifest.W) + "x" +
                             std::to_string(manifest.H) + " needs " + std::to_string(frameBytes_) +
                             " — refusing");
  frame.resize(frameBytes_);
}

// The members' reverse declaration order is the teardown order.
le_ctx::~le_ctx() = default;

le::Renderer& le_ctx::ensureRenderer() {
  if (!renderer) {
    bool note = false;
    const int32_t intra = le::session::intraThreads(threads, explicitThreads, ep, &note);
    if (note)
      le::log::linef(le::log::Level::Info,
                     "[le] director intra-op %d of pool %d: the caller did not choose, the core "
                     "sized it for the le_utt pipeline",
                     intra, threads);
    renderer = std::make_unique<le::Renderer>(manifest, &identity, modelKey, intra, ep);
  }
  return *renderer;
}

void le_ctx::checkFrame(int32_t si, const char* what) const {
  if (si < 0 || si >= manifest.NT)
    throw std::out_of_range(std::string(what) + ": frame " + std::to_string(si) + " outside [0," +
                            std::to_string(manifest.NT) + ")");
}

const float* le_ctx::renderCrop(int32_t si, const float* ks, const float* kd) {
  checkFrame(si, "render");
  if (!ks || !kd) throw std::invalid_argument("render: null keypoints");
  const float* crop = ensureRenderer().render(&si, ks, kd, 1);
  lastCrop = crop;
  return crop;
}

void le_ctx::pasteInto(int32_t si, const float* crop, uint8_t* out) {
  checkFrame(si, "paste");
  cursor->pullAt(si, out);
  paste->composite(crop, 255.f, identity.M(si), out, manifest.W, manifest.H);
}

int32_t le_ctx::driveSource(int32_t i) const {
  using le::session::Step;
  using le::session::StepFailure;
  if (i < 0 || i >= drive.frames) throw StepFailure(Step::DriveEntry, "bad frame index");
  const int32_t si = drive.si[size_t(i)];
  if (si < 0 || si >= manifest.NT)
    throw StepFailure(Step::DriveEntry, "drive entry " + std::to_string(i) + " names source frame " +
                                            std::to_string(si) + " outside [0," +
                                            std::to_string(manifest.NT) + ")");
  return si;
}

const float* le_ctx::renderDrive(int32_t i) {
  const int32_t si = driveSource(i);
  try {
    return renderCrop(si, &drive.xs[size_t(i) * 63], &drive.xd[size_t(i) * 63]);
  } catch (const std::exception& e) {
    throw le::session::StepFailure(le::session::Step::Render, e.what());
  }
}

void le_ctx::renderRgba(int32_t si, const float* ks, const float* kd, uint8_t* out,
                        uint64_t outBytes) {
  using le::session::Step;
  using le::session::StepFailure;
  const float* crop = nullptr;
  try {
    crop = renderCrop(si, ks, kd);
  } catch (const std::exception& e) {
    throw StepFailure(Step::Render, e.what());
  }
  if (!out || outBytes < rgbaBytes_) throw StepFailure(Step::Output, "out buffer too small");
  try {
    pasteInto(si, crop, frame.data());
  } catch (const std::exception& e) {
    throw StepFailure(Step::Paste, e.what());
  }
  le::session::rgbToRgba(frame.data(), out, uint64_t(manifest.W) * uint64_t(manifest.H));
}

void le_ctx::renderDriveRgba(int32_t i, uint8_t* out, uint64_t outBytes) {
  const int32_t si = driveSource(i);
  renderRgba(si, &drive.xs[size_t(i) * 63], &drive.xd[size_t(i) * 63], out, outBytes);
}

const uint8_t* le_ctx::pasteLast(int32_t si) {
  if (!lastCrop) throw std::logic_error("paste: no prior render");
  pasteInto(si, lastCrop, frame.data());
  return frame.data();
}
