#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string>

#include "le/audio/motion_files.h"
#include "le/bundle/member.h"
#include "le/bundle/paths.h"
#include "le/bundle/rawfile.h"

namespace le::motion {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The number after "<key>": nullopt-like via `found`; throws on a key without
// a colon or without a number.
bool findNumber(std::string_view text, std::string_view key, double& out) {
  const std::string quoted = "\"" + std::string(key) + "\"";
  const size_t at = text.find(quoted);
  if (at == std::string_view::npos) return false;
  size_t p = at + quoted.size();
  while (p < text.size() && isBlank(text[p])) ++p;
  if (p >= text.size() || text[p] != ':') throw std::runtime_error("meta.json: bad " + std::string(key));
  ++p;
  while (p < text.size() && isBlank(text[p])) ++p;
  if (p < text.size() && text[p] == '+') ++p;
  double v = 0.0;
  const auto r = std::from_chars(text.data() + p, text.data() + text.size(), v);
  if (r.ec != std::errc() || !std::isfinite(v)) throw std::runtime_error("meta.json: bad " + std::string(key));
  out = v;
  return true;
}

int64_t countKey(std::string_view text, std::string_view key) {
  double v = 0.0;
  if (!findNumber(text, key, v)) throw std::runtime_error("meta.json: missing " + std::string(key));
  if (!(v >= 1.0 && v <= double(kMaxCount)) || v != std::floor(v))
    throw std::runtime_error("meta.json: bad " + std::string(key));
  return static_cast<int64_t>(v);
}

float floatKey(std::string_view text, std::string_view key, bool required, float dflt) {
  double v = 0.0;
  if (!findNumber(text, key, v)) {
    if (required) throw std::runtime_error("meta.json: missing " + std::string(key));
    return dflt;
  }
  if (!(std::fabs(v) <= 3.4e38)) throw std::runtime_error("meta.json: bad " + std::string(key));
  return static_cast<float>(v);
}

std::string readText(const std::string& path) {
  member::File f(path, member::kNoBound, "meta.json");
  if (f.size() > (uint64_t{1} << 20)) throw std::runtime_error(path + ": larger than 1 MiB");
  return f.readAll();
}

}  // namespace

MotionMeta parseMotionMeta(std::string_view text) {
  MotionMeta m;
  m.nt = countKey(text, "nt");
  m.nSrc = countKey(text, "n_src");
  m.nEmo = countKey(text, "n_emo");
  m.sBridge = floatKey(text, "s_bridge", true, 1.0f);
  m.deltaPitch = floatKey(text, "delta_pitch", false, 0.0f);
  return m;
}

std::vector<float> readExactFloats(const std::string& path, int64_t count) {
  const uint64_t want = raw::checkedProduct({count, 4}, path);
  member::File f(path, member::kNoBound, "motion table");
  if (f.size() != want)
    throw std::runtime_error(path + ": " + std::to_string(f.size() / 4) + " floats, expected " +
                             std::to_string(count));
  std::vector<float> v(static_cast<size_t>(count));
  if (f.read(v.data(), want) != want) throw std::runtime_error("short read " + path);
  return v;
}

MotionTables loadMotionTables(const std::string& dir) {
  MotionTables t;
  t.meta = parseMotionMeta(readText(member::confined(dir, "meta.json", "member")));
  if (t.meta.nSrc != t.meta.nt) throw std::runtime_error("le_motion: n_src != nt unsupported");
  const auto at = [&](const char* name) { return member::confined(dir, name, "member"); };
  t.window = readExactFloats(at("hubert_stft_window.bin"), 512);
  t.binmat = readExactFloats(at("hubert_stft_binmat.bin"), int64_t{kFftBins} * kMel);
  t.fmean = readExactFloats(at("hubert_fmean.bin"), kAudioDim);
  t.fstd = readExactFloats(at("hubert_fstd.bin"), kAudioDim);
  t.emo = readExactFloats(at("emo.bin"), t.meta.nEmo * 8);
  t.chInfo = readExactFloats(at("ch_xs_info.bin"), kRecord);
  t.chSc = readExactFloats(at("ch_sc.bin"), kExpDim);
  t.eyeOpen = readExactFloats(at("ch_eye_open.bin"), 2);
  t.eyeBall = readExactFloats(at("ch_eye_ball.bin"), 6);
  t.vMinMax = readExactFloats(at("v_min_max.bin"), 2 * kMotionDim);
  t.srcInfo = readExactFloats(at("src_xs_info.bin"), t.meta.nSrc * kRecord);
  t.xsTarget = readExactFloats(resolveMember(dir, "xs_target.bin"), t.meta.nt * kExpDim);
  return t;
}

}  // namespace le::motion
