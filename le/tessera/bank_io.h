// FFmpeg plumbing of the bank decoder: owning wrappers of the objects it
// holds, and a demuxer over bytes in memory. Nothing here reaches the file
// system or the network: nested opens (a playlist, an external reference) are
// refused, and only self-contained demuxers are allowed.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <memory>

namespace le::tessera::bankio {

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
// The I/O buffer may have been replaced by FFmpeg meanwhile: free the one
// the context holds now, then the context.
struct AvioFreer {
  void operator()(AVIOContext* p) const {
    av_freep(&p->buffer);
    avio_context_free(&p);
  }
};

using FormatContext = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecContext = std::unique_ptr<AVCodecContext, CodecFreer>;
using Packet = std::unique_ptr<AVPacket, PacketFreer>;
using Frame = std::unique_ptr<AVFrame, FrameFreer>;
using Scaler = std::unique_ptr<SwsContext, ScalerFreer>;
using Avio = std::unique_ptr<AVIOContext, AvioFreer>;

// The reading position over caller-owned bytes.
struct MemoryReader {
  const uint8_t* data = nullptr;
  int64_t size = 0;
  int64_t pos = 0;
};

// AVIO callbacks over a MemoryReader (the opaque pointer).
int readMemory(void* opaque, uint8_t* buf, int want);
int64_t seekMemory(void* opaque, int64_t offset, int whence);

inline constexpr int kIoBufferBytes = 65536;

// A demuxer opened on bytes that must outlive it. Throws the bank decoder's
// refusal texts when the bytes are not a readable container.
class MemoryDemuxer {
 public:
  MemoryDemuxer(const uint8_t* data, size_t size);
  MemoryDemuxer(const MemoryDemuxer&) = delete;  // the reader's address is the I/O's opaque
  MemoryDemuxer& operator=(const MemoryDemuxer&) = delete;
  AVFormatContext* get() const { return fmt_.get(); }

 private:
  MemoryReader reader_;
  Avio avio_;          // declared before fmt_: the demuxer is closed first
  FormatContext fmt_;
};

}  // namespace le::tessera::bankio
