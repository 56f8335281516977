#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>

#include "le/audio/a2x.h"
#include "le/bundle/member.h"
#include "le/bundle/paths.h"
#include "le/runtime/env.h"
#include "le/runtime/le_pool.h"
#include "le/runtime/log.h"

namespace le::audio {
namespace {

int64_t elementCount(const Ort::Value& v) {
  return static_cast<int64_t>(v.GetTensorTypeAndShapeInfo().GetElementCount());
}

std::optional<std::string> readText(const std::string& path) {
  std::optional<member::File> f = member::File::tryOpen(path, member::kTextMax, "a2x_meta.json");
  if (!f) return std::nullopt;
  return f->readAll();
}

// Shape [1, ..., 1, n] of the rank the graph declares for a decoder input.
std::vector<int64_t> vectorShape(Ort::Session& s, const char* name, int64_t n) {
  Ort::AllocatorWithDefaultOptions alloc;
  for (size_t i = 0; i < s.GetInputCount(); ++i) {
    if (std::strcmp(s.GetInputNameAllocated(i, alloc).get(), name) != 0) continue;
    const size_t rank = s.GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape().size();
    std::vector<int64_t> shape(rank < 1 ? 2 : rank, 1);
    shape.back() = n;
    return shape;
  }
  throw std::runtime_error(std::string("a2x_dec: no input ") + name);
}

void printCadenceOnce(int threads) {
  static std::once_flag once;
  std::call_once(once, [threads] {
    log::linef(
        log::Level::Info,
        "[le_a2x] live cadence: block-%d (one trunk window per %d frames), push-size invariant, "
        "threads=%d",
        320, 8, threads);
  });
}

}  // namespace

A2x::A2x(const std::string& dir, int threadsIn, bool allowShortWindow) {
  const int poolSize = pool::threads();
  const int threads = threadsIn > 0 && threadsIn < poolSize ? threadsIn : poolSize;
  printCadenceOnce(threads);
  ort::Recipe recipe;
  recipe.intraThreads = threads;
  // The GPU policy keeps the encoder and decoder on the processor.
  options_ = ort::sessionOptions(recipe).options;

  const std::optional<std::string> metaText = readText(member::confined(dir, "a2x_meta.json", "member"));
  if (!metaText) throw std::runtime_error("a2x_meta.json missing in " + dir);
  meta_ = parseMeta(*metaText);
  ctx_ = FrameRows(meta_.h);
  leftTotal_ = int64_t{meta_.left} * meta_.layers;
  aheadTotal_ = int64_t{meta_.window} * meta_.layers;
  winRight_ = envCount(env::text("LE_A2X_W2V_RIGHT"), 12, 1024);
  right_ = winRight_;

  const std::string posPath = member::confined(dir, "a2x_pos.f32", "member");
  const std::string normPath = member::confined(dir, "a2x_norm.f32", "member");
  const std::string xsPath = resolveMember(dir, "xs_target.bin");
  uint64_t posBytes = 0, normBytes = 0, xsBytes = 0;
  const auto pos = readFloats(posPath, &posBytes);
  const auto norm = readFloats(normPath, &normBytes);
  const auto xs = readFloats(xsPath, &xsBytes);
  const size_t h = static_cast<size_t>(meta_.h);
  if (!pos || !norm || !xs || pos->size() < 2 * h || norm->size() < 2 * kRow || xs->size() < size_t{kRow})
    throw std::runtime_error("pos/norm/xs_target read failed");
  // Tables are whole rows, like every other member: a ragged end means a
  // table written for another geometry.
  requireWholeRows(posPath, posBytes, meta_.h);
  requireWholeRows(normPath, normBytes, 1);
  requireWholeRows(xsPath, xsBytes, kRow);
  posRows_ = static_cast<int64_t>(pos->size() / h);
  pos_.assign(pos->begin(), pos->begin() + static_cast<std::ptrdiff_t>(posRows_ * meta_.h));
  std::copy(norm->begin(), norm->begin() + kRow, mean_);
  std::copy(norm->begin() + kRow, norm->begin() + 2 * kRow, std_);
  nt_ = static_cast<int64_t>(xs->size()) / kRow;
  xs_.assign(xs->begin(), xs->begin() + static_cast<std::ptrdiff_t>(nt_ * kRow));

  // W2V_ONNX names the frontend; without it, one the host has loaded (the
  // process keeps its first) serves.
  std::optional<std::string> w2v = env::nonEmpty("W2V_ONNX");
  if (!w2v) {
    if (const Frontend* loaded = Frontend::loaded()) w2v = loaded->path();
  }
  if (!w2v) throw std::runtime_error("$W2V_ONNX not set");
  try {
    frontend_ = &Frontend::shared(*w2v, threads);
  } catch (const std::exception& e) {
    log::linef(log::Level::Error, "[le_a2x] shared w2v load failed: %s", e.what());
    throw std::runtime_error("shared w2v load failed");
  }
  if (frontend_->shortWindow(threads, *w2v) && allowShortWindow) {
    shortWindow_ = true;
    right_ = winRight_ + kHeadFrames;
  }

  enc_ = openSession(resolveMember(dir, "a2x_enc_stream.onnx"), options_);
  dec_ = openSession(resolveMember(dir, "a2x_dec.onnx"), options_);
  Ort::AllocatorWithDefaultOptions alloc;
  for (size_t i = 0; i < enc_->GetOutputCount() && i < 2; ++i)
    encOutputs_.emplace_back(enc_->GetOutputNameAllocated(i, alloc).get());
  if (encOutputs_.empty()) throw std::runtime_error("a2x_enc_stream: no output");
  hasWn_ = enc_->GetOutputCount() > 1;
  ctxShape_ = vectorShape(*dec_, "ctx_t", meta_.h);
  stateShape_ = vectorShape(*dec_, "h", meta_.h);
  (void)vectorShape(*dec_, "prev", kRow);

  if (meta_.width && *meta_.width != hasWn_)
    log::linef(
        log::Level::Warning,
        "[le_a2x] WARNING: a2x_meta width=%d but the encoder declares %zu output(s) — serving the "
        "GRAPH (width=%d). Repackage this bundle.",
        *meta_.width ? 1 : 0, enc_->GetOutputCount(), hasWn_ ? 1 : 0);

  int prime = meta_.silencePrime;
  if (const auto text = env::text("LE_A2X_SILENCE_PRIME"))
    prime = envCount(text, prime, static_cast<int>(kLegacyFrames));
  if (prime > 0) this->prime(prime);
  reset(0, 1, true);
}

A2x::~A2x() = default;

void A2x::prime(int64_t frames) {
  try {
    std::vector<float> window(kLegacySamples, 0.0f);
    normaliseWindow(window.data(), window.size());
    FeatureRows rows;
    AudioView silent{window.data(), 0, kLegacySamples, kLegacyFrames, true};
    legacyFill(*frontend_, silent, 0, kLegacyFrames, rows);
    FrameRows ctx(meta_.h), wn(1);
    for (int64_t b = 0; b < frames; b += 64) encode(rows, kLegacyFrames, b, std::min(b + 64, frames), ctx, wn);
    Recurrence rec{std::vector<float>(kRow, 0.0f), std::vector<float>(static_cast<size_t>(meta_.h), 0.0f)};
    float delta[kRow];
    for (int64_t t = 0; t < frames; ++t) decodeStep(ctx.row(t), rec, delta);
    primePrev_ = std::move(rec.prev);
    primeState_ = std::move(rec.state);
    log::linef(log::Level::Info, "[le_a2x] silence-primed AR state cached (%d frames)",
               static_cast<int>(frames));
  } catch (const std::exception& e) {
    primePrev_.clear();
    primeState_.clear();
    log::linef(log::Level::Warning, "[le_a2x] silence-prime failed (%s) -- legacy zero state",
               e.what());
  }
}

void A2x::push(const float* samples, int64_t n) {
  if (n < 1) return;
  const int64_t at = audio_.end();
  audio_.growTo(at + n);
  std::copy_n(samples, n, audio_.row(at));
}

Readiness A2x::readiness() const { return audio::readiness(audio_.end(), finished_, aheadTotal_, right_); }

int64_t A2x::total() const {
  if (!finished_) return -1;
  return (audio_.end() + kFrameSamples - 1) / kFrameSamples;
}

void A2x::reset(int start, int direction, bool loop) {
  if (start < 0)
    start_ = driverIndex(start_, step_, pulled_, nt_, loop_);
  else
    start_ = start;
  audio_.clear();
  feats_.clear();
  ctx_.clear();
  wn_.clear();
  deltas_.clear();
  finished_ = false;
  pulled_ = encDone_ = decDone_ = 0;
  if (!primePrev_.empty()) {
    rec_.prev = primePrev_;
    rec_.state = primeState_;
  } else {
    rec_.prev.assign(kRow, 0.0f);
    rec_.state.assign(static_cast<size_t>(meta_.h), 0.0f);
  }
  step_ = direction < 0 ? -1 : 1;
  loop_ = loop;
}

void A2x::encode(const FeatureRows& feats, int64_t featFrames, int64_t b, int64_t e, FrameRows& ctx,
                 FrameRows& wn) {
  const int64_t h = meta_.h;
  const int64_t s = std::max<int64_t>(b - leftTotal_, 0);
  const int64_t u = std::min(e + aheadTotal_, featFrames);
  if (u < e || featFrames > feats.rows.end())
    throw std::runtime_error("features end at frame " + std::to_string(featFrames) + ", block needs " +
                             std::to_string(e));
  const int64_t L = u - s;
  std::vector<float> pos(static_cast<size_t>(L * h));
  for (int64_t i = 0; i < L; ++i) {
    const int64_t r = positionRow(s + i, posRows_);
    std::copy_n(pos_.data() + r * h, h, pos.data() + i * h);
  }
  std::vector<float> attn(static_cast<size_t>(L * L), -std::numeric_limits<float>::infinity());
  for (int64_t i = 0; i < L; ++i)
    for (int64_t j = std::max<int64_t>(i - meta_.left, 0); j <= std::min(i + meta_.window, L - 1); ++j)
      attn[static_cast<size_t>(i * L + j)] = 0.0f;

  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t featShape[4] = {1, L, kLayers, kChannels};
  const int64_t posShape[3] = {1, L, h};
  const int64_t attnShape[4] = {1, 1, L, L};
  Ort::Value in[3] = {
      Ort::Value::CreateTensor<float>(mem, const_cast<float*>(feats.row(s)),
                                      static_cast<size_t>(L * kFeatRow), featShape, 4),
      Ort::Value::CreateTensor<float>(mem, pos.data(), pos.size(), posShape, 3),
      Ort::Value::CreateTensor<float>(mem, attn.data(), attn.size(), attnShape, 4)};
  const char* inNames[3] = {"feat", "pos_window", "attn"};
  const char* outNames[2] = {encOutputs_[0].c_str(), hasWn_ ? encOutputs_[1].c_str() : nullptr};
  auto out = enc_->Run(Ort::RunOptions{nullptr}, inNames, in, 3, outNames, hasWn_ ? 2 : 1);
  expectCount("a2x_enc_stream", outNames[0], elementCount(out[0]), L * h);
  const float* c = out[0].GetTensorData<float>();
  ctx.growTo(e);
  std::copy_n(c + (b - s) * h, (e - b) * h, ctx.row(b));
  if (hasWn_) {
    expectCount("a2x_enc_stream", outNames[1], elementCount(out[1]), L);
    const float* w = out[1].GetTensorData<float>();
    wn.growTo(e);
    std::copy_n(w + (b - s), e - b, wn.row(b));
  }
}

void A2x::decodeStep(const float* ctx, Recurrence& rec, float* delta) {
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t prevShape[2] = {1, kRow};
  Ort::Value in[3] = {
      Ort::Value::CreateTensor<float>(mem, const_cast<float*>(ctx), static_cast<size_t>(meta_.h), ctxShape_.data(),
                                      ctxShape_.size()),
      Ort::Value::CreateTensor<float>(mem, rec.prev.data(), kRow, prevShape, 2),
      Ort::Value::CreateTensor<float>(mem, rec.state.data(), rec.state.size(), stateShape_.data(),
                                      stateShape_.size())};
  const char* inNames[3] = {"ctx_t", "prev", "h"};
  const char* outNames[2] = {"m", "h_out"};
  auto out = dec_->Run(Ort::RunOptions{nullptr}, inNames, in, 3, outNames, 2);
  expectCount("a2x_dec", "m", elementCount(out[0]), kRow);
  expectCount("a2x_dec", "h_out", elementCount(out[1]), meta_.h);
  const float* m = out[0].GetTensorData<float>();
  const float* hs = out[1].GetTensorData<float>();
  // Everything is checked: the recurrence and the row move together.
  std::copy_n(m, kRow, rec.prev.data());
  std::copy_n(hs, meta_.h, rec.state.data());
  for (int64_t i = 0; i < kRow; ++i) delta[i] = m[i] * std_[i] + mean_[i];
}

void A2x::ensureFeatures(int64_t needed, const Readiness& r) {
  const AudioView view{audio_.data(), audio_.base(), r.usable, r.covered, finished_};
  if (shortWindow_)
    shortWindowFill(*frontend_, view, winRight_, needed, feats_);
  else
    legacyFill(*frontend_, view, right_, needed, feats_);
}

void A2x::extend(int64_t target) {
  if (target <= decDone_) return;
  const Readiness r = readiness();
  target = std::min(target, r.ready);
  if (target <= decDone_) return;
  ensureFeatures(std::min(r.covered, target + aheadTotal_), r);
  // Whole windows may run past the clip's end; frames beyond it are not audio.
  const int64_t featFrames = std::min(feats_.done, r.covered);
  while (encDone_ < target) {
    const int64_t e = std::min(encDone_ + 64, target);
    encode(feats_, featFrames, encDone_, e, ctx_, wn_);
    encDone_ = e;
  }
  deltas_.growTo(target);
  for (int64_t t = decDone_; t < target; ++t) {
    decodeStep(ctx_.row(t), rec_, deltas_.row(t));
    decDone_ = t + 1;
  }
  dropConsumed();
}

void A2x::dropConsumed() {
  if (keepHistory_) return;
  audio_.dropBefore(firstSampleNeeded(shortWindow_, feats_.done, feats_.winBase, winRight_));
  feats_.rows.dropBefore(encDone_ - leftTotal_);
  ctx_.dropBefore(decDone_);
  deltas_.dropBefore(pulled_);
  wn_.dropBefore(pulled_);
}

namespace {

template <class F>
void extendOrRecord(std::string& failure, F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    failure = e.what()[0] ? e.what() : "unknown failure";
  }
}

}  // namespace

int64_t A2x::avail() {
  const Readiness r = readiness();
  if (decDone_ < r.ready) extendOrRecord(failure_, [&] { extend(std::min(decDone_ + chunk(), r.ready)); });
  return std::max<int64_t>(decDone_ - pulled_, 0);
}

int64_t A2x::pull(int* idx, float* src, float* drv, float* wn, int64_t n) {
  const Readiness r = readiness();
  if (n >= 1 && pulled_ >= decDone_) extendOrRecord(failure_, [&] { extend(std::min(r.ready, pulled_ + n)); });
  const int64_t limit = std::min(r.ready, decDone_);
  if (n < 1 || limit <= pulled_) return 0;
  int64_t written = 0;
  for (int64_t k = pulled_; k < limit && written < n; ++k, ++written) {
    const int64_t index = driverIndex(start_, step_, k, nt_, loop_);
    const float* target = xs_.data() + index * kRow;
    const float* delta = deltas_.row(k);
    idx[written] = static_cast<int>(index);
    for (int64_t i = 0; i < kRow; ++i) {
      src[written * kRow + i] = target[i];
      drv[written * kRow + i] = target[i] + delta[i];
    }
    if (wn != nullptr) wn[written] = hasWn_ && k >= wn_.base() && k < wn_.end() ? *wn_.row(k) : 0.0f;
    ++pulled_;
  }
  dropConsumed();
  return written;
}

int64_t A2x::deltas(const float* samples, int64_t n, float* out, int64_t maxFrames) {
  if (n < 1) return 0;
  const int64_t frames = (n + kFrameSamples - 1) / kFrameSamples;
  if (frames > maxFrames) return -2;
  FeatureRows rows;
  legacyWhole(*frontend_, samples, n, frames, rows);
  FrameRows ctx(meta_.h), wn(1);
  for (int64_t b = 0; b < frames; b += 64) encode(rows, frames, b, std::min(b + 64, frames), ctx, wn);
  Recurrence rec;
  if (!primePrev_.empty()) {
    rec.prev = primePrev_;
    rec.state = primeState_;
  } else {
    rec.prev.assign(kRow, 0.0f);
    rec.state.assign(static_cast<size_t>(meta_.h), 0.0f);
  }
  for (int64_t t = 0; t < frames; ++t) decodeStep(ctx.row(t), rec, out + t * kRow);
  clipWn_.assign(wn.data(), wn.data() + (wn.end() - wn.base()));
  return frames;
}

}  // namespace le::audio
