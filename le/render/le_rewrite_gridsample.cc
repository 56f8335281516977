// Standard GridSample nodes that GridSampleFast computes exactly become that
// custom operator; everything else in the graph keeps its bytes.
#include "le/render/rewrites.h"

namespace le {
namespace {
constexpr uint32_t kWireLen = 2;
constexpr uint32_t kGraphNode = 1;
constexpr uint32_t kNodeOp = 4, kNodeAttr = 5, kNodeDomain = 7;
}  // namespace

size_t rewriteGridSampleToFast(GsBytes& model) {
  GsGraphInfo g;
  if (!gsReadGraph(model, g)) return 0;
  std::vector<bool> hit(g.nodes.size(), false);
  size_t count = 0;
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (gsIsRewritableGridSample(g.nodes[i])) {
      hit[i] = true;
      ++count;
    }
  if (count == 0) return 0;

  GsBytes tail;
  gsPutBytes(tail, kNodeOp, "GridSampleFast");
  gsPutBytes(tail, kNodeDomain, kQuillfinDomain);
  GsBytes graph;
  const GsSlice graphIn = gsGraphOf(model);
  graph.reserve(graphIn.n + 32 * count);
  size_t k = 0;
  GsReader r(graphIn);
  GsField f;
  while (r.next(f)) {
    if (f.number == kGraphNode && f.wire == kWireLen && hit[k++]) {
      rwPutNodeWithout(
          graph, f.payload,
          [](const GsField& nf) {
            return nf.number == kNodeOp || nf.number == kNodeAttr || nf.number == kNodeDomain;
          },
          tail);
    } else {
      gsPutRaw(graph, f.raw);
    }
  }
  GsBytes out;
  rwReplaceGraph(model, graph, true, out);
  model.swap(out);
  return count;
}

bool graphHasBakedGridSampleFast(GsSlice model) {
  GsGraphInfo g;
  if (!gsReadGraph(model, g)) return false;
  for (const GsNodeInfo& n : g.nodes)
    if (n.opType == "GridSampleFast" && n.domain == kQuillfinDomain) return true;
  return false;
}

}  // namespace le
