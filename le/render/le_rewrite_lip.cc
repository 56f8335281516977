// Binds the lip contour into the director's compose alpha: a new input
// "lip_delivery" and Min(a, lip_delivery) in front of every reader of a, so
// the composed alpha becomes min(ellipse, contour). The rebuilt bytes are
// checked before they replace the model.
#include <climits>

#include "le/render/rewrites.h"

namespace le {
namespace {

constexpr uint32_t kWireLen = 2;
constexpr uint32_t kGraphNode = 1, kGraphInput = 11;
constexpr uint32_t kNodeIn = 1;
constexpr std::string_view kLipInput = "lip_delivery";
constexpr std::string_view kLipAlpha = "tessera_lipdel_alpha";
constexpr std::string_view kLipMin = "tessera_lipdel_min";
// Identity/Cast nodes between the compose Add and the first graph output.
constexpr int kTailSteps = 4;

const char* const kNoTail = "the graph does not carry the unified compose tail";

// The compose alpha a of rgb = Add(Mul(a, .), Mul(Sub(1, a), .)); empty
// with a reason when the tail is not there.
std::string composeAlpha(const GsGraphInfo& g, const std::unordered_map<std::string, size_t>& prod,
                         std::string& reason) {
  reason = kNoTail;
  if (g.outputs.empty()) return {};
  auto p = prod.find(g.outputs[0]);
  for (int step = 0; p != prod.end(); ++step) {
    const GsNodeInfo& n = g.nodes[p->second];
    if (step >= kTailSteps || !(n.opType == "Identity" || n.opType == "Cast")) break;
    if (n.inputs.empty()) return {};
    p = prod.find(n.inputs[0]);
  }
  if (p == prod.end()) return {};
  const GsNodeInfo& add = g.nodes[p->second];
  if (add.opType != "Add" || add.inputs.size() != 2) return {};
  const GsNodeInfo* mul[2];
  for (int k = 0; k < 2; ++k) {
    auto m = prod.find(add.inputs[k]);
    if (m == prod.end() || g.nodes[m->second].opType != "Mul" || g.nodes[m->second].inputs.size() != 2)
      return {};
    mul[k] = &g.nodes[m->second];
  }
  for (int k = 0; k < 2; ++k) {
    const GsNodeInfo& byAlpha = *mul[k];
    const GsNodeInfo& byRest = *mul[1 - k];
    for (const std::string& in : byRest.inputs) {
      auto s = prod.find(in);
      if (s == prod.end()) continue;
      const GsNodeInfo& sub = g.nodes[s->second];
      if (sub.opType != "Sub" || sub.inputs.size() != 2) continue;
      std::vector<float> c;
      if (!g.constantFloats(sub.inputs[0], prod, c) || c != std::vector<float>{1.f}) continue;
      const std::string& a = sub.inputs[1];
      if (a.empty() || (byAlpha.inputs[0] != a && byAlpha.inputs[1] != a)) continue;
      auto ap = prod.find(a);
      if (ap == prod.end()) {
        reason = "the compose alpha '" + a + "' has no producer node";
        return {};
      }
      if (g.nodes[ap->second].opType != "Clip") return {};
      reason.clear();
      return a;
    }
  }
  return {};
}

// "" when every node reads only earlier tensors, initializers or inputs.
std::string orderProblem(const GsGraphInfo& g) {
  const auto prod = g.producers();
  for (size_t i = 0; i < g.nodes.size(); ++i)
    for (const std::string& in : g.nodes[i].inputs) {
      if (in.empty() || g.isInitializer(in) || g.inputs.count(in)) continue;
      auto p = prod.find(in);
      if (p != prod.end() && p->second >= i)
        return "self-check: node " + g.label(i) + " reads '" + in + "' produced at " +
               std::to_string(p->second) + " — the rewritten graph is not topologically ordered";
    }
  return {};
}

std::string selfCheck(GsSlice model, const std::string& a) {
  GsGraphInfo g;
  gsReadGraph(model, g);
  if (!g.inputs.count(std::string(kLipInput))) return "self-check: the input did not survive the rebuild";
  bool hasMin = false;
  for (const GsNodeInfo& n : g.nodes) hasMin |= n.name == kLipMin;
  if (!hasMin) return "self-check: the Min node did not survive the rebuild";
  if (std::string order = orderProblem(g); !order.empty()) return order;
  size_t readers = 0;
  bool stale = false;
  for (const GsNodeInfo& n : g.nodes) {
    bool readsNew = false, readsOld = false;
    for (const std::string& in : n.inputs) {
      readsNew |= in == kLipAlpha;
      readsOld |= in == a;
    }
    readers += readsNew;
    if (readsOld && n.name != kLipMin) stale = true;
  }
  if (readers == 0 || stale)
    return "self-check: rewire did not take: " + std::to_string(readers) + " consumers of " +
           std::string(kLipAlpha) + (stale ? ", one still reads the alpha" : "") +
           " — refusing a graph that would serve the ellipse with the input attached and ignored";
  return {};
}

// The node with every input named `from` renamed `to`, inputs in place.
void putRewired(GsBytes& graph, GsSlice node, const std::string& from, std::string_view to) {
  GsBytes payload;
  payload.reserve(node.n + to.size());
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.number == kNodeIn && f.wire == kWireLen && f.payload.str() == from) gsPutBytes(payload, kNodeIn, to);
    else gsPutRaw(payload, f.raw);
  }
  gsPutBytes(graph, kGraphNode, payload.data(), payload.size());
}

}  // namespace

size_t rewriteBindLipContour(GsBytes& model, std::string& reason, int* canvas, int* batch) {
  GsGraphInfo g;
  if (!gsReadGraph(model, g)) {
    reason = "no graph";
    return 0;
  }
  if (g.inputs.count(std::string(kLipInput))) {
    reason = "the graph already carries an input named " + std::string(kLipInput);
    return 0;
  }
  const auto prod = g.producers();
  // A second producer of the bound alpha would make the rewire ambiguous.
  if (prod.count(std::string(kLipAlpha)) || g.isInitializer(std::string(kLipAlpha))) {
    reason = "the graph already carries a tensor named " + std::string(kLipAlpha);
    return 0;
  }
  const std::string a = composeAlpha(g, prod, reason);
  if (a.empty()) return 0;
  const size_t alphaAt = prod.at(a);

  int64_t side = -1;
  for (const std::string& in : g.nodes[alphaAt].inputs) {
    auto it = g.initializers.find(in);
    if (it == g.initializers.end()) continue;
    std::vector<int64_t> d;
    hcTensorDims(it->second, d);
    if (d.size() >= 2 && d[d.size() - 1] == d[d.size() - 2] && d.back() > 0) {
      side = d.back();
      break;
    }
  }
  std::vector<int64_t> dims;
  if (side < 0 && ldInputDims(gsGraphOf(model), kSourceInput, dims) && dims.size() == 4 && dims[2] > 0)
    side = dims[2];
  if (side <= 0 || side > INT_MAX) {
    reason = "cannot read the compose canvas off the graph";
    return 0;
  }
  int64_t b = -1;
  for (const char* name : {"pooled64", "kp_driving"})
    if (ldInputDims(gsGraphOf(model), name, dims) && !dims.empty() && dims[0] > 0 && dims[0] <= INT_MAX) {
      b = dims[0];
      break;
    }

  const GsSlice graphIn = gsGraphOf(model);
  GsBytes graph;
  graph.reserve(graphIn.n + 512);
  size_t k = 0;
  GsReader r(graphIn);
  GsField f;
  while (r.next(f)) {
    if (f.number != kGraphNode || f.wire != kWireLen) {
      gsPutRaw(graph, f.raw);
      continue;
    }
    const size_t i = k++;
    bool reads = false;
    for (const std::string& in : g.nodes[i].inputs) reads |= in == a;
    if (reads) putRewired(graph, f.payload, a, kLipAlpha);
    else gsPutRaw(graph, f.raw);
    if (i == alphaAt) hcNode(graph, "Min", {a, std::string(kLipInput)}, kLipAlpha, kLipMin, {});
  }
  const int64_t inDims[4] = {b, 1, side, side};
  gsPutTensorValueInfo(graph, kGraphInput, kLipInput, inDims, 4);

  GsBytes out;
  rwReplaceGraph(model, graph, false, out);
  if (std::string problem = selfCheck(out, a); !problem.empty()) {
    reason = problem;
    return 0;
  }
  model.swap(out);
  rwDropUnusedInitializers(model);  // those the replaced alpha read
  if (canvas) *canvas = static_cast<int>(side);
  if (batch) *batch = b > 0 ? static_cast<int>(b) : 0;
  return 1;
}

}  // namespace le
