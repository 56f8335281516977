// Motion directory parsing: meta.json text must parse into counts in range or
// be refused, and a raw file must be read whole with exactly the expected
// count or be refused; nothing else may happen.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "fuzz_scratch.h"
#include "le/audio/motion_files.h"

namespace {

void checkMeta(const std::string& text) {
  try {
    const le::motion::MotionMeta m = le::motion::parseMotionMeta(text);
    for (int64_t n : {m.nt, m.nSrc, m.nEmo})
      if (n < 1 || n > le::motion::kMaxCount) std::abort();
    if (!std::isfinite(m.sBridge) || !std::isfinite(m.deltaPitch)) std::abort();
  } catch (const std::runtime_error&) {
  }
}

void checkRaw(const uint8_t* data, size_t size) {
  if (size < 2) return;
  // The first two bytes are the expected count, the rest is the file.
  const int64_t count = int64_t(data[0]) | int64_t(data[1]) << 8;
  const std::string path = le::fuzz::scratchDir("motion_fuzz") + "/t.bin";
  le::fuzz::writeFile(path, data + 2, size - 2);
  try {
    const std::vector<float> v = le::motion::readExactFloats(path, count);
    if (v.size() != size_t(count) || size - 2 != size_t(count) * 4) std::abort();
    if (count > 0 && std::memcmp(v.data(), data + 2, size - 2) != 0) std::abort();
  } catch (const std::runtime_error&) {
    if (size - 2 == size_t(count) * 4) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  checkMeta(std::string(reinterpret_cast<const char*>(data), size));
  checkRaw(data, size);
  return 0;
}
