// HEVC yuv444p 512 x 512 warp prior: frames per second through openPriorHevc
// (decode plus the planar binary16 conversion), against a bare libavcodec
// decode of the same clip with the same threading (the decode floor). The
// clip is written with the ffmpeg CLI at start: lossless, all-intra. Wall
// time: the decoder works on its own threads.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "benchkit.h"
#include "le/driver/source.h"

namespace {

constexpr int kCrop = 512, kFrames = 25;

std::string& clip() {
  static std::string path;
  return path;
}

void BM_PriorHevcFrames(benchmark::State& st) {
  auto src = le::driver::openPriorHevc(clip(), kFrames, kCrop);
  std::vector<uint8_t> frame(src->frameBytes());
  for (auto _ : st) {
    if (!src->next(frame.data())) {
      src->rewind();
      src->next(frame.data());
    }
    benchmark::DoNotOptimize(frame.data());
  }
  st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_PriorHevcFrames)->Unit(benchmark::kMillisecond)->UseRealTime();

// Decode only: demux, send, receive; frames dropped unconverted.
void BM_LibavcodecDecodeOnly(benchmark::State& st) {
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, clip().c_str(), nullptr, nullptr) < 0 ||
      avformat_find_stream_info(fmt, nullptr) < 0) {
    st.SkipWithError("open failed");
    return;
  }
  const int stream = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const AVCodec* codec = avcodec_find_decoder(fmt->streams[stream]->codecpar->codec_id);
  AVCodecContext* dec = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(dec, fmt->streams[stream]->codecpar);
  dec->thread_count = 4;
  dec->thread_type = FF_THREAD_FRAME;
  avcodec_open2(dec, codec, nullptr);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frm = av_frame_alloc();
  bool eof = false;
  for (auto _ : st) {
    for (;;) {
      const int r = avcodec_receive_frame(dec, frm);
      if (r == 0) break;
      if (r == AVERROR_EOF || (eof && r == AVERROR(EAGAIN))) {
        av_seek_frame(fmt, stream, 0, AVSEEK_FLAG_BACKWARD);
        avcodec_flush_buffers(dec);
        eof = false;
        continue;
      }
      if (av_read_frame(fmt, pkt) < 0) {
        eof = true;
        avcodec_send_packet(dec, nullptr);
        continue;
      }
      if (pkt->stream_index == stream) avcodec_send_packet(dec, pkt);
      av_packet_unref(pkt);
    }
    av_frame_unref(frm);
  }
  st.SetItemsProcessed(st.iterations());
  av_frame_free(&frm);
  av_packet_free(&pkt);
  avcodec_free_context(&dec);
  avformat_close_input(&fmt);
}
BENCHMARK(BM_LibavcodecDecodeOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  char dir[] = "/tmp/le_prior_bench.XXXXXX";
  if (!mkdtemp(dir)) return 1;
  clip() = std::string(dir) + "/P_hevc.mov";
  const std::string cmd =
      "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=512x512:r=25 -frames:v " +
      std::to_string(kFrames) +
      " -pix_fmt yuv444p -c:v libx265 -x265-params lossless=1:keyint=1:log-level=error "
      "-tag:v hvc1 -f mov '" + clip() + "'";
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "prior_bench: ffmpeg could not write %s\n", clip().c_str());
    return 1;
  }
  std::printf("clip: %d frames of %dx%d yuv444p HEVC, lossless all-intra\n", kFrames, kCrop, kCrop);
  const int rc = le::bench::runAndReport(argc, argv,
                                         {{"BM_PriorHevcFrames/real_time", "BM_LibavcodecDecodeOnly/real_time"}});
  std::remove(clip().c_str());
  ::rmdir(dir);
  return rc;
}
