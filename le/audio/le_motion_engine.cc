#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "le/audio/mel.h"
#include "le/audio/motion_engine.h"
#include "le/audio/pose.h"
#include "le/bundle/member.h"
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
  const auto graph = [&](const char* name) {
    return std::make_unique<audio::OrtGraph>(member::confined(dir, name, "member"), options_, name);
  };
  student_ = graph("hubert_student.onnx");
  lmdm_ = graph("lmdm.onnx");
  stitch_ = graph("stitch.onnx");

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
  const int64_t at = audio_.end();
  audio_.growTo(at + n);
  std::copy_n(samples, n, audio_.row(at));
}

void MotionEngine::computeWindow(int64_t w) {
  float analysis[kAnalysisLen];
  float mel[kMel * kMelFrames];
  // The held audio starts at sample base(); the window reads nothing before
  // the next window's start, which is never let go (dropConsumed).
  const int64_t first = kFrameSamples * w - kWinLead;
  if (audio_.base() > 0 && first < audio_.base())
    throw std::logic_error("motion window " + std::to_string(w) + " reads audio already let go");
  fillAnalysis(audio_.data(), audio_.end() - audio_.base(), first - audio_.base(), analysis);
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
  feat_.growTo(w + 5);
  for (int j = 0; j < 5; ++j) {
    float* row = feat_.row(w + j);
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
  chunkInput(feat_.values(), featureFrames(), chunks_, in.data(), feat_.base());
  lmdm_->run({{in.data(), int64_t{kChunk} * kFeatDim, {1, kChunk, kFeatDim}},
              {cond_.data(), kMotionDim, {1, kMotionDim}}},
             {int64_t{kChunk} * kMotionDim}, {pred.data()});
  if (chunks_ == 0) {
    dump("lmdm0_kp.bin", cond_.data(), cond_.size());
    dump("lmdm0_aud.bin", in.data(), in.size());
    dump("lmdm0_pred.bin", pred.data(), pred.size());
  }
  appendChunk(rows_.values(), pred.data(), rows_.base());
  ++chunks_;
  // The next chunk starts 10 rows before the end; its condition is the row
  // just before that start.
  const float* prev = rows_.row(motionRows() - kOverlap - 1);
  std::copy_n(prev, kSmoothDim, cond_.begin());
}

void MotionEngine::advance() {
  if (finished_) return;
  if (saved_.active) {
    if (savedAudio_ == audio_.end()) return;
    rollback();
  }
  const int64_t S = audio_.end();
  for (int64_t w = featureFrames(); kFrameSamples * w + kWindowTail <= S; w = featureFrames())
    computeWindow(w);
  while (featureFrames() >= kAdvance * chunks_ + kChunk) runChunk();
  dropConsumed();
  if (eager_ > 0) beginProvisional();
}

void MotionEngine::beginProvisional() {
  const int64_t S = audio_.end();
  const int64_t whole = S / kFrameSamples;
  if (std::max<int64_t>(motionRows() - kOverlap, 0) >= whole) return;
  saved_.active = true;
  saved_.featFrames = featureFrames();
  saved_.rows = motionRows();
  saved_.chunks = chunks_;
  const int64_t keep = std::min<int64_t>(saved_.rows - rows_.base(), kOverlap);
  const float* tail = keep > 0 ? rows_.row(saved_.rows - keep) : nullptr;
  saved_.tail.assign(tail, tail + keep * kMotionDim);
  saved_.cond = cond_;
  savedAudio_ = S;
  for (int64_t w = featureFrames(); kFrameSamples * w < S; w = featureFrames()) computeWindow(w);
  while (motionRows() < whole && kAdvance * chunks_ < featureFrames()) runChunk();
}

void MotionEngine::rollback() {
  if (!saved_.active) return;
  feat_.truncate(saved_.featFrames);
  rows_.truncate(saved_.rows);
  const int64_t keep = static_cast<int64_t>(saved_.tail.size()) / kMotionDim;
  if (keep > 0) std::copy(saved_.tail.begin(), saved_.tail.end(), rows_.row(saved_.rows - keep));
  chunks_ = saved_.chunks;
  cond_ = saved_.cond;
  saved_ = Saved{};
}

int64_t MotionEngine::ready() const {
  if (finished_) return total_;
  if (saved_.active) return std::max<int64_t>(0, std::min(motionRows(), audio_.end() / kFrameSamples));
  // The last 10 rows are still blended by the next chunk.
  return std::max<int64_t>(motionRows() - kOverlap, 0);
}

void MotionEngine::finish() {
  if (finished_) return;
  rollback();
  const int64_t S = audio_.end();
  const int64_t F = (S + kFrameSamples - 1) / kFrameSamples;
  // An empty utterance runs no window and no chunk.
  for (int64_t w = featureFrames(); w < F; w = featureFrames()) computeWindow(w);
  while (motionRows() < F) runChunk();
  // The final rows: the held rows smoothed over the whole utterance. A row's
  // box reads only its neighbours, and the rows let go were pulled already;
  // the first held row (when rows were let go) only serves the next one's box
  // and is never pulled.
  const int64_t from = std::min(rows_.base(), F);
  final_.startAt(from);
  final_.growTo(F);
  if (F > from) std::copy_n(rows_.row(from), (F - from) * kMotionDim, final_.row(from));
  smoothRows(final_.values(), from > 0 ? from + 1 : 0, F, from);
  dump("res_post.bin", final_.data(), final_.values().size());
  for (int64_t t = from; t < F; ++t) clampRow(final_.row(t), tables_.vMinMax.data());
  dump("final.bin", final_.data(), final_.values().size());
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
      r = final_.row(pulled_);
    } else {
      liveRow(rows_.values(), pulled_, tables_.vMinMax.data(), row, rows_.base());
      r = row;
    }
    int64_t d = 0;
    emit(r, d, src + written * kExpDim, drv + written * kExpDim);
    idx[written] = static_cast<int>(d);
    ++pulled_;
    ++written;
  }
  if (!finished_ && !saved_.active) dropConsumed();
  return written;
}

void MotionEngine::dropConsumed() {
  if (keepHistory_) return;
  audio_.dropBefore(kFrameSamples * featureFrames() - kWinLead);
  feat_.dropBefore(kAdvance * chunks_);
  // The next chunk blends the last 10 rows and smooths from the row before
  // them; emission boxes the first row not pulled with the row before it.
  rows_.dropBefore(std::min(motionRows() - kOverlap - 1, pulled_ - 1));
}

}  // namespace le::motion
