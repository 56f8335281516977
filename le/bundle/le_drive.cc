// The idle drive tables: raw float32 keypoint rows and int32 source indices.
#include "le/bundle/drive.h"

#include <stdexcept>
#include <string>

#include "le/bundle/paths.h"
#include "le/bundle/rawfile.h"

namespace le {

namespace {
constexpr int64_t kKpFloats = 63;  // 21 keypoints of (x, y, z)
}  // namespace

Drive loadDrive(const Manifest& manifest) {
  Drive d;
  d.frames = manifest.frames;
  if (d.frames < 0)
    throw std::runtime_error("drive: frames " + std::to_string(d.frames) + " is negative");
  const int64_t rows = int64_t(d.frames) * kKpFloats;  // below 2^37; readRaw checks the bytes
  d.xs = raw::readRaw<float>(resolveMember(manifest.dir, "drive/xs.f32"), rows, "drive/xs.f32");
  d.xd = raw::readRaw<float>(resolveMember(manifest.dir, "drive/xd.f32"), rows, "drive/xd.f32");
  d.si = raw::readRaw<int32_t>(resolveMember(manifest.dir, "drive/si.i32"), d.frames,
                               "drive/si.i32");
  for (int32_t s : d.si)
    if (s < 0 || s >= manifest.NT) throw std::runtime_error("drive: si out of range");
  return d;
}

}  // namespace le
