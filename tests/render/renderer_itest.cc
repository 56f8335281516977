
#include <tuple>
#include <stdexcept>

#include "le/render/renderer_impl.h"
#include "render/renderer_fixture.h"
#include "testkit/log_lines.h"

namespace le {
namespace {

using test::ScopedEnv;
using test::TempDir;

constexpr int kCrop = 32;
constexpr int kNT = 6;
constexpr float kTol = 2e-4f;

// Bundles shared by the tests of this file, each written on first use (ctest
// runs every test in its own process) and removed at exit: directors of
// `batch` with or without P.f16 and fs_red.f16.
std::string bundle(int batch, bool p = true, bool fs = true) {
  static std::map<std::tuple<int, bool, bool>, std::unique_ptr<TempDir>> made;
  std::unique_ptr<TempDir>& d = made[{batch, p, fs}];
  if (!d) {
    d = std::make_unique<TempDir>();
    test::writeRenderBundle(d->path(), kNT, kCrop, batch, p, fs);
  }
  return d->path();
}

using test::Loaded;
using test::load;

// Renders frames si in runs of n and compares every crop with onnxruntime's
// output of the unmodified graph.
void expectMatchesReference(const std::string& dir, const std::string& variant, int n,
                            const std::vector<int32_t>& si, Loaded& l, uint32_t seed = 5) {
  std::mt19937 rng(seed);
  std::vector<float> ks, kd;
  test::randomKeypoints(rng, ks, kd, si.size());
  test::DirectorReference ref(dir, test::readModel(dir + "/model_" + variant + ".onnx"), kCrop);
  const size_t crop = 3 * kCrop * kCrop;
  for (size_t f = 0; f < si.size(); f += static_cast<size_t>(n)) {
    const int32_t m = static_cast<int32_t>(std::min<size_t>(n, si.size() - f));
    const float* out = l.renderer->render(si.data() + f, ks.data() + f * 63, kd.data() + f * 63, m);
    for (int32_t i = 0; i < m; ++i)
      ASSERT_LT(test::maxDiff(out + i * crop, ref.crop(si[f + i], &ks[(f + i) * 63], &kd[(f + i) * 63]).data(), crop), kTol)
          << variant << " frame " << f + i << " (si " << si[f + i] << ") of a run of " << m;
    for (int32_t i = m; i < l.renderer->batch(); ++i)  // padding repeats frame m-1
      ASSERT_EQ(test::maxDiff(out + i * crop, out + (m - 1) * crop, crop), 0.f) << "padding " << i;
  }
}

struct Switches {
  const char* name;
  std::optional<std::string> gsFast, gsRewrite, warpNode;
};
const Switches kSwitches[] = {
    {"Defaults", std::nullopt, std::nullopt, std::nullopt}, {"GsRewriteOff", std::nullopt, "0", std::nullopt},
    {"GsFastOff", "0", std::nullopt, std::nullopt},         {"WarpNodeOn", std::nullopt, std::nullopt, "1"}};

class RendererSwitch : public testing::TestWithParam<Switches> {};

TEST_P(RendererSwitch, MatchesTheUnmodifiedGraph) {
  const Switches& sw = GetParam();
  const std::vector<int32_t> walk{0, 3, 5, 1, 1, 4, 2};
  ScopedEnv a("LE_GS_FAST", sw.gsFast), b("LE_GS_REWRITE", sw.gsRewrite), c("LE_WARP_NODE", sw.warpNode);
  for (const char* variant : {"plain", "featsynth", "no_cone"}) {
    SCOPED_TRACE(variant);
    Loaded l1 = load(bundle(1), variant);
    EXPECT_EQ(l1.renderer->batch(), 1);
    expectMatchesReference(bundle(1), variant, 1, walk, l1);
    Loaded l4 = load(bundle(4), variant);
    ASSERT_EQ(l4.renderer->batch(), 4);
    EXPECT_FALSE(l4.renderer->impl().ring);
    for (int n = 1; n <= 4; ++n) expectMatchesReference(bundle(4), variant, n, walk, l4, 10 + n);
  }
}

INSTANTIATE_TEST_SUITE_P(Renderer, RendererSwitch, testing::ValuesIn(kSwitches),
                         [](const testing::TestParamInfo<Switches>& i) { return std::string(i.param.name); });

// {LE_WARP_NODE, LE_GS_REWRITE, variant, a line the build logs once}.
TEST(RendererRender, LogsEachRewriteAndTheEp) {
  const std::tuple<const char*, const char*, const char*, std::string> lines[] = {
      {nullptr, nullptr, "plain", "[le] std GridSample -> com.quillfin::GridSampleFast load-time rewrite: 1 node(s) (plain)\n"},
      {nullptr, nullptr, "plain", "[le] L3 student blend MatMul -> Gemm load-time normalisation: 1 node(s) (plain) — "},
      {nullptr, nullptr, "plain", "[le] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: 1 node(s) (plain) — "},
      {nullptr, nullptr, "plain", "' [1,12,32,32] leaves the per-frame graph and is prefetched per SOURCE FRAME on one spare core (plain)\n"},
      {"1", nullptr, "plain", "[le] director warp -> com.quillfin::WarpDirector ("},
      {"1", nullptr, "plain", "[le] source-cone hoist SKIPPED (plain): the warp node subsumes the cone — there is nothing left to hoist\n"},
      {nullptr, "0", "plain", "[le] LE_GS_REWRITE=0: load-time std GridSample -> com.quillfin::GridSampleFast rewrite DISABLED (plain); "},
      {nullptr, nullptr, "two_concats", "[le] source-cone hoist NOT applied (two_concats): expected exactly one Concat consuming P_rgb, found 2\n"}};
  for (const auto& [warp, rewrite, variant, line] : lines) {
    ScopedEnv w("LE_WARP_NODE", warp ? std::optional<std::string>(warp) : std::nullopt);
    ScopedEnv r("LE_GS_REWRITE", rewrite ? std::optional<std::string>(rewrite) : std::nullopt);
    Loaded l = load(bundle(1), variant);
    EXPECT_EQ(test::countOf(l.log, line), 1) << l.log;
    EXPECT_EQ(bool(l.renderer->impl().ring), !warp && std::string(variant) == "plain") << line;  // the hoist ran
    EXPECT_TRUE(!rewrite || test::countOf(l.log, "[le] std GridSample -> ") == 0) << l.log;
  }
  Loaded l = load(bundle(1), "plain");
  EXPECT_EQ(std::make_tuple(l.renderer->ep(), std::string(l.renderer->backend()), std::string(l.renderer->directorNote()),
                            l.renderer->impl().prior.empty()),
            std::make_tuple(std::string("cpu"), std::string("ort"), std::string(), true));
  // With a sink the same lines reach it, one call each without the newline,
  // and none of them reaches standard error.
  {
    test::LogLines log;
    Loaded sunk = load(bundle(1), "plain");
    EXPECT_EQ(sunk.log.find("[le]"), std::string::npos) << sunk.log;
    for (const auto& [prefix, level] : {std::pair{"[le] director ep=cpu (ORT CPU EP)", LE_LOG_INFO},
                                        {"[le] std GridSample -> com.quillfin::GridSampleFast load-time rewrite: 1 node(s) (plain)", LE_LOG_INFO},
                                        {"[le] !!! compose alpha: ELLIPSE (plain)", LE_LOG_WARNING}, {"[le] source-cone hoist: '", LE_LOG_INFO}})
      EXPECT_EQ(log.levelOf(prefix), level) << prefix;
    for (const auto& [lv, line] : log.lines()) EXPECT_EQ(line.find('\n'), std::string::npos) << line;
  }
}

// {bundle, model key, ep, LE_GS_FAST, the refusal}.
TEST(RendererLoad, RefusalsOfProvidersGraphsAndBundles) {
  const std::string dir = bundle(1);
  const std::string baked = loadManifest(dir).modelPath("baked");
  std::string renamed = test::readFile(dir + "/model_plain.onnx");  // kp_source under another name
  for (size_t at; (at = renamed.find("kp_source")) != std::string::npos;) renamed[at + 8] = 'X';
  test::writeFile(dir + "/model_renamed.onnx", renamed);
  const std::tuple<std::string, const char*, const char*, const char*, std::string> refusals[] = {
      {dir, "plain", "xnnpack", nullptr,
       "Renderer: ep 'xnnpack' is REFUSED. This renderer rewrites its graph to quillFin custom-domain nodes "
       "(com.quillfin::GridSampleFast, and com.quillfin::WarpDirector wherever LE_WARP_NODE is on), and ORT's XNNPACK "
       "execution provider SEGFAULTS while partitioning a graph that carries them — measured 2026-09-15 on a published "
       "cadenza2-android AAR, null deref inside libonnxruntime.so at session create, on both a door-served and a "
       "hand-staged copy of the same identity. It is a signal, not an exception, so it cannot be caught and reported. Use "
       "the default ep (\"\", the ORT CPU EP), which opens the same bundle on the same bytes."},
      {dir, "plain", "cuda", nullptr, "Renderer: unknown ep 'cuda'"},
      {dir, "plain", "cpu", nullptr, "Renderer: unknown ep 'cpu'"},
      {dir, "named_batch", "", nullptr, "pooled64 input not found / bad shape"},  // a named batch cannot size the buffers
      {dir, "missing", "", nullptr, "Renderer: cannot open " + loadManifest(dir).modelPath("missing")},
      {dir, "renamed", "", nullptr, "Renderer: " + loadManifest(dir).modelPath("renamed") + " has no input 'kp_source'"},
      {dir, "baked", "", "0",
       "Renderer: LE_GS_FAST=0 (or QUILLFIN_CADENZA2_GRIDSAMPLE_FAST=0, which sets it) was asked for, but " + baked +
           " has com.quillfin::GridSampleFast BAKED INTO THE GRAPH. That flag disables the custom-op registration, so there "
           "would be no kernel to bind and this session would die inside ORT with 'GridSampleFast(-1) is not a registered "
           "function/op'. There is no standard-GridSample arm on this bundle to measure: the artifact itself is "
           "non-standard. Run the A/B on a STANDARD-ONNX bundle (the shipping format since INFERENCE_STANDARDIZATION.md "
           "#1), or unset the flag to load this one."},
      {bundle(1, true, false), "featsynth", "", nullptr, "FeatSynth graph but bundle lacks fs_red.f16"},
      {bundle(1, false, true), "plain", "", nullptr,
       "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, nor a P_hevc.mov to "
       "play in place is present, so le::Identity mapped NOTHING and Identity::P(si) would be an offset from a null "
       "pointer — a SEGFAULT on the first frame, not a refusal. REFUSING to create a session."}};
  for (const auto& [bundle, key, ep, gsFast, want] : refusals) {
    ScopedEnv e("LE_GS_FAST", gsFast ? std::optional<std::string>(gsFast) : std::nullopt);
    EXPECT_EQ(test::errorOf([&] { load(bundle, key, ep); }), want) << key << " " << ep;
  }
  EXPECT_EQ(test::countOf(test::errorOf([&] { load(dir, "plain", "xnnpack:fp16"); }), "Renderer: ep 'xnnpack:fp16' is REFUSED."), 1);
  EXPECT_TRUE(load(bundle(1, false, true), "featsynth").renderer->impl().featSynth);
  EXPECT_EQ(load(dir, "baked").renderer->batch(), 1);  // registered: the baked kernel serves
  // No CoreML provider here: the append fails and the CPU provider serves.
  // The fixture director is not the fused m4b graph: the fp16 engine refuses
  // it (where it is available at all) and onnxruntime serves.
  const std::string neon = ConvBackend::available()
                               ? "[le] NEON backend refused: plain is not the fused m4b graph (golden/unified "
                                 "director?); using ORT\n"
                               : "[le] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n";
  for (const char* ep : {"coreml", "coreml:gpu", "coreml:ane", "neon"}) {
    Loaded l = load(dir, "plain", ep);
    EXPECT_EQ(l.renderer->ep(), "cpu") << ep;
    EXPECT_EQ(test::countOf(l.log, std::string(ep) == "neon" ? neon : "[le] CoreML EP session refused: "), 1) << l.log;
  }
  ScopedEnv e("LE_CONV_BACKEND", "neon");
  Loaded m = load(dir, "plain");
  EXPECT_EQ(std::make_pair(std::string(m.renderer->backend()), test::countOf(m.log, neon)),
            std::make_pair(std::string("ort"), 1));
}

TEST(RendererRender, ArgumentChecksComeBeforeAnyRead) {
  Loaded l = load(bundle(4), "plain");
  std::vector<float> k(5 * 63, 0.f);
  const std::tuple<std::vector<int32_t>, int32_t, std::string> calls[] = {
      {{0}, 0, "render: bad n"}, {{0, 1, 2, 3, 4}, 5, "render: bad n"}, {{0, -1, 2}, 3, "render: bad si"},
      {{0, 1, 2, kNT}, 4, "render: bad si"}, {{1 << 30}, 1, "render: bad si"}};
  for (const auto& [si, n, want] : calls)
    EXPECT_EQ(test::errorOf([&] { l.renderer->render(si.data(), k.data(), k.data(), n); }), want) << n;
  const int32_t ok[] = {0, 5, 2};
  for (int null = 0; null < 3; ++null)  // si, ks, kd
    EXPECT_EQ(test::errorOf([&] { l.renderer->render(null ? ok : nullptr, null == 1 ? nullptr : k.data(), null == 2 ? nullptr : k.data(), 3); }),
              "render: null argument") << null;
  EXPECT_EQ(l.renderer->impl().runFrames, 0);
  EXPECT_NE(l.renderer->render(ok, k.data(), k.data(), 3), nullptr);
  EXPECT_EQ(l.renderer->impl().runFrames, 1);
}

// ---- the source-cone hoist (also run under the thread sanitizer) ----------

TEST(RendererHoist, SequentialWalkWithWrapMatchesAndHits) {
  Loaded l = load(bundle(1), "plain");
  ASSERT_TRUE(l.renderer->impl().ring);
  const std::vector<int32_t> walk{0, 1, 2, 3, 4, 5, 0};  // every frame of kNT, then the wrap
  expectMatchesReference(bundle(1), "plain", 1, walk, l);
  const SourceConeRing& ring = *l.renderer->impl().ring;
  // Frame 0 is a miss; 1..N-1 were prefetched; after N-1 the unwrapped walk
  // predicts N-2 (already held), so the wrap to 0 misses once more.
  EXPECT_EQ(ring.misses(), 2);
  EXPECT_EQ(ring.hits(), kNT - 1);
  EXPECT_TRUE(ring.predictor().wrap);
  EXPECT_EQ(l.renderer->impl().runFrames, kNT + 1);
}

// A prep failure in the prefetch thread or in the synchronous fill is
// permanent: every later render reports it.
TEST(RendererHoist, PrepFailuresAreSticky) {
  std::vector<float> k(63, 0.1f);
  for (const bool prefetch : {true, false}) {
    Loaded l = load(bundle(1), "plain");
    SourceConeRing& ring = *l.renderer->impl().ring;
    const std::string why = prefetch ? "prep refused frame 3" : "no prior";
    ring.beforePrep = [&](int32_t si) {
      if (!prefetch || si == 3) throw std::runtime_error(why);
    };
    if (prefetch)  // rendering 2 asks the prefetch thread for 3, which fails
      for (int32_t si : {0, 1, 2}) {
        ASSERT_NE(l.renderer->render(&si, k.data(), k.data(), 1), nullptr);
      }
    for (int32_t si : {3, 0, 4})
      EXPECT_EQ(test::errorOf([&] { l.renderer->render(&si, k.data(), k.data(), 1); }),
                "Renderer: the hoisted source cone failed in ORT — " + why);
    EXPECT_EQ(l.renderer->impl().runFrames, prefetch ? 3 : 0);
  }
}

// Destroying the renderer while its prefetch thread is inside a prep run
// waits for that run and joins the thread: the run is held open until the
// destroyer has had time to return, and must still end first.
TEST(RendererHoist, DestroyWhilePrefetching) {
  Loaded l = load(bundle(1), "plain");
  std::mutex mu;
  std::condition_variable cv;
  bool inFlight = false, release = false;
  std::vector<std::string> order;
  const std::thread::id caller = std::this_thread::get_id();
  l.renderer->impl().ring->beforePrep = [&](int32_t) {
    if (std::this_thread::get_id() == caller) return;  // the synchronous fill
    std::unique_lock<std::mutex> lk(mu);
    inFlight = true;
    cv.notify_all();
    cv.wait(lk, [&] { return release; });
    order.push_back("prep done");
  };
  std::vector<float> k(63, 0.2f);
  const int32_t si = 0;
  l.renderer->render(&si, k.data(), k.data(), 1);  // asks for the predicted next frame
  {
    std::unique_lock<std::mutex> lk(mu);
    ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(20), [&] { return inFlight; })) << "no prefetch started";
  }
  std::thread destroyer([&] {
    l.renderer.reset();
    std::lock_guard<std::mutex> lk(mu);
    order.push_back("destroyed");
    cv.notify_all();
  });
  {
    std::unique_lock<std::mutex> lk(mu);
    cv.wait_for(lk, std::chrono::milliseconds(200), [&] { return !order.empty(); });  // a destroyer that does not wait
    release = true;
    cv.notify_all();
  }
  destroyer.join();
  EXPECT_EQ(order, (std::vector<std::string>{"prep done", "destroyed"}));
}

// A streamed (HEVC) prior renders what the same frames render from P.f16:
// the second bundle's P.f16 holds the first one's decoded frames. Kept out of
// the thread-sanitizer pass: FFmpeg's frame-threaded decoder is not
// instrumented and its hand-offs read as races.
TEST(RendererPrior, HevcPriorRendersLikeRawPrior) {
  TempDir t;
  const std::string hevc = t / "hevc", raw = t / "raw";
  for (const auto& [dir, parts] : {std::pair{hevc, "pooled,hevc"}, std::pair{raw, "pooled"}}) {
    const std::string c = std::to_string(kCrop);
    ASSERT_EQ(test::runFixture({"bundle", "--out", dir, "--nt", std::to_string(kNT), "--crop", c, "--size", "64", "64", "--identity", parts}), 0);
    for (const auto& [v, batch] : {std::pair{"plain", "1"}, {"no_cone", "4"}})
      ASSERT_EQ(test::runFixture({"director", "--variant", v, "--crop", c, "--batch", batch, "--out", dir + "/model_" + v + ".onnx"}), 0);
  }
  {
    Identity streamed(loadManifest(hevc), driver::openPriorStream);
    ASSERT_TRUE(streamed.hasHevcPrior());
    const size_t per = 3 * kCrop * kCrop;
    std::string bytes(kNT * per * 2, '\0');
    for (int si = 0; si < kNT; ++si) streamed.copyP(si, reinterpret_cast<uint16_t*>(&bytes[si * per * 2]));
    test::writeFile(raw + "/P.f16", bytes);
  }
  std::vector<int32_t> walk;
  for (int i = 0; i < 2 * kNT; ++i) walk.push_back(i % kNT);
  for (int32_t si : {3, 0, 5, 2}) walk.push_back(si);
  std::mt19937 rng(8);
  std::vector<float> ks, kd;
  test::randomKeypoints(rng, ks, kd, walk.size());
  const size_t crop = 3 * kCrop * kCrop;
  for (const auto& [v, n] : {std::pair{"plain", 1}, {"no_cone", 4}}) {  // hoisted; plain path, each frame its own
    SCOPED_TRACE(v);
    Loaded a = load(hevc, v), b = load(raw, v);
    EXPECT_EQ(bool(a.renderer->impl().ring), n == 1);
    for (size_t f = 0; f < walk.size(); f += size_t(n)) {
      const float* h = a.renderer->render(&walk[f], &ks[f * 63], &kd[f * 63], n);
      const std::vector<float> fromHevc(h, h + n * crop);
      const float* fromRaw = b.renderer->render(&walk[f], &ks[f * 63], &kd[f * 63], n);
      ASSERT_EQ(test::maxDiff(fromHevc.data(), fromRaw, n * crop), 0.f) << "frames from " << f;
    }
  }
}

// Graphs whose keypoint inputs declare 22, 20 or (0) a dynamic count of rows.
TEST(RendererLoad, HostKeypointContract) {
  TempDir t;
  test::writeRenderBundle(t.path(), 3, kCrop, 1, true, true);
  const std::string head = "Renderer: HOST KEYPOINT CONTRACT MISMATCH on ";
  const std::string tail =
      "REFUSING AT LOAD rather than dying inside ORT at the first Run. This build must not have been published to "
      "a host that links this renderer: training/recipe/host_kp_contract is the publish gate that exists to prevent "
      "it.";
  const std::string width =
      "That is the recipe_v4 / kd_v4 shape: row 21 is the WIDTH ROW (wn, seal, 0), fed from the a2x encoder's "
      "second output. This engine has no width feed (see le_a2x_width / le_a2x_pull_wn in le/le_a2x, which nothing "
      "on this path calls yet), so it cannot drive this director. ";
  for (const auto& [key, rows, fs, input] : {std::tuple{"kp22", 22, false, "kp_driving"}, {"kp20", 20, false, "kp_driving"},
                                             {"fs22", 22, true, "kd"}, {"dyn", 0, false, ""}, {"fsdyn", 0, true, ""}}) {
    std::vector<std::string> args{"kpgraph", "--out", t / ("model_" + std::string(key) + ".onnx"), "--rows",
                                  std::to_string(rows), "--crop", std::to_string(kCrop)};
    if (fs) args.push_back("--featsynth");
    ASSERT_EQ(test::runFixture(args), 0);
    if (rows != 0) {
      EXPECT_EQ(test::errorOf([&] { load(t.path(), key); }),
                head + loadManifest(t.path()).modelPath(key) + " — the graph declares " + input + " with " + std::to_string(rows) +
                    " keypoint rows, and this renderer feeds 21 (le::kHostKpRows, le/le). " + (rows == 22 ? width : "") + tail);
      continue;
    }
    Loaded l = load(t.path(), key);
    EXPECT_EQ(l.renderer->impl().featSynth, fs);
    // The graph copies its prior through: the render is the identity's frame.
    std::vector<float> k(63, 0.f);
    const int32_t si = 2;
    const float* out = l.renderer->render(&si, k.data(), k.data(), 1);
    std::vector<float> want = test::halfsAt(t / "P.f16", 2, 3 * kCrop * kCrop);
    if (fs) {  // the graph slices [3, crop, crop] out of [64, 64, 64]
      const std::vector<float> f = test::halfsAt(t / "fs_red.f16", 2, 262144);
      for (int c = 0; c < 3; ++c)
        for (int y = 0; y < kCrop; ++y)
          for (int x = 0; x < kCrop; ++x) want[(c * kCrop + y) * kCrop + x] = f[(c * 64 + y) * 64 + x];
    }
    EXPECT_EQ(test::maxDiff(out, want.data(), 3 * kCrop * kCrop), 0.f);
  }
}

TEST(RendererLoad, ProfilingLines) {
  TempDir t;
  ScopedEnv e("LE_ORT_PROFILE", t / "prof");
  Loaded l = load(bundle(4), "plain");
  std::vector<int32_t> si{0, 1};
  std::vector<float> k(2 * 63, 0.f);
  l.renderer->render(si.data(), k.data(), k.data(), 2);
  l.renderer->render(si.data(), k.data(), k.data(), 1);
  testing::internal::CaptureStderr();
  l.renderer.reset();
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(test::countOf(log, "[le_ort_profile] 2 frames: "), 1) << log;
  EXPECT_EQ(test::countOf(log, " ms/frame in Session::Run\n"), 1);
  const size_t at = log.find("[le_ort_profile] " + t / "prof");
  ASSERT_NE(at, std::string::npos) << log;
  const std::string file = log.substr(at + 17, log.find('\n', at) - at - 17);
  EXPECT_TRUE(test::exists(file)) << file;
}

}  // namespace
}  // namespace le
