// Per-frame paste (fill + unsharp + Lanczos-8 resampling + masked blend) for
// S = 512 into 1920 x 1080 and S = 256 into 1280 x 720 at one and two
// threads, against the same pipeline in stock OpenCV when it is available
// (GaussianBlur unsharp, warpAffine INTER_LANCZOS4 of crop and mask over the
// footprint's bounding box, blendLinear), with memcpy of the crop and frame
// bytes as the floor. Then the row kernel alone, in output pixels per second,
// on the dispatched and on the baseline target.
#include <benchmark/benchmark.h>
#include <hwy/targets.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "benchkit.h"
#include "le/paste/le_paste.h"
#include "le/paste/le_paste_simd.h"
#include "le/runtime/le_pool.h"
#include "le/runtime/le_simd.h"

#if defined(LE_BENCH_OPENCV)
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr le::Unsharp kUnsharp{1.3f, 2.0f, 13};

struct Scene {
  int S, W, H;
  std::vector<float> crop;
  std::vector<uint8_t> mask;
  std::vector<uint8_t> frame;
  float M[6];
};

// A smooth crop with detail, a feathered elliptical mask and a slightly
// rotated placement, like a face pasted back into its driver frame.
Scene makeScene(int S, int W, int H, double scale, double angle, double cx, double cy) {
  Scene s{S, W, H, {}, {}, {}, {}};
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
  s.crop.resize(static_cast<size_t>(3) * S * S);
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < S; ++y)
      for (int x = 0; x < S; ++x)
        s.crop[(static_cast<size_t>(c) * S + y) * S + x] =
            0.5f + 0.3f * std::sin(0.05f * x + c) * std::cos(0.04f * y) + noise(rng);
  s.mask.resize(static_cast<size_t>(S) * S);
  for (int y = 0; y < S; ++y)
    for (int x = 0; x < S; ++x) {
      const double dx = (x - S / 2.0) / (0.45 * S), dy = (y - S / 2.0) / (0.48 * S);
      const double r = std::sqrt(dx * dx + dy * dy);
      s.mask[static_cast<size_t>(y) * S + x] =
          static_cast<uint8_t>(255.0 * std::clamp((1.0 - r) / 0.15, 0.0, 1.0));
    }
  s.frame.resize(static_cast<size_t>(W) * H * 3);
  for (auto& v : s.frame) v = static_cast<uint8_t>(rng());
  const double a = scale * std::cos(angle), b = -scale * std::sin(angle);
  const double d = scale * std::sin(angle), e = scale * std::cos(angle);
  const double h = S / 2.0;
  const double M[6] = {a, b, cx - a * h - b * h, d, e, cy - d * h - e * h};
  for (int i = 0; i < 6; ++i) s.M[i] = static_cast<float>(M[i]);
  return s;
}

Scene& scene(int S) {
  static Scene s512 = makeScene(512, 1920, 1080, 1.1, 0.1, 960, 500);
  static Scene s256 = makeScene(256, 1280, 720, 1.4, -0.08, 640, 330);
  return S == 512 ? s512 : s256;
}

// Runs body on this thread with every parallel call inside it inline: a call
// made from chunk 0 of another parallel call does not split.
template <class F>
void onOneThread(F&& body) {
  le::pool::Pool outer(2);
  auto job = [&](size_t begin, size_t) {
    if (begin == 0) body();
  };
  outer.run(2, 2, le::pool::RangeRef(job));
}

void pasteFrames(benchmark::State& st, int S, int threads) {
  Scene& sc = scene(S);
  le::Paste paste(sc.mask, S, kUnsharp);
  std::vector<uint8_t> frame = sc.frame;
  auto loop = [&] {
    for (auto _ : st) {
      paste.composite(sc.crop.data(), 255.0f, sc.M, frame.data(), sc.W, sc.H);
      benchmark::ClobberMemory();
    }
  };
  if (threads == 1) onOneThread(loop);
  else loop();
  st.counters["threads"] = threads == 1 ? 1 : le::pool::threads();
}

void BM_Paste512_T1(benchmark::State& st) { pasteFrames(st, 512, 1); }
void BM_Paste512_T2(benchmark::State& st) { pasteFrames(st, 512, 2); }
void BM_Paste256_T1(benchmark::State& st) { pasteFrames(st, 256, 1); }
void BM_Paste256_T2(benchmark::State& st) { pasteFrames(st, 256, 2); }
BENCHMARK(BM_Paste512_T1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Paste512_T2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Paste256_T1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Paste256_T2)->Unit(benchmark::kMillisecond)->UseRealTime();

#if defined(LE_BENCH_OPENCV)
void opencvFrames(benchmark::State& st, int S, int threads) {
  Scene& sc = scene(S);
  const int prev = cv::getNumThreads();
  cv::setNumThreads(threads);
  std::vector<uint8_t> frameBytes = sc.frame;
  cv::Mat frame(sc.H, sc.W, CV_8UC3, frameBytes.data());
  const cv::Mat mask(S, S, CV_8UC1, sc.mask.data());
  std::vector<cv::Mat> planes;
  for (int c = 0; c < 3; ++c)
    planes.emplace_back(S, S, CV_32FC1, sc.crop.data() + static_cast<size_t>(c) * S * S);
  // Footprint bounding box, as the compositor computes it.
  double x0 = 1e300, x1 = -1e300, y0 = 1e300, y1 = -1e300;
  for (double u : {-4.0, S + 3.0})
    for (double v : {-4.0, S + 3.0}) {
      const double x = sc.M[0] * u + sc.M[1] * v + sc.M[2], y = sc.M[3] * u + sc.M[4] * v + sc.M[5];
      x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
    }
  const cv::Rect box(cv::Point(static_cast<int>(std::max(std::floor(x0), 0.0)),
                               static_cast<int>(std::max(std::floor(y0), 0.0))),
                     cv::Point(static_cast<int>(std::min(std::ceil(x1), sc.W - 1.0)) + 1,
                               static_cast<int>(std::min(std::ceil(y1), sc.H - 1.0)) + 1));
  const cv::Matx23d toBox(sc.M[0], sc.M[1], sc.M[2] - box.x, sc.M[3], sc.M[4], sc.M[5] - box.y);
  const float a = kUnsharp.amount;
  cv::Mat img, blur, sharp, warped, warped8, warpedMask, alpha, beta, blended;
  for (auto _ : st) {
    cv::merge(planes, img);
    img *= 255.0;
    cv::GaussianBlur(img, blur, cv::Size(kUnsharp.ksize, kUnsharp.ksize), kUnsharp.sigma,
                     kUnsharp.sigma, cv::BORDER_REFLECT_101);
    cv::addWeighted(img, 1.0 + a, blur, -a, 0.0, sharp);
    cv::min(cv::max(sharp, 0.0), 255.0, sharp);
    cv::warpAffine(sharp, warped, toBox, box.size(), cv::INTER_LANCZOS4, cv::BORDER_CONSTANT);
    cv::warpAffine(mask, warpedMask, toBox, box.size(), cv::INTER_LANCZOS4, cv::BORDER_CONSTANT);
    warped.convertTo(warped8, CV_8UC3);
    warpedMask.convertTo(alpha, CV_32F, 1.0 / 255.0);
    cv::subtract(cv::Scalar(1.0), alpha, beta);
    cv::Mat roi = frame(box);
    cv::blendLinear(warped8, roi, alpha, beta, blended);
    blended.copyTo(roi);
    benchmark::ClobberMemory();
  }
  cv::setNumThreads(prev);
  st.counters["threads"] = threads;
}

void BM_OpenCV512_T1(benchmark::State& st) { opencvFrames(st, 512, 1); }
void BM_OpenCV512_T2(benchmark::State& st) { opencvFrames(st, 512, 2); }
void BM_OpenCV256_T1(benchmark::State& st) { opencvFrames(st, 256, 1); }
void BM_OpenCV256_T2(benchmark::State& st) { opencvFrames(st, 256, 2); }
BENCHMARK(BM_OpenCV512_T1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OpenCV512_T2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OpenCV256_T1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OpenCV256_T2)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

// Floor: the crop's float bytes and the frame bytes copied once.
void copyFloor(benchmark::State& st, int S) {
  Scene& sc = scene(S);
  std::vector<float> crop(sc.crop.size());
  std::vector<uint8_t> frame(sc.frame.size());
  for (auto _ : st) {
    std::memcpy(crop.data(), sc.crop.data(), crop.size() * sizeof(float));
    std::memcpy(frame.data(), sc.frame.data(), frame.size());
    benchmark::ClobberMemory();
  }
}
void BM_Memcpy512(benchmark::State& st) { copyFloor(st, 512); }
void BM_Memcpy256(benchmark::State& st) { copyFloor(st, 256); }
BENCHMARK(BM_Memcpy512)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Memcpy256)->Unit(benchmark::kMillisecond)->UseRealTime();

// The row kernel over every row of the 512 footprint with a full mask, so
// each visited pixel takes the whole 64-tap path.
struct RowScene {
  std::vector<float> rgba;
  std::vector<uint8_t> mask;
  std::vector<int> colU, colV;
  std::vector<uint8_t> frame;
  int W = 1920, H = 1080, x0 = 0, x1 = 0, y0 = 0, y1 = 0;
  double ib = 0, ie = 0, tu = 0, tv = 0;
  int64_t pixels = 0;  // pixels that take the colour path per pass
};

RowScene& rowScene() {
  static RowScene r = [] {
    RowScene s;
    const int S = 512;
    std::mt19937 rng(3);
    s.rgba.resize(static_cast<size_t>(S) * S * 4);
    for (auto& v : s.rgba) v = static_cast<float>(rng() % 256);
    s.mask.assign(static_cast<size_t>(S) * S, 255);
    s.frame.assign(static_cast<size_t>(s.W) * s.H * 3, 100);
    const Scene& sc = scene(512);
    const double a = sc.M[0], b = sc.M[1], c = sc.M[2], d = sc.M[3], e = sc.M[4], f = sc.M[5];
    const double det = a * e - b * d;
    const double ia = e / det, id = -d / det;
    s.ib = -b / det, s.ie = a / det, s.tu = -(c * ia + f * s.ib), s.tv = -(c * id + f * s.ie);
    s.x0 = 600, s.x1 = 1320, s.y0 = 150, s.y1 = 850;
    s.colU.resize(static_cast<size_t>(s.W));
    s.colV.resize(static_cast<size_t>(s.W));
    for (int x = 0; x < s.W; ++x) {
      s.colU[static_cast<size_t>(x)] = static_cast<int>(std::rint(x * ia * 1024.0));
      s.colV[static_cast<size_t>(x)] = static_cast<int>(std::rint(x * id * 1024.0));
    }
    for (int y = s.y0; y <= s.y1; ++y)
      for (int x = s.x0; x <= s.x1; ++x) {
        const double u = x * ia + y * s.ib + s.tu, v = x * id + y * s.ie + s.tv;
        s.pixels += (u >= -1 && u < S && v >= -1 && v < S);
      }
    return s;
  }();
  return r;
}

void rowKernel(benchmark::State& st, int64_t targetBit) {
  if (targetBit != 0) hwy::SetSupportedTargetsForTest(targetBit);
  RowScene& s = rowScene();
  le::Paste tables(std::vector<uint8_t>(1, 255), 1, le::Unsharp{0.0f, 1.0f, 1});
  const le::simd::PasteLanczos8RowFn kernel = le::simd::pasteLanczos8RowKernel();
  st.SetLabel(le::simd::target());
  for (auto _ : st) {
    for (int y = s.y0; y <= s.y1; ++y) {
      const int bu = static_cast<int>(std::rint((y * s.ib + s.tu) * 1024.0)) + 16;
      const int bv = static_cast<int>(std::rint((y * s.ie + s.tv) * 1024.0)) + 16;
      kernel(s.rgba.data(), 512, s.mask.data(), tables.lanczos(), tables.bilinear(), s.colU.data(),
             s.colV.data(), bu, bv, s.x0, s.x1, s.frame.data() + static_cast<size_t>(y) * s.W * 3);
    }
    benchmark::ClobberMemory();
  }
  st.counters["px/s"] =
      benchmark::Counter(static_cast<double>(s.pixels), benchmark::Counter::kIsIterationInvariantRate);
  if (targetBit != 0) hwy::SetSupportedTargetsForTest(0);
}

// The fallback slot: the last (least capable) target compiled in.
int64_t baselineTarget() {
  int64_t bit = 0;
  for (int64_t t = le::simd::compiledTargets(); t != 0; t &= t - 1) bit = t & -t;
  return bit;
}

void BM_RowKernelDispatched(benchmark::State& st) { rowKernel(st, 0); }
void BM_RowKernelBaseline(benchmark::State& st) { rowKernel(st, baselineTarget()); }
BENCHMARK(BM_RowKernelDispatched)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RowKernelBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();

// Floor of the row kernel: one copy of the interleaved crop it samples.
void BM_MemcpyRgba(benchmark::State& st) {
  RowScene& s = rowScene();
  std::vector<float> dst(s.rgba.size());
  for (auto _ : st) {
    std::memcpy(dst.data(), s.rgba.data(), dst.size() * sizeof(float));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_MemcpyRgba)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  std::printf("target: %s, baseline: %s, pool threads: %d\n", le::simd::target(),
              hwy::TargetName(baselineTarget()), le::pool::threads());
  return le::bench::runAndReport(
      argc, argv,
      {{"BM_Paste512_T1/real_time", "BM_OpenCV512_T1/real_time"},
       {"BM_Paste512_T2/real_time", "BM_OpenCV512_T2/real_time"},
       {"BM_Paste256_T1/real_time", "BM_OpenCV256_T1/real_time"},
       {"BM_Paste256_T2/real_time", "BM_OpenCV256_T2/real_time"},
       {"BM_Paste512_T1/real_time", "BM_Memcpy512/real_time"},
       {"BM_Paste256_T1/real_time", "BM_Memcpy256/real_time"},
       {"BM_RowKernelDispatched/real_time", "BM_RowKernelBaseline/real_time"},
       {"BM_RowKernelDispatched/real_time", "BM_MemcpyRgba/real_time"}});
}
