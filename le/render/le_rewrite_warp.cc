// The director's warp block (source cone -> 12-channel GridSample -> four
// Slices -> Mul/Sub/Add recombination) becomes one WarpDirector node that
// reads "P_rgb" and the grid and produces the block's single exit.
#include "le/render/rewrites.h"

namespace le {
namespace {

constexpr uint32_t kWireLen = 2;
constexpr uint32_t kGraphNode = 1, kGraphValueInfo = 13;

bool isGridSampleOp(const GsNodeInfo& n) {
  return n.opType == "GridSample" || n.opType == "GridSampleFast";
}

// Index of the one GridSample reading `boundary` first; false with a reason.
bool tipGridSample(const GsGraphInfo& g, const std::string& boundary, size_t& at,
                   std::string& reason) {
  size_t count = 0;
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (isGridSampleOp(g.nodes[i]) && !g.nodes[i].inputs.empty() && g.nodes[i].inputs[0] == boundary) {
      if (count++ == 0) at = i;
    }
  if (count >= 2) {
    reason = "two GridSamples on the cone's tip";
    return false;
  }
  if (count == 0) {
    reason = "no GridSample consuming '" + boundary + "'";
    return false;
  }
  return true;
}

bool readsAny(const GsNodeInfo& n, const std::unordered_set<std::string>& tensors) {
  for (const std::string& in : n.inputs)
    if (!in.empty() && tensors.count(in)) return true;
  return false;
}

}  // namespace

bool findWarpBlock(GsSlice model, WarpBlock* out, std::string& reason) {
  if (!out) {
    reason = "no out param";
    return false;
  }
  GsGraphInfo g;
  if (!gsReadGraph(model, g)) {
    reason = "no graph";
    return false;
  }
  std::string boundary;
  size_t concats = 0;
  for (const GsNodeInfo& n : g.nodes) {
    if (n.opType != "Concat") continue;
    bool reads = false;
    for (const std::string& in : n.inputs) reads |= in == kSourceInput;
    if (!reads) continue;
    if (concats++ == 0 && !n.outputs.empty()) boundary = n.outputs[0];
  }
  if (concats != 1 || boundary.empty()) {
    reason = "not one Concat consuming " + std::string(kSourceInput);
    return false;
  }
  size_t gsi = 0;
  if (!tipGridSample(g, boundary, gsi, reason)) return false;
  const GsNodeInfo& gs = g.nodes[gsi];
  if (gs.opType == "GridSample" && !gsIsRewritableGridSample(gs)) {
    reason = "the fused GridSample is not bilinear/border/align_corners=0";
    return false;
  }
  if (gs.outputs.empty() || gs.outputs[0].empty()) {
    reason = "the fused GridSample has no output";
    return false;
  }
  const std::string& sampled = gs.outputs[0];

  // Grow: the GridSample, its Slices, then the Mul/Sub/Add closure.
  std::vector<bool> block(g.nodes.size(), false);
  std::unordered_set<std::string> made;
  auto join = [&](size_t i) {
    block[i] = true;
    for (const std::string& o : g.nodes[i].outputs)
      if (!o.empty()) made.insert(o);
  };
  join(gsi);
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (!block[i] && g.nodes[i].opType == "Slice" && readsAny(g.nodes[i], {sampled})) join(i);
  for (bool grew = true; grew;) {
    grew = false;
    for (size_t i = 0; i < g.nodes.size(); ++i) {
      const std::string& op = g.nodes[i].opType;
      if (block[i] || !(op == "Mul" || op == "Sub" || op == "Add") || !readsAny(g.nodes[i], made))
        continue;
      join(i);
      grew = true;
    }
  }

  // Exits: block tensors read outside it or listed as graph outputs.
  std::vector<std::string> exits;
  auto addExit = [&](const std::string& t) {
    for (const std::string& e : exits)
      if (e == t) return;
    exits.push_back(t);
  };
  for (size_t i = 0; i < g.nodes.size(); ++i) {
    if (block[i]) continue;
    for (const std::string& in : g.nodes[i].inputs) {
      if (in.empty() || !made.count(in)) continue;
      // The sampled 12 channels have no producer once the block is gone.
      if (in == sampled) {
        reason = "the GridSample's output escapes the block to " + g.label(i);
        return false;
      }
      addExit(in);
    }
  }
  for (const std::string& o : g.outputs)
    if (made.count(o)) {
      if (o == sampled) {
        reason = "the GridSample's output escapes the block to the graph outputs";
        return false;
      }
      addExit(o);
    }
  if (exits.size() != 1) {
    reason = "the recombination has " + std::to_string(exits.size()) + " exits, not 1";
    return false;
  }
  const std::string grid = gs.inputs.size() > 1 ? gs.inputs[1] : std::string();
  const auto prod = g.producers();
  if (grid.empty() || !prod.count(grid)) {
    reason = "the grid has no producer";
    return false;
  }
  std::vector<bool> cone;
  if (!gsSourceCone(g, boundary, cone, reason)) return false;

  out->boundary = boundary;
  out->gridSample = gsi;
  out->grid = grid;
  out->exit = exits[0];
  out->remove.assign(g.nodes.size(), false);
  for (size_t i = 0; i < g.nodes.size(); ++i) out->remove[i] = block[i] || cone[i];
  return true;
}

size_t rewriteWarpBlockToCustomOp(GsBytes& model, std::string& reason) {
  WarpBlock wb;
  if (!findWarpBlock(model, &wb, reason)) return 0;
  GsGraphInfo g;
  gsReadGraph(model, g);
  size_t gsi = 0;
  std::vector<bool> cone;
  if (!tipGridSample(g, wb.boundary, gsi, reason) || !gsSourceCone(g, wb.boundary, cone, reason))
    return 0;
  if (gsi != wb.gridSample) {
    reason = "the GridSample moved between passes";
    return 0;
  }

  // The node goes right after the grid's producer; every reader of the exit
  // must come later, and neither may be swallowed by the removal.
  const size_t gridAt = g.producers().at(wb.grid);
  if (wb.remove[gridAt]) {
    reason = "the grid is computed inside the warp block";
    return 0;
  }
  const auto cons = g.consumers();
  if (auto c = cons.find(wb.exit); c != cons.end())
    for (size_t i : c->second)
      if (!wb.remove[i] && i <= gridAt) {
        reason = "the exit '" + wb.exit + "' is read by " + g.label(i) + " before the grid is produced";
        return 0;
      }

  std::unordered_set<std::string> removedTensors;
  size_t removed = 0;
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (wb.remove[i]) {
      ++removed;
      for (const std::string& o : g.nodes[i].outputs) removedTensors.insert(o);
    }

  GsBytes node;
  gsPutBytes(node, 1, kSourceInput);
  gsPutBytes(node, 1, wb.grid);
  gsPutBytes(node, 2, wb.exit);
  gsPutBytes(node, 3, "le_warp_director");
  gsPutBytes(node, 4, "WarpDirector");
  gsPutBytes(node, 7, kQuillfinDomain);

  const GsSlice graphIn = gsGraphOf(model);
  GsBytes graph;
  graph.reserve(graphIn.n + node.size() + 16);
  size_t k = 0;
  GsReader r(graphIn);
  GsField f;
  while (r.next(f)) {
    if (f.number == kGraphNode && f.wire == kWireLen) {
      const size_t i = k++;
      if (!wb.remove[i]) gsPutRaw(graph, f.raw);
      if (i == gridAt) gsPutBytes(graph, kGraphNode, node.data(), node.size());
    } else if (f.number == kGraphValueInfo && f.wire == kWireLen &&
               removedTensors.count(gsFirstStr(f.payload, 1))) {
      continue;
    } else {
      gsPutRaw(graph, f.raw);
    }
  }
  GsBytes out;
  rwReplaceGraph(model, graph, true, out);
  model.swap(out);
  rwDropUnusedInitializers(model);  // the removed nodes' constants
  return removed;
}

}  // namespace le
