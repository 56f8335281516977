// Owning wrappers of the FFmpeg objects the decoders (driver video, bank tracks) hold: each frees its
// object on every path, errors included.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

namespace le::ff {

struct FormatCloser {
  void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};
struct CodecFreer {
  void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFreer {
  void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct ScalerFreer {
  void operator()(SwsContext* p) const { sws_freeContext(p); }
};

using FormatContext = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecContext = std::unique_ptr<AVCodecContext, CodecFreer>;
using Packet = std::unique_ptr<AVPacket, PacketFreer>;
using Frame = std::unique_ptr<AVFrame, FrameFreer>;
using Scaler = std::unique_ptr<SwsContext, ScalerFreer>;

// An option dictionary handed to (and partly consumed by) an FFmpeg call.
class Options {
 public:
  Options() = default;
  ~Options() { av_dict_free(&dict_); }
  Options(const Options&) = delete;
  Options& operator=(const Options&) = delete;
  void set(const char* key, const char* value) { av_dict_set(&dict_, key, value, 0); }
  AVDictionary** get() { return &dict_; }

 private:
  AVDictionary* dict_ = nullptr;
};

// Drops a frame's buffers when the scope ends, whatever happens in between.
class FrameRef {
 public:
  explicit FrameRef(AVFrame* f) : f_(f) {}
  ~FrameRef() { av_frame_unref(f_); }
  FrameRef(const FrameRef&) = delete;
  FrameRef& operator=(const FrameRef&) = delete;

 private:
  AVFrame* f_;
};

inline std::string errorText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

}  // namespace le::ff
