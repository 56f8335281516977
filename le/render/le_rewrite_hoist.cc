// The source-cone hoist: the part of the director that depends on "P_rgb"
// alone becomes a prep graph run once per source frame, and the rest a
// per-frame graph that reads the cone's tip as an input.
#include "le/render/rewrites.h"

namespace le {
namespace {
constexpr size_t kBoundaryRank = 4;
}  // namespace

size_t findSourceConeBoundary(GsSlice model, std::string& boundary) {
  boundary.clear();
  GsGraphInfo g;
  if (!gsReadGraph(model, g)) return 0;
  size_t count = 0;
  for (const GsNodeInfo& n : g.nodes) {
    if (n.opType != "Concat") continue;
    bool reads = false;
    for (const std::string& in : n.inputs) reads |= in == kSourceInput;
    if (!reads) continue;
    if (count++ == 0 && !n.outputs.empty()) boundary = n.outputs[0];
  }
  return count;
}

bool buildSourceConePrep(GsSlice model, const std::string& boundary, GsBytes& prep,
                         std::string& reason) {
  GsGraphInfo g;
  if (!gsReadGraph(model, g)) {
    reason = "no graph";
    return false;
  }
  if (!g.inputs.count(std::string(kSourceInput))) {
    reason = "no P_rgb input";
    return false;
  }
  std::vector<bool> cone;
  if (!gsSourceCone(g, boundary, cone, reason)) return false;
  GsGraphEdit edit;
  edit.dropNode.assign(g.nodes.size(), true);
  bool any = false;
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (cone[i] || g.nodes[i].opType == "Constant") {
      edit.dropNode[i] = false;
      any = true;
    }
  if (!any) {
    reason = "empty cone";
    return false;
  }
  edit.keepOnlyPrgbInput = true;
  edit.dropOutputs = true;
  edit.valueInfo = GsValueInfo{boundary, {}, kBoundaryRank, 12};
  gsRebuild(model, edit, prep);
  rwDropUnusedInitializers(prep);  // the per-frame graph's
  return true;
}

bool buildSourceConePerFrame(GsSlice model, const std::string& boundary, const int64_t* dims,
                             size_t rank, GsBytes& perFrame, std::string& reason) {
  GsGraphInfo g;
  if (!gsReadGraph(model, g)) {
    reason = "no graph";
    return false;
  }
  if (!dims || rank == 0) {
    reason = "no boundary shape";
    return false;
  }
  std::vector<bool> cone;
  if (!gsSourceCone(g, boundary, cone, reason)) return false;
  GsGraphEdit edit;
  edit.dropNode = cone;
  edit.dropPrgbInput = true;
  edit.valueInfo = GsValueInfo{boundary, std::vector<int64_t>(dims, dims + rank), rank, 11};
  gsRebuild(model, edit, perFrame);
  rwDropUnusedInitializers(perFrame);  // the cone's
  return true;
}

}  // namespace le
