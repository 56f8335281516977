// a2x_meta.json keys, environment counts, the readiness rule, the driver
// index walk and the raw float members: pure functions of their inputs.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

#include "le/audio/a2x.h"
#include "le/bundle/member.h"
#include "le/runtime/env.h"

namespace le::audio {
namespace {

// Position just after the first ':' behind the first `"key"`, or npos.
size_t valueStart(const std::string& text, const char* key) {
  const std::string quoted = std::string("\"") + key + "\"";
  const size_t k = text.find(quoted);
  if (k == std::string::npos) return std::string::npos;
  const size_t colon = text.find(':', k + quoted.size());
  if (colon == std::string::npos) return std::string::npos;
  size_t p = colon + 1;
  while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\n' || text[p] == '\r')) ++p;
  return p;
}

int64_t floorMod(int64_t a, int64_t m) { return ((a % m) + m) % m; }

[[noreturn]] void outOfRange(const char* key) {
  throw std::runtime_error(std::string("meta ") + key + " out of range");
}

int checkedKey(const std::string& text, const char* key, int fallback, int64_t lo, int64_t hi) {
  bool bad = false;
  const auto v = metaInt(text, key, bad);
  if (bad) outOfRange(key);
  if (!v) return fallback;
  if (*v < lo || *v > hi) outOfRange(key);
  return static_cast<int>(*v);
}

}  // namespace

std::optional<int64_t> metaInt(const std::string& text, const char* key, bool& bad) {
  bad = false;
  const size_t p = valueStart(text, key);
  if (p == std::string::npos) return std::nullopt;
  const char* b = text.data() + p;
  const char* e = text.data() + text.size();
  if (b < e && *b == '+') ++b;
  int64_t v = 0;
  const auto r = std::from_chars(b, e, v);
  if (r.ec != std::errc()) {
    bad = true;
    return std::nullopt;
  }
  return v;
}

std::optional<bool> metaBool(const std::string& text, const char* key) {
  const size_t p = valueStart(text, key);
  if (p == std::string::npos) return std::nullopt;
  if (text.compare(p, 4, "true") == 0) return true;
  if (text.compare(p, 5, "false") == 0) return false;
  bool bad = false;
  const auto v = metaInt(text, key, bad);
  if (!v) return std::nullopt;
  return *v != 0;
}

A2xMeta parseMeta(const std::string& text) {
  A2xMeta m;
  bool badH = false, badWindow = false, badLeft = false;
  const auto h = metaInt(text, "h", badH);
  const auto window = metaInt(text, "window", badWindow);
  const auto left = metaInt(text, "left", badLeft);
  if ((window && *window < 0) || (left && *left < 0) || (!window && !badWindow) || (!left && !badLeft))
    throw std::runtime_error("meta lacks causal window/left (not a streaming a2x)");
  if (badH || (h && (*h < 1 || *h > 4096))) outOfRange("h");
  if (badWindow || *window > 1024) outOfRange("window");
  if (badLeft || *left > 1024) outOfRange("left");
  m.h = h ? static_cast<int>(*h) : 256;
  m.window = static_cast<int>(*window);
  m.left = static_cast<int>(*left);
  m.layers = checkedKey(text, "layers", 6, 1, 64);
  m.width = metaBool(text, "width");
  // More priming frames than the 8 s silent window holds would read past it.
  bool badPrime = false;
  const auto prime = metaInt(text, "silence_prime", badPrime);
  if (badPrime) outOfRange("silence_prime");
  m.silencePrime = !prime ? 0 : *prime < 0 ? 0 : static_cast<int>(std::min<int64_t>(*prime, 200));
  return m;
}

int envCount(const std::optional<std::string>& text, int fallback, int hi) {
  if (!text || text->empty()) return fallback;
  const std::optional<env::Whole> v = env::parseWhole(*text);
  if (!v) return fallback;
  return static_cast<int>(std::clamp<int64_t>(v->value, 0, hi));
}

Readiness readiness(int64_t samples, bool finished, int64_t aheadTotal, int64_t right) {
  Readiness r;
  if (finished) {
    r.usable = samples;
    r.covered = (samples + kFrameSamples - 1) / kFrameSamples;
    r.ready = r.covered;
    return r;
  }
  r.usable = std::min(kBlockSamples * ((samples + kFrameSamples - 1) / kBlockSamples), samples);
  r.covered = (r.usable + kFrameSamples - 1) / kFrameSamples;
  r.ready = std::max<int64_t>(r.covered - std::max(aheadTotal, right), 0);
  return r;
}

int64_t driverIndex(int64_t start, int step, int64_t k, int64_t nt, bool loop) {
  if (nt < 2) return 0;
  // Reduced before the multiply so a long walk never overflows.
  const int64_t period = loop ? nt : 2 * (nt - 1);
  const int64_t km = floorMod(k, period);
  const int64_t p = floorMod(floorMod(start, period) + (step < 0 ? period - km : km), period);
  if (loop) return p;
  return p <= nt - 1 ? p : period - p;
}

int64_t positionRow(int64_t f, int64_t p) {
  if (f < p) return f;
  const int64_t half = p / 2;
  return floorMod(f - p, p - half) + half;
}

std::optional<std::vector<float>> readFloats(const std::string& path, uint64_t* bytes) {
  std::optional<member::File> f = member::File::tryOpen(path, member::kTableMax, "table");
  if (!f) return std::nullopt;
  if (bytes) *bytes = f->size();
  std::vector<float> v(static_cast<size_t>(f->size() / sizeof(float)));
  const uint64_t want = uint64_t(v.size()) * sizeof(float);
  if (f->read(v.data(), want) != want) return std::nullopt;
  return v;
}

void requireWholeRows(const std::string& path, uint64_t bytes, int64_t rowFloats) {
  const uint64_t row = uint64_t(rowFloats) * sizeof(float);
  if (row == 0 || bytes % row == 0) return;
  throw std::runtime_error(path + " holds " + std::to_string(bytes) + " bytes, not whole rows of " +
                           std::to_string(rowFloats) + " float32 values (" + std::to_string(row) +
                           " bytes) \xE2\x80\x94 refusing");
}

}  // namespace le::audio
