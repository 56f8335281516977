#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "le/audio/mel.h"
#include "le/audio/motion_engine.h"
#include "le/audio/pose.h"
#include "le/runtime/env.h"
#include "le/runtime/le_pool.h"
#include "le/runtime/log.h"
#include "le/runtime/ort_env.h"

namespace le::motion {
namespace {

// A window of 4480 samples from 640 w - 2000 ends 2480 samples into frame w.
constexpr int64_t kWindowTail = kWinSamples - kWinLead;

}  // namespace

std::string coremlUnitOf(const std::string& ep) {
  const size_t colon = ep.find(':');
  return colon == std::string::npos ? std::string() : ep.substr(colon + 1);
}

MotionEngine::MotionEngine(const std::string& dir, int threads, const std::string& ep)
    : tables_(loadMotionTables(dir)) {
  const float srcScale = tables_.srcInfo[kRecScale];
  if (!std::isfinite(srcScale) || !(std::fabs(srcScale) > 1e-6f))
    throw std::runtime_error("le_motion: src scale is zero/non-finite");
  lip_ = tables_.chInfo[kRecScale] / srcScale;
  if (!std::isfinite(lip_)) throw std::runtime_error("le_motion: lip factor is non-finite");

  ort::Recipe recipe;
  recipe.intraThreads = threads;
  recipe.spin = ort::Spin::IfAsked;
  if (ep.empty()) {
    // processor only
  } else if (ep.rfind("coreml", 0) == 0) {
    recipe.provider = ort::Provider::CoreML;
    recipe.coremlUnit = coremlUnitOf(ep);
    recipe.coremlCacheDir = ort::coremlCacheDir(dir);
  } else {
    throw std::runtime_error("le_motion: unknown ep '" + ep + "'");
  }
  options_ = std::move(ort::sessionOptions(recipe).options);
  student_ = std::make_unique<audio::OrtGraph>(dir + "/hubert_student.onnx", options_,
                                               "hubert_student.onnx");
  lmdm_ = std::make_unique<audio::OrtGraph>(dir + "/lmdm.onnx", options_, "lmdm.onnx");
  stitch_ = std::make_unique<audio::OrtGraph>(dir + "/stitch.onnx", options_, "stitch.onnx");

  // Initial condition: the character's pose logits, translation, scale and
  // expression in motion-row order (pitch, yaw, roll, t, scale, expression).
  const float* ch = tables_.chInfo.data();
  initCond_.reserve(kMotionDim);
  initCond_.insert(initCond_.end(), ch + kRecPitch, ch + kRecPitch + 66);
  initCond_.insert(initCond_.end(), ch + kRecYaw, ch + kRecYaw + 66);
  initCond_.insert(initCond_.end(), ch + kRecRoll, ch + kRecRoll + 66);
  initCond_.insert(initCond_.end(), ch + kRecT, ch + kRecT + 3);
  initCond_.push_back(ch[kRecScale]);
  initCond_.insert(initCond_.end(), ch + kRecExp, ch + kRecExp + kExpDim);

  if (auto d = env::nonEmpty("LE_MOTION_DUMP")) dumpDir_ = std::move(*d);
  dump("cond.bin", initCond_.data(), initCond_.size());
  reset(0, 1, true);
}

MotionEngine::~MotionEngine() = default;

void MotionEngine::dump(const char* name, const float* v, size_t n, bool append) const {
  if (dumpDir_.empty()) return;
  const std::string path = dumpDir_ + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), append ? "ab" : "wb");
  if (f == nullptr) {
    log::linef(log::Level::Warning, "[le] motion dump: cannot write %s", path.c_str());
    return;
  }
  if (n > 0) std::fwrite(v, sizeof(float), n, f);
  std::fclose(f);
}

void MotionEngine::reset(int64_t start, int direction, bool loop) {
  audio_.clear();
  finished_ = false;
  total_ = 0;
  feat_.clear();
  rows_.clear();
  final_.clear();
  chunks_ = 0;
  cond_ = initCond_;
  haveFirst_ = false;
  gFirst_.assign(kExpDim, 0.0f);
  pulled_ = 0;
  saved_ = Saved{};
  walk_.reset(tables_.meta.nt, start, direction, loop);
  for (const char* n : {"xs.bin", "xd.bin", "xsla.bin", "xdla.bin"}) dump(n, nullptr, 0);
}

void MotionEngine::push(const float* samples, int64_t n) {
  if (n <= 0) return;
  rollback();
  audio_.insert(audio_.end(), samples, samples + n);
}

void MotionEngine::computeWindow(int64_t w) {
  float analysis[kAnalysisLen];
  float mel[kMel * kMelFrames];
  fillAnalysis(audio_.data(), static_cast<int64_t>(audio_.size()), kFrameSamples * w - kWinLead,
               analysis);
  logMel(analysis, tables_.window.data(), tables_.binmat.data(), mel);
  std::vector<float> vecs(size_t{kStudentVecs} * kAudioDim);
  student_->run({{mel, kMel * kMelFrames, {1, kMel, kMelFrames}}}, {kStudentVecs * kAudioDim},
                {vecs.data()});
  for (int v = 0; v < kStudentVecs; ++v)
    for (int c = 0; c < kAudioDim; ++c) {
      float& x = vecs[size_t(v) * kAudioDim + c];
      x = x * tables_.fstd[c] + tables_.fmean[c];
    }
  if (w == 0) {
    dump("mel0.bin", mel, std::size(mel));
    dump("feat0.bin", vecs.data(), vecs.size());
  }
  const size_t base = feat_.size();
  feat_.resize(base + size_t{5} * kFeatDim);
  for (int j = 0; j < 5; ++j) {
    float* row = feat_.data() + base + size_t(j) * kFeatDim;
    const float* a = vecs.data() + size_t(6 + 2 * j) * kAudioDim;
    const float* b = a + kAudioDim;
    for (int c = 0; c < kAudioDim; ++c) row[c] = 0.5f * (a[c] + b[c]);
    const int64_t e = (w + j) % tables_.meta.nEmo;
    float* p = row + kAudioDim;
    p = std::copy_n(tables_.emo.data() + e * 8, 8, p);
    p = std::copy_n(tables_.eyeOpen.data(), 2, p);
    p = std::copy_n(tables_.eyeBall.data(), 6, p);
    std::copy_n(tables_.chSc.data(), kExpDim, p);
  }
}

void MotionEngine::runChunk() {
  std::vector<float> in(size_t{kChunk} * kFeatDim), pred(size_t{kChunk} * kMotionDim);
  chunkInput(feat_, featureFrames(), chunks_, in.data());
  lmdm_->run({{in.data(), int64_t{kChunk} * kFeatDim, {1, kChunk, kFeatDim}},
              {cond_.data(), kMotionDim, {1, kMotionDim}}},
             {int64_t{kChunk} * kMotionDim}, {pred.data()});
  if (chunks_ == 0) {
    dump("lmdm0_kp.bin", cond_.data(), cond_.size());
    dump("lmdm0_aud.bin", in.data(), in.size());
    dump("lmdm0_pred.bin", pred.data(), pred.size());
  }
  appendChunk(rows_, pred.data());
  ++chunks_;
  // The next chunk starts 10 rows before the end; its condition is the row
  // just before that start.
  const float* prev = rows_.data() + (motionRows() - kOverlap - 1) * kMotionDim;
  std::copy_n(prev, kSmoothDim, cond_.begin());
}

void MotionEngine::advance() {
  if (finished_) return;
  if (saved_.active) {
    if (savedAudio_ == static_cast<int64_t>(audio_.size())) return;
    rollback();
  }
  const int64_t S = static_cast<int64_t>(audio_.size());
  for (int64_t w = featureFrames(); kFrameSamples * w + kWindowTail <= S; w = featureFrames())
    computeWindow(w);
  while (featureFrames() >= kAdvance * chunks_ + kChunk) runChunk();
  if (eager_ > 0) beginProvisional();
}

void MotionEngine::beginProvisional() {
  const int64_t S = static_cast<int64_t>(audio_.size());
  const int64_t whole = S / kFrameSamples;
  if (std::max<int64_t>(motionRows() - kOverlap, 0) >= whole) return;
  saved_.active = true;
  saved_.featFrames = featureFrames();
  saved_.rows = motionRows();
  saved_.chunks = chunks_;
  const int64_t keep = std::min<int64_t>(saved_.rows, kOverlap);
  saved_.tail.assign(rows_.end() - keep * kMotionDim, rows_.end());
  saved_.cond = cond_;
  savedAudio_ = S;
  for (int64_t w = featureFrames(); kFrameSamples * w < S; w = featureFrames()) computeWindow(w);
  while (motionRows() < whole && kAdvance * chunks_ < featureFrames()) runChunk();
}

void MotionEngine::rollback() {
  if (!saved_.active) return;
  feat_.resize(size_t(saved_.featFrames) * kFeatDim);
  rows_.resize(size_t(saved_.rows) * kMotionDim);
  std::copy(saved_.tail.begin(), saved_.tail.end(), rows_.end() - saved_.tail.size());
  chunks_ = saved_.chunks;
  cond_ = saved_.cond;
  saved_ = Saved{};
}

int64_t MotionEngine::ready() const {
  if (finished_) return total_;
  if (saved_.active)
    return std::max<int64_t>(0, std::min(motionRows(), int64_t(audio_.size()) / kFrameSamples));
  // The last 10 rows are still blended by the next chunk.
  return std::max<int64_t>(motionRows() - kOverlap, 0);
}

void MotionEngine::finish() {
  if (finished_) return;
  rollback();
  const int64_t S = static_cast<int64_t>(audio_.size());
  const int64_t F = (S + kFrameSamples - 1) / kFrameSamples;
  // An empty utterance runs no window and no chunk.
  for (int64_t w = featureFrames(); w < F; w = featureFrames()) computeWindow(w);
  while (motionRows() < F) runChunk();
  final_.assign(rows_.begin(), rows_.begin() + F * kMotionDim);
  smoothRows(final_, 0, F);
  dump("res_post.bin", final_.data(), final_.size());
  for (int64_t t = 0; t < F; ++t) clampRow(final_.data() + t * kMotionDim, tables_.vMinMax.data());
  dump("final.bin", final_.data(), final_.size());
  total_ = F;
  finished_ = true;
}

int64_t MotionEngine::avail() {
  advance();
  return std::max<int64_t>(ready() - pulled_, 0);
}

void MotionEngine::emit(const float* row, int64_t& d, float* src, float* drv) {
  const float* g = row + kSmoothDim;
  if (!haveFirst_) {
    std::copy_n(g, kExpDim, gFirst_.begin());
    haveFirst_ = true;
  }
  d = walk_.next();
  const float* S = tables_.srcInfo.data() + d * kRecord;
  float xs[kExpDim], xd[kExpDim], st[kExpDim];
  emitKeypoints(S, g, gFirst_.data(), lip_, tables_.meta.deltaPitch, xs, xd);
  stitch_->run({{xs, kExpDim, {1, kExpDim}}, {xd, kExpDim, {1, kExpDim}}}, {kExpDim}, {st});
  const float* target = tables_.xsTarget.data() + d * kExpDim;
  const float sb = tables_.meta.sBridge;
  for (int i = 0; i < kExpDim; ++i) {
    src[i] = target[i];
    drv[i] = target[i] + sb * (st[i] - xs[i]);
  }
  dump("xs.bin", xs, kExpDim, true);
  dump("xd.bin", xd, kExpDim, true);
  dump("xsla.bin", src, kExpDim, true);
  dump("xdla.bin", drv, kExpDim, true);
}

int64_t MotionEngine::pull(int* idx, float* src, float* drv, int64_t n) {
  if (n < 1) return 0;
  advance();
  const int64_t limit = ready();
  int64_t written = 0;
  float row[kMotionDim];
  while (pulled_ < limit && written < n) {
    const float* r = nullptr;
    if (finished_) {
      r = final_.data() + pulled_ * kMotionDim;
    } else {
      liveRow(rows_, pulled_, tables_.vMinMax.data(), row);
      r = row;
    }
    int64_t d = 0;
    emit(r, d, src + written * kExpDim, drv + written * kExpDim);
    idx[written] = static_cast<int>(d);
    ++pulled_;
    ++written;
  }
  return written;
}

}  // namespace le::motion
