// Any bytes as a director model through every graph rewrite: the node-level
// ones (GridSample, student blend, head cubic, the baked check) and those
// that walk the source cone (warp block, lip binding, source-cone hoist).
// Each either throws the codec's runtime_error with the bytes untouched,
// refuses with them untouched (saying why, where it can), or writes a model
// that reads back; a node-level rewrite also changes the bytes and leaves
// nothing for a second pass. Seed the corpus with fixture directors:
// python3 -m lefix director --crop 8 --out CORPUS_DIR.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "le/render/rewrites.h"

namespace {

void readsBack(const le::GsBytes& m) {
  le::GsGraphInfo g;
  try {
    if (!le::gsReadGraph(m, g)) std::abort();
  } catch (const std::runtime_error&) {
    std::abort();  // what a rewrite writes always parses
  }
}

// rewrite(m, reason) returns what it applied; a refusal of a rewrite that
// gives reasons names one.
template <class Rewrite>
void check(const le::GsBytes& orig, bool givesReasons, bool idempotent, Rewrite rewrite) {
  le::GsBytes m = orig;
  std::string reason;
  size_t n;
  try {
    n = rewrite(m, reason);
  } catch (const std::runtime_error&) {
    if (m != orig) std::abort();  // a throw must not leave half a rewrite
    return;
  }
  if (n == 0) {
    if (m != orig || (givesReasons && reason.empty())) std::abort();
    return;
  }
  readsBack(m);
  if (!idempotent) return;
  if (m == orig) std::abort();  // applied means changed
  le::GsBytes again = m;
  if (rewrite(again, reason) != 0) std::abort();  // nothing left to rewrite
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const le::GsBytes orig(data, data + size);
  check(orig, false, true, [](le::GsBytes& m, std::string&) { return le::rewriteGridSampleToFast(m); });
  check(orig, false, true, [](le::GsBytes& m, std::string&) { return le::normaliseStudentBlend(m); });
  check(orig, false, true, [](le::GsBytes& m, std::string&) { return le::rewriteHeadCubicResize(m); });
  check(orig, true, false, [](le::GsBytes& m, std::string& r) { return le::rewriteWarpBlockToCustomOp(m, r); });
  check(orig, true, false, [](le::GsBytes& m, std::string& r) {
    int canvas = 0, batch = 0;
    const size_t n = le::rewriteBindLipContour(m, r, &canvas, &batch);
    if (n && canvas < 1) std::abort();
    return n;
  });
  try {
    (void)le::graphHasBakedGridSampleFast(orig);
  } catch (const std::runtime_error&) {
  }
  le::GsBytes m = orig;
  try {
    if (le::rewriteGridSampleToFast(m) && !le::graphHasBakedGridSampleFast(m)) std::abort();
  } catch (const std::runtime_error&) {
  }
  try {
    std::string boundary, reason;
    if (le::findSourceConeBoundary(orig, boundary) != 1) return 0;
    le::GsBytes prep, perFrame;
    if (le::buildSourceConePrep(orig, boundary, prep, reason)) readsBack(prep);
    else if (reason.empty()) std::abort();
    const int64_t dims[4] = {1, 12, 8, 8};
    if (le::buildSourceConePerFrame(orig, boundary, dims, 4, perFrame, reason)) readsBack(perFrame);
    else if (reason.empty()) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
