// The head configuration member: the v1 schema's retrieval and temporal
// blocks, each value range-checked before it becomes an int32.
#include <cmath>
#include <stdexcept>

#include "le/tessera/head.h"
#include "le/tessera/tessera_json.h"

namespace le::tessera {

namespace {

using json::JVal;

[[noreturn]] void outOfRange(const std::string& key) {
  throw std::runtime_error("teeth: member " + key + " out of range");
}

// The value truncated toward zero, refused outside [lo, hi] (and when it is
// no number at all).
int32_t wholeIn(const JVal& block, const std::string& key, double lo, double hi) {
  const JVal& v = block.req(key);
  const double t = v.isNum() ? std::trunc(v.num) : NAN;
  if (!(t >= lo && t <= hi)) outOfRange(key);
  return int32_t(t);
}

constexpr double kInt32Max = 2147483647.0;

}  // namespace

ServeConfig ServeConfig::fromHeadMemberJson(const std::string& text) {
  json::JParser parser(text.data(), text.data() + text.size());
  parser.skipWs();
  const JVal top = parser.val();
  const JVal* retrieval = top.find("retrieval");
  const JVal* temporal = top.find("temporal");
  if (!retrieval || !retrieval->isObj() || !temporal || !temporal->isObj())
    throw std::runtime_error(
        "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — "
        "refusing to serve defaults (W3-01)");

  ServeConfig c;
  c.kshort = wholeIn(*retrieval, "kshort", 1, 4096);
  const JVal& tol = retrieval->req("aperture_tol");
  if (!tol.isNum() || !std::isfinite(tol.num) || tol.num < 0) outOfRange("aperture_tol");
  c.aperture_tol = tol.num;
  c.cut = wholeIn(*retrieval, "cut", 1, kInt32Max);
  c.K = wholeIn(*retrieval, "K", 1, 1024);
  c.hysteresis = wholeIn(*temporal, "hysteresis", 0, c.K);
  c.lookahead = wholeIn(*temporal, "lookahead", 0, c.K);

  if (const JVal* decode = top.find("decode"); decode && decode->isObj())
    if (const JVal* clamp = decode->find("envelope_clamp_255");
        clamp && !(clamp->isNum() && std::fabs(clamp->num - 12.0) <= 1e-6))
      throw std::runtime_error(
          "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is "
          "a gated quantity");
  c.fromHead = true;
  return c;
}

}  // namespace le::tessera
