#include "mp4_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <stdexcept>

namespace le::tool {
namespace {

std::string avError(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

void check(int err, const std::string& what) {
  if (err < 0) throw std::runtime_error(what + ": " + avError(err));
}

struct OutputCloser {
  void operator()(AVFormatContext* p) const {
    if (p->pb && !(p->oformat->flags & AVFMT_NOFILE)) avio_closep(&p->pb);
    avformat_free_context(p);
  }
};
struct CodecFreer {
  void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct FrameFreer {
  void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScalerFreer {
  void operator()(SwsContext* p) const { sws_freeContext(p); }
};

}  // namespace

struct Mp4Writer::Impl {
  std::string path;
  std::string encoder;
  int width = 0, height = 0;
  int64_t next = 0;
  bool finished = false;
  std::unique_ptr<AVFormatContext, OutputCloser> out;
  std::unique_ptr<AVCodecContext, CodecFreer> codec;
  std::unique_ptr<AVFrame, FrameFreer> frame;
  std::unique_ptr<AVPacket, PacketFreer> packet;
  std::unique_ptr<SwsContext, ScalerFreer> scaler;
  AVStream* stream = nullptr;

  // Sends frame f (null flushes) and writes every packet that comes out.
  void drain(const AVFrame* f) {
    check(avcodec_send_frame(codec.get(), f), "encoding " + path);
    for (;;) {
      const int r = avcodec_receive_packet(codec.get(), packet.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
      check(r, "encoding " + path);
      av_packet_rescale_ts(packet.get(), codec->time_base, stream->time_base);
      packet->stream_index = stream->index;
      check(av_interleaved_write_frame(out.get(), packet.get()), "writing " + path);
    }
  }
};

Mp4Writer::Mp4Writer(const std::string& path, int width, int height, int fps, int crf)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.path = path;
  m.width = width;
  m.height = height;
  if (width < 2 || height < 2 || width % 2 || height % 2)
    throw std::runtime_error("H.264 in yuv420p needs an even frame size, the driver is " + std::to_string(width) +
                             "x" + std::to_string(height));
  if (fps < 1 || crf < 0 || crf > 51) throw std::runtime_error("bad encoder settings");

  // The encoder's statistics are not for the user; its errors are.
  av_log_set_level(AV_LOG_ERROR);
  const AVCodec* enc = avcodec_find_encoder_by_name("libx264");
  if (!enc) enc = avcodec_find_encoder(AV_CODEC_ID_H264);
  if (!enc) throw std::runtime_error("this FFmpeg has no H.264 encoder");
  m.encoder = enc->name;

  AVFormatContext* oc = nullptr;
  check(avformat_alloc_output_context2(&oc, nullptr, "mp4", path.c_str()), "cannot create " + path);
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
  }
  check(avcodec_open2(c, enc, nullptr), "cannot open the " + m.encoder + " encoder");
  check(avcodec_parameters_from_context(m.stream->codecpar, c), "encoder parameters");
  m.stream->time_base = c->time_base;
  m.stream->avg_frame_rate = c->framerate;

  check(avio_open(&oc->pb, path.c_str(), AVIO_FLAG_WRITE), "cannot write " + path);
  AVDictionary* opts = nullptr;
  av_dict_set(&opts, "movflags", "+faststart", 0);
  const int r = avformat_write_header(oc, &opts);
  av_dict_free(&opts);
  check(r, "writing the header of " + path);

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
}

void Mp4Writer::finish() {
  Impl& m = *impl_;
  if (m.finished) return;
  m.finished = true;
  m.drain(nullptr);
  check(av_write_trailer(m.out.get()), "finishing " + m.path);
}

}  // namespace le::tool
