// The audio members of a bundle. Any text as a2x_meta.json or motion
// meta.json parses into in-range values or is refused with a message. As raw
// a2x members: the first byte picks the member that takes the rest, the
// others stay valid, and le_a2x_create refuses with a message (no frontend
// is configured here) without a crash. As a raw motion file: the first two
// bytes are the expected count and the rest is read whole with exactly that
// count, or refused exactly when the size does not match.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_bytes.h"
#include "fuzz_scratch.h"
#include "le/audio/a2x.h"
#include "le/audio/motion_files.h"
#include "le/le_a2x.h"

// onnxruntime 1.29 keeps 14 bytes from its first environment until exit.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return "leak:libonnxruntime.so\n";
}

namespace {

using le::fuzz::refused;

const std::string& scratch() {
  return le::fuzz::scratchDir("audio_fuzz", [](const std::string&) { ::unsetenv("W2V_ONNX"); });
}

void checkMetas(const std::string& text) {
  for (const char* key : {"h", "window", "left", "layers", "width", "silence_prime"}) {
    bool bad = false;
    (void)le::audio::metaInt(text, key, bad);
    (void)le::audio::metaBool(text, key);
  }
  (void)refused([&] {
    const le::audio::A2xMeta m = le::audio::parseMeta(text);
    if (m.h < 1 || m.h > 4096 || m.window < 0 || m.window > 1024 || m.left < 0 || m.left > 1024 ||
        m.layers < 1 || m.layers > 64 || m.silencePrime < 0 || m.silencePrime > 200)
      std::abort();
  });
  (void)le::audio::envCount(text.c_str(), 12, 1024);
  (void)refused([&] {
    const le::motion::MotionMeta m = le::motion::parseMotionMeta(text);
    for (int64_t n : {m.nt, m.nSrc, m.nEmo})
      if (n < 1 || n > le::motion::kMaxCount) std::abort();
    if (!std::isfinite(m.sBridge) || !std::isfinite(m.deltaPitch)) std::abort();
  });
}

void checkA2xMembers(const uint8_t* data, size_t size) {
  static const std::string meta = "{\"h\": 4, \"window\": 1, \"left\": 2, \"layers\": 1}";
  const std::string pos(2 * 4 * 4, '\0'), norm(126 * 4, '\0'), xs(63 * 4 * 2, '\0');
  le::fuzz::writeFile(scratch() + "/a2x_meta.json", meta);
  le::fuzz::writeFile(scratch() + "/a2x_pos.f32", pos);
  le::fuzz::writeFile(scratch() + "/a2x_norm.f32", norm);
  le::fuzz::writeFile(scratch() + "/xs_target.bin", xs);
  static const char* kMembers[] = {"a2x_meta.json", "a2x_pos.f32", "a2x_norm.f32", "xs_target.bin"};
  le::fuzz::writeFile(scratch() + "/" + kMembers[data[0] % 4], data + 1, size - 1);
  if (le_a2x_create(scratch().c_str(), 1) != nullptr) std::abort();  // no frontend is configured
  if (le_a2x_last_error()[0] == '\0') std::abort();
}

void checkMotionRaw(const uint8_t* data, size_t size) {
  const int64_t count = int64_t(data[0]) | int64_t(data[1]) << 8;
  const std::string path = scratch() + "/t.bin";
  le::fuzz::writeFile(path, data + 2, size - 2);
  std::vector<float> v;
  if (refused([&] { v = le::motion::readExactFloats(path, count); })) {
    if (size - 2 == size_t(count) * 4) std::abort();
    return;
  }
  if (v.size() != size_t(count) || size - 2 != size_t(count) * 4) std::abort();
  if (count > 0 && std::memcmp(v.data(), data + 2, size - 2) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  checkMetas(std::string(reinterpret_cast<const char*>(data), size));
  if (size >= 1) checkA2xMembers(data, size);
  if (size >= 2) checkMotionRaw(data, size);
  return 0;
}
