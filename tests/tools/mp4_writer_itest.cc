// Mp4Writer's audio track: the file read back through libavformat has an H.264
// and an AAC stream, the AAC track lasts as long as the samples written, a
// tone comes back at its frequency and place, and the last partial encoder
// frame is not lost.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "testkit/testkit.h"
#include "tools/mp4_writer.h"

namespace le::test {
namespace {

constexpr int kRate = 16000, kFps = 25, kW = 64, kH = 48;

std::vector<int16_t> tone(size_t n, double hz, double amp) {
  std::vector<int16_t> s(n);
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<int16_t>(std::lround(amp * 32767.0 * std::sin(2 * std::numbers::pi * hz * i / kRate)));
  return s;
}

struct Track {
  int streams = 0;
  AVCodecID videoCodec = AV_CODEC_ID_NONE, audioCodec = AV_CODEC_ID_NONE;
  int sampleRate = 0, channels = 0;
  double audioSeconds = -1;  // from the container
  std::vector<float> pcm;    // first channel, decoded
  int videoFrames = 0;
};

// Opens the file, reads the stream layout and decodes the first audio stream.
Track probe(const std::string& path) {
  Track t;
  AVFormatContext* fc = nullptr;
  if (avformat_open_input(&fc, path.c_str(), nullptr, nullptr) < 0) throw std::runtime_error("cannot open " + path);
  struct Closer {
    AVFormatContext*& f;
    ~Closer() { avformat_close_input(&f); }
  } closeFc{fc};
  if (avformat_find_stream_info(fc, nullptr) < 0) throw std::runtime_error("no stream info");
  t.streams = static_cast<int>(fc->nb_streams);
  int audio = -1;
  for (unsigned i = 0; i < fc->nb_streams; ++i) {
    const AVStream* s = fc->streams[i];
    if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) t.videoCodec = s->codecpar->codec_id;
    if (s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && audio < 0) {
      audio = static_cast<int>(i);
      t.audioCodec = s->codecpar->codec_id;
      t.sampleRate = s->codecpar->sample_rate;
      t.channels = s->codecpar->ch_layout.nb_channels;
      if (s->duration != AV_NOPTS_VALUE) t.audioSeconds = static_cast<double>(s->duration) * av_q2d(s->time_base);
    }
  }
  AVCodecContext* dc = nullptr;
  struct DecFree {
    AVCodecContext*& c;
    ~DecFree() { avcodec_free_context(&c); }
  } freeDc{dc};
  if (audio >= 0) {
    const AVCodec* dec = avcodec_find_decoder(t.audioCodec);
    dc = avcodec_alloc_context3(dec);
    avcodec_parameters_to_context(dc, fc->streams[audio]->codecpar);
    if (avcodec_open2(dc, dec, nullptr) < 0) throw std::runtime_error("cannot open the decoder");
  }
  AVPacket* pkt = av_packet_alloc();
  AVFrame* fr = av_frame_alloc();
  auto take = [&] {
    while (avcodec_receive_frame(dc, fr) == 0) {
      EXPECT_EQ(fr->format, AV_SAMPLE_FMT_FLTP);
      const auto* p = reinterpret_cast<const float*>(fr->data[0]);
      t.pcm.insert(t.pcm.end(), p, p + fr->nb_samples);
    }
  };
  while (av_read_frame(fc, pkt) >= 0) {
    if (pkt->stream_index == audio) {
      avcodec_send_packet(dc, pkt);
      take();
    } else if (fc->streams[pkt->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      ++t.videoFrames;
    }
    av_packet_unref(pkt);
  }
  if (dc) {
    avcodec_send_packet(dc, nullptr);
    take();
  }
  av_frame_free(&fr);
  av_packet_free(&pkt);
  return t;
}

double rms(const std::vector<float>& s, size_t from, size_t to) {
  double e = 0;
  for (size_t i = from; i < to; ++i) e += double(s[i]) * s[i];
  return to > from ? std::sqrt(e / double(to - from)) : 0;
}

// Amplitude of the `hz` component over [from, to) (a single DFT bin).
double amplitudeAt(const std::vector<float>& s, size_t from, size_t to, double hz) {
  double re = 0, im = 0;
  for (size_t i = from; i < to; ++i) {
    const double a = 2 * std::numbers::pi * hz * double(i) / kRate;
    re += s[i] * std::cos(a);
    im += s[i] * std::sin(a);
  }
  return 2 * std::hypot(re, im) / double(to - from);
}

void writeGrey(tool::Mp4Writer& w, int frames) {
  std::vector<uint8_t> rgb(size_t(kW) * kH * 3);
  for (int f = 0; f < frames; ++f) {
    std::fill(rgb.begin(), rgb.end(), static_cast<uint8_t>(40 + 4 * f));
    w.write(rgb.data());
  }
}

TEST(Mp4WriterAudio, VideoAndToneComeBackAsH264AndAacOfTheRightLengthAndPitch) {
  TempDir tmp;
  const std::string path = tmp / "tone.mp4";
  // 2 s of video and 2 s of a 440 Hz tone pushed in uneven chunks, interleaved
  // with the frames the way a live host writes them.
  const std::vector<int16_t> pcm = tone(2 * kRate, 440, 0.5);
  {
    tool::Mp4Writer w(path, kW, kH, kFps, 23, tool::AudioFormat{});
    std::vector<uint8_t> rgb(size_t(kW) * kH * 3, 90);
    size_t at = 0;
    const size_t chunks[] = {320, 777, 1, 1500, 640};
    for (int f = 0; f < 2 * kFps; ++f) {
      w.write(rgb.data());
      const size_t until = std::min(pcm.size(), size_t(f + 1) * kRate / kFps);
      while (at < until) {
        const size_t n = std::min(chunks[at % 5], until - at);
        w.writeAudio(pcm.data() + at, n);
        at += n;
      }
    }
    EXPECT_EQ(w.audioSamples(), static_cast<int64_t>(pcm.size()));
    w.finish();
  }
  const Track t = probe(path);
  EXPECT_EQ(t.streams, 2);
  EXPECT_EQ(t.videoCodec, AV_CODEC_ID_H264);
  EXPECT_EQ(t.videoFrames, 2 * kFps);
  EXPECT_EQ(t.audioCodec, AV_CODEC_ID_AAC);
  EXPECT_EQ(t.sampleRate, kRate);
  EXPECT_EQ(t.channels, 1);
  // The container's duration and the decoded samples: within one AAC frame.
  EXPECT_NEAR(t.audioSeconds, 2.0, 1024.0 / kRate);
  ASSERT_NEAR(static_cast<double>(t.pcm.size()), 2.0 * kRate, 1024);
  const size_t mid0 = kRate / 2, mid1 = 3 * kRate / 2;
  EXPECT_NEAR(rms(t.pcm, mid0, mid1), 0.5 / std::sqrt(2.0), 0.05);
  EXPECT_NEAR(amplitudeAt(t.pcm, mid0, mid1, 440), 0.5, 0.05);
  EXPECT_LT(amplitudeAt(t.pcm, mid0, mid1, 1000), 0.02);
}

TEST(Mp4WriterAudio, ToneStartsWhereItWasWrittenAndTheLastPartialFrameIsKept) {
  TempDir tmp;
  const std::string path = tmp / "onset.mp4";
  // 0.5 s of silence, then 0.3 s of tone: 12800 samples is 12.5 AAC frames, so
  // the tone's end lies in a partial frame that only the flush sends.
  const size_t silence = kRate / 2, loud = 3 * kRate / 10;
  {
    tool::Mp4Writer w(path, kW, kH, kFps, 23, tool::AudioFormat{});
    writeGrey(w, 20);
    const std::vector<int16_t> zeros(silence, 0);
    w.writeAudio(zeros.data(), zeros.size());
    const std::vector<int16_t> t = tone(loud, 1000, 0.6);
    w.writeAudio(t.data(), t.size());
    w.finish();
  }
  const Track t = probe(path);
  ASSERT_EQ(t.audioCodec, AV_CODEC_ID_AAC);
  ASSERT_GE(t.pcm.size(), silence + loud - 64);
  // Encoder priming is trimmed: the silence stays silent and the tone is where
  // it was written (to within a few ms of codec smear).
  EXPECT_LT(rms(t.pcm, 0, silence - 160), 0.01);
  EXPECT_GT(rms(t.pcm, silence + 160, silence + 800), 0.3);
  // The final partial frame: the last 100 ms of the tone are there.
  const size_t end = silence + loud;
  EXPECT_NEAR(amplitudeAt(t.pcm, end - kRate / 10, end - 64, 1000), 0.6, 0.08);
}

TEST(Mp4WriterAudio, RejectsMisuseAndKeepsVideoOnlyFilesSingleStream) {
  TempDir tmp;
  const std::string path = tmp / "video.mp4";
  {
    tool::Mp4Writer w(path, kW, kH, kFps, 23);
    writeGrey(w, 5);
    const int16_t s[2] = {1, 2};
    EXPECT_THROW(w.writeAudio(s, 2), std::logic_error);
    w.finish();
  }
  const Track t = probe(path);
  EXPECT_EQ(t.streams, 1);
  EXPECT_EQ(t.audioCodec, AV_CODEC_ID_NONE);
  EXPECT_EQ(t.videoFrames, 5);

  tool::Mp4Writer stereo(tmp / "stereo.mp4", kW, kH, kFps, 23, tool::AudioFormat{kRate, 2, 96000});
  const int16_t three[3] = {1, 2, 3};
  EXPECT_THROW(stereo.writeAudio(three, 3), std::invalid_argument);
  EXPECT_THROW(stereo.writeAudio(nullptr, 2), std::invalid_argument);
  stereo.writeAudio(three, 2);
  EXPECT_EQ(stereo.audioSamples(), 1);
  stereo.finish();
  EXPECT_THROW(stereo.writeAudio(three, 2), std::logic_error);

  EXPECT_THROW(tool::Mp4Writer(tmp / "bad.mp4", kW, kH, kFps, 23, tool::AudioFormat{kRate, 3, 64000}),
               std::runtime_error);
}

}  // namespace
}  // namespace le::test
