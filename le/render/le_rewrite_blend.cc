// The student's "/s2/blend" MatMul becomes a Gemm (alpha 1, beta 1, no
// transposes: the same product) that every execution provider can claim.
#include "le/render/rewrites.h"

namespace le {
namespace {
constexpr uint32_t kWireLen = 2;
constexpr uint32_t kGraphNode = 1;
constexpr uint32_t kNodeOp = 4, kNodeAttr = 5, kNodeDomain = 7;

bool isBlend(const GsNodeInfo& n) {
  if (n.name != "/s2/blend" || n.opType != "MatMul") return false;
  if (!(n.domain.empty() || n.domain == "ai.onnx") || n.inputs.size() != 2) return false;
  GsReader r(n.payload);
  GsField f;
  while (r.next(f))
    if (f.number == kNodeAttr) return false;
  return true;
}
}  // namespace

size_t normaliseStudentBlend(GsBytes& model) {
  GsGraphInfo g;
  if (!gsReadGraph(model, g)) return 0;
  std::vector<bool> hit(g.nodes.size(), false);
  size_t count = 0;
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (isBlend(g.nodes[i])) {
      hit[i] = true;
      ++count;
    }
  if (count == 0) return 0;

  GsBytes tail;
  gsPutBytes(tail, kNodeOp, "Gemm");
  const GsSlice graphIn = gsGraphOf(model);
  GsBytes graph;
  graph.reserve(graphIn.n + 16 * count);
  size_t k = 0;
  GsReader r(graphIn);
  GsField f;
  while (r.next(f)) {
    if (f.number == kGraphNode && f.wire == kWireLen && hit[k++]) {
      rwPutNodeWithout(
          graph, f.payload,
          [](const GsField& nf) { return nf.number == kNodeOp || nf.number == kNodeDomain; }, tail);
    } else {
      gsPutRaw(graph, f.raw);
    }
  }
  GsBytes out;
  rwReplaceGraph(model, graph, false, out);
  model.swap(out);
  return count;
}

}  // namespace le
