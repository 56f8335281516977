// The fp16 engine against onnxruntime on the fixture m4b directors: the
// output and every stage, batches, threads, and the refusals of the loader.

#include <cstdlib>
#include <algorithm>

#include "le/render/conv_engine.h"
#include "render/m4b_fixture.h"

namespace le {
namespace {

using test::Diff;
using test::M4bFrames;

constexpr float kMaxTol = 2e-2f, kMeanTol = 2e-3f;

std::vector<float> renderAll(ConvBackend& e, const M4bFrames& in, int f0, int n) {
  const size_t per = 3 * static_cast<size_t>(in.crop) * in.crop;
  std::vector<float> out(per * static_cast<size_t>(n));
  const auto pooled = M4bFrames::ptrs(in.pooled), prior = M4bFrames::ptrs(in.prior);
  e.render(pooled.data() + f0, prior.data() + f0, in.ks.data() + f0 * 63, in.kd.data() + f0 * 63, n, out.data());
  return out;
}

// Crop 512 against onnxruntime's run of the same graph; crop 256 is
// EveryStageMatches', the frames of a batch RendererConv.APlayedPriorHasOneSlotPerFrame's.
TEST(ConvEngineOrt, Crop512Matches) {
  const std::string model = test::m4bModel("plain", 512, 1);
  M4bFrames in(512, 1, 9);
  auto e = ConvBackend::create(model, 2);
  const Diff d = test::diffOf(renderAll(*e, in, 0, 1).data(), test::ortRun(model, in).at("rgb").second.data(),
                              3 * 512 * 512);
  EXPECT_LE(d.max, kMaxTol);
  EXPECT_LE(d.mean, kMeanTol);
}

// Every dumped stage against the same tensor taken out of onnxruntime's run:
// a wiring fault shows at the first stage that differs. The output is kept in
// LE_CONV_REFERENCE when set: the emulated Arm targets compare their render
// with it.
TEST(ConvEngineOrt, EveryStageMatches) {
  const std::string stages[] = {"pre_relu",  "e0_relu", "e1_relu",    "e2_relu",    "d1_relu",    "d0_relu",    "ref_relu",
                                "mask_conv", "occ_sig", "grid_add",   "w64",        "basisimg",   "occ512",     "warped",
                                "corr0_relu", "corr1_relu", "corr2_conv", "refined", "tile2_relu", "tile3_conv"};
  test::TempDir dumps;
  const std::string model = test::m4bModel("plain", 256, 1, true);
  M4bFrames in(256, 1, test::kReferenceSeed);
  std::vector<float> got;
  {
    test::ScopedEnv env("LE_CONV_DUMP", dumps.path());
    auto e = ConvBackend::create(model, 2);
    got = renderAll(*e, in, 0, 1);
  }
  const test::Tensors ref = test::ortRun(model, in);
  for (const std::string& st : stages) {
    SCOPED_TRACE(st);
    const auto& [shape, r] = ref.at(st);
    const std::vector<float> dumped = test::readF32(dumps / (st + ".f32"));
    ASSERT_EQ(dumped.size(), r.size());
    // NCHW images are dumped channel-last; the grid and w64 as the graph holds them.
    const size_t c = st == "grid_add" || shape.size() != 4 ? 0 : size_t(shape[1]), hw = c ? r.size() / c : 0;
    std::vector<float> want = r;  // [c][h][w] as [h][w][c]
    for (size_t k = 0; k < c; ++k)
      for (size_t p = 0; p < hw; ++p) want[p * c + k] = r[k * hw + p];
    float mag = 0;
    for (float v : want) mag = std::max(mag, std::fabs(v));
    const Diff d = test::diffOf(dumped.data(), want.data(), want.size());
    EXPECT_LE(d.max, (st == "grid_add" ? 1e-3f : 1e-2f) * std::max(mag, 1.f));  // of the largest reference magnitude
  }
  const Diff d = test::diffOf(got.data(), ref.at("rgb").second.data(), got.size());
  EXPECT_LE(d.max, kMaxTol);
  EXPECT_LE(d.mean, kMeanTol);
  // Kept (with its model) for the emulated Arm targets (ConvEngineEmu).
  const char* keep = std::getenv("LE_CONV_REFERENCE");
  if (keep == nullptr || *keep == '\0') return;
  le::fs::mkdirs(keep);
  test::writeFile(std::string(keep) + "/model.onnx", test::readFile(model));
  test::writeF32(std::string(keep) + "/render.f32", got);
}

// Frames whole per worker, or one after another with rows split: the same
// arithmetic per value, so the same bits, whatever the thread count.
TEST(ConvEngineThreads, EveryThreadCountRendersTheSameBits) {
  const std::string model = test::m4bModel("plain", 256, 4);
  M4bFrames in(256, 4, 13);
  auto one = ConvBackend::create(model, 1), two = ConvBackend::create(model, 2), three = ConvBackend::create(model, 3);
  for (int n = 1; n <= 4; ++n) {
    const std::vector<float> ref = renderAll(*one, in, 0, n);
    EXPECT_EQ(renderAll(*two, in, 0, n), ref) << "2 threads, n " << n;
    EXPECT_EQ(renderAll(*three, in, 0, n), ref) << "3 threads, n " << n;
  }
  const auto pooled = M4bFrames::ptrs(in.pooled), prior = M4bFrames::ptrs(in.prior);
  std::vector<float> out(3 * 256 * 256 * 5);
  for (const int n : {0, -1, 5, 1 << 30})
    EXPECT_EQ(test::errorOf([&] { two->render(pooled.data(), prior.data(), in.ks.data(), in.kd.data(), n, out.data()); }),
              "le_conv: bad n")
        << n;
}

// Dumps hold frame 0 only; a dump that cannot be written is reported once
// and the render goes on.
TEST(ConvEngineRender, DumpsAreOfFrameZeroAndNeverFailTheRender) {
  const std::string model = test::m4bModel("plain", 256, 4);
  M4bFrames in(256, 4, 17);
  test::TempDir a, b;
  std::vector<float> first;
  {
    test::ScopedEnv env("LE_CONV_DUMP", a.path());
    auto e = ConvBackend::create(model, 2);
    first = renderAll(*e, in, 0, 4);
  }
  {
    // the same frame 0 alone: the same dump
    test::ScopedEnv env("LE_CONV_DUMP", b.path());
    auto e = ConvBackend::create(model, 1);
    renderAll(*e, in, 0, 1);
  }
  for (const char* stage : {"pre_relu", "grid_add", "w64", "warped", "tile3_conv"})
    EXPECT_EQ(test::readFile(a / (std::string(stage) + ".f32")), test::readFile(b / (std::string(stage) + ".f32")))
        << stage;

  test::ScopedEnv env("LE_CONV_DUMP", a / "no/such/dir");
  auto e = ConvBackend::create(model, 2);
  testing::internal::CaptureStderr();
  std::vector<float> got;
  EXPECT_NO_THROW(got = renderAll(*e, in, 0, 4));
  EXPECT_NO_THROW(renderAll(*e, in, 0, 2));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(test::countOf(log, "[le] le_conv: cannot write the dump "), 1) << log;
  EXPECT_EQ(test::countOf(log, " (reported once; rendering goes on)\n"), 1) << log;
  EXPECT_EQ(got, first);
}

// ---- the loader's refusals ----------------------------------------------------------

// model with only the graph fields keep(field) accepts, then `extra` appended.
GsBytes withGraphFields(const GsBytes& model, const std::function<bool(const GsField&)>& keep, const GsBytes& extra = {}) {
  GsBytes graph;
  GsReader r(gsGraphOf(model));
  for (GsField f; r.next(f);)
    if (keep(f)) gsPutRaw(graph, f.raw);
  graph.insert(graph.end(), extra.begin(), extra.end());
  GsBytes out;
  rwReplaceGraph(model, graph, false, out);
  return out;
}

GsBytes withoutInitializer(const GsBytes& model, const std::string& name) {
  return withGraphFields(model, [&](const GsField& f) { return f.number != 5 || gsFirstStr(f.payload, 8) != name; });
}

// Every occurrence of `from` replaced by `to` of the same length (a name in
// the initializer and in the nodes that read it).
GsBytes renamed(GsBytes model, const std::string& from, const std::string& to) {
  for (auto it = model.begin(); (it = std::search(it, model.end(), from.begin(), from.end())) != model.end();)
    it = std::copy(to.begin(), to.end(), it);
  return model;
}

std::string variant(const std::string& v) { return test::m4bModel(v, 256, 1); }

TEST(ConvEngineLoad, RefusalsNameTheirReason) {
  const std::string kTopo = "le_conv: this graph is not the fused m4b topology this kernel implements (";
  const std::string kUseOrt = ") — use ORT for it";
  const GsBytes plain = test::readModel(variant("plain"));
  test::TempDir t;
  const auto written = [&](const char* name, const GsBytes& b) {
    test::writeFile(t / name, std::string(b.begin(), b.end()));
    return t / name;
  };
  GsBytes stray;
  hcNode(stray, "Relu", {"warped"}, "stray", "/stray", {});
  const struct {
    const char* what;
    std::string path;
    std::string message;  // create's message; graphSupported is false
    bool exact = true;    // else: message is a part of the text
  } table[] = {
      {"no file", t / "absent.onnx", "le_conv: cannot open ", false},
      {"a directory", t.path(), " (not a regular file)", false},
      {"truncated", written("cut.onnx", GsBytes(plain.begin(), plain.end() - 9)), "onnx: truncated"},
      {"two bases", variant("two_basis"), kTopo + "basis (64,196608) absent or ambiguous" + kUseOrt},
      {"no pre bias", variant("no_pre_bias"), kTopo + "pre bias onnx::Conv_314 absent or not (96)" + kUseOrt},
      {"a shape off", variant("shape_off"), kTopo + "s.e1.conv.weight is (144,96,3,1), not (144,96,3,3)" + kUseOrt},
      {"dynamic batch", variant("dynamic_batch"), kTopo + "pooled64 batch is not static" + kUseOrt},
      {"batch 65", test::m4bModel("plain", 256, 65), kTopo + "pooled64 batch 65 is above 64" + kUseOrt},
      {"concat swapped", variant("concat_swapped"), ": input 0 comes from Relu node /Relu_", false},
      {"bilinear for nearest", variant("bilinear_up"), ": attribute mode is \"linear\", expected \"nearest\"" + kUseOrt,
       false},
      {"missing fixed", written("m.onnx", withoutInitializer(plain, "s.occ.bias")), kTopo + "missing s.occ.bias" + kUseOrt},
      {"no pre weight", written("p.onnx", withoutInitializer(plain, "onnx::Conv_313")),
       kTopo + "pre weight (96,85,1,1) absent or ambiguous" + kUseOrt},
      {"no counter", written("c.onnx", renamed(plain, "onnx::Conv_313", "onnx::Conv_pre")),
       kTopo + "pre weight name carries no SSA counter" + kUseOrt},
      {"no grid32", written("g.onnx", withoutInitializer(plain, "onnx::Sub_316")),
       kTopo + "grid32 (1,1,32,32,2) absent or ambiguous" + kUseOrt},
      {"no basis", written("b.onnx", withoutInitializer(plain, "onnx::MatMul_338")),
       kTopo + "basis (64,196608) absent or ambiguous" + kUseOrt},
      {"no pooled64", written("i.onnx", renamed(plain, "pooled64", "pooled65")), "le_conv: pooled64 input not found"},
      {"an extra node", written("x.onnx", withGraphFields(plain, [](const GsField&) { return true; }, stray)),
       kTopo + "node /stray: not part of the m4b wiring" + kUseOrt}};
  EXPECT_FALSE(ConvBackend::graphSupported(variant("two_basis")));
  for (const auto& r : table) {
    SCOPED_TRACE(r.what);
    const M4bProbe probe = probeM4b(r.path);
    EXPECT_FALSE(probe.supported);
    const std::string got = test::errorOf([&] { ConvBackend::create(r.path, 1); });
    if (r.exact)
      EXPECT_EQ(got, r.message);
    else
      EXPECT_NE(got.find(r.message), std::string::npos) << got;
    EXPECT_EQ(probe.reason, got.rfind(kTopo, 0) == 0 ? got.substr(kTopo.size(), got.size() - kTopo.size() - kUseOrt.size()) : got);
  }
}

// The pre weight's counter drifts between exports: 401 with its bias at 402
// is the same graph, and renders the same bits.
TEST(ConvEngineLoad, ADriftedCounterRendersTheSame) {
  const std::string drifted = variant("counter401");
  ASSERT_TRUE(ConvBackend::graphSupported(drifted));
  const M4bProbe p = probeM4b(drifted);
  EXPECT_EQ(p.crop, 256);
  EXPECT_EQ(p.batch, 1);
  M4bFrames in(256, 1, 5);
  auto a = ConvBackend::create(drifted, 1), b = ConvBackend::create(variant("plain"), 1);
  EXPECT_EQ(renderAll(*a, in, 0, 1), renderAll(*b, in, 0, 1));
}

}  // namespace
}  // namespace le
