// Reading manifest.json into le::Manifest. Numbers are checked before any
// narrowing: a NaN or 1e30 cast to int32 would be undefined, and a size
// nobody checked reaches every later allocation.
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "le/bundle/fsutil.h"
#include "le/bundle/manifest.h"
#include "le/bundle/manifest_key.h"
#include "le/bundle/member.h"
#include "le/bundle/paths.h"
#include "le/runtime/env.h"
#include "le/runtime/log.h"

namespace le {

namespace {

constexpr const char* kFormat = "le-bundle-v0";

std::string show(double v) {
  char b[40];
  std::snprintf(b, sizeof b, "%g", v);
  return b;
}

[[noreturn]] void fail(std::string m) { throw std::runtime_error(std::move(m)); }

// Truncates toward zero; anything outside int32 (NaN included) is refused
// naming the key it came from.
int32_t toInt32(double v, std::string_view key) {
  if (!(v > -2147483649.0 && v < 2147483648.0))
    fail("manifest: key " + std::string(key) + " is not a finite number within int32 range (" +
         show(v) + ")");
  return static_cast<int32_t>(v);
}

int32_t intField(const std::string& text, std::string_view key) {
  return toInt32(numField(text, key), key);
}

int32_t intFieldEither(const std::string& text, std::string_view k1, std::string_view k2) {
  std::string_view used;
  const double v = numFieldEither(text, k1, k2, &used);
  return toInt32(v, used);
}

// Narrowing a double beyond FLT_MAX to float is undefined; refuse it first.
float toFloat(double v, std::string_view key, const char* rule) {
  if (!std::isfinite(v) || std::fabs(v) > FLT_MAX)
    fail("manifest: bad unsharp " + std::string(key) + " " + show(v) + " (" + rule + ")");
  return static_cast<float>(v);
}

struct Found {
  double value;
  std::string_view key;
};

std::optional<Found> optNumEither(const std::string& text, std::string_view k1,
                                  std::string_view k2) {
  for (const std::string_view k : {k1, k2}) {
    const uint64_t pos = manifest_key::scalarValuePos(text, k);
    if (pos != manifest_key::kAbsent) return Found{parseNumber(text.c_str() + pos), k};
  }
  return std::nullopt;
}

}  // namespace

std::string manifestText(const std::string& dir) {
  return readFile(member::confined(dir, "manifest.json", "member"));
}

Manifest loadManifest(const std::string& dirArg) {
  const std::string dir = resolveBundlePath(dirArg);
  const std::string text = manifestText(dir);

  if (strField(text, "format") != kFormat) fail("not an le-bundle-v0: " + dir);

  Manifest m;
  m.dir = dir;
  m.agent = strField(text, "agent");

  m.NT = intFieldEither(text, "NT", "frame_count");
  m.H = intField(text, "H");
  m.W = intField(text, "W");
  m.crop = intFieldEither(text, "crop", "crop_size");
  const double amount = numField(text, "amount");
  const double sigma = numField(text, "sigma");
  m.unsharp.ksize = intField(text, "ksize");
  m.frames = intField(text, "frames");

  if (m.NT < 1 || m.H < 1 || m.W < 1 || m.crop < 1) fail("manifest: bad dims");

  m.unsharp.amount = toFloat(amount, "amount", "must be finite");
  m.unsharp.sigma = toFloat(sigma, "sigma", "must be finite and > 0");
  // sigma must stay > 0 after narrowing (1e-50 becomes 0 as a float).
  if (!(m.unsharp.sigma > 0.0f))
    fail("manifest: bad unsharp sigma " + show(sigma) + " (must be finite and > 0)");
  if (m.unsharp.ksize < 1 || m.unsharp.ksize % 2 == 0)
    fail("manifest: bad unsharp ksize " + std::to_string(m.unsharp.ksize) +
         " (must be odd and >= 1)");
  if (m.frames < 0)
    fail("manifest: key frames must be >= 0 (got " + std::to_string(m.frames) + ")");

  const std::optional<Found> sw = optNumEither(text, "M_src_w", "paste_source_width");
  const std::optional<Found> sh = optNumEither(text, "M_src_h", "paste_source_height");
  if (sw && sh) {
    m.srcW = toInt32(sw->value, sw->key);
    m.srcH = toInt32(sh->value, sh->key);
  } else {
    if (!env::is("CADENZA2_MSRC_MISSING_OK", "1"))
      fail(dir +
           "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka "
           "paste_source_width/height) \xE2\x80\x94 the canvas is " +
           std::to_string(m.W) + "x" + std::to_string(m.H) +
           ", so M cannot be placed: absence is not evidence that M was authored at that size. "
           "Re-stamp the bundle (models/cadenza-2/inference/backfill_msrc), or set "
           "CADENZA2_MSRC_MISSING_OK=1 to restore the legacy assumption.");
    log::linef(log::Level::Warning,
               "[le] WARNING CADENZA2_MSRC_MISSING_OK=1: %s/manifest.json carries no "
               "paste-space stamp; ASSUMING M was authored on this %dx%d canvas. If it was "
               "not, the face pastes off-target (qf#144) and nothing will say so.",
               dir.c_str(), m.W, m.H);
    m.srcW = m.W;
    m.srcH = m.H;
  }
  if (m.srcW <= 0 || m.srcH <= 0)
    fail("manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)");

  const std::string lip = resolveMember(dir, "lip_template.v1.json");
  // Whatever sits under the name is opened as a member: a FIFO or device
  // there is refused, not taken for a bundle without a template.
  if (fs::exists(lip)) m.lipTemplateJson = readFile(lip);
  return m;
}

std::string Manifest::modelPath(const std::string& key) const {
  return resolveMember(dir, "model_" + key + ".onnx");
}

}  // namespace le
