// Sequential pulls of a 1920x1080 H.264 clip through the driver cursor (the
// session's look-ahead 2, history 11) against a plain libavcodec decode +
// sws_scale loop of the same clip; then both again with a consumer that works
// as long as one decode takes, where the prefetch thread should hide the
// decode. The source driven directly shows the cursor's own cost; memcpy of
// one RGB frame is the floor of a pull, and each run's cpu_ms (all threads of
// the process, per frame) divided by the core count is the floor of a frame
// once decoding and the consumer's work share the cores.
#include <benchmark/benchmark.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "benchkit.h"
#include "le/bundle/fsutil.h"
#include "le/driver/cursor.h"

namespace {

constexpr int kW = 1920;
constexpr int kH = 1080;
constexpr int kFrames = 60;
constexpr size_t kRgbBytes = size_t(kW) * kH * 3;

std::string gClip;
std::chrono::nanoseconds gWork{0};

// The peer: what a caller would write by hand, with the same decoder threading
// as the driver source (4 threads, frame threading) and a one-thread sws_scale.
class PlainDecoder {
 public:
  explicit PlainDecoder(const std::string& path) {
    if (avformat_open_input(&fmt_, path.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(fmt_, nullptr) < 0)
      throw std::runtime_error("cannot open " + path);
    stream_ = av_find_best_stream(fmt_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream_ < 0) throw std::runtime_error("no video stream in " + path);
    const AVCodecParameters* par = fmt_->streams[stream_]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    dec_ = avcodec_alloc_context3(codec);
    if (!dec_ || avcodec_parameters_to_context(dec_, par) < 0)
      throw std::runtime_error("decoder setup failed");
    dec_->thread_count = 4;
    dec_->thread_type = FF_THREAD_FRAME;
    if (avcodec_open2(dec_, codec, nullptr) < 0) throw std::runtime_error("decoder open failed");
    pkt_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    sws_ = sws_getContext(kW, kH, AV_PIX_FMT_YUV420P, kW, kH, AV_PIX_FMT_RGB24, SWS_BILINEAR,
                          nullptr, nullptr, nullptr);
    if (!pkt_ || !frame_ || !sws_) throw std::runtime_error("out of memory");
  }
  ~PlainDecoder() {
    sws_freeContext(sws_);
    av_frame_free(&frame_);
    av_packet_free(&pkt_);
    avcodec_free_context(&dec_);
    avformat_close_input(&fmt_);
  }

  // Next frame into rgb, looping at the end like the cursor does.
  void decodeOne(uint8_t* rgb) {
    for (;;) {
      const int r = avcodec_receive_frame(dec_, frame_);
      if (r == 0) break;
      if (r == AVERROR_EOF) {
        av_seek_frame(fmt_, stream_, 0, AVSEEK_FLAG_BACKWARD);
        avcodec_flush_buffers(dec_);
        eof_ = false;
        continue;
      }
      if (r != AVERROR(EAGAIN)) throw std::runtime_error("decode failed");
      if (eof_) throw std::runtime_error("decoder wants input after the flush");
      const int rr = av_read_frame(fmt_, pkt_);
      if (rr == AVERROR_EOF) {
        eof_ = true;
        avcodec_send_packet(dec_, nullptr);
        continue;
      }
      if (rr < 0) throw std::runtime_error("read failed");
      if (pkt_->stream_index == stream_) avcodec_send_packet(dec_, pkt_);
      av_packet_unref(pkt_);
    }
    uint8_t* dst[1] = {rgb};
    const int stride[1] = {kW * 3};
    sws_scale(sws_, frame_->data, frame_->linesize, 0, kH, dst, stride);
    av_frame_unref(frame_);
  }

 private:
  AVFormatContext* fmt_ = nullptr;
  AVCodecContext* dec_ = nullptr;
  AVPacket* pkt_ = nullptr;
  AVFrame* frame_ = nullptr;
  SwsContext* sws_ = nullptr;
  int stream_ = -1;
  bool eof_ = false;
};

// Busy work for a fixed time, standing in for render and paste.
void work(std::chrono::nanoseconds d) {
  const auto until = std::chrono::steady_clock::now() + d;
  while (std::chrono::steady_clock::now() < until) benchmark::ClobberMemory();
}

std::unique_ptr<le::DriverCursor> openCursor() {
  return le::DriverCursor::over(le::driver::openMp4(gClip, kFrames, kW, kH), 2, 11);
}

double processCpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Frames per second, and the CPU time of the whole process per frame (decoder
// threads and the producer included): on a machine with c cores no schedule
// can beat cpu_ms / c per frame, which is the floor for hiding the decode.
class Meter {
 public:
  explicit Meter(benchmark::State& st) : st_(st), cpu0_(processCpuSeconds()) {}
  ~Meter() {
    const double n = double(std::max<benchmark::IterationCount>(st_.iterations(), 1));
    st_.counters["fps"] = benchmark::Counter(double(st_.iterations()), benchmark::Counter::kIsRate);
    st_.counters["cpu_ms"] = (processCpuSeconds() - cpu0_) * 1e3 / n;
  }

 private:
  benchmark::State& st_;
  double cpu0_;
};

void BM_CursorPull(benchmark::State& st) {
  auto c = openCursor();
  std::vector<uint8_t> rgb(kRgbBytes);
  Meter meter(st);
  for (auto _ : st) benchmark::DoNotOptimize(c->pull(rgb.data()));
}
BENCHMARK(BM_CursorPull)->Unit(benchmark::kMillisecond)->UseRealTime();

// The borrowing form (what the session's render path uses): no copy out of
// the ring slot.
void BM_CursorPullRef(benchmark::State& st) {
  auto c = openCursor();
  int idx = -1;
  Meter meter(st);
  for (auto _ : st) benchmark::DoNotOptimize(c->pull(&idx));
}
BENCHMARK(BM_CursorPullRef)->Unit(benchmark::kMillisecond)->UseRealTime();

// No history: three ring slots instead of fourteen. The difference to
// BM_CursorPullRef is what the history window's eleven extra slots cost the
// producer's writes.
void BM_CursorPullRefNoHistory(benchmark::State& st) {
  auto c = le::DriverCursor::over(le::driver::openMp4(gClip, kFrames, kW, kH), 2, 0);
  int idx = -1;
  Meter meter(st);
  for (auto _ : st) benchmark::DoNotOptimize(c->pull(&idx));
}
BENCHMARK(BM_CursorPullRefNoHistory)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DecodeConvert(benchmark::State& st) {
  PlainDecoder d(gClip);
  std::vector<uint8_t> rgb(kRgbBytes);
  Meter meter(st);
  for (auto _ : st) {
    d.decodeOne(rgb.data());
    benchmark::DoNotOptimize(rgb.data());
  }
}
BENCHMARK(BM_DecodeConvert)->Unit(benchmark::kMillisecond)->UseRealTime();

// The source alone on the calling thread: the cursor's own cost is the rest.
void BM_SourceNext(benchmark::State& st) {
  auto src = le::driver::openMp4(gClip, kFrames, kW, kH);
  std::vector<uint8_t> rgb(kRgbBytes);
  int pos = 0;
  Meter meter(st);
  for (auto _ : st) {
    if (pos == kFrames) {
      src->rewind();
      pos = 0;
    }
    if (!src->next(rgb.data())) st.SkipWithError("source ended early");
    ++pos;
    benchmark::DoNotOptimize(rgb.data());
  }
}
BENCHMARK(BM_SourceNext)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CursorPullWork(benchmark::State& st) {
  auto c = openCursor();
  std::vector<uint8_t> rgb(kRgbBytes);
  Meter meter(st);
  for (auto _ : st) {
    benchmark::DoNotOptimize(c->pull(rgb.data()));
    work(gWork);
  }
}
BENCHMARK(BM_CursorPullWork)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DecodeConvertWork(benchmark::State& st) {
  PlainDecoder d(gClip);
  std::vector<uint8_t> rgb(kRgbBytes);
  Meter meter(st);
  for (auto _ : st) {
    d.decodeOne(rgb.data());
    benchmark::DoNotOptimize(rgb.data());
    work(gWork);
  }
}
BENCHMARK(BM_DecodeConvertWork)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MemcpyFrame(benchmark::State& st) {
  std::vector<uint8_t> a(kRgbBytes, 1), b(kRgbBytes);
  Meter meter(st);
  for (auto _ : st) {
    std::memcpy(b.data(), a.data(), kRgbBytes);
    benchmark::DoNotOptimize(b.data());
  }
}
BENCHMARK(BM_MemcpyFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

// Mean decode + convert time of one frame, measured over two passes of the clip.
std::chrono::nanoseconds calibrate() {
  PlainDecoder d(gClip);
  std::vector<uint8_t> rgb(kRgbBytes);
  for (int i = 0; i < 10; ++i) d.decodeOne(rgb.data());
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 2 * kFrames; ++i) d.decodeOne(rgb.data());
  return (std::chrono::steady_clock::now() - t0) / (2 * kFrames);
}

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/le_cursor_bench.XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  gClip = dir + "/clip.mp4";
  const std::string cmd =
      "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v " +
      std::to_string(kFrames) + " -c:v libx264 -preset veryfast -pix_fmt yuv420p " + gClip;
  int rc = 1;
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "could not write the clip with: %s\n", cmd.c_str());
  } else {
    try {
      gWork = calibrate();
      std::printf("clip: %dx%d H.264, %d frames; consumer work per frame: %.2f ms\n", kW, kH,
                  kFrames, double(gWork.count()) / 1e6);
      // The benchmarks share the machine's memory bandwidth with whatever
      // else runs; five repetitions in random order, compared by their
      // medians, keep a slow spell from landing on one side of a ratio.
      std::vector<char*> args(argv, argv + argc);
      char reps[] = "--benchmark_repetitions=5";
      char shuffle[] = "--benchmark_enable_random_interleaving=true";
      char aggregates[] = "--benchmark_report_aggregates_only=true";
      args.insert(args.begin() + 1, {reps, shuffle, aggregates});
      int n = int(args.size());
      rc = le::bench::runAndReport(
          n, args.data(),
          {{"BM_CursorPull/real_time", "BM_DecodeConvert/real_time"},
           {"BM_CursorPull/real_time", "BM_SourceNext/real_time"},
           {"BM_CursorPullRef/real_time", "BM_DecodeConvert/real_time"},
           {"BM_CursorPullRef/real_time", "BM_SourceNext/real_time"},
           {"BM_CursorPullWork/real_time", "BM_DecodeConvertWork/real_time"},
           {"BM_CursorPull/real_time", "BM_MemcpyFrame/real_time"}});
    } catch (const std::exception& e) {
      std::fprintf(stderr, "bench failed: %s\n", e.what());
    }
  }
  le::fs::rmTree(dir);
  return rc;
}
