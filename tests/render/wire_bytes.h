// Hand-made protobuf wire bytes for the codec tests.
#pragma once

#include <initializer_list>
#include <string_view>

#include "le/render/onnx_wire.h"

namespace le::test {

inline GsBytes cat(std::initializer_list<GsBytes> parts) {
  GsBytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline GsBytes str(std::string_view s) { return GsBytes(s.begin(), s.end()); }

inline GsBytes lenField(uint32_t number, const GsBytes& payload) {
  GsBytes out;
  gsPutBytes(out, number, payload.data(), payload.size());
  return out;
}

inline GsBytes varintField(uint32_t number, uint64_t v) {
  GsBytes out;
  gsPutVarint(out, uint64_t{number} << 3);
  gsPutVarint(out, v);
  return out;
}

}  // namespace le::test
