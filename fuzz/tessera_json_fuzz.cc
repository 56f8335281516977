// The tessera JSON reader: any bytes give a value or one of the reader's own
// messages, reads stay inside the input (libFuzzer's buffer is exactly
// sized), nesting stays capped, numbers stay finite, lookups agree.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "le/tessera/tessera_json.h"

namespace {

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
    try {
      const double d = le::tessera::json::reqNum(v, key, "fuzz");
      if (!f || !f->isNum() || d != f->num) std::abort();
    } catch (const std::runtime_error&) {
      if (f && f->isNum()) std::abort();
    }
    const std::string s = le::tessera::json::optStr(v, key, "\x01");
    if (f && f->isStr() ? s != f->str : s != "\x01") std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
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
  return 0;
}
