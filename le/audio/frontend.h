// The process-wide speech frontend: the sessions every a2x handle shares (the
// legacy 8 s window and, when deployed, the short-window trunk/head pair), the
// GPU and session-opening policies of all a2x sessions, and the feature fill
// of both paths.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "le/audio/frame_rows.h"
#include "le/runtime/ort_env.h"

namespace le::audio {

inline constexpr int64_t kRate = 16000;
inline constexpr int64_t kFrameSamples = 640;     // 25 frames per second
inline constexpr int64_t kBlockSamples = 5120;    // 8 frames
inline constexpr int64_t kBlockFrames = 8;
inline constexpr int64_t kLayers = 12;
inline constexpr int64_t kChannels = 768;
inline constexpr int64_t kFeatRow = kLayers * kChannels;  // 9216
inline constexpr int64_t kLegacySamples = 128000;         // 8 s
inline constexpr int64_t kLegacyFrames = 200;
inline constexpr int64_t kLegacyHop = 100;                // frames between windows
inline constexpr int64_t kTrunkSamples = 32000;           // 2 s
inline constexpr int64_t kTrunkChannels = 640;
inline constexpr int64_t kTrunkHop = 80;                  // samples per trunk position
inline constexpr int64_t kHeadFrames = 8;

// Value of x at binary16 precision (nearest, ties to even; overflow to
// infinity, underflow to zero or a subnormal), as float.
float roundToHalf(float x);

// (x - mean) / sqrt(var + 1e-7) over the whole window; mean and population
// variance in double, the square root in float.
void normaliseWindow(float* x, size_t n);

// Trunk position (in trunk steps of 80 samples) that frame f reads from a
// trunk window ending at sample e: the frame's place inside its legacy 8 s
// window, 1598/199 positions per frame.
double trunkPosition(int64_t f, int64_t e);

// GPU policy. True only for LE_A2X_CUDA exactly "1" and the tag exactly "w2v".
bool cudaWanted(const char* cudaEnv, const std::string& tag);
// LE_A2X_CUDA_MEM_MIB when it parses to a whole number above 0 (and fits a
// byte count), else 3072.
uint64_t cudaMemMiB(const char* memEnv);
// Asks for the CUDA provider (LE_A2X_CUDA_MEM_MIB's limit) when wanted; the
// options it becomes fall back to the processor with a line when appending
// fails.
void applyGpuPolicy(ort::Recipe& recipe, const std::string& tag);

// Session on the process's environment from a file; when onnxruntime refuses
// a fused float16 Gelu it is reopened once at the basic optimisation level.
std::unique_ptr<Ort::Session> openSession(const std::string& path, Ort::SessionOptions& options);
bool isGeluFloat16Failure(const std::string& what);

// Where the short-window pair would come from: the two variables when both
// are non-empty, else the known names beside the legacy model.
struct PairPaths {
  std::string trunk;
  std::string head;
};
std::optional<PairPaths> findPair(const char* trunkEnv, const char* headEnv,
                                  const std::string& w2vPath);

// Length of a readable regular file, -1 when it cannot be opened or is none.
int64_t fileSize(const std::string& path);

// The shared sessions. Created once under the frontend lock, never freed.
class Frontend {
 public:
  // The process's frontend, created with the legacy model at path on the
  // first successful call; later calls return it whatever they pass.
  static Frontend& shared(const std::string& path, int threads);
  // The frontend when one was loaded, else null.
  static Frontend* loaded();
  // The legacy model it was loaded from.
  const std::string& path() const { return path_; }

  // Looks for the trunk/head pair once per process; true when it is loaded.
  bool shortWindow(int threads, const std::string& w2vPath);
  bool hasPair() const { return trunk_ != nullptr; }
  int64_t trunkPositions() const { return lt_.load(); }  // -1 until known

  // Runs the legacy model on one normalised 128000-sample window into emb:
  // layer-major values (12 x 200 x 768). A model declaring exactly that many
  // values writes straight into emb, so repeated runs reuse its pages.
  void runLegacy(const float* window, std::vector<float>& emb) const;
  // Runs the trunk on one normalised 32000-sample window; returns 640 x LT
  // binary16 bit patterns, channel-major. Fixes LT on the first run when the
  // model leaves it open.
  std::vector<uint16_t> runTrunk(const float* window, int64_t& lt);
  // Runs the head on 8 x 640 values; returns 8 x 9216.
  std::vector<float> runHead(const float* rows) const;

 private:
  Frontend(const std::string& path, int threads);
  Ort::SessionOptions options(int threads) const;

  std::string path_;
  std::unique_ptr<Ort::Session> legacy_;
  std::vector<int64_t> legacyShape_;  // empty unless fully static with the expected count
  bool pairTried_ = false;
  std::unique_ptr<Ort::Session> trunk_;
  std::unique_ptr<Ort::Session> head_;
  std::string trunkOut_;
  std::string headOut_;
  size_t headRank_ = 2;
  std::atomic<int64_t> lt_{-1};
};

// Per-handle feature rows (9216 floats per frame) and their frontier. A
// streaming handle drops the rows its encoder no longer reads.
struct FeatureRows {
  FrameRows rows{kFeatRow};
  int64_t done = 0;     // frames with features
  int64_t winBase = 0;  // legacy window base, a multiple of 100 frames
  // Scratch kept across runs (a window and the model output are megabytes).
  std::vector<float> window;
  std::vector<float> emb;
  void clear() {
    rows.clear();
    done = 0;
    winBase = 0;
  }
  void ensureFrames(int64_t frames) { rows.growTo(frames); }
  float* row(int64_t f) { return rows.row(f); }
  const float* row(int64_t f) const { return rows.row(f); }
};

// What the streaming fill may read: the samples held from absolute sample
// `base` on, the usable prefix (whole blocks before finish), the covered
// frames and the finished flag. Positions are absolute sample numbers.
struct AudioView {
  const float* samples = nullptr;  // sample `base`
  int64_t base = 0;
  int64_t usable = 0;
  int64_t covered = 0;
  bool finished = false;
  // Sample s (s >= base); throws std::logic_error for one already dropped.
  const float* at(int64_t s) const;
};

// The first sample a later fill may still read, with features done up to
// frame `done` and the legacy window at `winBase`; everything before it can
// go.
int64_t firstSampleNeeded(bool shortWindow, int64_t done, int64_t winBase, int64_t winRight);

// Legacy streaming fill until rows.done >= needed (or the audio runs out);
// `right` is the handle's hold-back in frames.
void legacyFill(const Frontend& fe, const AudioView& audio, int64_t right, int64_t needed,
                FeatureRows& rows);

// Whole-clip legacy features of n samples into F frames: windows every 100
// frames, later windows contributing from their position 50.
void legacyWhole(const Frontend& fe, const float* samples, int64_t n, int64_t frames,
                 FeatureRows& rows);

// Head input of 8 frames from firstFrame: per frame the channel-wise linear
// interpolation of the trunk output (640 x LT binary16, channel-major) at
// trunkPosition, in double. Throws when a position leaves the trunk.
void resampleTrunk(const uint16_t* trunk, int64_t lt, int64_t firstFrame, int64_t e, float* rows);

// Short-window fill, 8 frames per trunk window ending winRight frames after
// the last frame it serves.
void shortWindowFill(Frontend& fe, const AudioView& audio, int64_t winRight, int64_t needed,
                     FeatureRows& rows);

// Throws "<model>: output <name> has N values, expected M" unless they match.
void expectCount(const char* model, const char* name, int64_t got, int64_t expected);

}  // namespace le::audio
