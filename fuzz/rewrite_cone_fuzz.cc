// Any bytes as a director model through the rewrites that walk the source
// cone: warp block, source-cone hoist and lip binding. Each either throws the
// codec's runtime_error, refuses with a reason and the bytes untouched, or
// writes a model that reads back. Seed the corpus with fixture directors:
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
    std::abort();
  }
}

template <class Rewrite>
void check(const le::GsBytes& orig, Rewrite rewrite) {
  le::GsBytes m = orig;
  std::string reason;
  size_t n;
  try {
    n = rewrite(m, reason);
  } catch (const std::runtime_error&) {
    if (m != orig) std::abort();
    return;
  }
  if (n == 0) {
    if (m != orig || reason.empty()) std::abort();  // every refusal says why
    return;
  }
  readsBack(m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const le::GsBytes orig(data, data + size);
  check(orig, [](le::GsBytes& m, std::string& r) { return le::rewriteWarpBlockToCustomOp(m, r); });
  check(orig, [](le::GsBytes& m, std::string& r) {
    int canvas = 0, batch = 0;
    const size_t n = le::rewriteBindLipContour(m, r, &canvas, &batch);
    if (n && canvas < 1) std::abort();
    return n;
  });
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
