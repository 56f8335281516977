#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "le/pipeline/tessera_attach.h"
#include "le/tessera/bundle_tessera.h"
#include "le/tessera/tessera_stream.h"

namespace le::utt {
namespace {

using tessera::GeometryStamp;

class StreamBorrowStage : public Borrow {
 public:
  StreamBorrowStage(std::unique_ptr<tessera::StreamBorrow> sb, const GeometryStamp& stamp)
      : sb_(std::move(sb)), stamp_(stamp) {}
  bool push(const float* planes, const float* kp, tessera::FrameResult* out) override {
    return sb_->push(planes, kp, out);
  }
  bool flush(tessera::FrameResult* out) override { return sb_->flush(out); }
  void writeBack(float* planes, const tessera::FrameResult& r) override {
    tessera::StreamBorrow::writeWindowDelta(planes, stamp_.canvas_w, r, stamp_);
  }

 private:
  std::unique_ptr<tessera::StreamBorrow> sb_;
  GeometryStamp stamp_;
};

GeometryStamp stampOf(const int32_t* v) {
  GeometryStamp s;
  s.canvas_w = v[0], s.canvas_h = v[1], s.window_x0 = v[2], s.window_y0 = v[3];
  s.window_w = v[4], s.window_h = v[5], s.pad = v[6], s.band_r0 = v[7];
  s.band_r1 = v[8], s.band_c0 = v[9], s.band_c1 = v[10], s.shift_margin = v[11];
  return s;
}

// Sizes read only after the stamp validated: every span is positive and the
// sums fit in 64 bits.
tessera::BankData bankOf(const TesseraAttach& in, const GeometryStamp& s) {
  tessera::BankData bank;
  bank.n_donors = in.nDonors;
  bank.stamp = s;
  const int64_t bandW = int64_t(s.band_c1) - s.band_c0 + 2 * int64_t(s.shift_margin);
  const int64_t bandH = int64_t(s.band_r1) - s.band_r0 + 2 * int64_t(s.shift_margin);
  const uint64_t bytes = uint64_t(in.nDonors) * uint64_t(bandW) * uint64_t(bandH) * 3u;
  bank.track.assign(in.track, in.track + bytes);
  bank.cent.assign(in.cent, in.cent + 2 * size_t(in.nDonors));
  bank.aperture.assign(in.aperture, in.aperture + size_t(in.nDonors));
  bank.c_canon = {in.cCanon[0], in.cCanon[1]};
  return bank;
}

}  // namespace

namespace {

void attachChecked(Pipeline& p, const TesseraAttach& in) {
  const GeometryStamp stamp = stampOf(in.stamp);
  if (stamp.canvas_w != p.crop())
    throw std::runtime_error("bank canvas " + std::to_string(stamp.canvas_w) + " != this bundle's render crop " +
                             std::to_string(p.crop()));
  const std::vector<float>& xs = p.targetRows();
  if (xs.empty())
    throw std::runtime_error(
        "xs_target.bin is absent or the wrong length, so this bundle's corpus pi frame cannot be identified "
        "\xe2\x80\x94 refusing to arm the borrow against the manifest's compose-field geometry");
  stamp.validate();
  const tessera::ServeConfig config = tessera::ServeConfig::fromHeadMemberJson(in.headJson);
  const std::vector<uint8_t> pt(in.headPt, in.headPt + (in.headPtLen > 0 ? in.headPtLen : 0));
  const tessera::HeadWeights head = tessera::loadHeadPt(pt);
  std::string chosen;
  const tessera::UnifiedPi pi = tessera::UnifiedPi::corpusFromManifestJson(
      in.manifestJson, p.crop(), xs.data(), int(xs.size() / kKpFloats), in.cCanon, &chosen);
  auto sb = std::make_unique<tessera::StreamBorrow>(bankOf(in, stamp), head, config, pi, p.lipTemplate());
  p.attachBorrow(std::make_shared<StreamBorrowStage>(std::move(sb), stamp), tesseraStampText(stamp));
}

}  // namespace

void attachTessera(Pipeline& p, const TesseraAttach& in) {
  try {
    attachChecked(p, in);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("le_utt_tessera_attach: ") + (e.what()[0] ? e.what() : "unknown failure"));
  }
}

}  // namespace le::utt
