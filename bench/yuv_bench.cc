// yuv420p -> RGB24 over one 1920 x 1080 frame: the row kernel against
// swscale (point and bilinear, one thread), libyuv's I420 to R,G,B bytes
// when built with it, a plain loop moving the same bytes, and memcpy of the
// output bytes.
extern "C" {
#include <libswscale/swscale.h>
#include <libavutil/pixfmt.h>
}

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#ifdef LE_HAVE_LIBYUV
#include <libyuv.h>
#endif

#include "benchkit.h"
#include "le/driver/yuv.h"
#include "le/runtime/le_simd.h"

namespace {

constexpr int kW = 1920, kH = 1080;
constexpr size_t kY = size_t(kW) * kH, kC = size_t(kW / 2) * (kH / 2), kRgb = kY * 3;

struct Frame {
  std::vector<uint8_t> y = std::vector<uint8_t>(kY), u = std::vector<uint8_t>(kC),
                       v = std::vector<uint8_t>(kC), rgb = std::vector<uint8_t>(kRgb),
                       spare = std::vector<uint8_t>(kRgb);
  Frame() {
    std::mt19937 rng(1);
    for (auto* p : {&y, &u, &v})
      for (auto& b : *p) b = static_cast<uint8_t>(rng());
  }
};

Frame& frame() {
  static Frame f;
  return f;
}

void BM_Yuv420RowToRgb24(benchmark::State& st) {
  Frame& f = frame();
  for (auto _ : st) {
    for (int r = 0; r < kH; ++r)
      le::simd::yuv420RowToRgb24(f.y.data() + size_t(r) * kW, f.u.data() + size_t(r / 2) * (kW / 2),
                                 f.v.data() + size_t(r / 2) * (kW / 2), kW, 1,
                                 f.rgb.data() + size_t(r) * kW * 3);
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(kY + 2 * kC + kRgb));
}
BENCHMARK(BM_Yuv420RowToRgb24);

// The form the MP4 source uses: one dispatch per frame, chroma terms shared by
// each pair of luma rows.
void BM_Yuv420FrameToRgb24(benchmark::State& st) {
  Frame& f = frame();
  for (auto _ : st) {
    le::simd::yuv420FrameToRgb24(f.y.data(), kW, f.u.data(), kW / 2, f.v.data(), kW / 2, kW, kH, 1,
                                 f.rgb.data(), kW * 3);
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(kY + 2 * kC + kRgb));
}
BENCHMARK(BM_Yuv420FrameToRgb24);

void swscale(benchmark::State& st, int flags) {
  Frame& f = frame();
  SwsContext* ctx = sws_getContext(kW, kH, AV_PIX_FMT_YUV420P, kW, kH, AV_PIX_FMT_RGB24, flags,
                                   nullptr, nullptr, nullptr);
  if (!ctx) {
    st.SkipWithError("sws_getContext failed");
    return;
  }
  const uint8_t* src[3] = {f.y.data(), f.u.data(), f.v.data()};
  const int srcStride[3] = {kW, kW / 2, kW / 2};
  uint8_t* dst[1] = {f.rgb.data()};
  const int dstStride[1] = {kW * 3};
  for (auto _ : st) {
    sws_scale(ctx, src, srcStride, 0, kH, dst, dstStride);
    benchmark::ClobberMemory();
  }
  sws_freeContext(ctx);
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(kY + 2 * kC + kRgb));
}
void BM_SwsPoint(benchmark::State& st) { swscale(st, SWS_POINT); }
void BM_SwsBilinear(benchmark::State& st) { swscale(st, SWS_BILINEAR); }
BENCHMARK(BM_SwsPoint);
BENCHMARK(BM_SwsBilinear);

#ifdef LE_HAVE_LIBYUV
// libyuv's "RAW" is R, G, B in memory order (its "RGB24" is B, G, R).
void BM_LibyuvI420ToRaw(benchmark::State& st) {
  Frame& f = frame();
  for (auto _ : st) {
    libyuv::I420ToRAW(f.y.data(), kW, f.u.data(), kW / 2, f.v.data(), kW / 2, f.rgb.data(), kW * 3,
                      kW, kH);
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(kY + 2 * kC + kRgb));
}
BENCHMARK(BM_LibyuvI420ToRaw);
#endif

// The memory floor: read the 3.1 MB of yuv once and write the 6.2 MB of RGB
// once, no arithmetic. Each output row is Y, U, V, Y laid end to end, moved
// by a plain byte loop the compiler vectorises.
template <int kN>
void moveBytes(const uint8_t* __restrict src, uint8_t* __restrict dst) {
  for (int i = 0; i < kN; ++i) dst[i] = src[i];
}

void BM_PlainLoop(benchmark::State& st) {
  Frame& f = frame();
  for (auto _ : st) {
    for (int r = 0; r < kH; ++r) {
      const uint8_t* y = f.y.data() + size_t(r) * kW;
      uint8_t* o = f.rgb.data() + size_t(r) * kW * 3;
      moveBytes<kW>(y, o);
      moveBytes<kW / 2>(f.u.data() + size_t(r / 2) * (kW / 2), o + kW);
      moveBytes<kW / 2>(f.v.data() + size_t(r / 2) * (kW / 2), o + kW + kW / 2);
      moveBytes<kW>(y, o + 2 * kW);
    }
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(kY + 2 * kC + kRgb));
}
BENCHMARK(BM_PlainLoop);

void BM_MemcpyOutput(benchmark::State& st) {
  Frame& f = frame();
  for (auto _ : st) {
    std::memcpy(f.rgb.data(), f.spare.data(), kRgb);
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(2 * kRgb));
}
BENCHMARK(BM_MemcpyOutput);

}  // namespace

int main(int argc, char** argv) {
  std::printf("target: %s, frame %dx%d yuv420p -> rgb24\n", le::simd::target(), kW, kH);
#ifndef LE_HAVE_LIBYUV
  std::printf("libyuv: not built in (scripts/install-deps.sh --bench provides it)\n");
#endif
  // The frame form is what the driver runs (row pairs share chroma terms);
  // the single-row form is the building block hosts may call.
  const char* k = "BM_Yuv420FrameToRgb24";
  return le::bench::runAndReport(argc, argv,
                                 {{k, "BM_SwsPoint"},
                                  {k, "BM_SwsBilinear"},
                                  {k, "BM_LibyuvI420ToRaw"},
                                  {k, "BM_PlainLoop"},
                                  {k, "BM_MemcpyOutput"},
                                  {k, "BM_Yuv420RowToRgb24"}});
}
