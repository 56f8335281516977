// The teeth pass: construction and its checks, and the one-frame delay that
// lets the next frame's choice steady the current one (push, flush, emit).
#include "le/tessera/le_tessera.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "le/runtime/le_pool.h"
#include "le/tessera/teeth_math.h"

namespace le::tessera {

namespace {

[[noreturn]] void refuse(const std::string& what) { throw std::runtime_error(what); }

bool allFinite(const std::vector<double>& v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

// C++ callers may build a configuration without the head JSON reader: the
// reader's ranges hold here too.
void checkConfig(const ServeConfig& c) {
  auto need = [](bool ok, const char* key) {
    if (!ok) refuse(std::string("teeth: member ") + key + " out of range");
  };
  need(c.kshort >= 1 && c.kshort <= 4096, "kshort");
  need(std::isfinite(c.aperture_tol) && c.aperture_tol >= 0.0, "aperture_tol");
  need(c.cut >= 1, "cut");
  need(c.K >= 1 && c.K <= 1024, "K");
  need(c.hysteresis >= 0 && c.hysteresis <= c.K, "hysteresis");
  need(c.lookahead >= 0 && c.lookahead <= c.K, "lookahead");
  need(std::isfinite(c.teethLumaMin), "teethLumaMin");
  need(std::isfinite(c.teethGreenRedMax), "teethGreenRedMax");
  need(std::isfinite(c.maskDecay), "maskDecay");
}

// Hand-built weights get the checkpoint reader's checks: every tensor of its
// shape, both architectures, finite values.
void checkHead(const HeadWeights& h) {
  const auto& tensors = headTensors();
  for (size_t i = 0; i < tensors.size(); ++i) {
    const std::vector<float>& v = h.*tensors[i].field;
    int64_t numel = 1;
    for (const int64_t s : tensors[i].shape) numel *= s;
    const bool optional = i >= 6;  // the syn tensors of BlendHead(16)
    if (static_cast<int64_t>(v.size()) != numel && !(optional && v.empty()))
      refuse("teeth: head has " + std::to_string(h.params()) +
             " params, not the 4,082 of BlendHead(16) nor the 3,489 of BlendHead8(16)");
    for (const float x : v)
      if (!std::isfinite(x)) refuse(std::string("teeth: head '") + tensors[i].name + "' carries a non-finite weight");
  }
  const int64_t n = h.params();
  if (n != 4082 && n != 3489)
    refuse("teeth: head has " + std::to_string(n) +
           " params, not the 4,082 of BlendHead(16) nor the 3,489 of BlendHead8(16)");
}

}  // namespace

void TeethPass::checkBank(const BankData& bank) const {
  if (bank.n_donors < 1)
    refuse("teeth: bank has n_donors=" + std::to_string(bank.n_donors) + " — the pass needs at least one donor");
  // At most 3 x 8192 by 3 x 8192 bytes times 2^31 donors: inside 64 bits.
  const uint64_t expected = static_cast<uint64_t>(bandW_) * static_cast<uint64_t>(bandH_) *
                            static_cast<uint64_t>(bank.n_donors) * 3u;
  if (bank.track.size() != expected)
    refuse("teeth: reference track is " + std::to_string(bank.track.size()) + " bytes, the stamp requires " +
           std::to_string(expected) +
           " (n * stored_h * stored_w * 3) — a decoder that delivered a different pixel format would land here");
  const size_t n = static_cast<size_t>(bank.n_donors);
  if (bank.aperture.size() != n || bank.cent.size() != 2 * n)
    refuse("teeth: bank sidecar arrays disagree with n_donors");
  if (!allFinite(bank.cent) || !allFinite(bank.aperture) || !std::isfinite(bank.c_canon[0]) ||
      !std::isfinite(bank.c_canon[1]))
    refuse("teeth: bank sidecar arrays carry a non-finite value");
  for (size_t d = 0; d < n; ++d)
    if (std::fabs(bank.cent[2 * d] - bank.c_canon[0]) > s_.canvas_w ||
        std::fabs(bank.cent[2 * d + 1] - bank.c_canon[1]) > s_.canvas_h)
      refuse("teeth: donor " + std::to_string(d) +
             " centroid lies more than one canvas side from c_canon — its shift cannot be placed");
}

TeethPass::TeethPass(const BankData& bank, const HeadWeights& head, const ServeConfig& config)
    : s_(bank.stamp), cfg_(config), head_(head) {
  s_.validate();  // before any size is computed from the stamp
  bandW_ = (s_.band_c1 - s_.band_c0) + 2 * s_.shift_margin;
  bandH_ = (s_.band_r1 - s_.band_r0) + 2 * s_.shift_margin;
  checkBank(bank);
  checkConfig(cfg_);
  checkHead(head_);
  dTable();
  track_ = bank.track;
  aperture_ = bank.aperture;
  cCanon_ = bank.c_canon;
  nDonors_ = bank.n_donors;
  donorDx_.resize(static_cast<size_t>(nDonors_));
  donorDy_.resize(static_cast<size_t>(nDonors_));
  for (size_t d = 0; d < donorDx_.size(); ++d) {
    donorDx_[d] = static_cast<int>(std::nearbyint(bank.cent[2 * d] - cCanon_[0]));
    donorDy_[d] = static_cast<int>(std::nearbyint(bank.cent[2 * d + 1] - cCanon_[1]));
  }
  const size_t ww = static_cast<size_t>(s_.window_w);
  bandMask_.assign(static_cast<size_t>(s_.window_h) * ww, 0);
  for (int y = s_.band_r0; y < s_.band_r1; ++y)
    std::fill_n(&bandMask_[static_cast<size_t>(y) * ww + static_cast<size_t>(s_.band_c0)], s_.band_c1 - s_.band_c0,
                uint8_t{1});
  buildIndex();
}

void TeethPass::keepWindow(const uint8_t* canvasRgb, const uint8_t* mask, Pending* p) const {
  const size_t ww = static_cast<size_t>(s_.window_w), wh = static_cast<size_t>(s_.window_h);
  const size_t cw = static_cast<size_t>(s_.canvas_w);
  p->rgb.resize(ww * wh * 3);
  p->mask.resize(ww * wh);
  for (size_t y = 0; y < wh; ++y) {
    const size_t at = (static_cast<size_t>(s_.window_y0) + y) * cw + static_cast<size_t>(s_.window_x0);
    std::copy_n(canvasRgb + at * 3, ww * 3, &p->rgb[y * ww * 3]);
    std::copy_n(mask + at, ww, &p->mask[y * ww]);
  }
}

bool TeethPass::push(int frame, const uint8_t* canvasRgb, const uint8_t* mask, const int* shift, FrameResult* out) {
  if (canvasRgb == nullptr || mask == nullptr || out == nullptr)
    throw std::invalid_argument("teeth: push needs a canvas, a mask and a result");
  teeth::StepClock clock;
  ++times_.frames;
  Pending& p = next_;
  p.frame = frame;
  p.hasShift = deriveShift(mask, shift, &p.dy, &p.dx, &p.reason);
  keepWindow(canvasRgb, mask, &p);
  p.selection.clear();
  if (p.hasShift) {
    retrievePrepare(canvasRgb, mask, p.dy, p.dx);
    clock.lap(&times_.prepare);
    p.selection = retrieve();
  } else {
    clock.lap(&times_.prepare);
  }
  const bool emitted = havePending_;
  if (emitted) emit(pending_, &p.selection, out);
  std::swap(pending_, next_);
  havePending_ = true;
  return emitted;
}

bool TeethPass::flush(FrameResult* out) {
  if (!havePending_) return false;
  if (out == nullptr) throw std::invalid_argument("teeth: flush needs a result");
  emit(pending_, nullptr, out);
  havePending_ = false;
  return true;
}

std::vector<int> TeethPass::assembleSet(const Pending& p, const std::vector<int>* lookahead) const {
  const size_t k = static_cast<size_t>(cfg_.K);
  const std::vector<int> own(p.selection.begin(), p.selection.begin() + std::min(k, p.selection.size()));
  std::vector<int> ahead;
  if (lookahead != nullptr && cfg_.fromHead)
    ahead.assign(lookahead->begin(),
                 lookahead->begin() + std::min(lookahead->size(), static_cast<size_t>(cfg_.lookahead)));
  auto in = [](const std::vector<int>& v, int d) { return std::find(v.begin(), v.end(), d) != v.end(); };
  std::vector<int> rest;
  for (const int d : own)
    if (!in(ahead, d)) rest.push_back(d);
  std::vector<int> set;
  // 64-bit: frame - 1 of INT_MIN stays representable.
  if (!held_.empty() && heldFrame_ == int64_t{p.frame} - 1) {
    set = held_;
    for (const int d : ahead)
      if (!in(held_, d)) set.push_back(d);
    for (const int d : rest)
      if (!in(held_, d)) set.push_back(d);
  } else {
    set = ahead;
    set.insert(set.end(), rest.begin(), rest.end());
  }
  if (set.size() > k) set.resize(k);
  return set;
}

void TeethPass::emit(const Pending& p, const std::vector<int>* lookahead, FrameResult* out) {
  *out = FrameResult{};
  if (!p.hasShift) {
    out->passthrough = true;
    out->reason = p.reason;
    return;
  }
  teeth::StepClock clock;
  const std::vector<int> set = assembleSet(p, lookahead);
  const size_t windowBytes = static_cast<size_t>(s_.window_w) * static_cast<size_t>(s_.window_h) * 3;
  candidates_.resize(set.size() * windowBytes);
  gatherWindowsU8(set, p.dy, p.dx, candidates_.data());
  headForward(candidates_.data(), static_cast<int>(set.size()), p.rgb.data());
  clock.lap(&times_.head);
  compose(p, out);
  out->donors = static_cast<int32_t>(set.size());
  lastSet_ = set;
  // Candidates by total softmax weight, largest first: the held set.
  std::vector<double> score(set.size());
  for (size_t c = 0; c < set.size(); ++c) score[c] = -blend_.total[c];
  const std::vector<int> order = teeth::stableOrder(score);
  held_.clear();
  for (size_t i = 0; i < std::min(order.size(), static_cast<size_t>(cfg_.hysteresis)); ++i)
    held_.push_back(set[static_cast<size_t>(order[i])]);
  heldFrame_ = p.frame;
  clock.lap(&times_.emit);
}

// window = (1 - alpha) x frame + alpha x blend per pixel and channel, alpha
// the delivery mask (0 where the frame's shift left the canvas).
void TeethPass::compose(const Pending& p, FrameResult* out) const {
  const int64_t ww = s_.window_w, wh = s_.window_h;
  out->window.resize(static_cast<size_t>(ww * wh * 3));
  pool::parallelRange(static_cast<size_t>(wh), 1, [&](size_t begin, size_t end) {
    for (int64_t y = static_cast<int64_t>(begin); y < static_cast<int64_t>(end); ++y) {
      const int64_t my = int64_t{s_.window_y0} + p.dy + y;
      for (int64_t x = 0; x < ww; ++x) {
        const int64_t mx = int64_t{s_.window_x0} + p.dx + x;
        const bool moved = my >= 0 && my < s_.canvas_h && mx >= 0 && mx < s_.canvas_w;
        const size_t i = static_cast<size_t>(y * ww + x);
        const float alpha = moved ? static_cast<float>(p.mask[i]) / 255.0f : 0.0f;
        for (size_t c = 0; c < 3; ++c) {
          const float f = static_cast<float>(p.rgb[3 * i + c]) / 255.0f;
          const float v = (1.0f - alpha) * f + alpha * (blend_.rgb[3 * i + c] / 255.0f);
          out->window[3 * i + c] = teeth::toByte(v);
        }
      }
    }
  });
  double sum = 0.0;
  float top = 0.0f;
  size_t count = 0;
  for (size_t i = 0; i < bandMask_.size(); ++i)
    if (bandMask_[i]) {
      sum += blend_.peak[i];
      top = std::max(top, blend_.peak[i]);
      ++count;
    }
  out->peakMean = count ? static_cast<float>(sum / static_cast<double>(count)) : 0.0f;
  out->peakMax = top;
}

}  // namespace le::tessera
