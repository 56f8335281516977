// The load-time rewrites on fixture directors written by lefix: one table of
// {variant, rewrite, nodes rewritten, refusal, tolerance}. A refusal names its
// reason and leaves the bytes alone; an applied rewrite keeps the graph
// ordered and its unknown fields, and onnxruntime computes the same frame
// from the original and the rewritten graph on random inputs. Then the shape
// of what each rewrite builds, the hoist, and all of them together.
#include <gtest/gtest.h>

#include "render/rewrite_runner.h"
#include "render/warp_reference.h"

namespace le {
namespace {

using test::Feeds;
using test::maxRelError;
using test::orderProblem;
using test::runModel;

constexpr int kCrop = 32;
using test::kRoundOff;  // operators swapped for equivalent ones: other summation order
constexpr double kFilter = 1e-4;    // the cubic filter as a convolution, the corrected warp

class Rewrites : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir;
    ASSERT_EQ(test::runFixture({"director", "--out", dir_->path(), "--crop", std::to_string(kCrop)}), 0);
  }
  static void TearDownTestSuite() { delete dir_; }
  static GsBytes load(const std::string& variant) { return test::readModel(*dir_ / ("director_" + variant + ".onnx")); }
  static inline test::TempDir* dir_ = nullptr;
};

GsGraphInfo graphOf(const GsBytes& b) {
  GsGraphInfo g;
  EXPECT_TRUE(gsReadGraph(b, g));
  return g;
}
const GsNodeInfo* nodeNamed(const GsGraphInfo& g, const std::string& name) {
  for (const auto& n : g.nodes)
    if (n.name == name) return &n;
  return nullptr;
}
int quillfinOpsets(const GsBytes& b) {
  int n = 0;
  GsReader r(b);
  for (GsField f; r.next(f);) n += f.number == 8 && gsFirstStr(f.payload, 1) == "com.quillfin";
  return n;
}
// The fields the rewrites do not know, written by the fixture, kept once each.
::testing::AssertionResult unknownFieldsKept(const GsBytes& b) {
  const std::string t(b.begin(), b.end());
  for (const char* s : {"a director of our own design", "lefix director: fields the rewrites do not know", "lefix /head/in"})
    if (test::countOf(t, s) != 1) return ::testing::AssertionFailure() << "'" << s << "' kept " << test::countOf(t, s) << " times";
  return ::testing::AssertionSuccess();
}

enum Rw { kFast, kBlend, kHead, kWarp, kLip };
size_t apply(Rw rw, GsBytes& m, std::string& reason) {
  switch (rw) {
    case kFast: return rewriteGridSampleToFast(m);
    case kBlend: return normaliseStudentBlend(m);
    case kHead: return rewriteHeadCubicResize(m);
    case kWarp: return rewriteWarpBlockToCustomOp(m, reason);
    default: return rewriteBindLipContour(m, reason, nullptr, nullptr);
  }
}

TEST_F(Rewrites, EachRewriteOnEachVariantAppliesOrRefusesWholly) {
  const std::string notOne = "not one Concat consuming P_rgb", notBilinear = "the fused GridSample is not bilinear/border/align_corners=0",
                    noTail = "the graph does not carry the unified compose tail";
  const std::tuple<const char*, Rw, size_t, std::string, double> cases[] = {
      {"plain", kFast, 1, "", kRoundOff}, {"featsynth", kFast, 1, "", kRoundOff}, {"nearest", kFast, 0, "", 0},
      {"zeros", kFast, 0, "", 0}, {"align1", kFast, 0, "", 0}, {"baked", kFast, 0, "", 0},
      {"plain", kBlend, 1, "", kRoundOff}, {"no_blend", kBlend, 0, "", 0}, {"blend_attr", kBlend, 0, "", 0},
      {"plain", kHead, 1, "", kFilter}, {"two_cubic", kHead, 0, "", 0}, {"shared_up", kHead, 0, "", 0},
      {"scales_off", kHead, 0, "", 0}, {"k_mismatch", kHead, 0, "", 0}, {"no_cubic", kHead, 0, "", 0},
      // Pad, three Convs and Concat; the GridSample; four Slices; six recombination nodes.
      {"plain", kWarp, 16, "", kFilter}, {"baked", kWarp, 16, "", kFilter}, {"two_concats", kWarp, 0, notOne, 0},
      {"no_cone", kWarp, 0, notOne, 0}, {"featsynth", kWarp, 0, notOne, 0},
      {"two_tip_gs", kWarp, 0, "two GridSamples on the cone's tip", 0}, {"nearest", kWarp, 0, notBilinear, 0},
      {"zeros", kWarp, 0, notBilinear, 0}, {"align1", kWarp, 0, notBilinear, 0},
      {"extra_exit", kWarp, 0, "the recombination has 2 exits, not 1", 0},
      {"escape", kWarp, 0, "cone value 'cone/dyy' escapes to /cone/escaped", 0},
      {"cone_reads_pooled", kWarp, 0, "cone reads graph input 'pooled64'", 0},
      {"debug", kLip, 1, "", 1e-6}, {"named_batch", kLip, 1, "", 1e-6},
      {"lip_delivery", kLip, 0, "the graph already carries an input named lip_delivery", 0},
      {"no_compose", kLip, 0, noTail, 0}, {"alpha_sigmoid", kLip, 0, noTail, 0},
      {"featsynth", kLip, 0, "cannot read the compose canvas off the graph", 0}};
  for (const auto& [variant, rw, count, why, tol] : cases) {
    SCOPED_TRACE(std::string(variant) + " rewrite " + std::to_string(rw));
    const GsBytes orig = load(variant);
    GsBytes m = orig;
    std::string reason;
    ASSERT_EQ(apply(rw, m, reason), count);
    EXPECT_EQ(reason, why);
    if (count == 0) {
      EXPECT_EQ(m, orig);
      continue;
    }
    EXPECT_EQ(orderProblem(m), "");
    EXPECT_TRUE(unknownFieldsKept(m));
    EXPECT_EQ(quillfinOpsets(m), rw == kFast || rw == kWarp ? 1 : quillfinOpsets(orig));
    GsBytes again = m;
    EXPECT_EQ(apply(rw, again, reason), 0u);  // a second pass finds nothing more
    Feeds feeds(uint32_t(11 + rw));
    const auto want = runModel(orig, feeds);
    feeds.set("lip_delivery", {1, 1, kCrop, kCrop}, std::vector<float>(size_t(kCrop) * kCrop, 1.f));  // ones: no bound
    const auto got = runModel(m, feeds);
    for (const auto& [name, t] : want) EXPECT_LT(maxRelError(got.at(name).second, t.second), tol) << name;
  }
}

TEST_F(Rewrites, WhatEachRewriteBuilds) {
  GsBytes fast = load("plain"), blend = fast, head = fast, warp = fast, lip = load("debug");
  std::string reason;
  ASSERT_EQ(rewriteGridSampleToFast(fast), 1u);
  EXPECT_TRUE(graphHasBakedGridSampleFast(fast) && graphHasBakedGridSampleFast(load("baked")) && !graphHasBakedGridSampleFast(load("plain")));
  const GsGraphInfo gf = graphOf(fast);
  EXPECT_EQ(std::make_pair(nodeNamed(gf, "/warp/gs")->opType, nodeNamed(gf, "/warp/gs")->inputs.size()),
            std::make_pair(std::string("GridSampleFast"), size_t(2)));  // name, inputs and output kept
  ASSERT_EQ(normaliseStudentBlend(blend), 1u);
  EXPECT_EQ(nodeNamed(graphOf(blend), "/s2/blend")->opType, "Gemm");
  // The cubic Resize becomes Pad, depthwise Conv and DepthToSpace in its place.
  const GsGraphInfo g0 = graphOf(head);
  const size_t at = size_t(nodeNamed(g0, "/head/up") - g0.nodes.data());
  ASSERT_EQ(rewriteHeadCubicResize(head), 1u);
  const GsGraphInfo gh = graphOf(head);
  const std::string tag = "rz" + std::to_string(at);
  EXPECT_EQ((std::vector<std::string>{gh.nodes[at].name, gh.nodes[at + 1].name, gh.nodes[at + 2].name}),
            (std::vector<std::string>{"/head/up/pad", "/head/up/dwconv", "/head/up/d2s"}));
  EXPECT_EQ(std::make_tuple(gh.nodes[at].outputs[0], gh.nodes[at + 1].inputs[1], gh.nodes[at + 2].outputs[0]),
            std::make_tuple(tag + "_padout", tag + "_dw_w", std::string("head/h4")));
  std::vector<int64_t> dims;
  hcTensorDims(gh.initializers.at(tag + "_dw_w"), dims);
  EXPECT_EQ(dims, (std::vector<int64_t>{32, 1, 5, 5}));  // 4 phases x 8 channels
  // The scales constant only the Resize read goes with it (onnxruntime would warn it removes it).
  EXPECT_TRUE(gh.isInitializer(tag + "_pads") && !gh.isInitializer("head/x2") && !nodeNamed(gh, "/head/up"));
  // The warp block: one WarpDirector from P_rgb and the grid to the exit.
  WarpBlock wb;
  ASSERT_TRUE(findWarpBlock(warp, &wb, reason)) << reason;
  EXPECT_EQ(std::make_tuple(wb.boundary, wb.grid, wb.exit), std::make_tuple(std::string("cone/tip"), std::string("motion/grid"), std::string("rec/out")));
  EXPECT_FALSE(findWarpBlock(warp, nullptr, reason));
  EXPECT_EQ(reason, "no out param");
  ASSERT_EQ(rewriteWarpBlockToCustomOp(warp, reason), 16u);
  const GsGraphInfo gw = graphOf(warp);
  const GsNodeInfo* wd = nodeNamed(gw, "le_warp_director");
  ASSERT_NE(wd, nullptr);
  EXPECT_EQ(std::make_tuple(wd->opType, wd->domain, wd->inputs, wd->outputs),
            std::make_tuple(std::string("WarpDirector"), std::string("com.quillfin"), std::vector<std::string>{"P_rgb", "motion/grid"},
                            std::vector<std::string>{"rec/out"}));
  EXPECT_EQ(test::countOf(std::string(warp.begin(), warp.end()), "cone/dxx"), 0);  // its value_info went with it
  EXPECT_NE(nodeNamed(gw, "/ab/AB"), nullptr);  // fed only the recombination: stays
  EXPECT_EQ(rewriteGridSampleToFast(warp), 0u);  // the warp node took the only GridSample
  EXPECT_EQ(normaliseStudentBlend(warp) + rewriteHeadCubicResize(warp), 2u);
  // The lip binding: a new input bounds the compose alpha right after its producer.
  int canvas = 0, batch = -1;
  ASSERT_EQ(rewriteBindLipContour(lip, reason, &canvas, &batch), 1u);
  EXPECT_EQ(std::make_pair(canvas, batch), std::make_pair(kCrop, 1));
  ASSERT_TRUE(ldInputDims(gsGraphOf(lip), "lip_delivery", dims));
  EXPECT_EQ(dims, (std::vector<int64_t>{1, 1, kCrop, kCrop}));
  const GsGraphInfo gl = graphOf(lip);
  const GsNodeInfo* mn = nodeNamed(gl, "tessera_lipdel_min");
  ASSERT_NE(mn, nullptr);
  EXPECT_EQ(mn->inputs, (std::vector<std::string>{"mix/alpha", "lip_delivery"}));
  EXPECT_EQ(mn - 1, nodeNamed(gl, "/mix/alpha"));
  EXPECT_EQ(std::make_pair(nodeNamed(gl, "/mix/ga")->inputs[0], nodeNamed(gl, "/mix/na")->inputs[1]),
            std::make_pair(std::string("tessera_lipdel_alpha"), std::string("tessera_lipdel_alpha")));
  // Zeros close the alpha: only the warped source is left.
  Feeds feeds(16);
  const auto want = runModel(load("debug"), feeds);
  feeds.set("lip_delivery", {1, 1, kCrop, kCrop}, std::vector<float>(size_t(kCrop) * kCrop, 0.f));
  const auto zeros = runModel(lip, feeds);
  EXPECT_GT(maxRelError(zeros.at("rgb").second, want.at("rgb").second), 1e-2);
  EXPECT_LT(maxRelError(zeros.at("rgb").second, want.at("warped").second), 1e-6);
  GsBytes named = load("named_batch");
  ASSERT_EQ(rewriteBindLipContour(named, reason, &canvas, &batch), 1u);
  ASSERT_TRUE(ldInputDims(gsGraphOf(named), "lip_delivery", dims));
  EXPECT_EQ(std::make_pair(batch, dims), std::make_pair(0, std::vector<int64_t>{-1, 1, kCrop, kCrop}));  // stays named
  // Every rewrite together, in the renderer's order, on two threads.
  ASSERT_EQ(rewriteBindLipContour(warp, reason, &canvas, nullptr), 1u);
  Feeds all(17);
  const auto plain = runModel(load("plain"), all);
  all.set("lip_delivery", {1, 1, kCrop, kCrop}, std::vector<float>(size_t(kCrop) * kCrop, 1.f));
  EXPECT_LT(maxRelError(runModel(warp, all, 2).at("rgb").second, plain.at("rgb").second), kFilter);
}

// The plain director's cubic Resize with one more attribute: {attribute,
// rewritten}. Only the values a convolution computes alike are rewritten.
TEST_F(Rewrites, HeadResizeOfAnyOtherKindIsLeftAlone) {
  const GsBytes plain = load("plain");
  const int64_t axes[] = {2, 3};
  const std::pair<std::function<void(GsBytes&)>, size_t> cases[] = {
      {[](GsBytes& a) { hcAttrI(a, "exclude_outside", 0), hcAttrI(a, "antialias", 0); }, 1},
      {[](GsBytes& a) { hcAttrS(a, "keep_aspect_ratio_policy", "stretch"); }, 1},
      {[](GsBytes& a) { hcAttrI(a, "exclude_outside", 1); }, 0}, {[](GsBytes& a) { hcAttrI(a, "antialias", 1); }, 0},
      {[](GsBytes& a) { hcAttrS(a, "keep_aspect_ratio_policy", "not_larger"); }, 0},
      {[&](GsBytes& a) { hcAttrIs(a, "axes", axes, 2); }, 0}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& [add, applied] = cases[i];
    GsBytes graph, m;
    GsReader r(gsGraphOf(plain));
    for (GsField f; r.next(f);) {
      GsBytes node(f.payload.p, f.payload.p + f.payload.n);
      if (f.number == 1 && gsFirstStr(f.payload, 3) == "/head/up") add(node), gsPutBytes(graph, 1, node.data(), node.size());
      else gsPutRaw(graph, f.raw);
    }
    rwReplaceGraph(plain, graph, false, m);
    EXPECT_EQ(rewriteHeadCubicResize(m), applied) << "row " << i;
  }
}

TEST_F(Rewrites, HoistedPrepAndPerFrameGraphsChainToTheOriginal) {
  const GsBytes orig = load("plain");
  std::string boundary, reason;
  ASSERT_EQ(findSourceConeBoundary(orig, boundary), 1u);
  EXPECT_EQ(boundary, "cone/tip");
  GsBytes prep, perFrame;
  ASSERT_TRUE(buildSourceConePrep(orig, boundary, prep, reason)) << reason;
  const GsGraphInfo pg = graphOf(prep);
  EXPECT_EQ(std::make_tuple(orderProblem(prep), pg.inputs, pg.outputs, pg.nodes.size()),
            std::make_tuple(std::string(), std::unordered_set<std::string>{"P_rgb"}, std::vector<std::string>{boundary}, size_t(5)));
  Feeds feeds(15);
  const auto want = runModel(orig, feeds);
  const auto tip = runModel(prep, feeds).at(boundary);
  EXPECT_EQ(tip.first, (std::vector<int64_t>{1, 12, kCrop, kCrop}));
  EXPECT_FALSE(buildSourceConePerFrame(orig, boundary, nullptr, 0, perFrame, reason));
  EXPECT_EQ(reason, "no boundary shape");
  ASSERT_TRUE(buildSourceConePerFrame(orig, boundary, tip.first.data(), 4, perFrame, reason)) << reason;
  const GsGraphInfo fg = graphOf(perFrame);
  std::vector<int64_t> dims;
  ASSERT_TRUE(ldInputDims(gsGraphOf(perFrame), boundary, dims));
  EXPECT_EQ(std::make_tuple(orderProblem(perFrame), fg.inputs.count("P_rgb"), fg.nodes.size(), dims),
            std::make_tuple(std::string(), size_t(0), graphOf(orig).nodes.size() - 5, tip.first));
  EXPECT_TRUE(unknownFieldsKept(perFrame));
  feeds.set(boundary, tip.first, tip.second);
  EXPECT_LT(maxRelError(runModel(perFrame, feeds).at("rgb").second, want.at("rgb").second), 1e-6);
  // Refusals leave the output alone.
  EXPECT_EQ(findSourceConeBoundary(load("two_concats"), boundary) + 10 * findSourceConeBoundary(load("featsynth"), boundary), 2u);
  const int64_t tipDims[4] = {1, 12, kCrop, kCrop};
  const std::tuple<const char*, const char*, std::string> refusals[] = {
      {"cone_reads_pooled", "cone/tip", "cone reads graph input 'pooled64'"},
      {"escape", "cone/tip", "cone value 'cone/dyy' escapes to /cone/escaped"}, {"featsynth", "cone/tip", "no P_rgb input"},
      {"plain", "cone/nowhere", "cone leaf 'cone/nowhere' has no producer"}};
  for (const auto& [v, leaf, why] : refusals) {
    GsBytes out{1, 2, 3};
    EXPECT_FALSE(buildSourceConePrep(load(v), leaf, out, reason)) << v;
    EXPECT_EQ(reason, why);
    if (std::string(v) != "featsynth" && std::string(leaf) == "cone/tip") {
      EXPECT_FALSE(buildSourceConePerFrame(load(v), leaf, tipDims, 4, out, reason)) << v;
      EXPECT_EQ(reason, why);
    }
    EXPECT_EQ(out, (GsBytes{1, 2, 3}));
  }
}

}  // namespace
}  // namespace le
