#include "mp4_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <vector>

#include "le/runtime/ff_handles.h"

namespace le::tool {
namespace {

void check(int err, const std::string& what) {
  if (err == AVERROR(EPIPE)) throw OutputClosed("standard output was closed by its reader");
  if (err < 0) throw std::runtime_error(what + ": " + ff::errorText(err));
}

struct OutputCloser {
  void operator()(AVFormatContext* p) const {
    if (p->pb && !(p->oformat->flags & AVFMT_NOFILE)) avio_closep(&p->pb);
    avformat_free_context(p);
  }
};

}  // namespace

struct Mp4Writer::Impl {
  std::string path;
  std::string encoder;
  int width = 0, height = 0;
  int64_t next = 0;
  bool finished = false;
  bool streaming = false;  // Matroska on standard output
  std::unique_ptr<AVFormatContext, OutputCloser> out;
  ff::CodecContext codec;
  ff::Frame frame;
  ff::Packet packet;
  ff::Scaler scaler;
  AVStream* stream = nullptr;

  // Audio track, when there is one.
  ff::CodecContext acodec;
  ff::Frame aframe;
  AVStream* astream = nullptr;
  int channels = 0;
  int frameSize = 0;
  int64_t audioNext = 0;     // pts of the next encoder frame, in samples
  int64_t audioWritten = 0;  // samples per channel accepted
  std::vector<std::vector<float>> pending;  // per channel, < frameSize each after a write

  // Sends frame f (null flushes) and writes every packet that comes out.
  void drain(AVCodecContext* c, AVStream* s, const AVFrame* f) {
    check(avcodec_send_frame(c, f), "encoding " + path);
    for (;;) {
      const int r = avcodec_receive_packet(c, packet.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
      check(r, "encoding " + path);
      av_packet_rescale_ts(packet.get(), c->time_base, s->time_base);
      packet->stream_index = s->index;
      check(av_interleaved_write_frame(out.get(), packet.get()), "writing " + path);
    }
  }
  void drain(const AVFrame* f) { drain(codec.get(), stream, f); }

  // Streaming: the muxer's buffered packets and the pipe's bytes go out now.
  void flushStream() {
    if (!streaming) return;
    check(av_write_frame(out.get(), nullptr), "writing " + path);
    avio_flush(out->pb);
    check(out->pb->error, "writing " + path);
  }

  // Encodes `n` pending samples per channel (n <= frameSize) as one frame.
  void encodeAudio(int n) {
    AVFrame* f = aframe.get();
    check(av_frame_make_writable(f), "audio frame buffer");
    f->nb_samples = n;
    for (int ch = 0; ch < channels; ++ch) {
      std::vector<float>& q = pending[static_cast<size_t>(ch)];
      auto* dst = reinterpret_cast<float*>(f->data[ch]);
      const size_t take = std::min(q.size(), static_cast<size_t>(n));
      std::copy(q.begin(), q.begin() + static_cast<std::ptrdiff_t>(take), dst);
      std::fill(dst + take, dst + n, 0.0f);
      q.erase(q.begin(), q.begin() + static_cast<std::ptrdiff_t>(take));
    }
    f->pts = audioNext;
    audioNext += n;
    drain(acodec.get(), astream, f);
  }

  void openAudio(const AudioFormat& a);
};

void Mp4Writer::Impl::openAudio(const AudioFormat& a) {
  if (a.sampleRate < 8000 || a.sampleRate > 96000 || a.channels < 1 || a.channels > 2 || a.bitRate < 8000)
    throw std::runtime_error("bad audio settings");
  const AVCodec* enc = avcodec_find_encoder_by_name("aac");
  if (!enc) throw std::runtime_error("this FFmpeg has no AAC encoder");
  astream = avformat_new_stream(out.get(), nullptr);
  if (!astream) throw std::runtime_error("cannot add an audio stream to " + path);
  acodec.reset(avcodec_alloc_context3(enc));
  if (!acodec) throw std::runtime_error("out of memory");
  AVCodecContext* c = acodec.get();
  c->sample_fmt = AV_SAMPLE_FMT_FLTP;
  c->sample_rate = a.sampleRate;
  c->bit_rate = a.bitRate;
  av_channel_layout_default(&c->ch_layout, a.channels);
  c->time_base = AVRational{1, a.sampleRate};
  if (out->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  check(avcodec_open2(c, enc, nullptr), "cannot open the AAC encoder");
  check(avcodec_parameters_from_context(astream->codecpar, c), "audio encoder parameters");
  astream->time_base = c->time_base;
  channels = a.channels;
  // 1024 for AAC; an encoder that takes any size gets the same.
  frameSize = c->frame_size > 0 ? c->frame_size : 1024;
  pending.assign(static_cast<size_t>(channels), {});

  aframe.reset(av_frame_alloc());
  if (!aframe) throw std::runtime_error("out of memory");
  aframe->format = c->sample_fmt;
  aframe->sample_rate = c->sample_rate;
  aframe->nb_samples = frameSize;
  check(av_channel_layout_copy(&aframe->ch_layout, &c->ch_layout), "audio channel layout");
  check(av_frame_get_buffer(aframe.get(), 0), "audio frame buffer");
}

Mp4Writer::Mp4Writer(const std::string& path, int width, int height, int fps, int crf)
    : Mp4Writer(path, width, height, fps, crf, std::nullopt) {}

Mp4Writer::Mp4Writer(const std::string& path, int width, int height, int fps, int crf,
                     const std::optional<AudioFormat>& audio)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.path = path;
  m.streaming = path == "-";
  m.width = width;
  m.height = height;
  if (width < 2 || height < 2 || width % 2 || height % 2)
    throw std::runtime_error("H.264 in yuv420p needs an even frame size, the driver is " + std::to_string(width) +
                             "x" + std::to_string(height));
  if (fps < 1 || crf < 0 || crf > 51) throw std::runtime_error("bad encoder settings");

  const AVCodec* enc = avcodec_find_encoder_by_name("libx264");
  if (!enc) enc = avcodec_find_encoder(AV_CODEC_ID_H264);
  if (!enc) throw std::runtime_error("this FFmpeg has no H.264 encoder");
  m.encoder = enc->name;

  AVFormatContext* oc = nullptr;
  check(avformat_alloc_output_context2(&oc, nullptr, m.streaming ? "matroska" : "mp4",
                                       m.streaming ? nullptr : path.c_str()),
        "cannot create " + path);
  m.out.reset(oc);
  m.stream = avformat_new_stream(oc, nullptr);
  if (!m.stream) throw std::runtime_error("cannot add a video stream to " + path);

  m.codec.reset(avcodec_alloc_context3(enc));
  if (!m.codec) throw std::runtime_error("out of memory");
  AVCodecContext* c = m.codec.get();
  c->width = width;
  c->height = height;
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->time_base = AVRational{1, fps};
  c->framerate = AVRational{fps, 1};
  c->gop_size = 2 * fps;
  c->color_range = AVCOL_RANGE_MPEG;
  c->colorspace = AVCOL_SPC_BT470BG;
  c->color_primaries = AVCOL_PRI_BT470BG;
  c->color_trc = AVCOL_TRC_SMPTE170M;
  if (oc->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (m.encoder == "libx264") {
    av_opt_set(c->priv_data, "preset", "fast", 0);
    av_opt_set_int(c->priv_data, "crf", crf, 0);
    // A frame held back for look-ahead is a frame the viewer waits for.
    if (m.streaming) av_opt_set(c->priv_data, "tune", "zerolatency", 0);
  }
  check(avcodec_open2(c, enc, nullptr), "cannot open the " + m.encoder + " encoder");
  check(avcodec_parameters_from_context(m.stream->codecpar, c), "encoder parameters");
  m.stream->time_base = c->time_base;
  m.stream->avg_frame_rate = c->framerate;
  // Every stream exists before the header is written.
  if (audio) m.openAudio(*audio);

  check(avio_open(&oc->pb, m.streaming ? "pipe:1" : path.c_str(), AVIO_FLAG_WRITE), "cannot write " + path);
  AVDictionary* opts = nullptr;
  if (m.streaming) av_dict_set(&opts, "live", "1", 0);
  else av_dict_set(&opts, "movflags", "+faststart", 0);
  const int r = avformat_write_header(oc, &opts);
  av_dict_free(&opts);
  check(r, "writing the header of " + path);
  m.flushStream();

  m.frame.reset(av_frame_alloc());
  m.packet.reset(av_packet_alloc());
  if (!m.frame || !m.packet) throw std::runtime_error("out of memory");
  m.frame->format = c->pix_fmt;
  m.frame->width = width;
  m.frame->height = height;
  check(av_frame_get_buffer(m.frame.get(), 0), "frame buffer");
  m.scaler.reset(sws_getContext(width, height, AV_PIX_FMT_RGB24, width, height, AV_PIX_FMT_YUV420P,
                                SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr));
  if (!m.scaler) throw std::runtime_error("no RGB to yuv420p converter");
}

Mp4Writer::~Mp4Writer() = default;

const std::string& Mp4Writer::encoderName() const { return impl_->encoder; }

void Mp4Writer::write(const uint8_t* rgb) {
  Impl& m = *impl_;
  if (m.finished) throw std::logic_error("Mp4Writer::write after finish");
  // The encoder may still hold the previous frame's buffer.
  check(av_frame_make_writable(m.frame.get()), "frame buffer");
  const uint8_t* src[1] = {rgb};
  const int stride[1] = {3 * m.width};
  sws_scale(m.scaler.get(), src, stride, 0, m.height, m.frame->data, m.frame->linesize);
  m.frame->pts = m.next++;
  m.drain(m.frame.get());
  // Audio of a frame is written after the frame: it is flushed with the next
  // one (or at the end).
  m.flushStream();
}

void Mp4Writer::writeAudio(const int16_t* pcm, size_t count) {
  Impl& m = *impl_;
  if (!m.acodec) throw std::logic_error("Mp4Writer::writeAudio without an audio track");
  if (m.finished) throw std::logic_error("Mp4Writer::writeAudio after finish");
  const auto ch = static_cast<size_t>(m.channels);
  if (count % ch) throw std::invalid_argument("Mp4Writer::writeAudio: sample count not a multiple of the channels");
  if (count && !pcm) throw std::invalid_argument("Mp4Writer::writeAudio: null samples");
  const size_t frames = count / ch;
  for (size_t done = 0; done < frames;) {
    const size_t room = static_cast<size_t>(m.frameSize) - m.pending[0].size();
    const size_t take = std::min(room, frames - done);
    for (size_t c = 0; c < ch; ++c) {
      std::vector<float>& q = m.pending[c];
      for (size_t i = 0; i < take; ++i) q.push_back(static_cast<float>(pcm[(done + i) * ch + c]) * (1.0f / 32768.0f));
    }
    done += take;
    m.audioWritten += static_cast<int64_t>(take);
    if (m.pending[0].size() == static_cast<size_t>(m.frameSize)) m.encodeAudio(m.frameSize);
  }
}

int64_t Mp4Writer::audioSamples() const { return impl_->audioWritten; }

void Mp4Writer::finish() {
  Impl& m = *impl_;
  if (m.finished) return;
  m.finished = true;
  m.drain(nullptr);
  if (m.acodec) {
    // The last partial frame goes out short where the encoder allows it (the
    // track then ends on the last sample), else padded with silence.
    const int rest = static_cast<int>(m.pending[0].size());
    if (rest > 0) {
      const bool small = m.acodec->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME;
      m.encodeAudio(small ? rest : m.frameSize);
    }
    m.drain(m.acodec.get(), m.astream, nullptr);
  }
  check(av_write_trailer(m.out.get()), "finishing " + m.path);
  if (m.streaming) {
    avio_flush(m.out->pb);
    check(m.out->pb->error, "finishing " + m.path);
  }
}

}  // namespace le::tool
