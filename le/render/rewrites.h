// Load-time rewrites of the director graph. Each recognises one exact pattern
// in the model bytes and either rewrites it completely or leaves the bytes
// untouched (count 0, with a reason where the entry point has one). Decoding
// errors of the wire codec propagate as std::runtime_error.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "le/render/onnx_wire.h"

namespace le {

inline constexpr std::string_view kQuillfinDomain = "com.quillfin";
inline constexpr std::string_view kSourceInput = "P_rgb";

// One node of the graph, in file order; every slice points into the model.
struct GsNodeInfo {
  GsSlice raw;      // the whole graph field, tag included
  GsSlice payload;  // the NodeProto
  std::string name, opType, domain;
  std::vector<std::string> inputs, outputs;
};

struct GsGraphInfo {
  std::vector<GsNodeInfo> nodes;
  std::unordered_map<std::string, GsSlice> initializers;  // name -> TensorProto
  std::unordered_set<std::string> inputs;
  std::vector<std::string> outputs;  // graph outputs, in order

  bool isInitializer(const std::string& t) const { return initializers.count(t) != 0; }
  // Tensor name -> index of the node that outputs it (the first one wins).
  std::unordered_map<std::string, size_t> producers() const;
  // Tensor name -> indices of the nodes that read it, in file order.
  std::unordered_map<std::string, std::vector<size_t>> consumers() const;
  // The float values of a constant (initializer or Constant node output);
  // false when the tensor is neither or holds no floats.
  bool constantFloats(const std::string& t, const std::unordered_map<std::string, size_t>& prod,
                      std::vector<float>& out) const;
  // The node's name, or "#<index>" for an unnamed one, for reason texts.
  std::string label(size_t i) const;
};

// Reads the first graph of a model; false when there is none.
bool gsReadGraph(GsSlice model, GsGraphInfo& out);

using WdNode = GsNodeInfo;
// The nodes alone.
std::vector<WdNode> wdReadNodes(GsSlice model);

// The sub-graph that computes `boundary` from "P_rgb" and initializers only,
// closed: nothing outside reads "P_rgb" or a cone value other than the
// boundary. cone[i] is true for the nodes inside. False with a reason.
bool gsSourceCone(const GsGraphInfo& g, const std::string& boundary, std::vector<bool>& cone,
                  std::string& reason);

// A standard GridSample that GridSampleFast computes exactly: bilinear (or
// linear), border, align_corners 0, default domain.
bool gsIsRewritableGridSample(const GsNodeInfo& n);

// ---- the rewrites ------------------------------------------------------

size_t rewriteGridSampleToFast(GsBytes& model);
bool graphHasBakedGridSampleFast(GsSlice model);

size_t normaliseStudentBlend(GsBytes& model);

// The four normalised cubic-convolution weights at distances
// (t+1, t, 1-t, 2-t) for coefficient a.
std::array<float, 4> hcTaps(double t, double a);
size_t rewriteHeadCubicResize(GsBytes& model);

struct WarpBlock {
  std::string boundary;   // the Concat output that reads P_rgb
  size_t gridSample = 0;  // node index of the GridSample on the cone's tip
  std::string grid;
  std::vector<bool> remove;  // by node index: cone, GridSample, Slices, recombination
  std::string exit;
};
bool findWarpBlock(GsSlice model, WarpBlock* out, std::string& reason);
// Number of nodes removed; 0 with a reason when not applied.
size_t rewriteWarpBlockToCustomOp(GsBytes& model, std::string& reason);

// 1 when applied (canvas and batch receive the compose canvas side and the
// declared batch, 0 for a named batch); 0 with a reason otherwise.
size_t rewriteBindLipContour(GsBytes& model, std::string& reason, int* canvas, int* batch);

// Number of Concat nodes that read "P_rgb"; boundary = the first one's output.
size_t findSourceConeBoundary(GsSlice model, std::string& boundary);
bool buildSourceConePrep(GsSlice model, const std::string& boundary, GsBytes& prep,
                         std::string& reason);
bool buildSourceConePerFrame(GsSlice model, const std::string& boundary, const int64_t* dims,
                             size_t rank, GsBytes& perFrame, std::string& reason);

// ---- shared rebuild helpers ---------------------------------------------

// Removes the initializers no node reads and no graph output names (with a
// graph input of the same name), so onnxruntime finds nothing to remove and
// prints nothing. Returns how many went; a graph with sub-graphs is left as
// it is (their nodes may read outer tensors).
size_t rwDropUnusedInitializers(GsBytes& model);

// Writes model with its first graph replaced by `graph` (a GraphProto
// payload), every other top-level field kept in place; with addQuillfin the
// opset_import of "com.quillfin" is appended when the model has none.
void rwReplaceGraph(GsSlice model, const GsBytes& graph, bool addQuillfin, GsBytes& out);

// Appends a node field whose payload is `node` minus the fields for which
// drop(field) is true, followed by `extra` (already encoded fields).
template <class Drop>
void rwPutNodeWithout(GsBytes& graph, GsSlice node, Drop drop, const GsBytes& extra) {
  GsBytes payload;
  payload.reserve(node.n + extra.size());
  GsReader r(node);
  GsField f;
  while (r.next(f))
    if (!drop(f)) gsPutRaw(payload, f.raw);
  gsPutRaw(payload, extra);
  gsPutBytes(graph, 1, payload.data(), payload.size());
}

// Rewrites in place every node that match(node info) selects: the fields
// drop(field) selects are removed and `extra` appended. Returns how many
// nodes changed; with none the model is left untouched.
template <class Match, class Drop>
size_t rwRetagNodes(GsBytes& model, Match match, Drop drop, const GsBytes& extra,
                    bool addQuillfin) {
  GsGraphInfo g;
  if (!gsReadGraph(model, g)) return 0;
  std::vector<bool> hit(g.nodes.size(), false);
  size_t count = 0;
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (match(g.nodes[i])) {
      hit[i] = true;
      ++count;
    }
  if (count == 0) return 0;

  const GsSlice graphIn = gsGraphOf(model);
  GsBytes graph;
  graph.reserve(graphIn.n + extra.size() * count);
  size_t k = 0;
  GsReader r(graphIn);
  GsField f;
  while (r.next(f)) {
    // GraphProto field 1 (node), length-delimited: the k-th node in reading order.
    if (f.number == 1 && f.wire == 2 && hit[k++]) rwPutNodeWithout(graph, f.payload, drop, extra);
    else gsPutRaw(graph, f.raw);
  }
  GsBytes out;
  rwReplaceGraph(model, graph, addQuillfin, out);
  model.swap(out);
  return count;
}

}  // namespace le
