// Reference bank track → donor-ordered RGB24 patches. Each decoded frame goes
// into its donor's slot as it arrives (through one reused row buffer), so no
// second reordering pass exists.
#include <cstring>
#include <stdexcept>
#include <string>

#include "le/tessera/bank_io.h"
#include "le/tessera/bankdec.h"

namespace le::tessera {

namespace {

using namespace bankio;

constexpr int kMaxDonors = 1024;
constexpr uint64_t kMaxBankBytes = uint64_t(1) << 30;

[[noreturn]] void refuse(const std::string& what) { throw std::runtime_error(what); }

void checkArguments(const uint8_t* data, size_t size, int n, int h, int w,
                    const std::vector<int>& order) {
  if (!data || size == 0) refuse("reference bank track is empty — refusing to serve");
  if (n <= 0 || h <= 0 || w <= 0) refuse("reference bank geometry is not positive — refusing to serve");
  if (n > kMaxDonors || uint64_t(n) * uint64_t(h) * uint64_t(w) * 3 > kMaxBankBytes)
    refuse("reference bank geometry is too large — refusing to serve");
  if (order.size() != size_t(n))
    refuse("reference bank sidecar track_order has " + std::to_string(order.size()) +
           " entries, expected " + std::to_string(n) + " — sidecar/track mismatch, refusing to serve");
}

void checkPermutation(const std::vector<int>& order, int n) {
  std::vector<bool> seen(size_t(n), false);
  for (int d : order)
    if (d < 0 || d >= n) refuse("reference bank track_order is out of range — refusing to serve");
  for (int d : order) {
    if (seen[size_t(d)]) refuse("reference bank track_order is not a permutation — refusing to serve");
    seen[size_t(d)] = true;
  }
}

int firstVideoStream(AVFormatContext* fmt) {
  for (unsigned i = 0; i < fmt->nb_streams; ++i)
    if (fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) return int(i);
  refuse("reference bank track has no video stream — refusing to serve");
}

CodecContext openDecoder(const AVCodecParameters* par) {
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec)
    refuse("no decoder for the reference bank track — this build must carry the h264 decoder (see "
           "build_ffmpeg_android); refusing to serve");
  CodecContext ctx(avcodec_alloc_context3(codec));
  if (!ctx) refuse("reference bank decode: avcodec_alloc_context3 failed");
  if (avcodec_parameters_to_context(ctx.get(), par) < 0)
    refuse("reference bank decode: avcodec_parameters_to_context failed");
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
    refuse("reference bank decode: could not open the decoder — refusing to serve");
  return ctx;
}

// Takes the decoder's frames in output order and writes each into its slot.
class SlotWriter {
 public:
  SlotWriter(int n, int h, int w, const std::vector<int>& order)
      : n_(n), h_(h), w_(w), order_(order), out_(uint64_t(n) * h * w * 3, 0),
        scratchStride_((w * 3 + kRowSlack + 63) & ~63), scratch_(size_t(scratchStride_) * h + kRowSlack) {}

  void take(const AVFrame* f) {
    if (f->width != w_ || f->height != h_)
      refuse("reference bank frame changed size mid-track — refusing to serve");
    if (taken_ == 0) format_ = f->format;
    if (f->format != format_)
      refuse("reference bank frame changed pixel format mid-track — refusing to serve");
    if ((f->flags & AV_FRAME_FLAG_CORRUPT) || f->decode_error_flags) corrupt();
    if (!scaler_) {
      scaler_.reset(sws_getContext(w_, h_, AVPixelFormat(format_), w_, h_, AV_PIX_FMT_RGB24,
                                   SWS_BILINEAR, nullptr, nullptr, nullptr));
      if (!scaler_) refuse("reference bank decode: no rgb24 conversion — refusing to serve");
    }
    if (taken_ >= n_)
      refuse("bank track carries more frames than the sidecar's n_donors — sidecar/track mismatch, "
             "refusing to serve");
    // swscale's vector paths store past the end of a row, so a frame is
    // converted into padded rows first: straight into a packed slot, the last
    // row would spill into the next donor's patch (or past the bank).
    uint8_t* dst[4] = {scratch_.data()};
    const int stride[4] = {scratchStride_};
    sws_scale(scaler_.get(), f->data, f->linesize, 0, h_, dst, stride);
    const size_t row = size_t(w_) * 3;
    uint8_t* slot = out_.data() + uint64_t(order_[size_t(taken_)]) * h_ * row;
    for (int y = 0; y < h_; ++y) std::memcpy(slot + y * row, scratch_.data() + size_t(y) * scratchStride_, row);
    ++taken_;
  }

  [[noreturn]] void corrupt() const {
    refuse("reference bank decode: corrupt frame " + std::to_string(taken_) + " — refusing to serve");
  }

  std::vector<uint8_t> finish() {
    if (taken_ != n_)
      refuse("bank track decoded to " + std::to_string(taken_) + " frames, expected " +
             std::to_string(n_) + " — geometry/N mismatch, refusing to serve");
    return std::move(out_);
  }

 private:
  int n_, h_, w_;
  const std::vector<int>& order_;
  std::vector<uint8_t> out_;
  int taken_ = 0;
  int format_ = AV_PIX_FMT_NONE;
  Scaler scaler_;
  static constexpr int kRowSlack = 64;  // bytes a converted row may overrun
  int scratchStride_;
  std::vector<uint8_t> scratch_;
};

// Every frame the decoder has ready (after the flush request: every frame).
void drain(AVCodecContext* dec, AVFrame* frame, SlotWriter& slots) {
  for (;;) {
    const int rc = avcodec_receive_frame(dec, frame);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
    if (rc < 0) slots.corrupt();
    slots.take(frame);
    av_frame_unref(frame);
  }
}

void decodeAll(AVFormatContext* fmt, int stream, AVCodecContext* dec, SlotWriter& slots) {
  Packet pkt(av_packet_alloc());
  Frame frame(av_frame_alloc());
  if (!pkt || !frame) refuse("reference bank decode: out of memory");
  while (av_read_frame(fmt, pkt.get()) >= 0) {
    if (pkt->stream_index == stream) {
      int rc = avcodec_send_packet(dec, pkt.get());
      if (rc == AVERROR(EAGAIN)) {  // output first, then the packet again
        drain(dec, frame.get(), slots);
        rc = avcodec_send_packet(dec, pkt.get());
      }
      if (rc < 0) slots.corrupt();
      drain(dec, frame.get(), slots);
    }
    av_packet_unref(pkt.get());
  }
  if (avcodec_send_packet(dec, nullptr) < 0) slots.corrupt();
  drain(dec, frame.get(), slots);
}

}  // namespace

std::vector<uint8_t> decodeBankTrack(const uint8_t* data, size_t size, int n, int h, int w,
                                     const std::vector<int>& track_order) {
  checkArguments(data, size, n, h, w, track_order);
  MemoryDemuxer demux(data, size);
  AVFormatContext* fmt = demux.get();
  const int stream = firstVideoStream(fmt);
  const AVCodecParameters* par = fmt->streams[stream]->codecpar;
  if (par->width != w || par->height != h)
    refuse("reference bank track is " + std::to_string(par->width) + "x" +
           std::to_string(par->height) + ", the geometry stamp says " + std::to_string(w) + "x" +
           std::to_string(h) + " — geometry mismatch, refusing to serve");
  CodecContext dec = openDecoder(par);
  checkPermutation(track_order, n);
  SlotWriter slots(n, h, w, track_order);
  decodeAll(fmt, stream, dec.get(), slots);
  return slots.finish();
}

std::string bankDecoderBuild() {
  return std::string("libavcodec ") + AV_STRINGIFY(LIBAVCODEC_VERSION) + " / " +
         avcodec_configuration();
}

}  // namespace le::tessera
