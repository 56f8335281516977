// The borrow's readers on one input. The JSON reader: any bytes give a value
// or one of the reader's own messages, reads stay inside the input
// (libFuzzer's buffer is exactly sized), nesting stays capped, numbers stay
// finite, lookups agree. The blend-head checkpoint reader: any bytes give
// weights of one of the two accepted sizes, all finite, or a refusal. The
// bank track decoder: the bytes after the first four, with a geometry and
// order taken from those, decode to exactly n x h x w x 3 bytes or are
// refused.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_bytes.h"
#include "le/tessera/bankdec.h"
#include "le/tessera/head.h"
#include "le/tessera/tessera_json.h"

namespace {

using le::fuzz::refused;
using le::tessera::json::JVal;

int walk(const JVal& v) {
  int deepest = 0;
  if (v.isNum() && !std::isfinite(v.num)) std::abort();
  for (const auto& a : v.arr) deepest = std::max(deepest, walk(a));
  for (const auto& [k, o] : v.obj) deepest = std::max(deepest, walk(o));
  return (v.isArr() || v.isObj()) ? deepest + 1 : deepest;
}

void lookups(const JVal& v) {
  for (const char* key : {"a", "n", "format", "unified", "", "canvas"}) {
    const JVal* f = v.find(key);
    try {
      const JVal& r = v.req(key);
      if (&r != f) std::abort();
    } catch (const std::runtime_error& e) {
      if (f || std::string(e.what()) != std::string("teeth: member JSON lacks key '") + key + "'") std::abort();
    }
    double d = 0;
    if (refused([&] { d = le::tessera::json::reqNum(v, key, "fuzz"); }) ? f && f->isNum()
                                                                         : !f || !f->isNum() || d != f->num)
      std::abort();
    const std::string s = le::tessera::json::optStr(v, key, "\x01");
    if (f && f->isStr() ? s != f->str : s != "\x01") std::abort();
  }
}

void checkJson(const char* text, size_t size) {
  le::tessera::json::JParser p(text, text + size);
  try {
    p.skipWs();
    const JVal v = p.val();
    if (p.cursor() < text || p.cursor() > text + size) std::abort();
    if (walk(v) > le::tessera::json::kMaxDepth) std::abort();
    lookups(v);
  } catch (const std::runtime_error& e) {
    if (std::strncmp(e.what(), "teeth: ", 7) != 0) std::abort();
  }
  try {
    le::tessera::json::parseJson(std::string_view(text, size), "fuzz.json");
  } catch (const std::runtime_error& e) {
    if (std::strncmp(e.what(), "teeth: fuzz.json is not readable JSON: teeth: ", 46) != 0) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  checkJson(reinterpret_cast<const char*>(data), size);
  // Exactly sized heap copies, so the sanitizer sees any read past the end.
  const std::vector<uint8_t> bytes(data, data + size);
  (void)refused([&] {
    const le::tessera::HeadWeights w = le::tessera::loadHeadPt(bytes);
    if (w.params() != 4082 && w.params() != 3489) std::abort();
    for (const auto& t : le::tessera::headTensors())
      for (float v : w.*t.field)
        if (!std::isfinite(v)) std::abort();
  });
  if (size < 4) return 0;
  const int n = 1 + data[0] % 16, w = 1 + data[1] % 64, h = 1 + data[2] % 64;
  // A rotation of 0..n-1, or (for odd seeds) a non-permutation.
  std::vector<int> order(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) order[size_t(i)] = (i + data[3]) % n;
  if (data[3] & 0x80) order[0] = order[size_t(n - 1)];
  const std::vector<uint8_t> track(data + 4, data + size);
  (void)refused([&] {
    if (le::tessera::decodeBankTrack(track.data(), track.size(), n, h, w, order).size() != size_t(n) * h * w * 3)
      std::abort();
  });
  return 0;
}
