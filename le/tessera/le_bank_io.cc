// The bank decoder's in-memory input.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "le/tessera/bank_io.h"

#include "le/runtime/ff_log.h"

namespace le::tessera::bankio {

int readMemory(void* opaque, uint8_t* buf, int want) {
  auto* r = static_cast<MemoryReader*>(opaque);
  if (r->pos >= r->size) return AVERROR_EOF;
  if (want <= 0) return 0;
  const int n = int(std::min<int64_t>(want, r->size - r->pos));
  std::memcpy(buf, r->data + r->pos, size_t(n));
  r->pos += n;
  return n;
}

int64_t seekMemory(void* opaque, int64_t offset, int whence) {
  auto* r = static_cast<MemoryReader*>(opaque);
  whence &= ~AVSEEK_FORCE;  // a hint for slow media; memory seeks are free
  if (whence == AVSEEK_SIZE) return r->size;
  int64_t base;
  switch (whence) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = r->pos; break;
    case SEEK_END: base = r->size; break;
    default: return -1;
  }
  // base and size are at most the input's length, so only offset can overflow.
  if (offset < -base || offset > r->size - base) return -1;
  r->pos = base + offset;
  return r->pos;
}

namespace {

// Playlists and external references would open other files or URLs.
int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
  return AVERROR(EPERM);
}

// Demuxers that read a whole track from the one input they are given.
constexpr const char* kSelfContained = "mov,matroska,h264,hevc";

[[noreturn]] void refuse(const char* what) { throw std::runtime_error(what); }

}  // namespace

MemoryDemuxer::MemoryDemuxer(const uint8_t* data, size_t size)
    : reader_{data, int64_t(size), 0} {
  auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
  if (!buffer) refuse("reference bank decode: avio_alloc_context failed");
  avio_.reset(avio_alloc_context(buffer, kIoBufferBytes, 0, &reader_, readMemory, nullptr, seekMemory));
  if (!avio_) {
    av_free(buffer);
    refuse("reference bank decode: avio_alloc_context failed");
  }
  ffmpeg::routeLog();
  AVFormatContext* fmt = avformat_alloc_context();
  if (!fmt) refuse("reference bank decode: avformat_alloc_context failed");
  fmt->pb = avio_.get();
  fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
  fmt->io_open = refuseNestedOpen;
  fmt->format_whitelist = av_strdup(kSelfContained);
  if (!fmt->format_whitelist) {
    avformat_free_context(fmt);
    refuse("reference bank decode: avformat_alloc_context failed");
  }
  // On failure avformat_open_input frees the context and nulls the pointer;
  // the custom I/O stays ours.
  if (avformat_open_input(&fmt, nullptr, nullptr, nullptr) < 0)
    refuse("reference bank track is not a readable container — refusing to serve");
  fmt_.reset(fmt);
  if (avformat_find_stream_info(fmt, nullptr) < 0)
    refuse("reference bank track carries no stream info — refusing to serve");
}

}  // namespace le::tessera::bankio
