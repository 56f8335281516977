// Teeth-borrow geometry and its JSON texts.
// - parseJson against RapidJSON (full-precision numbers) and nlohmann::json on
//   a 1024-donor bank sidecar, a bundle manifest and a mapped lip template,
//   with a plain byte loop over the same text as the floor.
// - Canvas 512, per frame: piU8AndShift (support box only) against the full
//   piU8; contourF32Canvas and deliveredU8AndShift against the same contour in
//   OpenCV (fillPoly + distanceTransform DIST_L2 3x3, the same chamfer, and
//   the same feather), with a canvas memset as the floor; the largest
//   difference between the two contours is printed.
// - The corpus search over 1,000 frames: boxed (canonicalCentroid) against
//   the full-canvas masks and centroids.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "benchkit.h"
#include "le/tessera/lip_contour.h"
#include "le/tessera/tessera_json.h"
#include "le/tessera/tessera_pi.h"

#if defined(LE_BENCH_RAPIDJSON)
#include <rapidjson/document.h>
#endif
#if defined(LE_BENCH_NLOHMANN)
#include <nlohmann/json.hpp>
#endif
#if defined(LE_BENCH_OPENCV)
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using le::tessera::LipContour;
using le::tessera::UnifiedPi;

constexpr int kCanvas = 512;
constexpr int kLips[6] = {6, 12, 14, 17, 19, 20};

std::string num(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

// Appends ",item" (or "item" first); plain appends keep GCC 12's -Wrestrict
// quiet, which misfires on const char* + std::string.
void item(std::string& s, bool sep, const std::string& v) {
  if (sep) s += ',';
  s += v;
}

const char* kStampKeys[12] = {"canvas_w", "canvas_h", "window_x0", "window_y0", "window_w", "window_h",
                              "pad", "band_r0", "band_r1", "band_c0", "band_c1", "shift_margin"};
const int kStamp[12] = {512, 512, 160, 272, 192, 128, 16, 24, 104, 32, 160, 12};

std::string geometryJson() {
  std::string s = "{";
  for (int i = 0; i < 12; ++i) s += std::string(i ? "," : "") + "\"" + kStampKeys[i] + "\":" + std::to_string(kStamp[i]);
  return s + "}";
}

// A bank sidecar of 1024 donors: per donor a track slot, a centroid pair and
// an aperture, plus the stamp and c_canon.
const std::string& sidecarText() {
  static const std::string text = [] {
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::string order, cent, ap;
    for (int i = 0; i < 1024; ++i) {
      item(order, i, std::to_string((i * 389) % 1024));
      cent += std::string(i ? "," : "") + "[" + num(200 + 100 * u(rng)) + "," + num(300 + 60 * u(rng)) + "]";
      item(ap, i, num(0.06 * u(rng)));
    }
    return "{\n  \"format\": \"tessera_bank.v1\",\n  \"geometry\": " + geometryJson() +
           ",\n  \"n_donors\": 1024,\n  \"codec\": \"hevc\", \"pix_fmt\": \"yuv444p\", \"packing\": \"band\",\n"
           "  \"c_canon\": [256.4375, 331.0625],\n  \"track_order\": [" + order + "],\n  \"cent\": [" + cent +
           "],\n  \"aperture\": [" + ap + "]\n}\n";
  }();
  return text;
}

const std::string& manifestText() {
  static const std::string text =
      "{\n  \"format\": \"cadenza-2\", \"agent\": \"bench\", \"NT\": 1500, \"H\": 1080, \"W\": 1920,\n"
      "  \"crop\": 512, \"unsharp\": {\"amount\": 1.3, \"sigma\": 2.0, \"ksize\": 13}, \"frames\": 1500,\n"
      "  \"M_src_w\": 1920, \"M_src_h\": 1080,\n"
      "  \"members\": {\"driver\": \"driver.mp4\", \"prior\": \"prior.hevc\", \"target\": \"target_keypoints.bin\"},\n"
      "  \"tessera\": {\"members\": {\"bank_track\": \"tessera_bank.v1.mp4\", \"bank_sidecar\": "
      "\"tessera_bank.v1.json\", \"head_weights\": \"tessera_head.v1.pt\", \"head_config\": "
      "\"tessera_head.v1.json\"}, \"planes\": [\"live\", \"batch\"], \"geometry\": " +
      geometryJson() +
      "},\n"
      "  \"unified\": {\"pi\": {\"mode\": \"prop\", \"corner_recovery\": \"lip_landmark_half\", "
      "\"prop_gate_scale\": 1.0, \"lip_idx\": [6, 12, 14, 17, 19, 20], \"lip_geom_params\": [0.10, 0.08, "
      "0.074]}, \"crop\": {\"canvas\": 512}}\n}\n";
  return text;
}

// A 24-vertex template with a 48 x 12 lip map.
const std::string& templateText() {
  static const std::string text = [] {
    std::mt19937 rng(3);
    std::normal_distribution<double> g(0.0, 0.4);
    std::string u, W, b;
    for (int i = 0; i < 24; ++i) {
      const double t = 2 * M_PI * i / 24;
      u += std::string(i ? "," : "") + "[" + num(1.12 * std::cos(t)) + "," + num(1.3 * std::sin(t)) + "]";
    }
    for (int r = 0; r < 48; ++r) {
      std::string row;
      for (int c = 0; c < 12; ++c) item(row, c, num((c % 2 == r % 2 ? 0.35 : 0.0) + 0.05 * g(rng)));
      W += std::string(r ? "," : "") + "[" + row + "]";
      item(b, r, num(2.0 * g(rng)));
    }
    return "{\"format\": \"lip-template-v1\", \"edge\": \"outward\", \"canvas\": 512, \"feather_px\": 6.0, "
           "\"u_canon\": [" + u + "], \"lip_idx\": [6, 12, 14, 17, 19, 20], \"lip_map\": {\"schema\": "
           "\"lip-map-v1\", \"kind\": \"anchor-linear\", \"lip_idx\": [6, 12, 14, 17, 19, 20], \"W\": [" + W +
           "], \"b\": [" + b + "], \"canvas\": 512}}";
  }();
  return text;
}

const std::string& textOf(int64_t which) {
  return which == 0 ? sidecarText() : which == 1 ? manifestText() : templateText();
}

void setBytes(benchmark::State& state, const std::string& t) {
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(t.size()));
}

void BM_JsonOurs(benchmark::State& state) {
  const std::string& t = textOf(state.range(0));
  for (auto _ : state) {
    auto v = le::tessera::json::parseJson(t, "bench");
    benchmark::DoNotOptimize(v);
  }
  setBytes(state, t);
}
BENCHMARK(BM_JsonOurs)->DenseRange(0, 2)->UseRealTime();

#if defined(LE_BENCH_RAPIDJSON)
void BM_JsonRapid(benchmark::State& state) {
  const std::string& t = textOf(state.range(0));
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse<rapidjson::kParseFullPrecisionFlag>(t.c_str(), t.size());
    benchmark::DoNotOptimize(d);
  }
  setBytes(state, t);
}
BENCHMARK(BM_JsonRapid)->DenseRange(0, 2)->UseRealTime();
#endif

#if defined(LE_BENCH_NLOHMANN)
void BM_JsonNlohmann(benchmark::State& state) {
  const std::string& t = textOf(state.range(0));
  for (auto _ : state) {
    auto j = nlohmann::json::parse(t);
    benchmark::DoNotOptimize(j);
  }
  setBytes(state, t);
}
BENCHMARK(BM_JsonNlohmann)->DenseRange(0, 2)->UseRealTime();
#endif

// The floor: one plain pass over the same bytes.
void BM_JsonByteLoop(benchmark::State& state) {
  const std::string& t = textOf(state.range(0));
  for (auto _ : state) {
    size_t quotes = 0;
    for (const char c : t) quotes += c == '"';
    benchmark::DoNotOptimize(quotes);
  }
  setBytes(state, t);
}
BENCHMARK(BM_JsonByteLoop)->DenseRange(0, 2)->UseRealTime();

// --- per frame at canvas 512 -----------------------------------------------

// Frames of a mouth opening, moving and turning across the lower face.
std::vector<float> mouthFrames(int n) {
  std::vector<float> out(size_t(n) * 63, 0.f);
  for (int f = 0; f < n; ++f) {
    float* kp = out.data() + size_t(f) * 63;
    const double cx = 0.05 * std::sin(f * 0.07), cy = 0.3 + 0.04 * std::cos(f * 0.05);
    const double half = 0.12 + 0.02 * std::sin(f * 0.11), ap = 0.045 * (0.5 + 0.5 * std::sin(f * 0.3));
    const double turn = 0.2 * std::sin(f * 0.03);
    const double off[6][2] = {{-half, -ap / 1.2}, {0, -ap}, {half, -ap / 1.2},
                              {-half, ap / 1.2},  {0, ap},  {half, ap / 1.2}};
    for (int i = 0; i < 6; ++i) {
      kp[3 * kLips[i]] = float(cx + std::cos(turn) * off[i][0] - std::sin(turn) * off[i][1]);
      kp[3 * kLips[i] + 1] = float(cy + std::sin(turn) * off[i][0] + std::cos(turn) * off[i][1]);
    }
  }
  return out;
}

struct Scene {
  UnifiedPi pi = UnifiedPi::fromManifestJson(manifestText(), kCanvas);
  LipContour lip = LipContour::fromTemplateJson(templateText(), kCanvas);
  std::vector<float> frames = mouthFrames(1000);
  double canon[2] = {256.0, 330.0};
  std::vector<uint8_t> u8 = std::vector<uint8_t>(size_t(kCanvas) * kCanvas);
  std::vector<float> f32 = std::vector<float>(size_t(kCanvas) * kCanvas);
};

Scene& scene() {
  static Scene s;
  return s;
}

void BM_PiFull(benchmark::State& state) {
  Scene& s = scene();
  int f = 0;
  for (auto _ : state) {
    s.pi.piU8(s.frames.data() + size_t(f++ % 1000) * 63, s.u8.data());
    benchmark::DoNotOptimize(s.u8.data());
  }
}
BENCHMARK(BM_PiFull)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_PiAndShift(benchmark::State& state) {
  Scene& s = scene();
  int f = 0, dy, dx;
  for (auto _ : state) {
    s.pi.piU8AndShift(s.frames.data() + size_t(f++ % 1000) * 63, s.canon, s.u8.data(), &dy, &dx);
    benchmark::DoNotOptimize(s.u8.data());
  }
}
BENCHMARK(BM_PiAndShift)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ContourCanvas(benchmark::State& state) {
  Scene& s = scene();
  int f = 0;
  for (auto _ : state) {
    s.lip.contourF32Canvas(s.frames.data() + size_t(f++ % 1000) * 63, s.f32.data());
    benchmark::DoNotOptimize(s.f32.data());
  }
}
BENCHMARK(BM_ContourCanvas)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_DeliveredAndShift(benchmark::State& state) {
  Scene& s = scene();
  int f = 0, dy, dx;
  for (auto _ : state) {
    s.lip.deliveredU8AndShift(s.frames.data() + size_t(f++ % 1000) * 63, s.pi, s.canon, s.u8.data(), &dy, &dx);
    benchmark::DoNotOptimize(s.u8.data());
  }
}
BENCHMARK(BM_DeliveredAndShift)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The floor of a canvas-wide float output.
void BM_CanvasMemset(benchmark::State& state) {
  Scene& s = scene();
  for (auto _ : state) {
    std::memset(s.f32.data(), 0, s.f32.size() * sizeof(float));
    benchmark::DoNotOptimize(s.f32.data());
  }
}
BENCHMARK(BM_CanvasMemset)->Unit(benchmark::kMicrosecond)->UseRealTime();

#if defined(LE_BENCH_OPENCV)
// The same contour in OpenCV: polygon, box, fillPoly into the box (or our own
// fill), distanceTransform (DIST_L2 with the 3x3 mask: 0.955 / 1.3693), feather.
void opencvContour(const LipContour& lip, const float* kp, float* canvas, std::vector<double>& poly,
                   bool ourFill = false) {
  std::memset(canvas, 0, size_t(kCanvas) * kCanvas * sizeof(float));
  poly.resize(size_t(2 * lip.nv()));
  lip.polygon(kp, poly.data());
  const le::tessera::Box b = lip.box(poly.data());
  if (b.empty()) return;
  cv::Mat outside(b.height(), b.width(), CV_8U, cv::Scalar(255));
  if (ourFill) {
    cv::Mat fill(b.height(), b.width(), CV_8U);
    lip.fillScanline(poly.data(), b, fill.data);
    outside = 255 - fill;
  } else {
    std::vector<cv::Point> pts(size_t(lip.nv()));
    for (int i = 0; i < lip.nv(); ++i)
      pts[size_t(i)] = {int(std::nearbyint(poly[size_t(2 * i)])) - b.x0,
                        int(std::nearbyint(poly[size_t(2 * i + 1)])) - b.y0};
    cv::fillPoly(outside, std::vector<std::vector<cv::Point>>{pts}, cv::Scalar(0));
    cv::polylines(outside, std::vector<std::vector<cv::Point>>{pts}, true, cv::Scalar(0));
  }
  cv::Mat dist;
  cv::distanceTransform(outside, dist, cv::DIST_L2, cv::DIST_MASK_3);
  const float feather = lip.featherPx();
  for (int y = 0; y < b.height(); ++y) {
    const float* d = dist.ptr<float>(y);
    float* out = canvas + size_t(y + b.y0) * kCanvas + size_t(b.x0);
    for (int x = 0; x < b.width(); ++x) {
      const float t = std::min(1.f - d[x] / feather, 1.f);
      out[x] = t <= 0.f ? 0.f : (3.f - 2.f * t) * t * t;
    }
  }
}

void BM_OpenCVContour(benchmark::State& state) {
  Scene& s = scene();
  std::vector<double> poly;
  int f = 0;
  for (auto _ : state) {
    opencvContour(s.lip, s.frames.data() + size_t(f++ % 1000) * 63, s.f32.data(), poly);
    benchmark::DoNotOptimize(s.f32.data());
  }
}
BENCHMARK(BM_OpenCVContour)->Unit(benchmark::kMicrosecond)->UseRealTime();

void printLargestDifference() {
  Scene& s = scene();
  std::vector<float> ours(s.f32.size()), theirs(s.f32.size());
  std::vector<double> poly;
  for (const bool ourFill : {true, false}) {
    double worst = 0.0;
    size_t differing = 0;
    for (int f = 0; f < 1000; f += 10) {
      const float* kp = s.frames.data() + size_t(f) * 63;
      s.lip.contourF32Canvas(kp, ours.data());
      opencvContour(s.lip, kp, theirs.data(), poly, ourFill);
      for (size_t i = 0; i < ours.size(); ++i) {
        const double d = std::fabs(double(ours[i]) - double(theirs[i]));
        worst = std::max(worst, d);
        differing += d > 1e-6;
      }
    }
    std::printf("contour vs OpenCV distanceTransform(DIST_L2, 3) on %s: largest difference %.7f, "
                "%zu of %zu values differ by more than 1e-6 (100 frames)\n",
                ourFill ? "our fill" : "its own fillPoly + polylines", worst, differing, ours.size() * 100);
  }
}
#endif

// --- corpus search over 1,000 frames ----------------------------------------

void BM_CorpusBoxed(benchmark::State& state) {
  Scene& s = scene();
  for (auto _ : state) {
    for (const auto& g : le::tessera::kPiCorpus) {
      UnifiedPi u = s.pi;
      u.pad_x = g.pad_x, u.pad_y = g.pad_y, u.down = g.down;
      double cx, cy;
      u.canonicalCentroid(s.frames.data(), 1000, &cx, &cy);
      benchmark::DoNotOptimize(cx);
    }
  }
}
BENCHMARK(BM_CorpusBoxed)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CorpusFull(benchmark::State& state) {
  Scene& s = scene();
  for (auto _ : state) {
    for (const auto& g : le::tessera::kPiCorpus) {
      UnifiedPi u = s.pi;
      u.pad_x = g.pad_x, u.pad_y = g.pad_y, u.down = g.down;
      double sx = 0, sy = 0;
      for (int f = 0; f < 1000; ++f) {
        u.piU8(s.frames.data() + size_t(f) * 63, s.u8.data());
        double x, y;
        if (u.piU8Centroid(s.u8.data(), &x, &y)) sx += x, sy += y;
      }
      benchmark::DoNotOptimize(sx + sy);
    }
  }
}
BENCHMARK(BM_CorpusFull)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  std::printf("texts: sidecar %zu bytes (1024 donors), manifest %zu bytes, mapped template %zu bytes\n",
              sidecarText().size(), manifestText().size(), templateText().size());
#if defined(LE_BENCH_OPENCV)
  printLargestDifference();
#endif
  std::vector<le::bench::Ratio> ratios;
  for (const char* arg : {"0", "1", "2"}) {
    const std::string ours = std::string("BM_JsonOurs/") + arg + "/real_time";
    ratios.push_back({ours, std::string("BM_JsonNlohmann/") + arg + "/real_time"});
    ratios.push_back({ours, std::string("BM_JsonRapid/") + arg + "/real_time"});
    ratios.push_back({ours, std::string("BM_JsonByteLoop/") + arg + "/real_time"});
  }
  ratios.push_back({"BM_PiAndShift/real_time", "BM_PiFull/real_time"});
  ratios.push_back({"BM_ContourCanvas/real_time", "BM_OpenCVContour/real_time"});
  ratios.push_back({"BM_DeliveredAndShift/real_time", "BM_OpenCVContour/real_time"});
  ratios.push_back({"BM_ContourCanvas/real_time", "BM_CanvasMemset/real_time"});
  ratios.push_back({"BM_CorpusBoxed/real_time", "BM_CorpusFull/real_time"});
  return le::bench::runAndReport(argc, argv, ratios);
}
