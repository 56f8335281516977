// A fuzz input read front to back as small typed values, and the library's
// refusal convention.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <initializer_list>
#include <string>
#include <vector>

namespace le::fuzz {

// Runs f; true when it refused with a std::runtime_error. Any other
// exception escapes and ends the run as a finding.
template <class F>
bool refused(F&& f) {
  try {
    f();
    return false;
  } catch (const std::runtime_error&) {
    return true;
  }
}

// Reads the input front to back; past the end everything reads 0.
struct Bytes {
  const uint8_t* p;
  size_t n;
  uint8_t u8() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  template <class T>
  T raw() {
    T v{};
    uint8_t b[sizeof(T)] = {};
    for (uint8_t& x : b) x = u8();
    std::memcpy(&v, b, sizeof v);
    return v;
  }
  // The next `len` bytes (fewer at the end) as text.
  std::string text(size_t len) {
    len = len < n ? len : n;
    const std::string s(reinterpret_cast<const char*>(p), len);
    p += len, n -= len;
    return s;
  }
  // Four bytes as a float while four remain, else 0.
  float f32() {
    float f = 0.f;
    if (n >= 4) std::memcpy(&f, p, 4), p += 4, n -= 4;
    return f;
  }
  // Mostly small values near the canvas, sometimes any int32.
  int32_t coord(int span) {
    const uint8_t k = u8();
    if (k == 255) return raw<int32_t>();
    return static_cast<int32_t>(k % span) - 4;
  }
  // Mostly `base`, sometimes moved by -27..27, sometimes any int32: stamp
  // fields that are coherent, a little off, or hostile.
  int32_t nudged(int32_t base) {
    const uint8_t k = u8();
    return k == 255 ? raw<int32_t>() : k >= 200 ? base + (k - 227) : base;
  }
  // A geometry stamp's fields in order, each nudged from its coherent value.
  void nudgedFields(int32_t* out, std::initializer_list<int32_t> base) {
    for (const int32_t b : base) *out++ = nudged(b);
  }
  // A canvas (bytes seed + i * step) and its mask (a slower ramp of the same
  // two input bytes, so it crosses the 128 cut in bands).
  void frameAndMask(std::vector<uint8_t>& rgb, std::vector<uint8_t>& mask) {
    const uint8_t seed = u8(), step = u8();
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(seed + i * step);
    for (size_t i = 0; i < mask.size(); ++i) mask[i] = static_cast<uint8_t>((i * (step | 1u) + seed) >> 2);
  }
  double real(double base, double spread) {
    const uint8_t k = u8();
    if (k == 255) return raw<double>();  // NaN, infinities, anything
    return base + (static_cast<double>(k) / 254.0 - 0.5) * spread;
  }
};

}  // namespace le::fuzz
