// a2x_meta.json and the raw a2x members: any meta text parses into in-range
// values or is refused with a message; any member bytes reach a refusal (the
// frontend is never configured here) without a crash.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "fuzz_scratch.h"
#include "le/audio/a2x.h"
#include "le/le_a2x.h"

// onnxruntime 1.29 keeps 14 bytes from its first environment until exit.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return "leak:libonnxruntime.so\n";
}

namespace {

const std::string& scratch() {
  static const std::string dir = [] {
    const std::string t = le::fuzz::scratchDir("a2x_fuzz");
    ::unsetenv("W2V_ONNX");
    return t;
  }();
  return dir;
}

void put(const std::string& name, const uint8_t* data, size_t size) {
  le::fuzz::writeFile(scratch() + "/" + name, data, size);
}

void checkMeta(const std::string& text) {
  for (const char* key : {"h", "window", "left", "layers", "width", "silence_prime"}) {
    bool bad = false;
    (void)le::audio::metaInt(text, key, bad);
    (void)le::audio::metaBool(text, key);
  }
  try {
    const le::audio::A2xMeta m = le::audio::parseMeta(text);
    if (m.h < 1 || m.h > 4096 || m.window < 0 || m.window > 1024 || m.left < 0 || m.left > 1024 ||
        m.layers < 1 || m.layers > 64 || m.silencePrime < 0 || m.silencePrime > 200)
      std::abort();
  } catch (const std::runtime_error&) {
  }
  (void)le::audio::envCount(text.c_str(), 12, 1024);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  checkMeta(text);
  if (size < 1) return 0;
  // The first byte picks the member that takes the rest; the others stay valid.
  static const std::string meta = "{\"h\": 4, \"window\": 1, \"left\": 2, \"layers\": 1}";
  const std::string pos(2 * 4 * 4, '\0'), norm(126 * 4, '\0'), xs(63 * 4 * 2, '\0');
  put("a2x_meta.json", reinterpret_cast<const uint8_t*>(meta.data()), meta.size());
  put("a2x_pos.f32", reinterpret_cast<const uint8_t*>(pos.data()), pos.size());
  put("a2x_norm.f32", reinterpret_cast<const uint8_t*>(norm.data()), norm.size());
  put("xs_target.bin", reinterpret_cast<const uint8_t*>(xs.data()), xs.size());
  static const char* kMembers[] = {"a2x_meta.json", "a2x_pos.f32", "a2x_norm.f32", "xs_target.bin"};
  put(kMembers[data[0] % 4], data + 1, size - 1);
  le_a2x* a = le_a2x_create(scratch().c_str(), 1);
  if (a != nullptr) std::abort();  // no frontend is configured
  if (le_a2x_last_error()[0] == '\0') std::abort();
  return 0;
}
