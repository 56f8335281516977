// The load-time rewrites on fixture directors written by lefix: each variant
// that breaks a pattern is refused with its reason and left byte for byte,
// each rewrite that applies keeps the graph ordered and its unknown fields,
// and onnxruntime computes the same frame from the original and the
// rewritten graph on random inputs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "le/render/rewrites.h"
#include "render/rewrite_runner.h"
#include "render/warp_reference.h"
#include "testkit/testkit.h"

namespace {

using le::GsBytes;
using le::test::Feeds;
using le::test::maxRelError;
using le::test::orderProblem;
using le::test::runModel;

constexpr int kCrop = 32;
// Operators swapped for equivalent ones: the same arithmetic, other order.
constexpr double kRoundOff = 2e-5;
// The cubic filter as a convolution, and the corrected warp: 1e-4 relative.
constexpr double kFilterTolerance = 1e-4;

class Rewrites : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new le::test::TempDir;
    ASSERT_EQ(le::test::runFixture({"director", "--out", dir_->path(), "--crop", std::to_string(kCrop)}), 0);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static GsBytes load(const std::string& variant) {
    const std::string s = le::test::readFile(*dir_ / ("director_" + variant + ".onnx"));
    return GsBytes(s.begin(), s.end());
  }
  static le::test::TempDir* dir_;
};
le::test::TempDir* Rewrites::dir_ = nullptr;

std::string text(const GsBytes& b) { return std::string(b.begin(), b.end()); }

le::GsGraphInfo graphOf(const GsBytes& b) {
  le::GsGraphInfo g;
  EXPECT_TRUE(le::gsReadGraph(b, g));
  return g;
}

size_t countOp(const GsBytes& b, const std::string& op, const std::string& domain = "") {
  size_t n = 0;
  for (const auto& node : graphOf(b).nodes) n += node.opType == op && node.domain == domain;
  return n;
}

const le::GsNodeInfo* nodeNamed(const le::GsGraphInfo& g, const std::string& name) {
  for (const auto& n : g.nodes)
    if (n.name == name) return &n;
  return nullptr;
}

// The fields the rewrites do not know, written by the fixture.
void expectUnknownFieldsKept(const GsBytes& b) {
  const std::string t = text(b);
  EXPECT_EQ(le::test::countOf(t, "a director of our own design"), 1);
  EXPECT_EQ(le::test::countOf(t, "lefix director: fields the rewrites do not know"), 1);
  EXPECT_EQ(le::test::countOf(t, "lefix /head/in"), 1);  // a node's doc_string
  EXPECT_NE(t.find("lefix"), std::string::npos);
}

size_t quillfinOpsets(const GsBytes& b) {
  size_t n = 0;
  le::GsReader r(b);
  le::GsField f;
  while (r.next(f)) n += f.number == 8 && le::gsFirstStr(f.payload, 1) == "com.quillfin";
  return n;
}

void expectSame(const GsBytes& a, const GsBytes& b, double tol, uint32_t seed, const char* what) {
  Feeds feeds(seed);
  const auto x = runModel(a, feeds), y = runModel(b, feeds);
  ASSERT_EQ(x.size(), y.size()) << what;
  for (const auto& [name, t] : x) {
    ASSERT_TRUE(y.count(name)) << what << ": " << name;
    EXPECT_EQ(t.first, y.at(name).first) << what << ": " << name;
    EXPECT_LT(maxRelError(y.at(name).second, t.second), tol) << what << ": " << name;
  }
}

// ---- GridSample -> GridSampleFast -------------------------------------------

TEST_F(Rewrites, GridSampleBecomesFastAndComputesTheSame) {
  for (const char* v : {"plain", "featsynth"}) {
    const GsBytes orig = load(v);
    GsBytes m = orig;
    ASSERT_EQ(le::rewriteGridSampleToFast(m), 1u) << v;
    EXPECT_EQ(countOp(m, "GridSample"), 0u);
    EXPECT_EQ(countOp(m, "GridSampleFast", "com.quillfin"), 1u);
    EXPECT_EQ(quillfinOpsets(m), 1u);
    EXPECT_TRUE(le::graphHasBakedGridSampleFast(m));
    EXPECT_FALSE(le::graphHasBakedGridSampleFast(orig));
    EXPECT_EQ(orderProblem(m), "");
    expectUnknownFieldsKept(m);
    // The rewritten node keeps its name, inputs and output, nothing else.
    const auto g = graphOf(m);  // keep the graph alive while its node is read
    const auto* gs = nodeNamed(g, "/warp/gs");
    ASSERT_NE(gs, nullptr);
    EXPECT_EQ(gs->inputs.size(), 2u);
    GsBytes again = m;
    EXPECT_EQ(le::rewriteGridSampleToFast(again), 0u);
    EXPECT_EQ(again, m);
    expectSame(orig, m, kRoundOff, 11, v);
  }
}

TEST_F(Rewrites, GridSampleOtherThanBilinearBorderStaysStandard) {
  for (const char* v : {"nearest", "zeros", "align1"}) {
    GsBytes m = load(v);
    EXPECT_EQ(le::rewriteGridSampleToFast(m), 0u) << v;
    EXPECT_EQ(m, load(v)) << v;
  }
  EXPECT_TRUE(le::graphHasBakedGridSampleFast(load("baked")));
  GsBytes baked = load("baked");
  EXPECT_EQ(le::rewriteGridSampleToFast(baked), 0u);
  EXPECT_EQ(baked, load("baked"));
}

// ---- student blend -----------------------------------------------------------

TEST_F(Rewrites, StudentBlendBecomesGemm) {
  const GsBytes orig = load("plain");
  GsBytes m = orig;
  ASSERT_EQ(le::normaliseStudentBlend(m), 1u);
  const auto g = graphOf(m);
  const auto* blend = nodeNamed(g, "/s2/blend");
  ASSERT_NE(blend, nullptr);
  EXPECT_EQ(blend->opType, "Gemm");
  EXPECT_EQ(countOp(m, "MatMul"), countOp(orig, "MatMul") - 1);
  EXPECT_EQ(quillfinOpsets(m), 0u);
  EXPECT_EQ(orderProblem(m), "");
  expectUnknownFieldsKept(m);
  expectSame(orig, m, kRoundOff, 12, "blend");
  for (const char* v : {"no_blend", "blend_attr"}) {
    GsBytes b = load(v);
    EXPECT_EQ(le::normaliseStudentBlend(b), 0u) << v;
    EXPECT_EQ(b, load(v)) << v;
  }
}

// ---- head cubic resize ---------------------------------------------------------

TEST_F(Rewrites, HeadCubicBecomesPadConvDepthToSpace) {
  const GsBytes orig = load("plain");
  GsBytes m = orig;
  ASSERT_EQ(le::rewriteHeadCubicResize(m), 1u);
  const auto g0 = graphOf(orig);
  size_t at = 0;
  while (g0.nodes[at].name != "/head/up") ++at;
  const std::string tag = "rz" + std::to_string(at);
  const auto g = graphOf(m);
  EXPECT_EQ(nodeNamed(g, "/head/up"), nullptr);
  const auto* pad = nodeNamed(g, "/head/up/pad");
  const auto* conv = nodeNamed(g, "/head/up/dwconv");
  const auto* d2s = nodeNamed(g, "/head/up/d2s");
  ASSERT_TRUE(pad && conv && d2s);
  // In place of the Resize, in this order.
  EXPECT_EQ(pad, &g.nodes[at]);
  EXPECT_EQ(conv, &g.nodes[at + 1]);
  EXPECT_EQ(d2s, &g.nodes[at + 2]);
  EXPECT_EQ(pad->outputs[0], tag + "_padout");
  EXPECT_EQ(conv->inputs[1], tag + "_dw_w");
  EXPECT_EQ(d2s->outputs[0], "head/h4");
  std::vector<int64_t> dims;
  le::hcTensorDims(g.initializers.at(tag + "_dw_w"), dims);
  EXPECT_EQ(dims, (std::vector<int64_t>{32, 1, 5, 5}));  // 4 x 8 channels
  EXPECT_TRUE(g.isInitializer(tag + "_pads"));
  // The scales constant only the Resize read goes with it: onnxruntime would
  // otherwise warn that it removes it.
  EXPECT_FALSE(g.isInitializer("head/x2"));
  EXPECT_EQ(orderProblem(m), "");
  expectUnknownFieldsKept(m);
  expectSame(orig, m, kFilterTolerance, 13, "head");
}

TEST_F(Rewrites, HeadCubicRefusals) {
  for (const char* v : {"two_cubic", "scales_off", "k_mismatch", "no_cubic"}) {
    GsBytes m = load(v);
    EXPECT_EQ(le::rewriteHeadCubicResize(m), 0u) << v;
    EXPECT_EQ(m, load(v)) << v;
  }
}

// ---- warp block -----------------------------------------------------------------

TEST_F(Rewrites, WarpBlockBecomesOneWarpDirector) {
  for (const char* v : {"plain", "baked"}) {
    const GsBytes orig = load(v);
    le::WarpBlock wb;
    std::string reason;
    ASSERT_TRUE(le::findWarpBlock(orig, &wb, reason)) << reason;
    EXPECT_EQ(wb.boundary, "cone/tip");
    EXPECT_EQ(wb.grid, "motion/grid");
    EXPECT_EQ(wb.exit, "rec/out");
    GsBytes m = orig;
    // Pad, three Convs, Concat; GridSample; four Slices; six recombination nodes.
    ASSERT_EQ(le::rewriteWarpBlockToCustomOp(m, reason), 16u) << reason;
    const auto g = graphOf(m);
    const auto* wd = nodeNamed(g, "le_warp_director");
    ASSERT_NE(wd, nullptr);
    EXPECT_EQ(wd->opType, "WarpDirector");
    EXPECT_EQ(wd->domain, "com.quillfin");
    EXPECT_EQ(wd->inputs, (std::vector<std::string>{"P_rgb", "motion/grid"}));
    EXPECT_EQ(wd->outputs, (std::vector<std::string>{"rec/out"}));
    EXPECT_EQ(quillfinOpsets(m), 1u);
    EXPECT_EQ(le::test::countOf(text(m), "cone/dxx"), 0);  // its value_info went with it
    EXPECT_NE(nodeNamed(g, "/ab/AB"), nullptr);          // only fed the recombination: stays
    EXPECT_EQ(orderProblem(m), "");
    expectUnknownFieldsKept(m);
    expectSame(orig, m, kFilterTolerance, 14, v);
  }
}

TEST_F(Rewrites, WarpBlockRefusals) {
  const std::pair<const char*, std::string> cases[] = {
      {"two_concats", "not one Concat consuming P_rgb"},
      {"no_cone", "not one Concat consuming P_rgb"},
      {"featsynth", "not one Concat consuming P_rgb"},
      {"two_tip_gs", "two GridSamples on the cone's tip"},
      {"nearest", "the fused GridSample is not bilinear/border/align_corners=0"},
      {"zeros", "the fused GridSample is not bilinear/border/align_corners=0"},
      {"align1", "the fused GridSample is not bilinear/border/align_corners=0"},
      {"extra_exit", "the recombination has 2 exits, not 1"},
      {"escape", "cone value 'cone/dyy' escapes to /cone/escaped"},
      {"cone_reads_pooled", "cone reads graph input 'pooled64'"},
  };
  for (const auto& [v, want] : cases) {
    GsBytes m = load(v);
    std::string reason;
    le::WarpBlock wb;
    EXPECT_FALSE(le::findWarpBlock(m, &wb, reason)) << v;
    EXPECT_EQ(reason, want) << v;
    reason.clear();
    EXPECT_EQ(le::rewriteWarpBlockToCustomOp(m, reason), 0u) << v;
    EXPECT_EQ(reason, want) << v;
    EXPECT_EQ(m, load(v)) << v;
  }
  std::string reason;
  EXPECT_FALSE(le::findWarpBlock(load("plain"), nullptr, reason));
  EXPECT_EQ(reason, "no out param");
}

// ---- source-cone hoist ------------------------------------------------------------

TEST_F(Rewrites, HoistedPrepAndPerFrameGraphsChainToTheOriginal) {
  const GsBytes orig = load("plain");
  std::string boundary, reason;
  ASSERT_EQ(le::findSourceConeBoundary(orig, boundary), 1u);
  EXPECT_EQ(boundary, "cone/tip");
  GsBytes prep, perFrame;
  ASSERT_TRUE(le::buildSourceConePrep(orig, boundary, prep, reason)) << reason;
  EXPECT_EQ(orderProblem(prep), "");
  const auto pg = graphOf(prep);
  EXPECT_EQ(pg.inputs, (std::unordered_set<std::string>{"P_rgb"}));
  EXPECT_EQ(pg.outputs, (std::vector<std::string>{boundary}));
  EXPECT_EQ(pg.nodes.size(), 5u);
  EXPECT_NE(le::test::countOf(text(prep), "le_hoist_d3"), 0);

  Feeds feeds(15);
  const auto want = runModel(orig, feeds);
  const auto tip = runModel(prep, feeds).at(boundary);
  EXPECT_EQ(tip.first, (std::vector<int64_t>{1, 12, kCrop, kCrop}));
  ASSERT_TRUE(le::buildSourceConePerFrame(orig, boundary, tip.first.data(), 4, perFrame, reason)) << reason;
  EXPECT_EQ(orderProblem(perFrame), "");
  const auto fg = graphOf(perFrame);
  EXPECT_FALSE(fg.inputs.count("P_rgb"));
  EXPECT_TRUE(fg.inputs.count(boundary));
  EXPECT_EQ(fg.nodes.size(), graphOf(orig).nodes.size() - 5);
  std::vector<int64_t> dims;
  ASSERT_TRUE(le::ldInputDims(le::gsGraphOf(perFrame), boundary, dims));
  EXPECT_EQ(dims, tip.first);
  expectUnknownFieldsKept(perFrame);
  feeds.set(boundary, tip.first, tip.second);
  const auto got = runModel(perFrame, feeds);
  EXPECT_LT(maxRelError(got.at("rgb").second, want.at("rgb").second), 1e-6);
}

TEST_F(Rewrites, HoistRefusals) {
  std::string boundary, reason;
  EXPECT_EQ(le::findSourceConeBoundary(load("two_concats"), boundary), 2u);
  EXPECT_EQ(le::findSourceConeBoundary(load("featsynth"), boundary), 0u);
  const std::pair<const char*, std::string> cases[] = {
      {"cone_reads_pooled", "cone reads graph input 'pooled64'"},
      {"escape", "cone value 'cone/dyy' escapes to /cone/escaped"},
  };
  for (const auto& [v, want] : cases) {
    const GsBytes m = load(v);
    ASSERT_EQ(le::findSourceConeBoundary(m, boundary), 1u) << v;
    GsBytes out{1, 2, 3};
    const int64_t dims[4] = {1, 12, kCrop, kCrop};
    EXPECT_FALSE(le::buildSourceConePrep(m, boundary, out, reason)) << v;
    EXPECT_EQ(reason, want);
    reason.clear();
    EXPECT_FALSE(le::buildSourceConePerFrame(m, boundary, dims, 4, out, reason)) << v;
    EXPECT_EQ(reason, want);
    EXPECT_EQ(out, (GsBytes{1, 2, 3}));
  }
  GsBytes out;
  EXPECT_FALSE(le::buildSourceConePrep(load("featsynth"), "cone/tip", out, reason));
  EXPECT_EQ(reason, "no P_rgb input");
  EXPECT_FALSE(le::buildSourceConePrep(load("plain"), "cone/nowhere", out, reason));
  EXPECT_EQ(reason, "cone leaf 'cone/nowhere' has no producer");
}

// ---- lip contour binding -------------------------------------------------------------

TEST_F(Rewrites, LipBindingBoundsTheAlphaByTheNewInput) {
  const GsBytes orig = load("debug");
  GsBytes m = orig;
  std::string reason;
  int canvas = 0, batch = -1;
  ASSERT_EQ(le::rewriteBindLipContour(m, reason, &canvas, &batch), 1u) << reason;
  EXPECT_EQ(canvas, kCrop);
  EXPECT_EQ(batch, 1);
  std::vector<int64_t> dims;
  ASSERT_TRUE(le::ldInputDims(le::gsGraphOf(m), "lip_delivery", dims));
  EXPECT_EQ(dims, (std::vector<int64_t>{1, 1, kCrop, kCrop}));
  const auto g = graphOf(m);
  const auto* mn = nodeNamed(g, "tessera_lipdel_min");
  ASSERT_NE(mn, nullptr);
  EXPECT_EQ(mn->inputs, (std::vector<std::string>{"mix/alpha", "lip_delivery"}));
  EXPECT_EQ(mn - 1, nodeNamed(g, "/mix/alpha"));  // right after the alpha's producer
  EXPECT_EQ(nodeNamed(g, "/mix/ga")->inputs[0], "tessera_lipdel_alpha");
  EXPECT_EQ(nodeNamed(g, "/mix/na")->inputs[1], "tessera_lipdel_alpha");
  EXPECT_EQ(orderProblem(m), "");
  expectUnknownFieldsKept(m);

  Feeds feeds(16);
  const auto want = runModel(orig, feeds);
  const size_t plane = size_t(kCrop) * kCrop;
  feeds.set("lip_delivery", {1, 1, kCrop, kCrop}, std::vector<float>(plane, 1.f));
  const auto ones = runModel(m, feeds);
  EXPECT_LT(maxRelError(ones.at("rgb").second, want.at("rgb").second), 1e-6);
  // The fixture's alpha covers part of the crop, so zeros change the frame:
  // the alpha reads 0 and only the warped source is left.
  feeds.set("lip_delivery", {1, 1, kCrop, kCrop}, std::vector<float>(plane, 0.f));
  const auto zeros = runModel(m, feeds);
  EXPECT_GT(maxRelError(zeros.at("rgb").second, want.at("rgb").second), 1e-2);
  EXPECT_LT(maxRelError(zeros.at("rgb").second, want.at("warped").second), 1e-6);
  EXPECT_LT(maxRelError(zeros.at("mix/alpha").second, want.at("mix/alpha").second), 1e-6);
}

TEST_F(Rewrites, LipBindingWithANamedBatchKeepsItNamed) {
  GsBytes m = load("named_batch");
  std::string reason;
  int canvas = 0, batch = -1;
  ASSERT_EQ(le::rewriteBindLipContour(m, reason, &canvas, &batch), 1u) << reason;
  EXPECT_EQ(batch, 0);
  std::vector<int64_t> dims;
  ASSERT_TRUE(le::ldInputDims(le::gsGraphOf(m), "lip_delivery", dims));
  EXPECT_EQ(dims, (std::vector<int64_t>{-1, 1, kCrop, kCrop}));
}

TEST_F(Rewrites, LipBindingRefusals) {
  const std::pair<const char*, std::string> cases[] = {
      {"lip_delivery", "the graph already carries an input named lip_delivery"},
      {"no_compose", "the graph does not carry the unified compose tail"},
      {"alpha_sigmoid", "the graph does not carry the unified compose tail"},
      {"featsynth", "cannot read the compose canvas off the graph"},
  };
  for (const auto& [v, want] : cases) {
    GsBytes m = load(v);
    std::string reason;
    int canvas = -7;
    EXPECT_EQ(le::rewriteBindLipContour(m, reason, &canvas, nullptr), 0u) << v;
    EXPECT_EQ(reason, want) << v;
    EXPECT_EQ(canvas, -7);
    EXPECT_EQ(m, load(v)) << v;
  }
}

// ---- together, in the renderer's order -------------------------------------------------

TEST_F(Rewrites, AllRewritesTogetherComputeTheSameFrame) {
  const GsBytes orig = load("plain");
  GsBytes m = orig;
  std::string reason;
  EXPECT_EQ(le::rewriteWarpBlockToCustomOp(m, reason), 16u) << reason;
  EXPECT_EQ(le::rewriteGridSampleToFast(m), 0u);  // the warp node took the only one
  EXPECT_EQ(le::normaliseStudentBlend(m), 1u);
  EXPECT_EQ(le::rewriteHeadCubicResize(m), 1u);
  int canvas = 0;
  EXPECT_EQ(le::rewriteBindLipContour(m, reason, &canvas, nullptr), 1u) << reason;
  EXPECT_EQ(quillfinOpsets(m), 1u);
  EXPECT_EQ(orderProblem(m), "");
  expectUnknownFieldsKept(m);
  Feeds feeds(17);
  const auto want = runModel(orig, feeds);
  feeds.set("lip_delivery", {1, 1, kCrop, kCrop}, std::vector<float>(size_t(kCrop) * kCrop, 1.f));
  EXPECT_LT(maxRelError(runModel(m, feeds, 2).at("rgb").second, want.at("rgb").second), kFilterTolerance);
}

// Whatever a rewrite does to any variant, it either changes nothing or leaves
// an ordered graph.
TEST_F(Rewrites, EveryRewriteOnEveryVariantIsAllOrNothing) {
  const char* variants[] = {"plain", "featsynth", "debug", "named_batch", "baked", "nearest", "zeros",
                            "align1", "two_concats", "escape", "cone_reads_pooled", "two_tip_gs",
                            "extra_exit", "raw_tail", "no_cone", "no_blend", "blend_attr", "no_cubic",
                            "two_cubic", "scales_off", "k_mismatch", "no_compose", "alpha_sigmoid",
                            "lip_delivery"};
  for (const char* v : variants) {
    const GsBytes orig = load(v);
    for (int which = 0; which < 5; ++which) {
      GsBytes m = orig;
      std::string reason;
      size_t n = 0;
      switch (which) {
        case 0: n = le::rewriteGridSampleToFast(m); break;
        case 1: n = le::normaliseStudentBlend(m); break;
        case 2: n = le::rewriteHeadCubicResize(m); break;
        case 3: n = le::rewriteWarpBlockToCustomOp(m, reason); break;
        default: n = le::rewriteBindLipContour(m, reason, nullptr, nullptr); break;
      }
      if (n == 0) {
        EXPECT_EQ(m, orig) << v << " rewrite " << which;
      } else {
        EXPECT_EQ(orderProblem(m), "") << v << " rewrite " << which;
        EXPECT_EQ(reason, "") << v << " rewrite " << which;
      }
    }
  }
}

}  // namespace
