// decodeBankTrack on a 1024-donor bank of 96 x 64 lossless patches (the
// fixture writer's libx264rgb track) against a plain libavcodec + sws_scale
// loop over the same bytes in memory, converting into the same donor slots.
// The floors: memcpy of the whole bank, and a plain loop summing its bytes.
#include <benchmark/benchmark.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libswscale/swscale.h>
}

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "benchkit.h"
#include "le/bundle/fsutil.h"
#include "le/tessera/bankdec.h"

namespace {

constexpr int kDonors = 1024, kW = 96, kH = 64;
constexpr size_t kBankBytes = size_t(kDonors) * kW * kH * 3;

std::vector<uint8_t> gTrack;
std::vector<int> gOrder;

struct Reader {
  const uint8_t* data;
  int64_t size, pos;
};
int readPacket(void* o, uint8_t* buf, int n) {
  auto* r = static_cast<Reader*>(o);
  if (r->pos >= r->size) return AVERROR_EOF;
  n = int(std::min<int64_t>(n, r->size - r->pos));
  std::memcpy(buf, r->data + r->pos, size_t(n));
  r->pos += n;
  return n;
}
int64_t seekPacket(void* o, int64_t off, int whence) {
  auto* r = static_cast<Reader*>(o);
  whence &= ~AVSEEK_FORCE;
  if (whence == AVSEEK_SIZE) return r->size;
  const int64_t base = whence == SEEK_CUR ? r->pos : whence == SEEK_END ? r->size : 0;
  if (base + off < 0 || base + off > r->size) return -1;
  return r->pos = base + off;
}

// The peer: what a caller would write by hand, converting straight into the
// slot (with slack after the bank for the converter's row overrun).
std::vector<uint8_t> plainDecode() {
  Reader r{gTrack.data(), int64_t(gTrack.size()), 0};
  auto* buf = static_cast<uint8_t*>(av_malloc(65536));
  AVIOContext* io = avio_alloc_context(buf, 65536, 0, &r, readPacket, nullptr, seekPacket);
  AVFormatContext* fmt = avformat_alloc_context();
  fmt->pb = io;
  if (avformat_open_input(&fmt, nullptr, nullptr, nullptr) < 0 || avformat_find_stream_info(fmt, nullptr) < 0)
    throw std::runtime_error("peer: cannot open the track");
  const int stream = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const AVCodecParameters* par = fmt->streams[stream]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  AVCodecContext* dec = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(dec, par);
  avcodec_open2(dec, codec, nullptr);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  SwsContext* sws = nullptr;
  std::vector<uint8_t> out(kBankBytes + 4096, 0);
  int k = 0;
  const auto take = [&] {
    while (avcodec_receive_frame(dec, frame) == 0) {
      if (!sws)
        sws = sws_getContext(kW, kH, AVPixelFormat(frame->format), kW, kH, AV_PIX_FMT_RGB24, SWS_BILINEAR,
                             nullptr, nullptr, nullptr);
      uint8_t* dst[4] = {out.data() + size_t(gOrder[size_t(k++)]) * kW * kH * 3};
      const int stride[4] = {kW * 3};
      sws_scale(sws, frame->data, frame->linesize, 0, kH, dst, stride);
      av_frame_unref(frame);
    }
  };
  while (av_read_frame(fmt, pkt) >= 0) {
    if (pkt->stream_index == stream) avcodec_send_packet(dec, pkt);
    av_packet_unref(pkt);
    take();
  }
  avcodec_send_packet(dec, nullptr);
  take();
  sws_freeContext(sws);
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&dec);
  avformat_close_input(&fmt);
  av_freep(&io->buffer);
  avio_context_free(&io);
  if (k != kDonors) throw std::runtime_error("peer: decoded " + std::to_string(k) + " frames");
  out.resize(kBankBytes);
  return out;
}

void BM_DecodeBankTrack(benchmark::State& st) {
  for (auto _ : st) {
    std::vector<uint8_t> bank = le::tessera::decodeBankTrack(gTrack.data(), gTrack.size(), kDonors, kH, kW, gOrder);
    benchmark::DoNotOptimize(bank.data());
  }
  st.counters["s_per_donor"] =
      benchmark::Counter(double(st.iterations()) * kDonors, benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
                         benchmark::Counter::OneK::kIs1000);
}
BENCHMARK(BM_DecodeBankTrack)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlainDecodeLoop(benchmark::State& st) {
  for (auto _ : st) {
    std::vector<uint8_t> bank = plainDecode();
    benchmark::DoNotOptimize(bank.data());
  }
  st.counters["s_per_donor"] =
      benchmark::Counter(double(st.iterations()) * kDonors, benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
                         benchmark::Counter::OneK::kIs1000);
}
BENCHMARK(BM_PlainDecodeLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MemcpyBank(benchmark::State& st) {
  std::vector<uint8_t> src(kBankBytes, 1), dst(kBankBytes);
  for (auto _ : st) {
    std::memcpy(dst.data(), src.data(), kBankBytes);
    benchmark::DoNotOptimize(dst.data());
  }
}
BENCHMARK(BM_MemcpyBank)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SumBank(benchmark::State& st) {
  std::vector<uint8_t> src(kBankBytes, 1);
  for (auto _ : st) benchmark::DoNotOptimize(std::accumulate(src.begin(), src.end(), uint64_t(0)));
}
BENCHMARK(BM_SumBank)->Unit(benchmark::kMillisecond)->UseRealTime();

std::vector<uint8_t> readAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/le_bankdec_bench.XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  int rc = 1;
  const std::string cmd = "PYTHONPATH=" LE_FIXTURES_DIR " " LE_PYTHON " -m lefix tessera track --out " + dir +
                          "/bank.mp4 --donors 1024 --size 96 64 --kind lossless --order " + dir + "/order.json";
  if (le::bench::sh(cmd)) {
    try {
      gTrack = readAll(dir + "/bank.mp4");
      std::string order = std::string(std::istreambuf_iterator<char>(std::ifstream(dir + "/order.json").rdbuf()), {});
      for (char& c : order)
        if (c == '[' || c == ']' || c == ',') c = ' ';
      std::istringstream in(order);
      for (int d; in >> d;) gOrder.push_back(d);
      if (plainDecode() != le::tessera::decodeBankTrack(gTrack.data(), gTrack.size(), kDonors, kH, kW, gOrder))
        throw std::runtime_error("the peer and decodeBankTrack disagree");
      std::printf("bank: %d donors of %dx%d, lossless H.264 RGB, %zu bytes of track, %zu of patches\n", kDonors,
                  kW, kH, gTrack.size(), kBankBytes);
      std::vector<char*> args(argv, argv + argc);
      char reps[] = "--benchmark_repetitions=5";
      char shuffle[] = "--benchmark_enable_random_interleaving=true";
      char aggregates[] = "--benchmark_report_aggregates_only=true";
      args.insert(args.begin() + 1, {reps, shuffle, aggregates});
      int n = int(args.size());
      rc = le::bench::runAndReport(n, args.data(),
                                   {{"BM_DecodeBankTrack/real_time", "BM_PlainDecodeLoop/real_time"},
                                    {"BM_DecodeBankTrack/real_time", "BM_MemcpyBank/real_time"},
                                    {"BM_DecodeBankTrack/real_time", "BM_SumBank/real_time"}});
    } catch (const std::exception& e) {
      std::fprintf(stderr, "bench failed: %s\n", e.what());
    }
  }
  le::fs::rmTree(dir);
  return rc;
}
