#include "wav_reader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "le/runtime/ff_handles.h"

namespace le::tool {
namespace {

struct ResamplerFreer {
  void operator()(SwrContext* p) const { swr_free(&p); }
};

using ff::errorText;

}  // namespace

// Decodes one audio stream and resamples it to 16 kHz mono s16 as it goes.
struct SpeechStream::Impl {
  explicit Impl(const std::string& path) : path_(path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
      fail("audio " + path + " is not a regular file (raw 16 kHz s16le samples go in as - on standard input)");
    AVFormatContext* raw = nullptr;
    if (const int r = avformat_open_input(&raw, path.c_str(), nullptr, nullptr); r < 0)
      fail("cannot open audio " + path + ": " + errorText(r));
    in_.reset(raw);
    if (const int r = avformat_find_stream_info(raw, nullptr); r < 0) fail(path + ": " + errorText(r));
    const AVCodec* dec = nullptr;
    stream_ = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, &dec, 0);
    if (stream_ < 0 || !dec) fail(path + " holds no audio stream FFmpeg can decode");
    codec_.reset(avcodec_alloc_context3(dec));
    if (!codec_) fail("out of memory");
    check(avcodec_parameters_to_context(codec_.get(), raw->streams[stream_]->codecpar));
    check(avcodec_open2(codec_.get(), dec, nullptr));
    if (codec_->ch_layout.nb_channels < 1 || codec_->sample_rate < 1)
      fail(path + ": the audio stream has no channels or no sample rate");
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    SwrContext* swr = nullptr;
    check(swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_S16, kSpeechRate, &codec_->ch_layout,
                              codec_->sample_fmt, codec_->sample_rate, 0, nullptr));
    swr_.reset(swr);
    check(swr_init(swr));
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!frame_ || !packet_) fail("out of memory");
  }

  size_t read(int16_t* out, size_t n) {
    while (pending_.size() - at_ < n && !ended_) decodeMore();
    const size_t k = std::min(n, pending_.size() - at_);
    std::copy_n(pending_.begin() + static_cast<std::ptrdiff_t>(at_), k, out);
    at_ += k;
    return k;
  }

 private:
  [[noreturn]] void fail(const std::string& why) const { throw std::runtime_error(why); }
  void check(int r) const {
    if (r < 0) fail(path_ + ": " + errorText(r));
  }

  // One packet's samples (or the decoder's and resampler's last ones) into
  // pending_, after dropping what was read.
  void decodeMore() {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at_));
    at_ = 0;
    if (av_read_frame(in_.get(), packet_.get()) >= 0) {
      const bool ours = packet_->stream_index == stream_;
      // A damaged packet is skipped, as players do; the rest still plays.
      const int sent = ours ? avcodec_send_packet(codec_.get(), packet_.get()) : 0;
      av_packet_unref(packet_.get());
      if (ours && sent >= 0) receive();
      return;
    }
    avcodec_send_packet(codec_.get(), nullptr);
    receive();
    convert(nullptr, 0);  // what the resampler still holds
    ended_ = true;
  }

  void receive() {
    while (avcodec_receive_frame(codec_.get(), frame_.get()) >= 0) {
      convert(const_cast<const uint8_t**>(frame_->extended_data), frame_->nb_samples);
      av_frame_unref(frame_.get());
    }
  }

  void convert(const uint8_t** data, int samples) {
    const int room = swr_get_out_samples(swr_.get(), samples);
    if (room < 0) check(room);
    const size_t at = pending_.size();
    pending_.resize(at + static_cast<size_t>(room));
    auto* dst = reinterpret_cast<uint8_t*>(pending_.data() + at);
    const int got = swr_convert(swr_.get(), &dst, room, data, samples);
    if (got < 0) check(got);
    pending_.resize(at + static_cast<size_t>(got));
  }

  std::string path_;
  ff::FormatContext in_;
  ff::CodecContext codec_;
  std::unique_ptr<SwrContext, ResamplerFreer> swr_;
  ff::Frame frame_;
  ff::Packet packet_;
  int stream_ = -1;
  std::vector<int16_t> pending_;
  size_t at_ = 0;
  bool ended_ = false;
};

SpeechStream::SpeechStream(const std::string& path) : impl_(std::make_unique<Impl>(path)) {}
SpeechStream::~SpeechStream() = default;
size_t SpeechStream::read(int16_t* out, size_t n) { return impl_->read(out, n); }

std::vector<int16_t> readSpeech(const std::string& path) {
  SpeechStream in(path);
  std::vector<int16_t> out;
  constexpr size_t kBlock = 16000;
  for (;;) {
    const size_t at = out.size();
    out.resize(at + kBlock);
    const size_t got = in.read(out.data() + at, kBlock);
    out.resize(at + got);
    if (got == 0) return out;
    if (out.size() > kMaxSpeechSamples) throw std::runtime_error("audio " + path + " is longer than an hour of speech");
  }
}

size_t readRawSamples(std::FILE* in, int16_t* out, size_t n) {
  std::vector<unsigned char> buf(n * 2);
  size_t got = 0;
  while (got < buf.size()) {
    const size_t r = std::fread(buf.data() + got, 1, buf.size() - got, in);
    if (r == 0) break;
    got += r;
  }
  const size_t samples = got / 2;
  for (size_t i = 0; i < samples; ++i) out[i] = int16_t(buf[2 * i] | buf[2 * i + 1] << 8);
  return samples;
}

}  // namespace le::tool
