// Any bytes as a model. Every reader either answers within the buffer or
// throws std::runtime_error (the sanitizers catch a read outside it). Under
// an edit chosen by the first two bytes, the rest as a model: a rebuild
// either throws or writes a model that reads back cleanly, rebuilds to itself
// when unedited, and keeps every top-level field. The whole input as a
// director through every graph rewrite: the node-level ones (GridSample,
// student blend, head cubic, the baked check) and those that walk the source
// cone (warp block, lip binding, source-cone hoist). Each either throws with
// the bytes untouched, refuses with them untouched (saying why, where it
// can), or writes a model that reads back; a node-level rewrite also changes
// the bytes and leaves nothing for a second pass. Seed the corpus with
// fixture directors: python3 -m lefix director --crop 8 --out CORPUS_DIR.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_bytes.h"
#include "le/render/onnx_model.h"
#include "le/render/onnx_wire.h"
#include "le/render/rewrites.h"

namespace {

using le::fuzz::refused;

void readGraph(le::GsSlice graph) {
  std::vector<std::string> names;
  std::vector<float> floats;
  std::vector<int64_t> dims;
  le::GsReader r(graph);
  le::GsField f;
  while (r.next(f)) {
    if (f.raw.n == 0 || f.raw.p < graph.p || f.raw.p + f.raw.n > graph.p + graph.n) std::abort();
    if (f.wire != 2) continue;
    switch (f.number) {
      case 1: {
        le::gsAllStr(f.payload, 1, names);
        le::gsAllStr(f.payload, 2, names);
        (void)le::gsFirstStr(f.payload, 4);
        const le::GsSlice t = le::hcConstValue(f.payload);
        le::hcTensorDims(t, dims);
        le::hcTensorFloats(t, floats);
        (void)le::hcReadAttrs(f.payload);
        break;
      }
      case 5:
        le::hcTensorDims(f.payload, dims);
        if (le::hcTensorFloats(f.payload, floats) && floats.size() > f.payload.n / 4) std::abort();
        break;
      case 11: {
        const std::string name = le::gsFirstStr(f.payload, 1);
        int32_t elem;
        le::ldInputDims(graph, name, dims, &elem);
        break;
      }
      default:
        (void)le::hcPayload(f.payload);
    }
  }
}

size_t topLevelFields(le::GsSlice model) {
  size_t n = 0;
  le::GsReader r(model);
  le::GsField f;
  while (r.next(f)) ++n;
  return n;
}

void rebuild(const uint8_t* data, size_t size) {
  if (size < 2) return;
  const uint8_t flags = data[0], drops = data[1];
  const std::vector<uint8_t> model(data + 2, data + size);
  le::GsGraphEdit edit;
  for (int k = 0; k < 8; ++k) edit.dropNode.push_back((drops >> k) & 1);
  edit.dropPrgbInput = flags & 1;
  edit.keepOnlyPrgbInput = flags & 2;
  edit.dropOutputs = flags & 4;
  if (flags & 8) edit.valueInfo = le::GsValueInfo{"P_rgb", {}, static_cast<size_t>(flags >> 4), 12};
  if (flags & 16) edit.valueInfo = le::GsValueInfo{"x", {1, -1, 7}, 3, 11};

  std::vector<uint8_t> out, again;
  size_t fields = 0;
  if (refused([&] { fields = topLevelFields(model), le::gsRebuild(model, edit, out); })) return;
  // What was written parses, keeps the field count and is a fixed point of
  // the empty edit.
  if (refused([&] {
        if (topLevelFields(out) != fields) std::abort();
        le::gsRebuild(out, {}, again);
      }) || again != out)
    std::abort();
  if (!edit.valueInfo && edit.dropNode == std::vector<bool>(8, false) && !(flags & 7) &&
      out.size() > model.size())
    std::abort();  // an empty edit can only shorten a non-minimal length prefix
}

void readsBack(const le::GsBytes& m) {
  le::GsGraphInfo g;
  if (refused([&] { if (!le::gsReadGraph(m, g)) std::abort(); })) std::abort();
}

// rewrite(m, reason) returns what it applied; a refusal of a rewrite that
// gives reasons names one.
template <class Rewrite>
void check(const le::GsBytes& orig, bool givesReasons, bool idempotent, Rewrite rewrite) {
  le::GsBytes m = orig;
  std::string reason;
  size_t n = 0;
  if (refused([&] { n = rewrite(m, reason); })) {
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

void rewrites(const le::GsBytes& orig) {
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
  (void)refused([&] { (void)le::graphHasBakedGridSampleFast(orig); });
  le::GsBytes m = orig;
  (void)refused([&] {
    if (le::rewriteGridSampleToFast(m) && !le::graphHasBakedGridSampleFast(m)) std::abort();
  });
  (void)refused([&] {
    std::string boundary, reason;
    if (le::findSourceConeBoundary(orig, boundary) != 1) return;
    le::GsBytes prep, perFrame;
    if (le::buildSourceConePrep(orig, boundary, prep, reason)) readsBack(prep);
    else if (reason.empty()) std::abort();
    const int64_t dims[4] = {1, 12, 8, 8};
    if (le::buildSourceConePerFrame(orig, boundary, dims, 4, perFrame, reason)) readsBack(perFrame);
    else if (reason.empty()) std::abort();
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly size bytes so that any over-read hits the redzone.
  const std::vector<uint8_t> model(data, data + size);
  (void)refused([&] { readGraph(le::gsGraphOf(model)); });
  (void)refused([&] {
    le::OnnxModel m = le::OnnxModel::parse(model);
    for (const le::OnnxInit& i : m.initializers())
      if (m.get(i.name).name != i.name) std::abort();  // every initializer is found by its name
  });
  rebuild(data, size);
  rewrites(model);
  return 0;
}
