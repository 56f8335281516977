// Standard GridSample nodes that GridSampleFast computes exactly become that
// custom operator; everything else in the graph keeps its bytes.
#include "le/render/rewrites.h"

namespace le {
namespace {
constexpr uint32_t kNodeOp = 4, kNodeAttr = 5, kNodeDomain = 7;
}  // namespace

size_t rewriteGridSampleToFast(GsBytes& model) {
  GsBytes tail;
  gsPutBytes(tail, kNodeOp, "GridSampleFast");
  gsPutBytes(tail, kNodeDomain, kQuillfinDomain);
  return rwRetagNodes(
      model, gsIsRewritableGridSample,
      [](const GsField& nf) {
        return nf.number == kNodeOp || nf.number == kNodeAttr || nf.number == kNodeDomain;
      },
      tail, true);
}

bool graphHasBakedGridSampleFast(GsSlice model) {
  GsGraphInfo g;
  if (!gsReadGraph(model, g)) return false;
  for (const GsNodeInfo& n : g.nodes)
    if (n.opType == "GridSampleFast" && n.domain == kQuillfinDomain) return true;
  return false;
}

}  // namespace le
