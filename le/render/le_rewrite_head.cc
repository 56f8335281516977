// The head's cubic x2 Resize (half_pixel) becomes Pad(edge, 2) + a depthwise
// 5x5 Conv with four phase kernels per channel + DepthToSpace(2, CRD): the
// same filter, as operators every execution provider runs fast.
//
// Output row 2k samples input k - 0.25 (taps k-2..k+1 at t = 0.75), row
// 2k+1 samples k + 0.25 (taps k-1..k+2 at t = 0.25); with 2 rows of edge
// padding both windows fall inside the 5 rows the Conv sees at k.
#include <cmath>
#include <cstring>

#include "le/render/rewrites.h"

namespace le {
namespace {

constexpr uint32_t kWireLen = 2;
constexpr uint32_t kGraphNode = 1;
constexpr int32_t kFloat = 1, kInt64 = 7;
constexpr int64_t kMaxChannels = 1048576;
// How far up the data chain the channel cross-check looks.
constexpr int kCrossCheckDepth = 4;

double cubicWeight(double d, double a) {
  d = std::fabs(d);
  if (d <= 1) return ((a + 2) * d - (a + 3)) * d * d + 1;
  return ((d - 5) * d + 8) * d * a - 4 * a;
}

bool isCandidate(const GsGraphInfo& g, const GsNodeInfo& n,
                 const std::unordered_map<std::string, size_t>& prod) {
  if (n.opType != "Resize" || !n.domain.empty()) return false;
  const HcAttrs at = hcReadAttrs(n.payload);
  if (at.mode != "cubic" || at.coordinateTransformationMode != "half_pixel") return false;
  if (at.keepAspectRatioPolicy && *at.keepAspectRatioPolicy != "stretch") return false;
  if ((at.excludeOutside && *at.excludeOutside != 0) || (at.antialias && *at.antialias != 0))
    return false;
  if (at.axes) return false;
  if (n.inputs.size() != 3 || !n.inputs[1].empty() || n.outputs.size() != 1) return false;
  std::vector<float> scales;
  if (!g.constantFloats(n.inputs[2], prod, scales)) return false;
  return scales == std::vector<float>{1.f, 1.f, 2.f, 2.f};
}

// The group attribute of a Conv (1 when absent).
int64_t groupOf(GsSlice node) {
  int64_t group = 1;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.number != 5 || f.wire != kWireLen || gsFirstStr(f.payload, 1) != "group") continue;
    GsReader a(f.payload);
    GsField af;
    while (a.next(af))
      if (af.number == 3 && af.wire == 0) group = static_cast<int64_t>(af.value);
  }
  return group;
}

// The one candidate Resize; g.nodes.size() when there is none or more.
size_t findHeadResize(const GsGraphInfo& g, const std::unordered_map<std::string, size_t>& prod) {
  size_t at = g.nodes.size(), matches = 0;
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (isCandidate(g, g.nodes[i], prod)) {
      at = i;
      ++matches;
    }
  return matches == 1 ? at : g.nodes.size();
}

// The channel count the Resize's one consumer fixes: a Conv whose rank-4
// weight gives channels per group; 0 when there is no such Conv.
int64_t consumerChannels(const GsGraphInfo& g, const GsNodeInfo& rz) {
  const auto cons = g.consumers();
  auto c = cons.find(rz.outputs[0]);
  if (c == cons.end() || c->second.size() != 1) return 0;
  const GsNodeInfo& conv = g.nodes[c->second[0]];
  if (conv.opType != "Conv" || conv.inputs.size() < 2) return 0;
  auto w = g.initializers.find(conv.inputs[1]);
  if (w == g.initializers.end()) return 0;
  std::vector<int64_t> wdims;
  hcTensorDims(w->second, wdims);
  if (wdims.size() != 4) return 0;
  const int64_t group = groupOf(conv.payload);
  if (group < 1 || group > kMaxChannels || wdims[1] < 1 || wdims[1] > kMaxChannels) return 0;
  const int64_t C = wdims[1] * group;
  return C > kMaxChannels ? 0 : C;
}

// Channel cross-check along the data chain: the first per-channel constant
// ([C, 1, 1]) met upstream must agree.
bool upstreamAgrees(const GsGraphInfo& g, const std::unordered_map<std::string, size_t>& prod,
                    const GsNodeInfo& rz, int64_t C) {
  std::string t = rz.inputs[0];
  for (int step = 0; step < kCrossCheckDepth; ++step) {
    auto p = prod.find(t);
    if (p == prod.end()) break;
    const GsNodeInfo& n = g.nodes[p->second];
    for (const std::string& in : n.inputs) {
      auto it = g.initializers.find(in);
      if (it == g.initializers.end()) continue;
      std::vector<int64_t> d;
      hcTensorDims(it->second, d);
      if (d.size() == 3 && d[1] == 1 && d[2] == 1) return d[0] == C;
    }
    if (n.inputs.empty()) break;
    t = n.inputs[0];
  }
  return true;
}

// Phase kernels: 4 per channel, identical across channels.
std::vector<float> phaseKernels(int64_t C, double a) {
  const auto t0 = hcTaps(0.75, a), t1 = hcTaps(0.25, a);
  const float taps[2][5] = {{t0[0], t0[1], t0[2], t0[3], 0.f}, {0.f, t1[0], t1[1], t1[2], t1[3]}};
  std::vector<float> weights(static_cast<size_t>(C) * 4 * 25);
  for (int64_t ch = 0; ch < C; ++ch)
    for (int py = 0; py < 2; ++py)
      for (int px = 0; px < 2; ++px) {
        float* k = &weights[(static_cast<size_t>(ch) * 4 + size_t(2 * py + px)) * 25];
        for (int y = 0; y < 5; ++y)
          for (int x = 0; x < 5; ++x) k[y * 5 + x] = taps[py][y] * taps[px][x];
      }
  return weights;
}

// The graph with node `at` (the Resize) replaced by Pad + Conv + DepthToSpace
// and their two initializers appended.
GsBytes replacedGraph(GsSlice graphIn, size_t at, const GsNodeInfo& rz, int64_t C) {
  const std::string base = rz.name.empty() ? "/Resize" : rz.name;
  const std::string tag = "rz" + std::to_string(at);
  const std::string pads = tag + "_pads", dw = tag + "_dw_w", padout = tag + "_padout",
                    convout = tag + "_convout";
  const std::vector<float> weights = phaseKernels(C, hcReadAttrs(rz.payload).cubicCoeffA);

  GsBytes padAttrs, convAttrs, d2sAttrs;
  hcAttrS(padAttrs, "mode", "edge");
  const int64_t ones[2] = {1, 1}, five[2] = {5, 5}, zeros[4] = {0, 0, 0, 0};
  hcAttrIs(convAttrs, "dilations", ones, 2);
  hcAttrI(convAttrs, "group", C);
  hcAttrIs(convAttrs, "kernel_shape", five, 2);
  hcAttrIs(convAttrs, "pads", zeros, 4);
  hcAttrIs(convAttrs, "strides", ones, 2);
  hcAttrI(d2sAttrs, "blocksize", 2);
  hcAttrS(d2sAttrs, "mode", "CRD");

  GsBytes graph;
  graph.reserve(graphIn.n + 512 + weights.size() * 4);
  size_t k = 0;
  GsReader r(graphIn);
  GsField f;
  while (r.next(f)) {
    if (f.number == kGraphNode && f.wire == kWireLen && k++ == at) {
      hcNode(graph, "Pad", {rz.inputs[0], pads}, padout, base + "/pad", padAttrs);
      hcNode(graph, "Conv", {padout, dw}, convout, base + "/dwconv", convAttrs);
      hcNode(graph, "DepthToSpace", {convout}, rz.outputs[0], base + "/d2s", d2sAttrs);
    } else {
      gsPutRaw(graph, f.raw);
    }
  }
  const int64_t padValues[8] = {0, 0, 2, 2, 0, 0, 2, 2};
  hcInit(graph, pads, kInt64, {8}, padValues, sizeof padValues);
  hcInit(graph, dw, kFloat, {4 * C, 1, 5, 5}, weights.data(), weights.size() * sizeof(float));
  return graph;
}

}  // namespace

std::array<float, 4> hcTaps(double t, double a) {
  const double d[4] = {t + 1, t, 1 - t, 2 - t};
  double w[4], sum = 0;
  for (int i = 0; i < 4; ++i) sum += w[i] = cubicWeight(d[i], a);
  std::array<float, 4> out{};
  for (int i = 0; i < 4; ++i) out[i] = static_cast<float>(w[i] / sum);
  return out;
}

size_t rewriteHeadCubicResize(GsBytes& model) {
  GsGraphInfo g;
  if (!gsReadGraph(model, g)) return 0;
  const auto prod = g.producers();
  const size_t at = findHeadResize(g, prod);
  if (at == g.nodes.size()) return 0;
  const GsNodeInfo& rz = g.nodes[at];
  const int64_t C = consumerChannels(g, rz);
  if (C == 0 || !upstreamAgrees(g, prod, rz, C)) return 0;
  const GsBytes graph = replacedGraph(gsGraphOf(model), at, rz, C);
  GsBytes out;
  rwReplaceGraph(model, graph, false, out);
  model.swap(out);
  rwDropUnusedInitializers(model);  // the Resize's scales and the like
  return 1;
}

}  // namespace le
