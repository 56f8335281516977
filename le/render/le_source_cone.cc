#include "le/render/source_cone.h"

#include <stdexcept>

#include "le/bundle/identity.h"
#include "le/runtime/le_simd.h"

namespace le {

SourceConeRing::SourceConeRing(std::unique_ptr<Ort::Session> prep, std::string boundary,
                               const std::array<int64_t, 4>& dims, Identity* identity, int32_t crop,
                               const Ort::MemoryInfo& mem)
    : prep_(std::move(prep)), boundary_(std::move(boundary)), dims_(dims), id_(identity), crop_(crop) {
  elements_ = 1;
  for (int64_t d : dims_) elements_ *= static_cast<size_t>(d);
  const size_t priorN = 3 * static_cast<size_t>(crop_) * static_cast<size_t>(crop_);
  prior_.assign(priorN, 0.f);
  if (id_->hasHevcPrior() && !id_->hasRawP()) half_.assign(priorN, 0);
  const std::array<int64_t, 4> priorShape{1, 3, crop_, crop_};
  priorTensor_ = Ort::Value::CreateTensor<float>(mem, prior_.data(), prior_.size(), priorShape.data(),
                                                 priorShape.size());
  binding_ = std::make_unique<Ort::IoBinding>(*prep_);
  binding_->BindInput("P_rgb", priorTensor_);
  for (Slot& s : slots_) {
    s.buf.assign(elements_, 0.f);
    s.tensor = Ort::Value::CreateTensor<float>(mem, s.buf.data(), s.buf.size(), dims_.data(), dims_.size());
  }
  thread_ = std::thread([this] { prefetchLoop(); });
}

SourceConeRing::~SourceConeRing() {
  {
    std::lock_guard<std::mutex> lk(m_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

int SourceConeRing::freeSlotL() const {
  for (int i = 0; i < kSlots; ++i)
    if (i != pinned_) return i;
  return -1;
}

SourceConeRing::Slot& SourceConeRing::acquire(int32_t si) {
  std::unique_lock<std::mutex> lk(m_);
  pinned_ = -1;
  while (ringError_.empty()) {
    for (int i = 0; i < kSlots; ++i) {
      if (slots_[i].si == si) {
        pinned_ = i;
        ++hits_;
        return slots_[i];
      }
    }
    if (reqSi_ < 0) {
      ++misses_;
      const int slot = freeSlotL();
      if (slot < 0) throw std::runtime_error("Renderer: source-cone ring exhausted");
      slots_[slot].si = -1;
      runPrepL(si, slot, lk);
      if (slots_[slot].si == si) {  // filled here: a miss, not also a hit
        pinned_ = slot;
        return slots_[slot];
      }
      continue;
    }
    cv_.wait(lk);  // the loop re-checks every condition
  }
  throw std::runtime_error("Renderer: the hoisted source cone failed in ORT — " + ringError_);
}

void SourceConeRing::schedule(int32_t si) {
  const int32_t target = predictor_.next(si, id_->NT());
  if (target < 0) return;
  {
    std::lock_guard<std::mutex> lk(m_);
    if (reqSi_ >= 0 || !ringError_.empty()) return;
    for (const Slot& s : slots_)
      if (s.si == target) return;
    const int slot = freeSlotL();
    if (slot < 0) return;
    slots_[slot].si = -1;
    reqSi_ = target;
    reqSlot_ = slot;
  }
  cv_.notify_one();
}

void SourceConeRing::runPrepL(int32_t si, int slot, std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  std::string error;
  try {
    if (beforePrep) beforePrep(si);
    const size_t n = prior_.size();
    if (!half_.empty()) {
      // A pull on another thread may overwrite the cursor's frame: copy it out
      // under the identity's lock first.
      id_->copyP(si, half_.data());
      simd::f16ToF32(half_.data(), prior_.data(), n);
    } else {
      simd::f16ToF32(id_->P(si), prior_.data(), n);
    }
    binding_->BindOutput(boundary_.c_str(), slots_[slot].tensor);
    prep_->Run(Ort::RunOptions{nullptr}, *binding_);
  } catch (const std::exception& e) {
    error = e.what();
    if (error.empty()) error = "unknown error";
  } catch (...) {
    error = "unknown error";
  }
  lock.lock();
  if (!error.empty()) {
    if (ringError_.empty()) ringError_ = std::move(error);
    return;
  }
  slots_[slot].si = si;
}

void SourceConeRing::prefetchLoop() {
  std::unique_lock<std::mutex> lk(m_);
  try {
    while (!stop_) {
      while (reqSi_ >= 0) {
        runPrepL(reqSi_, reqSlot_, lk);
        reqSi_ = reqSlot_ = -1;
        cv_.notify_all();
      }
      // A request made before this wait began is seen by the predicate.
      cv_.wait(lk, [this] { return stop_ || reqSi_ >= 0; });
    }
  } catch (...) {
    if (!lk.owns_lock()) lk.lock();
    if (ringError_.empty()) ringError_ = "prefetch thread failed";
    reqSi_ = reqSlot_ = -1;
    cv_.notify_all();
  }
}

int64_t SourceConeRing::hits() const {
  std::lock_guard<std::mutex> lk(m_);
  return hits_;
}

int64_t SourceConeRing::misses() const {
  std::lock_guard<std::mutex> lk(m_);
  return misses_;
}

ConePredictor SourceConeRing::predictor() const { return predictor_; }

}  // namespace le
