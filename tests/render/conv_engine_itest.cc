// The fp16 engine against onnxruntime on the fixture m4b directors: the
// output and every stage, batches, threads, and the refusals of the loader.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "le/render/conv_backend.h"
#include "le/render/conv_engine.h"
#include "le/render/rewrites.h"
#include "render/m4b_fixture.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using test::Diff;
using test::M4bFrames;

constexpr float kMaxTol = 2e-2f, kMeanTol = 2e-3f;

std::unique_ptr<ConvBackend> engineOf(const std::string& model, int threads = 1) {
  return ConvBackend::create(model, threads);
}

std::vector<float> renderAll(ConvBackend& e, const M4bFrames& in, int f0, int n) {
  const size_t per = 3 * static_cast<size_t>(in.crop) * in.crop;
  std::vector<float> out(per * static_cast<size_t>(n));
  const auto pooled = in.pooledPtrs(), prior = in.priorPtrs();
  e.render(pooled.data() + f0, prior.data() + f0, in.ks.data() + f0 * 63, in.kd.data() + f0 * 63, n, out.data());
  return out;
}

// Crop 512 against onnxruntime's run of the same graph; crop 256 is
// EveryStageMatches', the frames of a batch RendererConv.APlayedPriorHasOneSlotPerFrame's.
TEST(ConvEngineOrt, Crop512Matches) {
  const std::string model = test::m4bModel("plain", 512, 1);
  M4bFrames in(512, 1, 9);
  auto e = engineOf(model, 2);
  const Diff d = test::diffOf(renderAll(*e, in, 0, 1).data(), test::ortRun(model, in, 0, 1).at("rgb").second.data(),
                              3 * 512 * 512);
  EXPECT_LE(d.max, kMaxTol);
  EXPECT_LE(d.mean, kMeanTol);
}

// Every dumped stage against the same tensor taken out of onnxruntime's run:
// a wiring fault shows at the first stage that differs. The output is kept in
// LE_CONV_REFERENCE when set: the emulated Arm targets compare their render
// with it.
TEST(ConvEngineOrt, EveryStageMatches) {
  struct Stage {
    const char* name;
    size_t channels;  // 0: not an image (stored as the graph stores it)
    float tol;        // of the largest reference magnitude
  };
  const Stage stages[] = {
      {"pre_relu", 96, 1e-2f},   {"e0_relu", 96, 1e-2f},   {"e1_relu", 144, 1e-2f},   {"e2_relu", 192, 1e-2f},
      {"d1_relu", 144, 1e-2f},   {"d0_relu", 96, 1e-2f},   {"ref_relu", 48, 1e-2f},   {"mask_conv", 22, 1e-2f},
      {"occ_sig", 1, 1e-2f},     {"grid_add", 0, 1e-3f},   {"w64", 0, 1e-2f},         {"basisimg", 3, 1e-2f},
      {"occ512", 1, 1e-2f},      {"warped", 3, 1e-2f},     {"corr0_relu", 24, 1e-2f}, {"corr1_relu", 24, 1e-2f},
      {"corr2_conv", 12, 1e-2f}, {"refined", 3, 1e-2f},    {"tile2_relu", 32, 1e-2f}, {"tile3_conv", 3, 1e-2f},
  };
  test::TempDir dumps;
  const std::string model = test::m4bModel("plain", 256, 1, true);
  M4bFrames in(256, 1, test::kReferenceSeed);
  std::vector<float> got;
  {
    test::ScopedEnv env("LE_CONV_DUMP", dumps.path());
    auto e = engineOf(model, 2);
    got = renderAll(*e, in, 0, 1);
  }
  const test::Tensors ref = test::ortRun(model, in, 0, 1);
  for (const Stage& st : stages) {
    SCOPED_TRACE(st.name);
    const std::vector<float>& r = ref.at(st.name).second;
    const std::string bytes = test::readFile(dumps / (std::string(st.name) + ".f32"));
    ASSERT_EQ(bytes.size(), r.size() * sizeof(float));
    std::vector<float> dumped(r.size());
    std::memcpy(dumped.data(), bytes.data(), bytes.size());
    const std::vector<float> want = st.channels == 0 ? r : test::toChannelLast(r.data(), st.channels, r.size() / st.channels);
    float mag = 0;
    for (float v : want) mag = std::max(mag, std::fabs(v));
    const Diff d = test::diffOf(dumped.data(), want.data(), want.size());
    EXPECT_LE(d.max, st.tol * std::max(mag, 1.f));
  }
  const Diff d = test::diffOf(got.data(), ref.at("rgb").second.data(), got.size());
  EXPECT_LE(d.max, kMaxTol);
  EXPECT_LE(d.mean, kMeanTol);
  // Kept (with its model) for the emulated Arm targets (ConvEngineEmu).
  const char* keep = std::getenv("LE_CONV_REFERENCE");
  if (keep == nullptr || *keep == '\0') return;
  le::fs::mkdirs(keep);
  test::writeFile(std::string(keep) + "/model.onnx", test::readFile(model));
  test::writeFile(std::string(keep) + "/render.f32",
                  std::string(reinterpret_cast<const char*>(got.data()), got.size() * sizeof(float)));
}

// Frames whole per worker, or one after another with rows split: the same
// arithmetic per value, so the same bits, whatever the thread count.
TEST(ConvEngineThreads, EveryThreadCountRendersTheSameBits) {
  const std::string model = test::m4bModel("plain", 256, 4);
  M4bFrames in(256, 4, 13);
  auto one = engineOf(model, 1), two = engineOf(model, 2), three = engineOf(model, 3);
  for (int n = 1; n <= 4; ++n) {
    const std::vector<float> ref = renderAll(*one, in, 0, n);
    EXPECT_EQ(renderAll(*two, in, 0, n), ref) << "2 threads, n " << n;
    EXPECT_EQ(renderAll(*three, in, 0, n), ref) << "3 threads, n " << n;
  }
  const auto pooled = in.pooledPtrs(), prior = in.priorPtrs();
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
    auto e = engineOf(model, 2);
    first = renderAll(*e, in, 0, 4);
  }
  {
    // the same frame 0 alone: the same dump
    test::ScopedEnv env("LE_CONV_DUMP", b.path());
    auto e = engineOf(model, 1);
    renderAll(*e, in, 0, 1);
  }
  for (const char* stage : {"pre_relu", "grid_add", "w64", "warped", "tile3_conv"})
    EXPECT_EQ(test::readFile(a / (std::string(stage) + ".f32")), test::readFile(b / (std::string(stage) + ".f32")))
        << stage;

  test::ScopedEnv env("LE_CONV_DUMP", a / "no/such/dir");
  auto e = engineOf(model, 2);
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

// model with the graph field rebuilt by edit(field) -> keep?
GsBytes withGraphFields(const GsBytes& model, const std::function<bool(const GsField&)>& keep) {
  GsBytes graph;
  GsReader r(gsGraphOf(model));
  GsField f;
  while (r.next(f))
    if (keep(f)) gsPutRaw(graph, f.raw);
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
  EXPECT_EQ(from.size(), to.size());
  int hits = 0;
  for (auto it = model.begin(); (it = std::search(it, model.end(), from.begin(), from.end())) != model.end(); ++hits)
    it = std::copy(to.begin(), to.end(), it);
  EXPECT_GE(hits, 2) << from;
  return model;
}

GsBytes bytesOf(const std::string& path) {
  const std::string s = test::readFile(path);
  return GsBytes(s.begin(), s.end());
}

const std::string kTopo = "le_conv: this graph is not the fused m4b topology this kernel implements (";
const std::string kUseOrt = ") — use ORT for it";

struct Refusal {
  const char* what;
  std::function<std::string(const test::TempDir&)> model;  // writes the model, returns its path
  std::string message;  // create's message; graphSupported is false
  bool exact = true;    // else: message is a part of the text
};

std::string variant(const std::string& v) { return test::m4bModel(v, 256, 1); }

std::string written(const test::TempDir& t, const char* name, const GsBytes& b) {
  test::writeFile(t / name, std::string(b.begin(), b.end()));
  return t / name;
}

TEST(ConvEngineLoad, RefusalsNameTheirReason) {
  const GsBytes plain = bytesOf(variant("plain"));
  const std::vector<Refusal> table = {
      {"no file", [](const test::TempDir& t) { return t / "absent.onnx"; }, "le_conv: cannot open ", false},
      {"a directory", [](const test::TempDir& t) { return t.path(); }, " (not a regular file)", false},
      {"truncated", [&](const test::TempDir& t) { return written(t, "cut.onnx", GsBytes(plain.begin(), plain.end() - 9)); },
       "onnx: truncated"},
      {"two bases", [](const test::TempDir&) { return variant("two_basis"); },
       kTopo + "basis (64,196608) absent or ambiguous" + kUseOrt},
      {"no pre bias", [](const test::TempDir&) { return variant("no_pre_bias"); },
       kTopo + "pre bias onnx::Conv_314 absent or not (96)" + kUseOrt},
      {"a shape off", [](const test::TempDir&) { return variant("shape_off"); },
       kTopo + "s.e1.conv.weight is (144,96,3,1), not (144,96,3,3)" + kUseOrt},
      {"dynamic batch", [](const test::TempDir&) { return variant("dynamic_batch"); },
       kTopo + "pooled64 batch is not static" + kUseOrt},
      {"batch 65", [](const test::TempDir&) { return test::m4bModel("plain", 256, 65); },
       kTopo + "pooled64 batch 65 is above 64" + kUseOrt},
      {"concat swapped", [](const test::TempDir&) { return variant("concat_swapped"); },
       ": input 0 comes from Relu node /Relu_", false},
      {"bilinear for nearest", [](const test::TempDir&) { return variant("bilinear_up"); },
       ": attribute mode is \"linear\", expected \"nearest\"" + kUseOrt, false},
      {"missing fixed", [&](const test::TempDir& t) { return written(t, "m.onnx", withoutInitializer(plain, "s.occ.bias")); },
       kTopo + "missing s.occ.bias" + kUseOrt},
      {"no pre weight", [&](const test::TempDir& t) { return written(t, "p.onnx", withoutInitializer(plain, "onnx::Conv_313")); },
       kTopo + "pre weight (96,85,1,1) absent or ambiguous" + kUseOrt},
      {"no counter", [&](const test::TempDir& t) { return written(t, "c.onnx", renamed(plain, "onnx::Conv_313", "onnx::Conv_pre")); },
       kTopo + "pre weight name carries no SSA counter" + kUseOrt},
      {"no grid32", [&](const test::TempDir& t) { return written(t, "g.onnx", withoutInitializer(plain, "onnx::Sub_316")); },
       kTopo + "grid32 (1,1,32,32,2) absent or ambiguous" + kUseOrt},
      {"no basis", [&](const test::TempDir& t) { return written(t, "b.onnx", withoutInitializer(plain, "onnx::MatMul_338")); },
       kTopo + "basis (64,196608) absent or ambiguous" + kUseOrt},
      {"no pooled64", [&](const test::TempDir& t) {
         return written(t, "i.onnx", renamed(plain, "pooled64", "pooled65"));
       }, "le_conv: pooled64 input not found"},
      {"an extra node", [&](const test::TempDir& t) {
         GsBytes graph, g;
         GsReader r(gsGraphOf(plain));
         GsField f;
         while (r.next(f)) gsPutRaw(graph, f.raw);
         hcNode(graph, "Relu", {"warped"}, "stray", "/stray", {});
         rwReplaceGraph(plain, graph, false, g);
         return written(t, "x.onnx", g);
       }, kTopo + "node /stray: not part of the m4b wiring" + kUseOrt},
  };
  EXPECT_FALSE(ConvBackend::graphSupported(variant("two_basis")));
  for (const Refusal& r : table) {
    SCOPED_TRACE(r.what);
    test::TempDir t;
    const std::string path = r.model(t);
    const M4bProbe probe = probeM4b(path);
    EXPECT_FALSE(probe.supported);
    const std::string got = test::errorOf([&] { ConvBackend::create(path, 1); });
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
  auto a = engineOf(drifted), b = engineOf(variant("plain"));
  EXPECT_EQ(renderAll(*a, in, 0, 1), renderAll(*b, in, 0, 1));
}

}  // namespace
}  // namespace le
