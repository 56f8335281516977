#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>

#include "le/audio/frontend.h"
#include "le/bundle/member.h"
#include "le/runtime/env.h"
#include "le/runtime/half.h"
#include "le/runtime/le_pool.h"
#include "le/runtime/log.h"

namespace le::audio {
namespace {

std::mutex& frontendLock() {
  static std::mutex m;
  return m;
}

// Never freed: the sessions serve handles until the process ends.
Frontend* g_frontend = nullptr;

int64_t elementCount(const Ort::Value& v) {
  return static_cast<int64_t>(v.GetTensorTypeAndShapeInfo().GetElementCount());
}

std::string dirOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

float roundToHalf(float x) { return half::toFloat(half::fromFloat(x)); }

void normaliseWindow(float* x, size_t n) {
  if (n == 0) return;
  double sum = 0.0;
  for (size_t i = 0; i < n; ++i) sum += x[i];
  const double mean = sum / static_cast<double>(n);
  double sq = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double d = x[i] - mean;
    sq += d * d;
  }
  const double var = sq / static_cast<double>(n);
  const float inv = 1.0f / std::sqrt(static_cast<float>(var + 1e-7));
  for (size_t i = 0; i < n; ++i) x[i] = static_cast<float>((x[i] - mean) * inv);
}

double trunkPosition(int64_t f, int64_t e) {
  int64_t base = 0;
  int64_t local = f;
  if (f > kLegacyFrames - 1) {
    base = (f / kLegacyHop - 1) * kLegacyHop;
    local = f - base;
  }
  // 1599 trunk positions of an 8 s window spread over its 200 frames.
  return static_cast<double>(kFrameSamples * base - (e - kTrunkSamples)) / kTrunkHop +
         static_cast<double>(local) * (1598.0 / 199.0);
}

bool cudaWanted(const char* cudaEnv, const std::string& tag) {
  return cudaEnv != nullptr && std::strcmp(cudaEnv, "1") == 0 && tag == "w2v";
}

uint64_t cudaMemMiB(const char* memEnv) {
  constexpr uint64_t kDefault = 3072;
  if (memEnv == nullptr) return kDefault;
  uint64_t v = 0;
  const char* end = memEnv + std::strlen(memEnv);
  const auto r = std::from_chars(memEnv, end, v);
  // A limit must stay a byte count: MiB x 2^20 within 64 bits.
  if (r.ec != std::errc() || r.ptr != end || v == 0 || v > (UINT64_MAX >> 20)) return kDefault;
  return v;
}

void applyGpuPolicy(ort::Recipe& recipe, const std::string& tag) {
  const std::optional<std::string> cuda = env::text("LE_A2X_CUDA");
  if (!cudaWanted(cuda ? cuda->c_str() : nullptr, tag)) return;
  const std::optional<std::string> mem = env::text("LE_A2X_CUDA_MEM_MIB");
  recipe.provider = ort::Provider::Cuda;
  recipe.cudaMemMiB = cudaMemMiB(mem ? mem->c_str() : nullptr);
  recipe.cudaTag = tag;
}

bool isGeluFloat16Failure(const std::string& what) {
  return what.find("Gelu") != std::string::npos && what.find("float16") != std::string::npos;
}

std::unique_ptr<Ort::Session> openSession(const std::string& path, Ort::SessionOptions& options) {
  member::require(path, member::kModelMax, "model");
  try {
    return std::make_unique<Ort::Session>(ort::env(), path.c_str(), options);
  } catch (const Ort::Exception& e) {
    if (!isGeluFloat16Failure(e.what())) throw;
  }
  log::linef(log::Level::Warning,
             "[le_a2x] %s: ORT's level-2 Gelu fusion produced a float16 com.microsoft.Gelu this "
             "runtime has no CPU kernel for; reopening at ORT_ENABLE_BASIC",
             path.c_str());
  options.SetGraphOptimizationLevel(ORT_ENABLE_BASIC);
  return std::make_unique<Ort::Session>(ort::env(), path.c_str(), options);
}

int64_t fileSize(const std::string& path) {
  try {
    if (const auto f = member::File::tryOpen(path, member::kNoBound, "model"))
      return static_cast<int64_t>(f->size());
  } catch (const std::runtime_error&) {
    // not a regular file: as absent
  }
  return -1;
}

std::optional<PairPaths> findPair(const char* trunkEnv, const char* headEnv,
                                  const std::string& w2vPath) {
  if (trunkEnv != nullptr && trunkEnv[0] != '\0' && headEnv != nullptr && headEnv[0] != '\0')
    return PairPaths{trunkEnv, headEnv};
  const std::string dir = dirOf(w2vPath);
  const std::string prefix = dir.empty() && w2vPath.find('/') == std::string::npos ? "" : dir + "/";
  for (const auto& [t, h] : {std::pair<const char*, const char*>{"audio_encoder_fp16_window_trunk.onnx",
                                                                 "audio_encoder_fp16_window_head.onnx"},
                             std::pair<const char*, const char*>{"w2v_trunk32.onnx", "w2v_head32.onnx"}}) {
    PairPaths p{prefix + t, prefix + h};
    if (fileSize(p.trunk) >= 0 && fileSize(p.head) >= 0) return p;
  }
  return std::nullopt;
}

void expectCount(const char* model, const char* name, int64_t got, int64_t expected) {
  if (got != expected)
    throw std::runtime_error(std::string(model) + ": output " + name + " has " + std::to_string(got) +
                             " values, expected " + std::to_string(expected));
}

Ort::SessionOptions Frontend::options(int threads) const {
  ort::Recipe recipe;
  recipe.intraThreads = threads;
  recipe.interThreads = 1;
  applyGpuPolicy(recipe, "w2v");
  return std::move(ort::sessionOptions(recipe).options);
}

Frontend::Frontend(const std::string& path, int threads) : path_(path) {
  Ort::SessionOptions o = options(threads);
  legacy_ = openSession(path, o);
  if (legacy_->GetOutputCount() >= 1) {
    const auto info = legacy_->GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo();
    std::vector<int64_t> shape = info.GetShape();
    int64_t count = 1;
    for (int64_t d : shape) count = d > 0 && count <= kLayers * kLegacyFrames * kChannels ? count * d : -1;
    Ort::AllocatorWithDefaultOptions alloc;
    if (count == kLayers * kLegacyFrames * kChannels && info.GetElementType() == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT &&
        std::string(legacy_->GetOutputNameAllocated(0, alloc).get()) == "audio_emb")
      legacyShape_ = std::move(shape);
  }
}

Frontend& Frontend::shared(const std::string& path, int threads) {
  std::lock_guard<std::mutex> lock(frontendLock());
  if (g_frontend == nullptr) g_frontend = new Frontend(path, threads);
  return *g_frontend;
}

Frontend* Frontend::loaded() {
  std::lock_guard<std::mutex> lock(frontendLock());
  return g_frontend;
}

bool Frontend::shortWindow(int threads, const std::string& w2vPath) {
  std::lock_guard<std::mutex> lock(frontendLock());
  if (pairTried_) return trunk_ != nullptr;
  pairTried_ = true;
  const std::optional<std::string> trunkEnv = env::nonEmpty("LE_A2X_W2V_WIN_ONNX");
  const std::optional<std::string> headEnv = env::nonEmpty("LE_A2X_W2V_HEAD_ONNX");
  const auto paths = findPair(trunkEnv ? trunkEnv->c_str() : nullptr, headEnv ? headEnv->c_str() : nullptr, w2vPath);
  if (!paths) {
    log::linef(log::Level::Warning,
               "[le_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither "
               "LE_A2X_W2V_WIN_ONNX/LE_A2X_W2V_HEAD_ONNX are set nor is the pair beside $W2V_ONNX "
               "(%s) as audio_encoder_fp16_window_{trunk,head}.onnx (legacy "
               "w2v_trunk32.onnx/w2v_head32.onnx). Serving the LEGACY 8s window — same reference "
               "quality, 2.8-3.9x the audio hop cost. Ship the pair beside the encoder "
               "(tools/export_w2v_window).",
               w2vPath.c_str());
    return false;
  }
  try {
    Ort::SessionOptions o = options(threads);
    auto trunk = openSession(paths->trunk, o);
    Ort::SessionOptions ho = options(threads);
    auto head = openSession(paths->head, ho);
    if (trunk->GetOutputCount() < 1 || head->GetOutputCount() < 1 || head->GetInputCount() < 1)
      throw std::runtime_error("short-window pair declares no output");
    Ort::AllocatorWithDefaultOptions alloc;
    std::string trunkOut = trunk->GetOutputNameAllocated(0, alloc).get();
    std::string headOut = head->GetOutputNameAllocated(0, alloc).get();
    const auto shape = trunk->GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    const auto headIn = head->GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    int64_t lt = shape.size() >= 3 && shape[2] >= 1 ? shape[2] : -1;
    std::string ltText = lt >= 1 ? std::to_string(lt) : std::string("from-first-run");
    log::linef(
        log::Level::Info,
        "[le_a2x] short-window w2v frontend loaded (LT=%s) trunk=%s (%lld B) head=%s (%lld B)",
        ltText.c_str(), paths->trunk.c_str(), static_cast<long long>(fileSize(paths->trunk)),
        paths->head.c_str(), static_cast<long long>(fileSize(paths->head)));
    trunkOut_ = std::move(trunkOut);
    headOut_ = std::move(headOut);
    headRank_ = headIn.size() == 3 ? 3 : 2;
    lt_.store(lt);
    trunk_ = std::move(trunk);
    head_ = std::move(head);
    return true;
  } catch (const std::exception& e) {
    log::linef(log::Level::Warning, "[le_a2x] short-window w2v load FAILED (%s) — legacy 8s path",
               e.what());
  }
  return false;
}

void Frontend::runLegacy(const float* window, std::vector<float>& emb) const {
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t shape[2] = {1, kLegacySamples};
  Ort::Value in = Ort::Value::CreateTensor<float>(mem, const_cast<float*>(window), kLegacySamples, shape, 2);
  const char* inName = "input_values";
  const char* outName = "audio_emb";
  const int64_t want = kLayers * kLegacyFrames * kChannels;
  emb.resize(static_cast<size_t>(want));
  if (!legacyShape_.empty()) {
    Ort::Value out = Ort::Value::CreateTensor<float>(mem, emb.data(), emb.size(), legacyShape_.data(),
                                                     legacyShape_.size());
    legacy_->Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, &out, 1);
    return;
  }
  auto out = legacy_->Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
  if (out.size() != 1 || !out[0].IsTensor()) throw std::runtime_error("w2v: no audio_emb tensor");
  if (out[0].GetTensorTypeAndShapeInfo().GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
    throw std::runtime_error("w2v: output audio_emb is not float32");
  expectCount("w2v", "audio_emb", elementCount(out[0]), want);
  const float* p = out[0].GetTensorData<float>();
  std::copy_n(p, want, emb.data());
}

std::vector<uint16_t> Frontend::runTrunk(const float* window, int64_t& lt) {
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t shape[2] = {1, kTrunkSamples};
  Ort::Value in = Ort::Value::CreateTensor<float>(mem, const_cast<float*>(window), kTrunkSamples, shape, 2);
  const char* inName = "input_values";
  const char* outName = trunkOut_.c_str();
  auto out = trunk_->Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
  if (out.size() != 1 || !out[0].IsTensor()) throw std::runtime_error("w2v_win: no trunk tensor");
  const auto info = out[0].GetTensorTypeAndShapeInfo();
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16)
    throw std::runtime_error("w2v_win: trunk output " + trunkOut_ + " is not float16");
  const auto dims = info.GetShape();
  if (dims.size() != 3 || dims[0] != 1 || dims[1] != kTrunkChannels || dims[2] < 1)
    throw std::runtime_error("w2v_win: trunk output " + trunkOut_ + " is not [1, 640, LT]");
  int64_t known = -1;
  // The first run fixes an open LT once for every handle; later runs must agree.
  lt_.compare_exchange_strong(known, dims[2]);
  lt = lt_.load();
  if (dims[2] != lt)
    throw std::runtime_error("w2v_win: trunk output has " + std::to_string(dims[2]) +
                             " positions, expected LT=" + std::to_string(lt));
  expectCount("w2v_win", trunkOut_.c_str(), elementCount(out[0]), kTrunkChannels * lt);
  const auto* p = reinterpret_cast<const uint16_t*>(out[0].GetTensorRawData());
  return std::vector<uint16_t>(p, p + kTrunkChannels * lt);
}

std::vector<float> Frontend::runHead(const float* rows) const {
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t shape3[3] = {1, kHeadFrames, kTrunkChannels};
  const int64_t* shape = headRank_ == 3 ? shape3 : shape3 + 1;
  Ort::Value in = Ort::Value::CreateTensor<float>(mem, const_cast<float*>(rows), kHeadFrames * kTrunkChannels,
                                                  shape, headRank_);
  const char* inName = "x";
  const char* outName = headOut_.c_str();
  auto out = head_->Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
  if (out.size() != 1 || !out[0].IsTensor()) throw std::runtime_error("w2v_win: no head tensor");
  if (out[0].GetTensorTypeAndShapeInfo().GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
    throw std::runtime_error("w2v_win: head output " + headOut_ + " is not float32");
  expectCount("w2v_head", headOut_.c_str(), elementCount(out[0]), kHeadFrames * kFeatRow);
  const float* p = out[0].GetTensorData<float>();
  return std::vector<float>(p, p + kHeadFrames * kFeatRow);
}

const float* AudioView::at(int64_t s) const {
  if (s < base)
    throw std::logic_error("sample " + std::to_string(s) + " was dropped (audio held from " +
                           std::to_string(base) + ")");
  return samples + (s - base);
}

int64_t firstSampleNeeded(bool shortWindow, int64_t done, int64_t winBase, int64_t winRight) {
  if (!shortWindow) return kFrameSamples * winBase;  // the legacy window is run again until complete
  // The next trunk window ends winRight + 8 frames after the first frame it serves.
  return std::max<int64_t>((done + kHeadFrames + winRight) * kFrameSamples - kTrunkSamples, 0);
}

namespace {

// Feature row of window position j from layer-major output: 12 x 768 values.
void takeLegacyRow(const std::vector<float>& emb, int64_t j, float* dst) {
  for (int64_t l = 0; l < kLayers; ++l) {
    const float* src = emb.data() + (l * kLegacyFrames + j) * kChannels;
    for (int64_t c = 0; c < kChannels; ++c) dst[l * kChannels + c] = roundToHalf(src[c]);
  }
}

}  // namespace

void legacyFill(const Frontend& fe, const AudioView& audio, int64_t right, int64_t needed, FeatureRows& rows) {
  std::vector<float>& window = rows.window;
  window.resize(kLegacySamples);
  while (rows.done < needed) {
    const int64_t w = rows.winBase;
    const int64_t first = kFrameSamples * w;
    const int64_t have = std::max<int64_t>(std::min(audio.usable - first, kLegacySamples), 0);
    std::fill(window.begin(), window.end(), 0.0f);
    if (have > 0) std::memcpy(window.data(), audio.at(first), static_cast<size_t>(have) * sizeof(float));
    normaliseWindow(window.data(), window.size());
    fe.runLegacy(window.data(), rows.emb);
    const std::vector<float>& emb = rows.emb;
    const int64_t limit = audio.finished ? w + kLegacyFrames : std::min(w + kLegacyFrames, audio.covered - right);
    rows.ensureFrames(std::max(rows.done, std::min(w + kLegacyFrames, limit)));
    for (int64_t j = w > 0 ? 50 : 0; j < kLegacyFrames; ++j) {
      const int64_t f = w + j;
      if (f < rows.done) continue;
      if (f >= limit) break;
      takeLegacyRow(emb, j, rows.row(f));
    }
    rows.done = std::max(rows.done, std::min(w + kLegacyFrames, limit));
    // This window is run again once more audio arrives.
    if (!audio.finished && limit <= w + kLegacyFrames - 1) break;
    rows.winBase = w + kLegacyHop;
  }
}

void legacyWhole(const Frontend& fe, const float* samples, int64_t n, int64_t frames, FeatureRows& rows) {
  rows.clear();
  rows.ensureFrames(frames);
  std::vector<float>& window = rows.window;
  window.resize(kLegacySamples);
  for (int64_t k = 0; kLegacyHop * k < frames; ++k) {
    const int64_t first = k * (kLegacySamples / 2);
    const int64_t have = std::max<int64_t>(std::min(n - first, kLegacySamples), 0);
    std::fill(window.begin(), window.end(), 0.0f);
    if (have > 0) std::memcpy(window.data(), samples + first, static_cast<size_t>(have) * sizeof(float));
    normaliseWindow(window.data(), window.size());
    fe.runLegacy(window.data(), rows.emb);
    const std::vector<float>& emb = rows.emb;
    for (int64_t j = k > 0 ? 50 : 0; j < kLegacyFrames; ++j) {
      const int64_t f = kLegacyHop * k + j;
      if (f >= frames) break;
      if (f < rows.done) continue;
      takeLegacyRow(emb, j, rows.row(f));
    }
    rows.done = std::min(frames, kLegacyHop * k + kLegacyFrames);
  }
  rows.done = frames;
}

void resampleTrunk(const uint16_t* trunk, int64_t lt, int64_t firstFrame, int64_t e, float* rows) {
  for (int64_t r = 0; r < kHeadFrames; ++r) {
    const double p = trunkPosition(firstFrame + r, e);
    const double fl = std::floor(p);
    if (!(fl >= 0.0 && fl <= static_cast<double>(lt - 1))) throw std::runtime_error("w2v_win: trunk pos out of range");
    const int64_t i0 = static_cast<int64_t>(fl);
    const int64_t i1 = std::min(i0 + 1, lt - 1);
    const double w = p - fl;
    float* dst = rows + r * kTrunkChannels;
    for (int64_t c = 0; c < kTrunkChannels; ++c) {
      const double a = half::toFloat(trunk[c * lt + i0]);
      const double b = half::toFloat(trunk[c * lt + i1]);
      dst[c] = static_cast<float>((1.0 - w) * a + w * b);
    }
  }
}

void shortWindowFill(Frontend& fe, const AudioView& audio, int64_t winRight, int64_t needed, FeatureRows& rows) {
  std::vector<float>& window = rows.window;
  window.resize(kTrunkSamples);
  std::vector<float> head(kHeadFrames * kTrunkChannels);
  while (rows.done < needed) {
    const int64_t e = (rows.done + kHeadFrames + winRight) * kFrameSamples;
    if (e > audio.usable && !audio.finished) break;
    const int64_t first = e - kTrunkSamples;
    // Zeros outside the usable audio.
    std::fill(window.begin(), window.end(), 0.0f);
    const int64_t lo = std::max<int64_t>(first, 0), hi = std::min(first + kTrunkSamples, audio.usable);
    if (hi > lo)
      std::memcpy(window.data() + (lo - first), audio.at(lo), static_cast<size_t>(hi - lo) * sizeof(float));
    normaliseWindow(window.data(), window.size());
    int64_t lt = 0;
    const std::vector<uint16_t> trunk = fe.runTrunk(window.data(), lt);
    resampleTrunk(trunk.data(), lt, rows.done, e, head.data());
    const std::vector<float> out = fe.runHead(head.data());
    rows.ensureFrames(rows.done + kHeadFrames);
    for (int64_t r = 0; r < kHeadFrames; ++r) {
      float* dst = rows.row(rows.done + r);
      const float* src = out.data() + r * kFeatRow;
      for (int64_t c = 0; c < kFeatRow; ++c) dst[c] = roundToHalf(src[c]);
    }
    rows.done += kHeadFrames;
  }
}

}  // namespace le::audio
