// The lip contour bound into the director's compose alpha, checked against
// onnxruntime running the rewritten graph with the numpy reference contour
// (tessera_geom) fed as "lip_delivery".
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "le/bundle/identity.h"
#include "le/bundle/manifest.h"
#include "le/driver/cursor.h"
#include "le/render/le_renderer.h"
#include "le/render/renderer_impl.h"
#include "le/render/rewrites.h"
#include "render/renderer_fixture.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using test::TempDir;

constexpr int kCrop = 64;
constexpr size_t kPlane = size_t(kCrop) * kCrop;
constexpr size_t kRgb = 3 * kPlane;
constexpr float kTol = 2e-4f;

std::vector<float> floatsOf(const std::string& path) {
  const std::string b = test::readFile(path);
  std::vector<float> v(b.size() / sizeof(float));
  std::memcpy(v.data(), b.data(), v.size() * sizeof(float));
  return v;
}

// A renderer bundle at crop 64 whose lip template is tessera-geom's "map"
// template; geom/ holds its frames and reference contours.
struct LipBundle {
  TempDir dir;
  std::vector<float> frames, contours;  // F x 63, F x crop^2
  size_t count = 0;
  LipBundle(int batch, bool withTemplate) {
    test::writeRenderBundle(dir.path(), {6, kCrop, true, false}, batch);
    const std::string geom = dir.path() + "/.geom";
    EXPECT_EQ(test::runFixture({"tessera-geom", "--out", geom, "--canvas", std::to_string(kCrop), "--random", "4"}), 0);
    if (withTemplate)
      std::filesystem::copy_file(geom + "/lip_template_map.json", dir.path() + "/lip_template.v1.json");
    // A director that declares "lip_delivery" itself: the plain graph with
    // the binding already applied.
    const std::string plain = test::readFile(dir.path() + "/model_plain.onnx");
    GsBytes bytes(plain.begin(), plain.end());
    std::string reason;
    int canvas = 0;
    EXPECT_EQ(rewriteBindLipContour(bytes, reason, &canvas, nullptr), 1u) << reason;
    test::writeFile(dir.path() + "/model_prebound.onnx", std::string(bytes.begin(), bytes.end()));
    frames = floatsOf(geom + "/frames.f32");
    contours = floatsOf(geom + "/contour_map.f32");
    count = frames.size() / 63;
    EXPECT_EQ(contours.size(), count * kPlane);
  }
  std::string path() const { return dir.path(); }
  const float* kd(size_t f) const { return frames.data() + f * 63; }
  const float* contour(size_t f) const { return contours.data() + f * kPlane; }
};
LipBundle& bound1() {
  static LipBundle b(1, true);
  return b;
}
LipBundle& bound4() {
  static LipBundle b(4, true);
  return b;
}
LipBundle& noTemplate() {
  static LipBundle b(1, false);
  return b;
}

struct Loaded {
  Manifest manifest;
  std::unique_ptr<Identity> identity;
  std::unique_ptr<Renderer> renderer;
  std::string log;
};

std::unique_ptr<Loaded> load(const std::string& dir, const std::string& key) {
  auto l = std::make_unique<Loaded>();
  l->manifest = loadManifest(dir);
  l->identity = std::make_unique<Identity>(l->manifest, driver::openPriorStream);
  testing::internal::CaptureStderr();
  try {
    l->renderer = std::make_unique<Renderer>(l->manifest, l->identity.get(), key, 1, "");
  } catch (...) {
    l->log = testing::internal::GetCapturedStderr();
    throw;
  }
  l->log = testing::internal::GetCapturedStderr();
  return l;
}

// onnxruntime on the director graph `key` of dir, rewritten with the lip
// binding when `lip` is given (then fed as "lip_delivery"); batch position 0.
class Reference {
 public:
  Reference(const std::string& dir, const std::string& key, bool rewrite) : dir_(dir) {
    const std::string file = test::readFile(dir + "/model_" + key + ".onnx");
    GsBytes bytes(file.begin(), file.end());
    if (rewrite) {
      std::string reason;
      int canvas = 0;
      EXPECT_EQ(rewriteBindLipContour(bytes, reason, &canvas, nullptr), 1u) << reason;
      EXPECT_EQ(canvas, kCrop);
    }
    session_ = std::make_unique<Ort::Session>(test::sessionOf(bytes, 1));
    batch_ = std::max<int64_t>(1, session_->GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape()[0]);
  }
  std::vector<float> crop(int32_t si, const float* ks, const float* kd, const float* lip) {
    auto rep = [&](const float* p, size_t n) {
      std::vector<float> r;
      for (int64_t b = 0; b < batch_; ++b) r.insert(r.end(), p, p + n);
      return r;
    };
    const int64_t B = batch_, S = kCrop;
    test::Feeds feeds(1, B);
    feeds.set("pooled64", {B, 64, 32, 32}, rep(test::halfsAt(dir_ + "/pooled64.f16", si, 65536).data(), 65536));
    feeds.set("P_rgb", {B, 3, S, S}, rep(test::halfsAt(dir_ + "/P.f16", si, kRgb).data(), kRgb));
    feeds.set("kp_source", {B, 21, 3}, rep(ks, 63));
    feeds.set("kp_driving", {B, 21, 3}, rep(kd, 63));
    if (lip != nullptr) feeds.set("lip_delivery", {B, 1, S, S}, rep(lip, kPlane));
    test::Tensors t = test::runAll(*session_, feeds);
    const std::vector<float>& rgb = t.at("rgb").second;
    return std::vector<float>(rgb.begin(), rgb.begin() + kRgb);
  }

 private:
  std::string dir_;
  std::unique_ptr<Ort::Session> session_;
  int64_t batch_ = 1;
};

// Largest difference of a and b; two NaNs agree, one NaN is infinitely off.
float nanDiff(const float* a, const float* b, size_t n) {
  float m = 0.f;
  for (size_t i = 0; i < n; ++i) {
    if (std::isnan(a[i]) || std::isnan(b[i])) {
      if (std::isnan(a[i]) != std::isnan(b[i])) return INFINITY;
      continue;
    }
    m = std::max(m, std::fabs(a[i] - b[i]));
  }
  return m;
}

// Renders every reference frame in runs of 1..batch and checks each crop and
// canvas against the references (onnxruntime on graph refKey); returns the
// crops in frame order.
std::vector<float> renderAndCheck(LipBundle& b, const std::string& key, const std::string& refKey) {
  auto l = load(b.path(), key);
  Renderer& r = *l->renderer;
  Renderer::Impl& m = r.impl();
  EXPECT_TRUE(m.lipBound) << l->log;
  Reference rewritten(b.path(), refKey, true), unbound(b.path(), refKey, false);
  const std::vector<float> zeros(kPlane, 0.f);
  const float* ks = b.kd(0);  // the rest pose drives from itself
  std::vector<float> ksRun(size_t(r.batch()) * 63), crops;
  for (int i = 0; i < r.batch(); ++i) std::memcpy(ksRun.data() + i * 63, ks, 63 * sizeof(float));
  size_t f = 0;
  for (int32_t n = 1; f < b.count; n = n % r.batch() + 1) {
    n = std::min<int32_t>(n, static_cast<int32_t>(b.count - f));
    std::vector<int32_t> si(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) si[size_t(i)] = static_cast<int32_t>((f + size_t(i)) % 6);
    const float* out = r.render(si.data(), ksRun.data(), b.kd(f), n);
    for (int32_t i = 0; i < n; ++i, ++f) {
      SCOPED_TRACE(testing::Message() << key << " batch " << r.batch() << " frame " << f << " slot " << i << "/" << n);
      const float* crop = out + size_t(i) * kRgb;
      crops.insert(crops.end(), crop, crop + kRgb);
      EXPECT_LT(test::maxDiff(m.lipCanvas.data() + size_t(i) * kPlane, b.contour(f), kPlane), 1e-5f);
      const std::vector<float> want = rewritten.crop(si[i], ks, b.kd(f), b.contour(f));
      EXPECT_LT(nanDiff(crop, want.data(), kRgb), kTol);
      // Where the contour is 1 the ellipse alone composes; where it is 0
      // nothing generated shows.
      const std::vector<float> open = unbound.crop(si[i], ks, b.kd(f), nullptr);
      const std::vector<float> shut = rewritten.crop(si[i], ks, b.kd(f), zeros.data());
      size_t ones = 0, off = 0;
      for (size_t p = 0; p < kPlane; ++p) {
        const float c = b.contour(f)[p];
        if (c != 0.f && c != 1.f) continue;
        ones += c == 1.f;
        const std::vector<float>& ref = c == 1.f ? open : shut;
        for (size_t ch = 0; ch < 3; ++ch) off += !(nanDiff(crop + ch * kPlane + p, ref.data() + ch * kPlane + p, 1) < kTol);
      }
      EXPECT_EQ(off, 0u) << "values off the ellipse-only or lip-zero crop";
      if (f < 9) {
        EXPECT_GT(ones, 0u) << "the opening and closing mouths lie on the canvas";
      }
    }
    for (int32_t i = n; i < r.batch(); ++i) {  // padding repeats the last real frame
      EXPECT_EQ(std::memcmp(m.lipCanvas.data() + size_t(i) * kPlane, m.lipCanvas.data() + size_t(n - 1) * kPlane,
                            kPlane * sizeof(float)), 0) << "padding slot " << i;
      EXPECT_EQ(test::maxDiff(out + size_t(i) * kRgb, out + size_t(n - 1) * kRgb, kRgb), 0.f);
    }
  }
  return crops;
}

// Every road composes the same crops: the hoisted and plain paths, and a
// graph that declares "lip_delivery" itself.
TEST(RendererLip, HoistedAndPlainPathsComposeWithTheContour) {
  const struct {
    LipBundle* bundle;
    const char *key, *refKey;
  } runs[] = {
      {&bound1(), "plain", "plain"},        // hoisted
      {&bound4(), "plain", "plain"},        // batch 4
      {&bound1(), "no_cone", "no_cone"},    // plain path, batch 1
      {&bound1(), "prebound", "plain"},     // declared input, hoisted
      {&bound4(), "prebound", "plain"},     // declared input, batch 4
  };
  std::vector<float> first;
  for (const auto& run : runs) {
    SCOPED_TRACE(testing::Message() << run.key << " batch " << (run.bundle == &bound4() ? 4 : 1));
    const std::vector<float> crops = renderAndCheck(*run.bundle, run.key, run.refKey);
    ASSERT_EQ(crops.size(), run.bundle->count * kRgb);
    if (first.empty()) {
      first = crops;
    } else if (std::string(run.refKey) == "plain") {
      EXPECT_LT(nanDiff(first.data(), crops.data(), crops.size()), kTol);
    }
  }
}

TEST(RendererLip, CanvasFollowsAMouthThatOpensAndClosesAndNaNGivesZero) {
  LipBundle& b = bound4();
  auto l = load(b.path(), "plain");
  Renderer::Impl& m = l->renderer->impl();
  ASSERT_TRUE(m.lipBound);
  // Until a render, every pixel keeps the graph's alpha.
  for (float v : m.lipCanvas) ASSERT_EQ(v, 1.f);
  std::vector<float> ks(4 * 63);
  for (int i = 0; i < 4; ++i) std::memcpy(ks.data() + i * 63, b.kd(0), 63 * sizeof(float));
  const int32_t si[4] = {0, 1, 2, 3};
  // Open, shut, open...: one frame per render in slot 0, so a canvas left
  // from the previous render would show.
  size_t prevF = 0;
  for (size_t f : {0, 5, 1, 6, 2, 7, 8, 4, 0}) {
    l->renderer->render(si, ks.data(), b.kd(f), 1);
    EXPECT_LT(test::maxDiff(m.lipCanvas.data(), b.contour(f), kPlane), 1e-5f) << f;
    if (f != 0 || prevF != 0) {
      ASSERT_GT(test::maxDiff(b.contour(f), b.contour(prevF), kPlane), 0.1f) << f << " after " << prevF;
    }
    prevF = f;
  }
  // The nan and inf frames (frames count-3, count-2): zero canvas, lip-zero crop.
  std::vector<float> kd(4 * 63);
  for (size_t special : {b.count - 3, b.count - 2}) {
    for (int i = 0; i < 4; ++i) std::memcpy(kd.data() + i * 63, b.kd(i == 2 ? special : 0), 63 * sizeof(float));
    const float* out = l->renderer->render(si, ks.data(), kd.data(), 4);
    for (size_t p = 0; p < kPlane; ++p) ASSERT_EQ(m.lipCanvas[2 * kPlane + p], 0.f) << special;
    Reference rewritten(b.path(), "plain", true);
    const std::vector<float> zeros(kPlane, 0.f);
    const std::vector<float> want = rewritten.crop(2, ks.data(), b.kd(special), zeros.data());
    EXPECT_LT(nanDiff(out + 2 * kRgb, want.data(), kRgb), kTol);
    EXPECT_LT(test::maxDiff(m.lipCanvas.data() + 3 * kPlane, b.contour(0), kPlane), 1e-5f) << "slot 3 is frame 0 again";
  }
}

TEST(RendererLip, LogLinesInBuilderOrder) {
  for (const std::string key : {"plain", "prebound"}) {
    SCOPED_TRACE(key);
    auto l = load(bound1().path(), key);
    const std::string& log = l->log;
    const std::string lip = "[le] compose alpha: LIP CONTOUR (" + key +
                            ") — Min(a, lip_delivery) bound at load, 24 verts, feather 4.0 px; "
                            "the graph's ellipse is not reachable in this session\n";
    EXPECT_EQ(test::countOf(log, lip), 1) << log;
    EXPECT_EQ(test::countOf(log, "ELLIPSE"), 0);
    const size_t head = log.find("[le] head cubic x2 -> "), at = log.find(lip), ep = log.find("[le] director ep=cpu");
    ASSERT_NE(head, std::string::npos);
    EXPECT_LT(head, at);
    EXPECT_LT(at, ep);
    EXPECT_LT(log.find("[le] source-cone hoist: '"), head) << "the hoist ran on the bound graph";
    EXPECT_TRUE(l->renderer->impl().ring);
  }
}

// Loads that serve the ellipse, and loads refused, one row each.
TEST(RendererLip, EllipseServesOrTheLoadIsRefused) {
  struct Case {
    const char* what;
    LipBundle* bundle;
    const char *key, *refKey;  // refKey: the graph the crop equals, unbound
    bool input;                // the graph takes "lip_delivery" (then all 1.0)
    std::string log;           // a line the load prints
  };
  const Case ellipse[] = {
      {"no template", &noTemplate(), "plain", "plain", false,
       "[le] !!! compose alpha: ELLIPSE (plain) — this bundle carries no lip_template.v1.json, so the director "
       "generates the over-covering elliptical region the contour replaces. BACKFILL IT: "
       "models/cadenza-2/tools/carry_lip_template_fleet\n"},
      {"no compose tail", &bound1(), "no_tail", "no_tail", false,
       "[le] !!! lip contour NOT bound to the compose alpha (no_tail): the graph does not carry the unified "
       "compose tail — this session serves the graph's own ELLIPSE\n"},
      {"declared input, no template", &noTemplate(), "prebound", "plain", true,
       "[le] !!! compose alpha: ELLIPSE (prebound) — this bundle carries no lip_template.v1.json, so the director "
       "generates the over-covering elliptical region the contour replaces. BACKFILL IT: "
       "models/cadenza-2/tools/carry_lip_template_fleet\n"},
  };
  // A director without the compose tail, on the plain path.
  ASSERT_EQ(test::runFixture({"director", "--out", bound1().path() + "/model_no_tail.onnx", "--variant",
                              "no_compose", "--crop", std::to_string(kCrop)}), 0);
  for (const Case& c : ellipse) {
    SCOPED_TRACE(c.what);
    auto l = load(c.bundle->path(), c.key);
    EXPECT_EQ(test::countOf(l->log, c.log), 1) << l->log;
    EXPECT_EQ(test::countOf(l->log, "LIP CONTOUR"), 0);
    Renderer::Impl& m = l->renderer->impl();
    EXPECT_FALSE(m.lipBound);
    size_t inputs = 0;
    for (size_t i = 0; i < m.session->GetInputCount(); ++i)
      inputs += std::string(m.session->GetInputNameAllocated(i, m.allocator).get()) == "lip_delivery";
    EXPECT_EQ(inputs, c.input ? 1u : 0u);
    Reference unbound(c.bundle->path(), c.refKey, false);
    const int32_t si = 3;
    for (size_t f : {5, 1}) {  // a second render: the canvas stays the graph's alpha
      const float* out = l->renderer->render(&si, c.bundle->kd(0), c.bundle->kd(f), 1);
      const std::vector<float> want = unbound.crop(si, c.bundle->kd(0), c.bundle->kd(f), nullptr);
      EXPECT_LT(test::maxDiff(out, want.data(), kRgb), kTol) << "frame " << f;
      EXPECT_EQ(m.lipCanvas.size(), c.input ? kPlane : 0u);
      for (float v : m.lipCanvas) ASSERT_EQ(v, 1.f);
    }
  }

  // Refusals: the compose canvas against the crop, and the template's own.
  TempDir t;
  const std::string dir = t.path();
  ASSERT_EQ(test::runFixture({"bundle", "--out", dir, "--nt", "2", "--crop", "256", "--identity", "pooled,P",
                              "--lip-template", "plain"}), 0);
  ASSERT_EQ(test::runFixture({"director", "--out", dir + "/model_c512.onnx", "--variant", "plain", "--crop", "512"}), 0);
  ASSERT_EQ(test::runFixture({"director", "--out", dir + "/model_c256.onnx", "--variant", "plain", "--crop", "256"}), 0);
  for (const char* v : {"lip_delivery_half", "lip_delivery_b2", "lip_delivery_int64"})
    ASSERT_EQ(test::runFixture({"director", "--out", dir + "/model_" + v + ".onnx", "--variant", v, "--crop", "256"}), 0);
  const std::string model = dir + "/model_lip_delivery_";
  const std::string good = test::readFile(dir + "/lip_template.v1.json");
  std::string wrongCanvas = good;
  wrongCanvas.replace(wrongCanvas.find("\"canvas\": 256"), 13, "\"canvas\": 128");
  const struct {
    const char* key;
    std::string templ, error;
  } refusals[] = {
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
       "[1,1,256,256]"},
  };
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.error);
    std::filesystem::remove(dir + "/lip_template.v1.json");
    if (!r.templ.empty()) test::writeFile(dir + "/lip_template.v1.json", r.templ);
    const Manifest mf = loadManifest(dir);
    std::string err = "(no refusal)";
    testing::internal::CaptureStderr();
    try {
      Identity identity(mf, driver::openPriorStream);  // the batch is judged after the priors
      Renderer renderer(mf, &identity, r.key, 1, "");
    } catch (const std::exception& e) {
      err = e.what();
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.substr(0, r.error.size()), r.error);
  }
}

}  // namespace
}  // namespace le
