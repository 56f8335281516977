// The lip contour bound into the director's compose alpha, checked against
// onnxruntime running the rewritten graph with the numpy reference contour
// (tessera_geom) fed as "lip_delivery".

#include <cstring>
#include <filesystem>

#include "le/render/renderer_impl.h"
#include "render/renderer_fixture.h"

namespace le {
namespace {

using test::Loaded;
using test::load;

constexpr int kCrop = 64;
constexpr size_t kPlane = size_t(kCrop) * kCrop;
constexpr size_t kRgb = 3 * kPlane;
constexpr float kTol = 2e-4f;

// The graph `key` of dir, with the lip binding applied when `bind` (then
// onnxruntime feeds it the canvas given as "lip_delivery").
GsBytes graph(const std::string& dir, const std::string& key, bool bind) {
  GsBytes bytes = test::readModel(dir + "/model_" + key + ".onnx");
  std::string reason;
  EXPECT_TRUE(!bind || rewriteBindLipContour(bytes, reason, nullptr, nullptr) == 1u) << reason;
  return bytes;
}

// A renderer bundle at crop 64 whose lip template is tessera-geom's "map"
// template, with its frames (F x 63) and reference contours (F x crop^2), and
// model_prebound: the plain graph with the binding already applied.
struct LipBundle {
  test::TempDir dir;
  std::vector<float> frames, contours;
  size_t count = 0;
  LipBundle(int batch, bool withTemplate) {
    test::writeRenderBundle(dir.path(), 6, kCrop, batch, true, false);
    const std::string geom = dir / ".geom";
    EXPECT_EQ(test::runFixture({"tessera-geom", "--out", geom, "--canvas", std::to_string(kCrop), "--random", "4"}), 0);
    if (withTemplate) std::filesystem::copy_file(geom + "/lip_template_map.json", dir / "lip_template.v1.json");
    const GsBytes bound = graph(dir.path(), "plain", true);
    test::writeFile(dir / "model_prebound.onnx", std::string(bound.begin(), bound.end()));
    frames = test::readF32(geom + "/frames.f32");
    contours = test::readF32(geom + "/contour_map.f32");
    count = frames.size() / 63;
    EXPECT_EQ(contours.size(), count * kPlane);
  }
  const std::string& path() const { return dir.path(); }
  const float* kd(size_t f) const { return frames.data() + f * 63; }
  const float* contour(size_t f) const { return contours.data() + f * kPlane; }
};
// Written on first use and kept for this test process.
LipBundle& lipBundle(int batch, bool withTemplate) {
  static std::map<std::pair<int, bool>, std::unique_ptr<LipBundle>> made;
  std::unique_ptr<LipBundle>& b = made[{batch, withTemplate}];
  if (!b) b = std::make_unique<LipBundle>(batch, withTemplate);
  return *b;
}
LipBundle& bound1() { return lipBundle(1, true); }
LipBundle& noTemplate() { return lipBundle(1, false); }

// Renders every reference frame in runs of 1..batch, checking each canvas
// against the numpy contour and each crop against onnxruntime on the bound
// graph refKey; returns the crops in frame order.
std::vector<float> renderAndCheck(LipBundle& b, const std::string& key, const std::string& refKey) {
  Loaded l = load(b.path(), key);
  Renderer& r = *l.renderer;
  Renderer::Impl& m = r.impl();
  EXPECT_TRUE(m.lipBound) << l.log;
  test::DirectorReference rewritten(b.path(), graph(b.path(), refKey, true), kCrop);
  const float* ks = b.kd(0);  // the rest pose drives from itself
  std::vector<float> ksRun, crops;
  for (int i = 0; i < r.batch(); ++i) ksRun.insert(ksRun.end(), ks, ks + 63);
  size_t f = 0;
  for (int32_t n = 1; f < b.count; n = n % r.batch() + 1) {
    n = std::min<int32_t>(n, static_cast<int32_t>(b.count - f));
    std::vector<int32_t> si;
    for (int32_t i = 0; i < n; ++i) si.push_back(static_cast<int32_t>((f + size_t(i)) % 6));
    const float* out = r.render(si.data(), ksRun.data(), b.kd(f), n);
    for (int32_t i = 0; i < n; ++i, ++f) {
      SCOPED_TRACE(testing::Message() << key << " batch " << r.batch() << " frame " << f << " slot " << i << "/" << n);
      const float* crop = out + size_t(i) * kRgb;
      crops.insert(crops.end(), crop, crop + kRgb);
      EXPECT_LT(test::maxDiff(m.lipCanvas.data() + size_t(i) * kPlane, b.contour(f), kPlane), 1e-5f);
      EXPECT_LT(test::maxDiff(crop, rewritten.crop(si[i], ks, b.kd(f), b.contour(f)).data(), kRgb), kTol);
    }
    for (int32_t i = n; i < r.batch(); ++i) {  // padding repeats the last real frame
      EXPECT_EQ(std::memcmp(m.lipCanvas.data() + size_t(i) * kPlane, m.lipCanvas.data() + size_t(n - 1) * kPlane,
                            kPlane * sizeof(float)), 0) << "padding slot " << i;
      EXPECT_EQ(test::maxDiff(out + size_t(i) * kRgb, out + size_t(n - 1) * kRgb, kRgb), 0.f);
    }
  }
  return crops;
}

// Every road composes the same crops: hoisted, the plain path at batch 1
// and 4, and a graph that declares "lip_delivery" itself. The last frames
// (a NaN, an infinite lip, all lips on one point) share one run of the
// batch-4 road: each slot keeps its own canvas, zero for the non-finite.
TEST(RendererLip, HoistedAndPlainPathsComposeWithTheContour) {
  const std::vector<float> hoisted = renderAndCheck(bound1(), "plain", "plain");
  ASSERT_EQ(hoisted.size(), bound1().count * kRgb);
  EXPECT_LT(test::maxDiff(hoisted.data(), renderAndCheck(lipBundle(4, true), "prebound", "plain").data(), hoisted.size()), kTol);
  renderAndCheck(bound1(), "no_cone", "no_cone");
}

TEST(RendererLip, LogLinesInBuilderOrder) {
  for (const std::string key : {"plain", "prebound"}) {
    Loaded l = load(bound1().path(), key);
    const std::string lip = "[le] compose alpha: LIP CONTOUR (" + key +
                            ") — Min(a, lip_delivery) bound at load, 24 verts, feather 4.0 px; "
                            "the graph's ellipse is not reachable in this session\n";
    EXPECT_EQ(std::make_pair(test::countOf(l.log, lip), test::countOf(l.log, "ELLIPSE")), std::make_pair(1, 0)) << l.log;
    const size_t hoist = l.log.find("[le] source-cone hoist: '"), head = l.log.find("[le] head cubic x2 -> "),
                 at = l.log.find(lip), ep = l.log.find("[le] director ep=cpu");
    EXPECT_TRUE(hoist < head && head < at && at < ep && ep != std::string::npos) << l.log;  // hoisted the bound graph
  }
}

// Loads that serve the ellipse, and loads refused, one row each.
TEST(RendererLip, EllipseServesOrTheLoadIsRefused) {
  const std::string noFile =
      "— this bundle carries no lip_template.v1.json, so the director generates the over-covering elliptical "
      "region the contour replaces. BACKFILL IT: models/cadenza-2/tools/carry_lip_template_fleet\n";
  const struct {
    LipBundle* bundle;
    const char *key, *refKey;  // refKey: the graph the crop equals, unbound
    bool input;                // the graph takes "lip_delivery" (then all 1.0)
    std::string log;           // a line the load prints
  } ellipse[] = {
      {&noTemplate(), "plain", "plain", false, "[le] !!! compose alpha: ELLIPSE (plain) " + noFile},
      {&bound1(), "no_tail", "no_tail", false,
       "[le] !!! lip contour NOT bound to the compose alpha (no_tail): the graph does not carry the unified "
       "compose tail — this session serves the graph's own ELLIPSE\n"},
      {&noTemplate(), "prebound", "plain", true, "[le] !!! compose alpha: ELLIPSE (prebound) " + noFile}};
  ASSERT_EQ(test::runFixture({"director", "--out", bound1().path() + "/model_no_tail.onnx", "--variant",
                              "no_compose", "--crop", std::to_string(kCrop)}), 0);
  for (const auto& c : ellipse) {
    SCOPED_TRACE(c.log);
    Loaded l = load(c.bundle->path(), c.key);
    EXPECT_EQ(std::make_pair(test::countOf(l.log, c.log), test::countOf(l.log, "LIP CONTOUR")), std::make_pair(1, 0));
    Renderer::Impl& m = l.renderer->impl();
    EXPECT_FALSE(m.lipBound);
    test::DirectorReference unbound(c.bundle->path(), graph(c.bundle->path(), c.refKey, false), kCrop);
    const int32_t si = 3;
    for (size_t f : {5, 1}) {  // a second render: the canvas stays the graph's alpha
      const float* out = l.renderer->render(&si, c.bundle->kd(0), c.bundle->kd(f), 1);
      EXPECT_LT(test::maxDiff(out, unbound.crop(si, c.bundle->kd(0), c.bundle->kd(f), nullptr).data(), kRgb), kTol);
      EXPECT_EQ(m.lipCanvas.size(), c.input ? kPlane : 0u);
      for (float v : m.lipCanvas) ASSERT_EQ(v, 1.f);
    }
  }

  // Refusals: the compose canvas against the crop, and the template's own.
  test::TempDir t;
  const std::string dir = t.path();
  ASSERT_EQ(test::runFixture({"bundle", "--out", dir, "--nt", "2", "--crop", "256", "--identity", "pooled,P",
                              "--lip-template", "plain"}), 0);
  for (const auto& [v, crop] : {std::pair{"c512", "512"}, {"c256", "256"}, {"lip_delivery_half", "256"},
                                {"lip_delivery_b2", "256"}, {"lip_delivery_int64", "256"}})
    ASSERT_EQ(test::runFixture({"director", "--out", dir + "/model_" + v + ".onnx", "--variant",
                                std::string(v).rfind("c", 0) == 0 ? "plain" : v, "--crop", crop}), 0);
  const std::string model = dir + "/model_lip_delivery_";
  const std::string good = test::readFile(dir + "/lip_template.v1.json");
  std::string wrongCanvas = good;
  wrongCanvas.replace(wrongCanvas.find("\"canvas\": 256"), 13, "\"canvas\": 128");
  const std::tuple<const char*, std::string, std::string> refusals[] = {  // {key, template, error}
      {"c512", good,
       "Renderer: the director's compose canvas is 512 and this bundle's manifest declares crop 256 — refusing to "
       "bind a lip contour rasterised on the wrong canvas"},
      {"c256", wrongCanvas,
       "lip_template.v1.json: was baked on a 128 canvas but this bundle composes on 256 — refusing to deform a "
       "polygon onto a canvas it does not name"},
      {"c256", "{", "lip_template.v1.json: is not parseable JSON ("},
      // A "lip_delivery" the graph declares must take the canvas, template or not.
      {"lip_delivery_half", good,
       "Renderer: " + model + "half.onnx declares its own input 'lip_delivery' as float [1,1,128,128] and this "
       "renderer binds float [B,1,256,256] — refusing a lip canvas the graph cannot take"},
      {"lip_delivery_int64", "",
       "Renderer: " + model + "int64.onnx declares its own input 'lip_delivery' as int64 [1,1,256,256] and this "
       "renderer binds float [B,1,256,256] — refusing a lip canvas the graph cannot take"},
      {"lip_delivery_b2", good,
       "Renderer: " + model + "b2.onnx declares input 'lip_delivery' as [2,1,256,256] and this renderer binds "
       "[1,1,256,256]"}};
  for (const auto& [key, templ, error] : refusals) {
    std::filesystem::remove(dir + "/lip_template.v1.json");
    if (!templ.empty()) test::writeFile(dir + "/lip_template.v1.json", templ);
    const std::string err = test::errorOf([&] { load(dir, key); });  // the batch is judged after the priors
    EXPECT_EQ(err.substr(0, error.size()), error) << err;
  }
}

}  // namespace
}  // namespace le
