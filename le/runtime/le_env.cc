#include "le/runtime/env.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <system_error>

namespace le::env {
namespace {

constexpr Variable kVariables[] = {
    {"LE_IMX_UNWRAP_ROOT", "directory for container unwraps (default: beside the container)"},
    {"CADENZA2_MSRC_MISSING_OK", "\"1\": accept a manifest without paste-space stamp, with a warning"},
    {"LE_DRIVER_PREFER_MP4", "\"1\": read the driver MP4 even when a JPEG directory exists"},
    {"LE_DRIVER_HWDEC", "\"0\": never try the hardware H.264 decoder"},
    {"LE_CORE_THREADS", "worker-pool size (whole number, 1 to 256, at most the cores)"},
    {"LE_PASTE_THREADS", "worker-pool size when LE_CORE_THREADS is not set"},
    {"LE_PASTE_FAST", "paste resampler: 0 Lanczos-8 (default), 1 bicubic, 2 bilinear"},
    {"LE_PASTE_KSIZE", "smaller odd unsharp kernel for the paste (3 up to the manifest's)"},
    {"LE_CONV_BACKEND", "\"neon\" with an empty ep: the fp16 engine renders a fused m4b director"},
    {"LE_CONV_DUMP", "directory the fp16 engine writes frame 0's intermediate tensors to (float32)"},
    {"LE_ORT_SPIN", "starting with '1': keep onnxruntime's intra-op threads spinning (director, motion generator)"},
    {"LE_ORT_PROFILE", "onnxruntime profiling file prefix of the director, and its timing lines"},
    {"LE_GS_FAST", "starting with '0': no GridSampleFast operator for the director"},
    {"LE_GS_REWRITE", "starting with '0': keep the director's standard GridSample nodes"},
    {"LE_WARP_NODE", "set, not starting with '0': the director's warp block becomes one WarpDirector node"},
    {"W2V_ONNX", "the audio frontend model of the streaming engine"},
    {"LE_A2X_W2V_WIN_ONNX", "short-window frontend trunk (with LE_A2X_W2V_HEAD_ONNX)"},
    {"LE_A2X_W2V_HEAD_ONNX", "short-window frontend head (with LE_A2X_W2V_WIN_ONNX)"},
    {"LE_A2X_W2V_RIGHT", "frames the frontend holds back at the end of unfinished audio (default 12)"},
    {"LE_A2X_SILENCE_PRIME", "frames of silence priming, instead of the bundle's"},
    {"LE_A2X_CUDA", "\"1\": the CUDA provider for the audio frontend"},
    {"LE_A2X_CUDA_MEM_MIB", "the CUDA provider's memory limit in MiB (default 3072)"},
    {"LE_MOTION_DUMP", "directory the motion generator writes its intermediate arrays to"},
    {"LE_UTT_PIPELINE_PASTE", "live pipeline: pipelined paste on (non-zero) or off (0)"},
    {"LE_STEADY_MODEL", "live pipeline: chunk director model, \"-\" for none"},
    {"LE_UTT_HYBRID", "live pipeline: hybrid eager unless \"0\""},
    {"LE_UTT_STAGE_REPORT", "set: the live pipeline prints its stage report when destroyed"},
    {"LE_TEL_URL", "telemetry endpoint: scheme, host and port"},
    {"LE_TEL_TOKEN", "telemetry service token"},
};

// The one call of getenv in the library.
const char* raw(std::string_view name) {
  const auto it = std::find_if(std::begin(kVariables), std::end(kVariables),
                               [&](const Variable& v) { return v.name == name; });
  if (it == std::end(kVariables))
    throw std::logic_error("le::env: " + std::string(name) + " is not a listed variable");
  return std::getenv(it->name.data());
}

}  // namespace

std::span<const Variable> variables() { return kVariables; }

std::optional<std::string> text(std::string_view name) {
  const char* v = raw(name);
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

std::optional<std::string> nonEmpty(std::string_view name) {
  const char* v = raw(name);
  if (v == nullptr || v[0] == '\0') return std::nullopt;
  return std::string(v);
}

bool isSet(std::string_view name) { return raw(name) != nullptr; }

bool is(std::string_view name, std::string_view value) {
  const char* v = raw(name);
  return v != nullptr && value == v;
}

bool startsWith(std::string_view name, char c) {
  const char* v = raw(name);
  return v != nullptr && v[0] == c && c != '\0';
}

std::optional<Whole> parseWhole(std::string_view text) {
  const char* first = text.data();
  const char* last = text.data() + text.size();
  int64_t v = 0;
  const auto [ptr, ec] = std::from_chars(first, last, v);
  if (ptr != last || text.empty()) return std::nullopt;
  if (ec == std::errc::result_out_of_range) {
    return Whole{text[0] == '-' ? std::numeric_limits<int64_t>::min()
                                : std::numeric_limits<int64_t>::max(),
                 true};
  }
  if (ec != std::errc()) return std::nullopt;
  return Whole{v, false};
}

std::optional<int64_t> wholeIn(std::string_view name, int64_t lo, int64_t hi) {
  const char* v = raw(name);
  if (v == nullptr) return std::nullopt;
  const std::optional<Whole> w = parseWhole(v);
  if (!w || w->saturated || w->value < lo || w->value > hi) return std::nullopt;
  return w->value;
}

}  // namespace le::env
