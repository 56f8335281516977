// Graph readers shared by the rewrites: the node list with its tensors, the
// initializer and input sets, the source cone, and the model re-emission
// with a replaced graph.
#include <algorithm>

#include "le/render/rewrites.h"

namespace le {
namespace {

constexpr uint32_t kWireVarint = 0, kWireLen = 2;
constexpr uint32_t kModelGraph = 7, kModelOpset = 8;
constexpr uint32_t kGraphNode = 1, kGraphInit = 5, kGraphInput = 11, kGraphOutput = 12;
constexpr uint32_t kNodeIn = 1, kNodeOut = 2, kNodeName = 3, kNodeOp = 4, kNodeAttr = 5,
                   kNodeDomain = 7;

bool hasQuillfinOpset(GsSlice model) {
  GsReader r(model);
  GsField f;
  while (r.next(f))
    if (f.number == kModelOpset && f.wire == kWireLen && gsFirstStr(f.payload, 1) == kQuillfinDomain)
      return true;
  return false;
}

// The attribute's string and int values by name, for the GridSample test.
struct AttrView {
  bool present = false;
  std::string s;
  int64_t i = 0;
  bool hasI = false;
};

AttrView attrOf(GsSlice node, std::string_view name) {
  AttrView v;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.number != kNodeAttr || f.wire != kWireLen) continue;
    if (gsFirstStr(f.payload, 1) != name) continue;
    v = AttrView{};  // a repeated attribute: the last one wins
    v.present = true;
    GsReader a(f.payload);
    GsField af;
    while (a.next(af)) {
      if (af.number == 4 && af.wire == kWireLen) v.s = std::string(af.payload.str());
      else if (af.number == 3 && af.wire == kWireVarint) {
        v.i = static_cast<int64_t>(af.value);
        v.hasI = true;
      }
    }
  }
  return v;
}

}  // namespace

bool gsReadGraph(GsSlice model, GsGraphInfo& out) {
  out = GsGraphInfo{};
  const GsSlice graph = gsGraphOf(model);
  // A model whose graph field is present but empty still has a graph.
  bool found = false;
  {
    GsReader r(model);
    GsField f;
    while (r.next(f))
      if (f.number == kModelGraph && f.wire == kWireLen) {
        found = true;
        break;
      }
  }
  if (!found) return false;
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.wire != kWireLen) continue;
    switch (f.number) {
      case kGraphNode: {
        GsNodeInfo n;
        n.raw = f.raw;
        n.payload = f.payload;
        GsReader nr(f.payload);
        GsField nf;
        while (nr.next(nf)) {
          if (nf.wire != kWireLen) continue;
          switch (nf.number) {
            case kNodeIn: n.inputs.emplace_back(nf.payload.str()); break;
            case kNodeOut: n.outputs.emplace_back(nf.payload.str()); break;
            case kNodeName: n.name = std::string(nf.payload.str()); break;
            case kNodeOp: n.opType = std::string(nf.payload.str()); break;
            case kNodeDomain: n.domain = std::string(nf.payload.str()); break;
            default: break;
          }
        }
        out.nodes.push_back(std::move(n));
        break;
      }
      case kGraphInit:
        out.initializers.emplace(gsFirstStr(f.payload, 8), f.payload);
        break;
      case kGraphInput:
        out.inputs.insert(gsFirstStr(f.payload, 1));
        break;
      case kGraphOutput:
        out.outputs.push_back(gsFirstStr(f.payload, 1));
        break;
      default:
        break;
    }
  }
  return true;
}

std::vector<WdNode> wdReadNodes(GsSlice model) {
  GsGraphInfo g;
  gsReadGraph(model, g);
  return std::move(g.nodes);
}

std::unordered_map<std::string, size_t> GsGraphInfo::producers() const {
  std::unordered_map<std::string, size_t> m;
  for (size_t i = 0; i < nodes.size(); ++i)
    for (const std::string& o : nodes[i].outputs)
      if (!o.empty()) m.emplace(o, i);
  return m;
}

std::unordered_map<std::string, std::vector<size_t>> GsGraphInfo::consumers() const {
  std::unordered_map<std::string, std::vector<size_t>> m;
  for (size_t i = 0; i < nodes.size(); ++i)
    for (const std::string& in : nodes[i].inputs)
      if (!in.empty()) {
        auto& v = m[in];
        if (v.empty() || v.back() != i) v.push_back(i);
      }
  return m;
}

bool GsGraphInfo::constantFloats(const std::string& t,
                                 const std::unordered_map<std::string, size_t>& prod,
                                 std::vector<float>& out) const {
  out.clear();
  if (auto it = initializers.find(t); it != initializers.end()) return hcTensorFloats(it->second, out);
  auto p = prod.find(t);
  if (p == prod.end() || nodes[p->second].opType != "Constant") return false;
  const GsSlice value = hcConstValue(nodes[p->second].payload);
  return !value.empty() && hcTensorFloats(value, out);
}

std::string GsGraphInfo::label(size_t i) const {
  if (i < nodes.size() && !nodes[i].name.empty()) return nodes[i].name;
  return "#" + std::to_string(i);
}

bool gsIsRewritableGridSample(const GsNodeInfo& n) {
  if (n.opType != "GridSample" || !(n.domain.empty() || n.domain == "ai.onnx")) return false;
  const AttrView mode = attrOf(n.payload, "mode");
  const AttrView pad = attrOf(n.payload, "padding_mode");
  const AttrView align = attrOf(n.payload, "align_corners");
  if (!mode.present || !(mode.s == "bilinear" || mode.s == "linear")) return false;
  if (!pad.present || pad.s != "border") return false;
  return !align.present || align.i == 0;
}

bool gsSourceCone(const GsGraphInfo& g, const std::string& boundary, std::vector<bool>& cone,
                  std::string& reason) {
  cone.assign(g.nodes.size(), false);
  const auto prod = g.producers();
  std::vector<std::string> todo{boundary};
  std::unordered_set<std::string> seen{boundary};
  // Each tensor is visited once, so the walk ends on any graph, cyclic or not.
  while (!todo.empty()) {
    const std::string t = std::move(todo.back());
    todo.pop_back();
    if (t == kSourceInput || g.isInitializer(t)) continue;
    if (g.inputs.count(t)) {
      reason = "cone reads graph input '" + t + "'";
      return false;
    }
    auto p = prod.find(t);
    if (p == prod.end()) {
      reason = "cone leaf '" + t + "' has no producer";
      return false;
    }
    if (cone[p->second]) continue;
    cone[p->second] = true;
    for (const std::string& in : g.nodes[p->second].inputs)
      if (!in.empty() && seen.insert(in).second) todo.push_back(in);
  }
  std::unordered_set<std::string> inside;
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (cone[i])
      for (const std::string& o : g.nodes[i].outputs)
        if (!o.empty() && o != boundary) inside.insert(o);
  for (size_t i = 0; i < g.nodes.size(); ++i) {
    if (cone[i]) continue;
    for (const std::string& in : g.nodes[i].inputs) {
      if (in == kSourceInput) {
        reason = "P_rgb is also read outside the cone by " + g.label(i);
        return false;
      }
      if (inside.count(in)) {
        reason = "cone value '" + in + "' escapes to " + g.label(i);
        return false;
      }
    }
  }
  // A graph output computed in the cone would lose its producer with it.
  for (const std::string& o : g.outputs)
    if (inside.count(o)) {
      reason = "cone value '" + o + "' escapes to the graph outputs";
      return false;
    }
  return true;
}

namespace {

// A node with a sub-graph attribute (If, Loop, Scan) may read outer tensors
// by name from inside it.
bool hasSubgraph(GsSlice node) {
  constexpr uint32_t kAttrGraph = 6, kAttrGraphs = 11;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.number != kNodeAttr || f.wire != kWireLen) continue;
    GsReader a(f.payload);
    GsField af;
    while (a.next(af))
      if ((af.number == kAttrGraph || af.number == kAttrGraphs) && af.wire == kWireLen) return true;
  }
  return false;
}

}  // namespace

size_t rwDropUnusedInitializers(GsBytes& model) {
  GsGraphInfo g;
  if (!gsReadGraph(model, g)) return 0;
  std::unordered_set<std::string> used(g.outputs.begin(), g.outputs.end());
  for (const GsNodeInfo& n : g.nodes) {
    if (hasSubgraph(n.payload)) return 0;
    used.insert(n.inputs.begin(), n.inputs.end());
  }
  std::unordered_set<std::string> unused;
  for (const auto& [name, tensor] : g.initializers)
    if (!used.count(name)) unused.insert(name);
  if (unused.empty()) return 0;
  GsBytes graph;
  graph.reserve(gsGraphOf(model).n);
  GsReader r(gsGraphOf(model));
  GsField f;
  while (r.next(f)) {
    const bool gone = f.wire == kWireLen &&
                      ((f.number == kGraphInit && unused.count(gsFirstStr(f.payload, 8))) ||
                       (f.number == kGraphInput && unused.count(gsFirstStr(f.payload, 1))));
    if (!gone) gsPutRaw(graph, f.raw);
  }
  GsBytes out;
  rwReplaceGraph(model, graph, false, out);
  model.swap(out);
  return unused.size();
}

void rwReplaceGraph(GsSlice model, const GsBytes& graph, bool addQuillfin, GsBytes& out) {
  const bool addOpset = addQuillfin && !hasQuillfinOpset(model);
  GsBytes result;
  result.reserve(model.n + graph.size() + 512);
  bool replaced = false;
  GsReader r(model);
  GsField f;
  while (r.next(f)) {
    if (!replaced && f.number == kModelGraph && f.wire == kWireLen) {
      gsPutBytes(result, kModelGraph, graph.data(), graph.size());
      replaced = true;
    } else {
      gsPutRaw(result, f.raw);
    }
  }
  if (addOpset) {
    GsBytes opset;
    gsPutBytes(opset, 1, kQuillfinDomain);
    gsPutVarint(opset, (uint64_t{2} << 3) | kWireVarint);
    gsPutVarint(opset, 1);
    gsPutBytes(result, kModelOpset, opset.data(), opset.size());
  }
  out.swap(result);
}

}  // namespace le
