// Bundle path resolution and the member-name aliases of older bundle layouts.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <string_view>
#include <utility>

#include "le/bundle/fsutil.h"
#include "le/bundle/member.h"
#include "le/bundle/paths.h"

namespace le {

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 9> kAliases{{
    {"P.f16", "source_frames.f16"},
    {"P_hevc.mov", "source_frames.hevc"},
    {"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"},
    {"a2x_dec.onnx", "audio_motion_decoder.onnx"},
    {"M.f32", "paste_transform.f32"},
    {"mask_512.u8", "paste_mask.u8"},
    {"pooled64.f16", "pooled_features.f16"},
    {"fs_red.f16", "feature_synth.f16"},
    {"xs_target.bin", "target_keypoints.bin"},
}};

bool endsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace

std::string canonicalMember(const std::string& name) {
  for (const auto& [older, current] : kAliases)
    if (name == older) return std::string(current);

  const std::string_view n = name;
  constexpr std::string_view kModel = "model_b", kOnnx = ".onnx";
  if (n.size() >= kModel.size() + kOnnx.size() && n.substr(0, kModel.size()) == kModel &&
      endsWith(n, kOnnx)) {
    const std::string_view mid = n.substr(kModel.size(), n.size() - kModel.size() - kOnnx.size());
    const size_t us = mid.find('_');
    const std::string_view head = mid.substr(0, us);
    const std::string_view tail = us == std::string_view::npos ? "" : mid.substr(us + 1);
    std::string out = "render_model.batch";
    out += head;
    if (!tail.empty()) (out += '.') += tail;
    return out += kOnnx;
  }

  constexpr std::string_view kDrive = "drive/";
  if (n.substr(0, kDrive.size()) == kDrive) {
    const std::string_view rest = n.substr(kDrive.size());
    const size_t dot = rest.find('.');
    std::string_view stem = rest.substr(0, dot);
    const std::string_view ext = dot == std::string_view::npos ? "" : rest.substr(dot);
    if (stem == "xs") stem = "source_keypoints";
    else if (stem == "xd") stem = "driven_keypoints";
    else if (stem == "si") stem = "source_index";
    std::string out = "idle_loop/";
    out += stem;
    return out += ext;
  }
  return name;
}

std::string resolveMember(const std::string& dir, const std::string& name,
                          std::string_view what) {
  // Confined before anything is opened: the older-name lookup opens what it
  // finds.
  std::string requested = member::confined(dir, name, what);
  const std::string current = canonicalMember(name);
  if (current == name) return requested;
  if (fs::readable(requested)) return requested;
  std::string alt = member::confined(dir, current, what);
  if (fs::readable(alt)) return alt;
  return requested;
}

std::string resolveBundlePath(const std::string& path) {
  if (path.empty()) return path;
  if (fs::isDirectory(path)) {
    // A directory with a marker beside it is the unwrap of a container of the
    // same stem: check that container before trusting the directory.
    if (!fs::existsNoFollow(fs::rstripSlash(path) + ".imx_unwrapped")) return path;
  }
  // A container whose marker still matches was a valid container when it was
  // unwrapped and has not changed since: skip opening it.
  const bool imxName = endsWith(path, ".imx");
  if (imxName) {
    if (auto d = imx::cachedUnwrap(path)) return *d;
    if (isImxV2File(path)) return imx::unwrapOnce(path);
  }
  const std::string withExt = fs::rstripSlash(path) + ".imx";
  if (auto d = imx::cachedUnwrap(withExt)) return *d;
  if (isImxV2File(withExt)) return imx::unwrapOnce(withExt);
  if (!imxName && isImxV2File(path)) return imx::unwrapOnce(path);
  return path;
}

}  // namespace le
