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

#include "le/runtime/ff_handles.h"

namespace le::tessera::bankio {

using ff::CodecContext;
using ff::FormatContext;
using ff::Frame;
using ff::Packet;
using ff::Scaler;

// The I/O buffer may have been replaced by FFmpeg meanwhile: free the one
// the context holds now, then the context.
struct AvioFreer {
  void operator()(AVIOContext* p) const {
    av_freep(&p->buffer);
    avio_context_free(&p);
  }
};

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
