// Rewrite refusals that need graphs no director would carry, built field by
// field: missing graphs, dangling tensors, truncated bytes.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "le/render/rewrites.h"

namespace {

using le::GsBytes;

struct Node {
  std::string op;
  std::vector<std::string> in;
  std::string out;
  std::string name;
  GsBytes attrs;
};

GsBytes gridSampleAttrs(const char* mode = "bilinear", const char* pad = "border") {
  GsBytes a;
  if (mode) le::hcAttrS(a, "mode", mode);
  if (pad) le::hcAttrS(a, "padding_mode", pad);
  return a;
}

// ir_version, the graph, then a metadata entry the rewrites must keep in place.
GsBytes model(const std::vector<Node>& nodes, const std::vector<std::string>& inputs,
              const std::vector<std::string>& outputs) {
  GsBytes g;
  for (const Node& n : nodes) le::hcNode(g, n.op, n.in, n.out, n.name, n.attrs);
  const int64_t dims[4] = {1, 3, 8, 8};
  for (const auto& i : inputs) le::gsPutTensorValueInfo(g, 11, i, dims, 4);
  for (const auto& o : outputs) le::gsPutTensorValueInfo(g, 12, o, dims, 4);
  GsBytes m{0x08, 0x08};  // ir_version 8
  le::gsPutBytes(m, 7, g.data(), g.size());
  GsBytes meta;
  le::gsPutBytes(meta, 1, "k");
  le::gsPutBytes(m, 14, meta.data(), meta.size());
  return m;
}

std::vector<uint32_t> topFields(const GsBytes& m) {
  std::vector<uint32_t> out;
  le::GsReader r(m);
  le::GsField f;
  while (r.next(f)) out.push_back(f.number);
  return out;
}

TEST(HcTaps, PhasesSumToOneAndMirrorEachOther) {
  for (double a : {-0.75, -0.5}) {
    const auto p0 = le::hcTaps(0.75, a), p1 = le::hcTaps(0.25, a);
    EXPECT_NEAR(p0[0] + p0[1] + p0[2] + p0[3], 1.0, 1e-6);
    for (int i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(p0[i], p1[3 - i]) << i;
  }
  // The cubic convolution kernel at a = -0.75 and distances 1.75, 0.75,
  // 0.25, 1.25 (they already sum to 1).
  const auto p = le::hcTaps(0.75, -0.75);
  EXPECT_FLOAT_EQ(p[0], -0.03515625f);
  EXPECT_FLOAT_EQ(p[1], 0.26171875f);
  EXPECT_FLOAT_EQ(p[2], 0.87890625f);
  EXPECT_FLOAT_EQ(p[3], -0.10546875f);
  // a = -0.5 does not sum to 1 before the division.
  const auto q = le::hcTaps(0.5, -0.5);
  EXPECT_FLOAT_EQ(q[1], q[2]);
  EXPECT_NEAR(q[0] + q[1] + q[2] + q[3], 1.0, 1e-6);
}

TEST(Rewrites, AModelWithoutAGraphIsRefusedUntouched) {
  const GsBytes orig{0x08, 0x08};
  GsBytes m = orig;
  std::string reason;
  le::WarpBlock wb;
  EXPECT_EQ(le::rewriteGridSampleToFast(m), 0u);
  EXPECT_EQ(le::normaliseStudentBlend(m), 0u);
  EXPECT_EQ(le::rewriteHeadCubicResize(m), 0u);
  EXPECT_FALSE(le::graphHasBakedGridSampleFast(m));
  EXPECT_FALSE(le::findWarpBlock(m, &wb, reason));
  EXPECT_EQ(reason, "no graph");
  EXPECT_EQ(le::rewriteBindLipContour(m, reason, nullptr, nullptr), 0u);
  EXPECT_EQ(reason, "no graph");
  GsBytes prep;
  EXPECT_FALSE(le::buildSourceConePrep(m, "x", prep, reason));
  EXPECT_EQ(reason, "no graph");
  EXPECT_EQ(m, orig);
}

TEST(Rewrites, TruncatedBytesThrowTheCodecError) {
  GsBytes m = model({{"Relu", {"P_rgb"}, "y", "r", {}}}, {"P_rgb"}, {"y"});
  m.resize(m.size() / 2);  // ends inside the graph
  std::string reason, b;
  EXPECT_THROW(le::rewriteGridSampleToFast(m), std::runtime_error);
  EXPECT_THROW(le::rewriteWarpBlockToCustomOp(m, reason), std::runtime_error);
  EXPECT_THROW(le::rewriteBindLipContour(m, reason, nullptr, nullptr), std::runtime_error);
  EXPECT_THROW(le::findSourceConeBoundary(m, b), std::runtime_error);
}

TEST(Rewrites, GridSampleAttributesDecide) {
  GsBytes noPad;
  le::hcAttrS(noPad, "mode", "bilinear");
  GsBytes m = model({{"GridSample", {"x", "g"}, "a", "a", gridSampleAttrs(nullptr)},
                     {"GridSample", {"x", "g"}, "b", "b", gridSampleAttrs("linear")},
                     {"GridSample", {"x", "g"}, "c", "c", noPad},
                     {"GridSample", {"x", "g"}, "d", "d", gridSampleAttrs("cubic")}},
                    {"x", "g"}, {"a", "b", "c", "d"});
  ASSERT_EQ(le::rewriteGridSampleToFast(m), 1u);
  le::GsGraphInfo g;
  ASSERT_TRUE(le::gsReadGraph(m, g));
  EXPECT_EQ(g.nodes[1].opType, "GridSampleFast");
  for (size_t i : {0u, 2u, 3u}) EXPECT_EQ(g.nodes[i].opType, "GridSample") << i;
  // The opset_import goes after every other top-level field, once.
  EXPECT_EQ(topFields(m), (std::vector<uint32_t>{1, 7, 14, 8}));
  EXPECT_EQ(le::rewriteGridSampleToFast(m), 0u);
}

TEST(Rewrites, BakedMeansTheQuillfinDomain) {
  GsBytes g;
  GsBytes node;
  le::gsPutBytes(node, 1, "x");
  le::gsPutBytes(node, 2, "y");
  le::gsPutBytes(node, 4, "GridSampleFast");
  le::gsPutBytes(node, 7, "com.other");
  le::gsPutBytes(g, 1, node.data(), node.size());
  GsBytes m;
  le::gsPutBytes(m, 7, g.data(), g.size());
  EXPECT_FALSE(le::graphHasBakedGridSampleFast(m));
}

TEST(Rewrites, WarpBlockRefusalsOfOddGraphs) {
  std::string reason;
  le::WarpBlock wb;
  GsBytes noGs = model({{"Concat", {"P_rgb", "P_rgb"}, "tip", "c", {}}, {"Relu", {"tip"}, "y", "r", {}}},
                       {"P_rgb"}, {"y"});
  EXPECT_FALSE(le::findWarpBlock(noGs, &wb, reason));
  EXPECT_EQ(reason, "no GridSample consuming 'tip'");

  GsBytes gridIn = model({{"Concat", {"P_rgb", "P_rgb"}, "tip", "c", {}},
                          {"GridSample", {"tip", "grid"}, "s", "gs", gridSampleAttrs()},
                          {"Slice", {"s"}, "s0", "sl", {}},
                          {"Relu", {"s0"}, "y", "r", {}}},
                         {"P_rgb", "grid"}, {"y"});
  EXPECT_FALSE(le::findWarpBlock(gridIn, &wb, reason));
  EXPECT_EQ(reason, "the grid has no producer");

  GsBytes noOut = model({{"Concat", {"P_rgb"}, "tip", "c", {}},
                         {"GridSample", {"tip", "grid"}, "", "gs", gridSampleAttrs()}},
                        {"P_rgb", "grid"}, {"tip"});
  EXPECT_FALSE(le::findWarpBlock(noOut, &wb, reason));
  EXPECT_EQ(reason, "the fused GridSample has no output");

  // A reader of the sampled 12 channels that is not a Slice would lose its
  // input with the block.
  GsBytes leak = model({{"Identity", {"g0"}, "grid", "gp", {}},
                        {"Concat", {"P_rgb"}, "tip", "c", {}},
                        {"GridSample", {"tip", "grid"}, "s", "gs", gridSampleAttrs()},
                        {"Slice", {"s"}, "s0", "sl", {}},
                        {"Relu", {"s"}, "z", "leak", {}},
                        {"Relu", {"s0"}, "y", "r", {}}},
                       {"P_rgb", "g0"}, {"y", "z"});
  const GsBytes before = leak;
  EXPECT_EQ(le::rewriteWarpBlockToCustomOp(leak, reason), 0u);
  EXPECT_EQ(reason, "the GridSample's output escapes the block to leak");
  EXPECT_EQ(leak, before);

  // Applied on the smallest block: Concat, GridSample, Slice go; the node
  // follows the grid's producer.
  GsBytes ok = model({{"Identity", {"g0"}, "grid", "gp", {}},
                      {"Concat", {"P_rgb"}, "tip", "c", {}},
                      {"GridSample", {"tip", "grid"}, "s", "gs", gridSampleAttrs()},
                      {"Slice", {"s"}, "s0", "sl", {}},
                      {"Relu", {"s0"}, "y", "r", {}}},
                     {"P_rgb", "g0"}, {"y"});
  ASSERT_EQ(le::rewriteWarpBlockToCustomOp(ok, reason), 3u) << reason;
  le::GsGraphInfo g;
  ASSERT_TRUE(le::gsReadGraph(ok, g));
  ASSERT_EQ(g.nodes.size(), 3u);
  EXPECT_EQ(g.nodes[1].name, "le_warp_director");
  EXPECT_EQ(g.nodes[1].outputs[0], "s0");
}

TEST(Rewrites, LipBindingNamesAnAlphaWithoutProducer) {
  GsBytes one;
  const float v = 1.f;
  le::hcInit(one, "one", 1, {}, &v, 4);
  GsBytes g;
  le::hcNode(g, "Mul", {"a", "gen"}, "ga", "ga", {});
  le::hcNode(g, "Sub", {"one", "a"}, "na", "na", {});
  le::hcNode(g, "Mul", {"na", "warped"}, "wa", "wa", {});
  le::hcNode(g, "Add", {"ga", "wa"}, "rgb", "add", {});
  le::gsPutRaw(g, one);
  const int64_t dims[4] = {1, 3, 8, 8};
  for (const char* i : {"a", "gen", "warped", "P_rgb"}) le::gsPutTensorValueInfo(g, 11, i, dims, 4);
  le::gsPutTensorValueInfo(g, 12, "rgb", dims, 4);
  GsBytes m;
  le::gsPutBytes(m, 7, g.data(), g.size());
  const GsBytes before = m;
  std::string reason;
  EXPECT_EQ(le::rewriteBindLipContour(m, reason, nullptr, nullptr), 0u);
  EXPECT_EQ(reason, "the compose alpha 'a' has no producer node");
  EXPECT_EQ(m, before);
}

// y = Add(x, w) with graph outputs y and c (an initializer given out as it
// is); u1 and u2 are read by nothing, u2 also listed as a graph input the way
// older exporters list initializers. With `subgraph` the node also carries a
// graph attribute, whose nodes could read any outer tensor.
GsBytes modelWithInitializers(bool subgraph) {
  GsBytes attrs;
  if (subgraph) {
    GsBytes attr, sub;
    le::gsPutBytes(attr, 1, "then_branch");
    le::gsPutBytes(attr, 6, sub.data(), sub.size());
    le::gsPutBytes(attrs, 5, attr.data(), attr.size());
  }
  GsBytes g;
  le::hcNode(g, "Add", {"x", "w"}, "y", "add", attrs);
  const float one = 1.0f;
  for (const char* name : {"u1", "w", "c", "u2"}) le::hcInit(g, name, 1, {1}, &one, sizeof one);
  const int64_t dims[1] = {1};
  for (const char* in : {"x", "u2"}) le::gsPutTensorValueInfo(g, 11, in, dims, 1);
  for (const char* out : {"y", "c"}) le::gsPutTensorValueInfo(g, 12, out, dims, 1);
  GsBytes m{0x08, 0x08};
  le::gsPutBytes(m, 7, g.data(), g.size());
  GsBytes meta;
  le::gsPutBytes(meta, 1, "k");
  le::gsPutBytes(m, 14, meta.data(), meta.size());
  return m;
}

TEST(DropUnusedInitializers, OnlyTheUnreadGoWithTheirInputs) {
  GsBytes m = modelWithInitializers(false);
  const std::vector<uint32_t> fields = topFields(m);
  EXPECT_EQ(le::rwDropUnusedInitializers(m), 2u);
  le::GsGraphInfo g;
  ASSERT_TRUE(le::gsReadGraph(m, g));
  struct Case {
    const char* name;
    bool initializer, input;
  };
  for (const Case c : {Case{"w", true, false}, Case{"c", true, false}, Case{"u1", false, false},
                       Case{"u2", false, false}, Case{"x", false, true}}) {
    EXPECT_EQ(g.isInitializer(c.name), c.initializer) << c.name;
    EXPECT_EQ(g.inputs.count(c.name) == 1, c.input) << c.name;
  }
  EXPECT_EQ(g.outputs, (std::vector<std::string>{"y", "c"}));
  ASSERT_EQ(g.nodes.size(), 1u);
  EXPECT_EQ(topFields(m), fields);  // ir_version and metadata kept in place
  const GsBytes once = m;
  EXPECT_EQ(le::rwDropUnusedInitializers(m), 0u);
  EXPECT_EQ(m, once);
}

TEST(DropUnusedInitializers, GraphsWithSubgraphsAndModelsWithoutAGraphStayAsTheyAre) {
  GsBytes m = modelWithInitializers(true);
  const GsBytes before = m;
  EXPECT_EQ(le::rwDropUnusedInitializers(m), 0u);
  EXPECT_EQ(m, before);
  GsBytes none{0x08, 0x08};
  EXPECT_EQ(le::rwDropUnusedInitializers(none), 0u);
  EXPECT_EQ(none, (GsBytes{0x08, 0x08}));
}

}  // namespace
