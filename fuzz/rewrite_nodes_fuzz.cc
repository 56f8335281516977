// Any bytes as a director model through the node-level rewrites (GridSample,
// student blend, head cubic, the baked check). Each either throws the codec's
// runtime_error, refuses with the bytes untouched, or writes a model that
// reads back and leaves nothing for a second pass. Seed the corpus with
// fixture directors: python3 -m lefix director --crop 8 --out CORPUS_DIR.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "le/render/rewrites.h"

namespace {

template <class Rewrite>
void check(const le::GsBytes& orig, Rewrite rewrite) {
  le::GsBytes m = orig;
  size_t n;
  try {
    n = rewrite(m);
  } catch (const std::runtime_error&) {
    if (m != orig) std::abort();  // a throw must not leave half a rewrite
    return;
  }
  if (n == 0) {
    if (m != orig) std::abort();
    return;
  }
  le::GsGraphInfo g;
  try {
    if (!le::gsReadGraph(m, g)) std::abort();
  } catch (const std::runtime_error&) {
    std::abort();  // what a rewrite writes always parses
  }
  if (m == orig) std::abort();  // applied means changed
  le::GsBytes again = m;
  if (rewrite(again) != 0) std::abort();  // nothing left to rewrite
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const le::GsBytes orig(data, data + size);
  check(orig, [](le::GsBytes& m) { return le::rewriteGridSampleToFast(m); });
  check(orig, [](le::GsBytes& m) { return le::normaliseStudentBlend(m); });
  check(orig, [](le::GsBytes& m) { return le::rewriteHeadCubicResize(m); });
  try {
    (void)le::graphHasBakedGridSampleFast(orig);
  } catch (const std::runtime_error&) {
  }
  le::GsBytes m = orig;
  try {
    if (le::rewriteGridSampleToFast(m) && !le::graphHasBakedGridSampleFast(m)) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
