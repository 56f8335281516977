// FFmpeg frame sources: the driver MP4 (H.264, 4:2:0, to RGB24) and the HEVC
// warp prior (yuv444p, to planar binary16 RGB). Frames are decoded in order;
// a seek decodes forward from the nearest frame already passed or from 0.
#include <dlfcn.h>

extern "C" {
#include <libavcodec/version.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "le/bundle/member.h"
#include "le/driver/source.h"
#include "le/driver/yuv.h"
#include "le/runtime/env.h"
#include "le/runtime/ff_log.h"
#include "le/runtime/ff_handles.h"
#include "le/runtime/le_simd.h"
#include "le/runtime/log.h"

namespace le::driver {
namespace {

constexpr const char* kHwDecoder = "h264_cuvid";
constexpr int kSoftwareThreads = 4;

// FFmpeg builds (Debian's among them) carry h264_cuvid on every machine and
// load NVIDIA's decode library only when the decoder opens, printing two lines
// of their own and failing where there is none. The hardware decoder counts
// as present only where that library loads; elsewhere nothing is attempted and
// nothing printed. Checked once per process.
bool hwDecoderPresent() {
  static const bool present = [] {
    if (!avcodec_find_decoder_by_name(kHwDecoder)) return false;
    void* lib = ::dlopen("libnvcuvid.so.1", RTLD_LAZY | RTLD_LOCAL);
    if (!lib) return false;
    ::dlclose(lib);
    return true;
  }();
  return present;
}

[[noreturn]] void fail(const std::string& msg) { throw std::runtime_error(msg); }

const char* formatName(int fmt) {
  const char* n = av_get_pix_fmt_name(static_cast<AVPixelFormat>(fmt));
  return n ? n : "an unknown pixel format";
}

void checkShape(const std::string& what, int NT, int W, int H) {
  if (NT < 1 || W < 1 || H < 1)
    fail("le_driver: " + what + " asked for NT=" + std::to_string(NT) + " frames of " +
         std::to_string(W) + "x" + std::to_string(H) + " — every count must be positive, refusing");
}

class FfSource final : public Source {
 public:
  enum Mode { kDriverMp4 = 0, kPriorHevc = 1 };

  FfSource(Mode mode, std::string path, int NT, int W, int H)
      : mode_(mode), path_(std::move(path)), nt_(NT), w_(W), h_(H) {
    if (mode_ == kPriorHevc) {
      for (int v = 0; v < 256; ++v) table_[v] = le::f32ToF16(static_cast<float>(v) / 255.0f);
      planes_.resize(3 * static_cast<size_t>(w_));
    }
    open();
  }

  int NT() const override { return nt_; }
  int W() const override { return w_; }
  int H() const override { return h_; }
  uint64_t frameBytes() const override {
    return uint64_t(w_) * uint64_t(h_) * (mode_ == kPriorHevc ? 6u : 3u);
  }

  bool next(uint8_t* dst) override {
    if (!decodeOne()) return false;
    const ff::FrameRef hold(frame_.get());
    if (mode_ == kDriverMp4) convertRgb(dst);
    else convertPrior(dst);
    return true;
  }

  void rewind() override {
    if (fmt_ && dec_ && av_seek_frame(fmt_.get(), stream_, 0, AVSEEK_FLAG_BACKWARD) >= 0) {
      avcodec_flush_buffers(dec_.get());
      eof_ = false;
      count_ = 0;
      return;
    }
    close();
    open();
  }

  void seek(int i) override {
    if (i < 0 || i >= nt_) fail("le_driver: seek outside the member");
    if (count_ > i) rewind();
    while (count_ < i) {
      if (!decodeOne())
        fail("le_driver: " + path_ + " ended at frame " + std::to_string(count_) +
             " while seeking to " + std::to_string(i));
      av_frame_unref(frame_.get());
    }
  }

  std::string name() const override { return description_; }

  int64_t residentBytes() const override {
    const int64_t yuvFrame = mode_ == kPriorHevc ? int64_t(w_) * h_ * 3 : int64_t(w_) * h_ * 3 / 2;
    const int64_t frames = dec_ ? std::max(dec_->thread_count, 1) + 5 : 6;
    return largestPacket_ + yuvFrame * frames;
  }

 private:
  void close() {
    frame_.reset();
    pkt_.reset();
    dec_.reset();
    fmt_.reset();
    stream_ = -1;
    eof_ = false;
    count_ = 0;
  }

  void open();
  bool decodeOne();
  void checkFrame();
  void convertRgb(uint8_t* dst) const;
  void convertPrior(uint8_t* dst);

  const Mode mode_;
  const std::string path_;
  const int nt_, w_, h_;
  std::array<uint16_t, 256> table_{};
  ff::FormatContext fmt_;
  ff::CodecContext dec_;
  ff::Packet pkt_;
  ff::Frame frame_;
  int stream_ = -1;
  bool eof_ = false;
  int count_ = 0;
  int64_t largestPacket_ = 0;
  std::string description_;
  // Pixel format of the first decoded frame; later frames must match it.
  int firstFormat_ = AV_PIX_FMT_NONE;
  std::vector<uint16_t> planes_;  // one row of R, G, B binary16 (mode 1)
};

void FfSource::open() {
  ffmpeg::routeLog();
  // A regular file only: the demuxer would wait forever on a FIFO. A name
  // that does not open is left to the demuxer, which names it.
  try {
    member::File::tryOpen(path_, member::kNoBound, "video");
  } catch (const std::runtime_error&) {
    fail("le_driver: " + path_ + " is not a readable container");
  }
  // Local files only, and only the QuickTime/MP4 demuxer with external data
  // references off: a crafted member cannot reach the network or other files.
  ff::Options opts;
  opts.set("protocol_whitelist", "file");
  opts.set("enable_drefs", "0");
  const AVInputFormat* mov = av_find_input_format("mov");
  AVFormatContext* rawFmt = avformat_alloc_context();
  if (!rawFmt) fail("le_driver: out of memory");
  // "file:" keeps a path with a colon from naming another protocol.
  const std::string url = "file:" + path_;
  if (avformat_open_input(&rawFmt, url.c_str(), mov, opts.get()) < 0)  // frees rawFmt on failure
    fail("le_driver: " + path_ + " is not a readable container");
  ff::FormatContext fmt(rawFmt);
  if (avformat_find_stream_info(fmt.get(), nullptr) < 0)
    fail("le_driver: " + path_ + " carries no stream info");

  int stream = -1;
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    if (stream < 0 && fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
      stream = static_cast<int>(i);
    else
      fmt->streams[i]->discard = AVDISCARD_ALL;
  }
  if (stream < 0) fail("le_driver: " + path_ + " has no video stream");
  const AVStream* st = fmt->streams[stream];
  const AVCodecParameters* par = st->codecpar;
  if (par->width != w_ || par->height != h_)
    fail("le_driver: " + path_ + " is " + std::to_string(par->width) + "x" +
         std::to_string(par->height) + ", the manifest says " + std::to_string(w_) + "x" +
         std::to_string(h_) + " — refusing to rescale the driver");
  if (st->nb_frames > 0 && st->nb_frames != nt_)
    fail("le_driver: " + path_ + " carries " + std::to_string(st->nb_frames) +
         " frames, the manifest says NT=" + std::to_string(nt_) +
         " — member/manifest mismatch, refusing");

  ff::CodecContext dec;
  if (env::is("LE_DRIVER_HWDEC", "0")) {
    log::linef(log::Level::Info,
               "[le-driver] LE_DRIVER_HWDEC=0 — %s not attempted; the software decoder is the "
               "one decoder on this fleet (same samples)",
               kHwDecoder);
  } else if (mode_ == kDriverMp4 && par->codec_id == AV_CODEC_ID_H264) {
    const AVCodec* codec = hwDecoderPresent() ? avcodec_find_decoder_by_name(kHwDecoder) : nullptr;
    if (codec) {
      ff::CodecContext ctx(avcodec_alloc_context3(codec));
      if (!ctx) fail("le_driver: avcodec_alloc_context3 failed");
      if (avcodec_parameters_to_context(ctx.get(), par) < 0)
        fail("le_driver: avcodec_parameters_to_context failed");
      ctx->thread_count = 1;
      if (avcodec_open2(ctx.get(), codec, nullptr) >= 0) {
        dec = std::move(ctx);
      } else {
        log::linef(log::Level::Warning,
                   "[le-driver] %s refused %s — falling back to the software h264 decoder "
                   "(same samples, more CPU)",
                   kHwDecoder, path_.c_str());
      }
    }
  }
  if (!dec) {
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec)
      fail("le_driver: no decoder for " + path_ + " (codec id " +
           std::to_string(static_cast<int>(par->codec_id)) + ")");
    dec.reset(avcodec_alloc_context3(codec));
    if (!dec) fail("le_driver: avcodec_alloc_context3 failed");
    if (avcodec_parameters_to_context(dec.get(), par) < 0)
      fail("le_driver: avcodec_parameters_to_context failed");
    dec->thread_count = kSoftwareThreads;
    dec->thread_type = FF_THREAD_FRAME;
    if (avcodec_open2(dec.get(), codec, nullptr) < 0)
      fail("le_driver: could not open the decoder for " + path_);
  }

  ff::Packet pkt(av_packet_alloc());
  ff::Frame frame(av_frame_alloc());
  if (!pkt || !frame) fail("le_driver: out of memory");

  description_ = std::string(mode_ == kDriverMp4 ? "mp4/libavcodec " : "hevc444/libavcodec ") +
                 dec->codec->name;
  fmt_ = std::move(fmt);
  dec_ = std::move(dec);
  pkt_ = std::move(pkt);
  frame_ = std::move(frame);
  stream_ = stream;
  eof_ = false;
  count_ = 0;
}

// Receives the next frame into frame_ (checked, not yet converted); false
// when the member has no more frames.
bool FfSource::decodeOne() {
  if (!frame_) fail("le_driver: " + path_ + " is closed after a failed reopen");
  for (;;) {
    const int r = avcodec_receive_frame(dec_.get(), frame_.get());
    if (r == 0) break;
    if (r == AVERROR_EOF) return false;
    if (r != AVERROR(EAGAIN))
      fail("le_driver: " + path_ + " decode fault at frame " + std::to_string(count_) + " (" +
           ff::errorText(r) + ")");
    if (eof_) return false;  // drained: nothing more can come
    const int rr = av_read_frame(fmt_.get(), pkt_.get());
    if (rr == AVERROR_EOF) {
      eof_ = true;
      const int s = avcodec_send_packet(dec_.get(), nullptr);
      if (s < 0 && s != AVERROR_EOF)
        fail("le_driver: " + path_ + " packet refused (" + ff::errorText(s) + ")");
      continue;
    }
    if (rr < 0) fail("le_driver: " + path_ + " read fault (" + ff::errorText(rr) + ")");
    if (pkt_->stream_index != stream_) {
      av_packet_unref(pkt_.get());
      continue;
    }
    largestPacket_ = std::max<int64_t>(largestPacket_, pkt_->size);
    const int s = avcodec_send_packet(dec_.get(), pkt_.get());
    av_packet_unref(pkt_.get());
    if (s < 0) fail("le_driver: " + path_ + " packet refused (" + ff::errorText(s) + ")");
  }
  checkFrame();
  ++count_;
  return true;
}

// Refuses a frame before anything is copied out of it.
void FfSource::checkFrame() {
  const AVFrame* f = frame_.get();
  const auto refuse = [&](const std::string& msg) {
    av_frame_unref(frame_.get());
    fail(msg);
  };
  if (f->width != w_ || f->height != h_)
    refuse("le_driver: " + path_ + " changed size mid-stream — refusing");
  if (mode_ == kDriverMp4) {
    if (f->format != AV_PIX_FMT_YUV420P && f->format != AV_PIX_FMT_NV12)
      refuse("le_driver: " + path_ + " decoded to " + formatName(f->format) +
             ", not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) — "
             "refusing rather than pasting onto a different pixel domain");
  } else if (f->format != AV_PIX_FMT_YUV444P) {
    refuse("le_driver: " + path_ + " decoded to " + formatName(f->format) +
           ", not the yuv444p a warp prior is authored in — a subsampled prior is a different "
           "mouth, refusing");
  }
  if (firstFormat_ == AV_PIX_FMT_NONE) firstFormat_ = f->format;
  if (f->format != firstFormat_)
    refuse("le_driver: " + path_ + " changed pixel format mid-stream (" +
           formatName(firstFormat_) + " to " + formatName(f->format) + ") — refusing");
  const bool nv12 = f->format == AV_PIX_FMT_NV12;
  const int chromaW = mode_ == kPriorHevc ? w_ : nv12 ? 2 * ((w_ + 1) / 2) : (w_ + 1) / 2;
  const bool planesOk = f->data[0] && f->data[1] && (nv12 || f->data[2]) &&
                        f->linesize[0] >= w_ && f->linesize[1] >= chromaW &&
                        (nv12 || f->linesize[2] >= chromaW);
  if (!planesOk)
    refuse("le_driver: " + path_ + " decode fault at frame " + std::to_string(count_) +
           " (frame planes missing or short)");
}

void FfSource::convertRgb(uint8_t* dst) const {
  const AVFrame* f = frame_.get();
  const ptrdiff_t out = ptrdiff_t{3} * w_;
  if (f->format == AV_PIX_FMT_NV12)
    le::simd::yuv420FrameToRgb24(f->data[0], f->linesize[0], f->data[1], f->linesize[1],
                                 f->data[1] + 1, f->linesize[1], w_, h_, 2, dst, out);
  else
    le::simd::yuv420FrameToRgb24(f->data[0], f->linesize[0], f->data[1], f->linesize[1],
                                 f->data[2], f->linesize[2], w_, h_, 1, dst, out);
}

void FfSource::convertPrior(uint8_t* dst) {
  const AVFrame* f = frame_.get();
  const size_t plane = size_t(w_) * size_t(h_) * sizeof(uint16_t);
  uint16_t* r = planes_.data();
  uint16_t* g = r + w_;
  uint16_t* b = g + w_;
  const auto clamp = [](int x) { return x < 0 ? 0 : x > 255 ? 255 : x; };
  for (int y = 0; y < h_; ++y) {
    const uint8_t* py = f->data[0] + ptrdiff_t{y} * f->linesize[0];
    const uint8_t* pu = f->data[1] + ptrdiff_t{y} * f->linesize[1];
    const uint8_t* pv = f->data[2] + ptrdiff_t{y} * f->linesize[2];
    for (int x = 0; x < w_; ++x) {
      // Limited-range BT.601 in 16.16 fixed point.
      const int c = (py[x] - 16) * 76312;
      const int u = pu[x] - 128, v = pv[x] - 128;
      r[x] = table_[clamp((c + 104600 * v + 32768) >> 16)];
      g[x] = table_[clamp((c - 25672 * u - 53280 * v + 32768) >> 16)];
      b[x] = table_[clamp((c + 132200 * u + 32768) >> 16)];
    }
    const size_t row = size_t(y) * size_t(w_) * sizeof(uint16_t);
    const size_t n = size_t(w_) * sizeof(uint16_t);
    std::memcpy(dst + row, r, n);
    std::memcpy(dst + plane + row, g, n);
    std::memcpy(dst + 2 * plane + row, b, n);
  }
}

}  // namespace

std::unique_ptr<Source> openMp4(const std::string& path, int NT, int W, int H) {
  checkShape(path, NT, W, H);
  return std::make_unique<FfSource>(FfSource::kDriverMp4, path, NT, W, H);
}

std::unique_ptr<Source> openPriorHevc(const std::string& path, int NT, int crop) {
  checkShape(path, NT, crop, crop);
  return std::make_unique<FfSource>(FfSource::kPriorHevc, path, NT, crop, crop);
}

}  // namespace le::driver

namespace le {

// The version this library was compiled against, which is the one whose
// behaviour the decoders were written and tested for.
std::string movieDecoderBuild() {
  return "libavcodec " + std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." +
         std::to_string(LIBAVCODEC_VERSION_MINOR) + "." +
         std::to_string(LIBAVCODEC_VERSION_MICRO) + " / " + avcodec_configuration();
}

}  // namespace le
