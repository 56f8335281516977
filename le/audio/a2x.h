// Streaming audio-to-expression: pushed speech becomes, per 25 fps frame, a
// driver index, the target row of that frame and the driven row (target plus
// the decoded expression delta), lazily, block by block.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "le/audio/frontend.h"

namespace le::audio {

inline constexpr int64_t kRow = 63;  // 21 keypoints x (x, y, z)

// a2x_meta.json after the range checks.
struct A2xMeta {
  int h = 256;
  int window = -1;
  int left = -1;
  int layers = 6;
  std::optional<bool> width;  // absent unless the text says true/false/an integer
  int silencePrime = 0;
};

// The integer after `"key"` and the first ':' behind it (blanks skipped).
// nullopt when the key or colon is missing; `bad` set when digits are absent
// or the value does not fit 64 bits.
std::optional<int64_t> metaInt(const std::string& text, const char* key, bool& bad);
// true / false / an integer (nonzero = true); nullopt when absent or neither.
std::optional<bool> metaBool(const std::string& text, const char* key);

// Reads the keys in their order; throws the create messages (without the
// function prefix): the not-streaming refusal and "meta <key> out of range".
A2xMeta parseMeta(const std::string& text);

// Whole non-negative decimal environment number, clamped to [0, hi];
// `fallback` when unset, empty or not a number (a negative number reads as 0).
int envCount(const std::optional<std::string>& text, int fallback, int hi);

// Readiness of S pushed samples.
struct Readiness {
  int64_t usable = 0;   // samples the schedule may read
  int64_t covered = 0;  // frames those samples reach
  int64_t ready = 0;    // frames that may be decoded and pulled
};
Readiness readiness(int64_t samples, bool finished, int64_t aheadTotal, int64_t right);

// Driver frame of the k-th pulled frame: start + step k, looped or bounced
// over NT frames.
int64_t driverIndex(int64_t start, int step, int64_t k, int64_t nt, bool loop);

// Positional row of absolute frame f in a table of P rows: the table repeats
// over its second half.
int64_t positionRow(int64_t f, int64_t p);

// Raw little-endian float32 file (a regular file of at most 1 GiB), whole;
// its value count is bytes / 4, and *bytes (when given) its byte size.
// nullopt when it does not open or shrinks while read.
std::optional<std::vector<float>> readFloats(const std::string& path, uint64_t* bytes = nullptr);
// Throws "<path> holds <bytes> bytes, not whole rows of <n> float32 values
// (<n x 4> bytes) — refusing" unless bytes is a multiple of a row.
void requireWholeRows(const std::string& path, uint64_t bytes, int64_t rowFloats);

class A2x {
 public:
  // allowShortWindow = false keeps this handle on the legacy window even when
  // the pair is deployed (tools and benchmarks compare the two paths).
  A2x(const std::string& modelDir, int threads, bool allowShortWindow = true);
  ~A2x();
  A2x(const A2x&) = delete;
  A2x& operator=(const A2x&) = delete;

  void push(const float* samples, int64_t n);
  void finish() { finished_ = true; }
  bool finished() const { return finished_; }
  // Frames ready to pull; computes up to one chunk more first. A failure to
  // compute leaves the count where it was and is kept for takeFailure().
  int64_t avail();
  // Writes up to n frames (wn may be null).
  int64_t pull(int* idx, float* src, float* drv, float* wn, int64_t n);
  int64_t total() const;
  // The message of the last failed computation in avail or pull, then empty.
  std::string takeFailure() { return std::exchange(failure_, std::string()); }
  bool hasWidth() const { return hasWn_; }
  int64_t nt() const { return nt_; }
  void reset(int start, int direction, bool loop);
  void setEager(int v) { eager_ = v; }
  int eager() const { return eager_; }
  // Whole-clip deltas; -2 when the clip has more than maxFrames frames.
  int64_t deltas(const float* samples, int64_t n, float* out, int64_t maxFrames);
  // Width values of the last whole-clip call.
  const std::vector<float>& clipWidth() const { return clipWn_; }

  bool shortWindow() const { return shortWindow_; }
  int64_t right() const { return right_; }
  int64_t aheadTotal() const { return aheadTotal_; }
  int64_t chunk() const { return shortWindow_ ? 8 : 64; }
  Readiness readiness() const;
  // Frontiers, for tests: features, encoded, decoded, pulled.
  int64_t featDone() const { return feats_.done; }
  int64_t encDone() const { return encDone_; }
  int64_t decDone() const { return decDone_; }
  int64_t pulled() const { return pulled_; }
  bool primed() const { return !primePrev_.empty(); }
  const FeatureRows& features() const { return feats_; }
  // Keeps every row of the utterance instead of letting consumed ones go: a
  // reference for tests of the bound, never for serving.
  void keepHistory(bool keep) { keepHistory_ = keep; }
  // Bytes the per-frame state of the utterance holds (for the memory bound).
  size_t heldBytes() const {
    return audio_.heldBytes() + feats_.rows.heldBytes() + ctx_.heldBytes() + wn_.heldBytes() +
           deltas_.heldBytes();
  }

 private:
  struct Recurrence {
    std::vector<float> prev;
    std::vector<float> state;
  };
  // Context rows for frames [from, to) from features [0, featFrames).
  void encode(const FeatureRows& feats, int64_t featFrames, int64_t from, int64_t to, FrameRows& ctx,
              FrameRows& wn);
  // One decoder step; the recurrence moves only when the run succeeded.
  void decodeStep(const float* ctx, Recurrence& rec, float* delta);
  void extend(int64_t target);
  // Lets go of what no later frame reads.
  void dropConsumed();
  void prime(int64_t frames);
  void ensureFeatures(int64_t needed, const Readiness& r);

  // Declaration order is destruction order reversed: the options outlive
  // the sessions made from them.
  Ort::SessionOptions options_;
  Frontend* frontend_ = nullptr;
  bool shortWindow_ = false;
  std::unique_ptr<Ort::Session> enc_;
  std::unique_ptr<Ort::Session> dec_;
  std::vector<std::string> encOutputs_;
  std::vector<int64_t> ctxShape_, stateShape_;

  A2xMeta meta_;
  int64_t leftTotal_ = 0;
  int64_t aheadTotal_ = 0;
  int64_t right_ = 0;
  int64_t winRight_ = 0;
  int64_t nt_ = 0;
  std::vector<float> xs_;
  std::vector<float> pos_;
  int64_t posRows_ = 0;
  float mean_[kRow] = {};
  float std_[kRow] = {};
  bool hasWn_ = false;

  // Per-frame state of the utterance, each held only as far back as a later
  // frame still reads it: audio from the next frontend window, features from
  // the encoder's left context, context rows from the decoder's frontier,
  // deltas and widths from the first frame not yet pulled.
  FrameRows audio_{1};
  bool finished_ = false;
  FeatureRows feats_;
  FrameRows ctx_;
  FrameRows wn_{1};
  int64_t encDone_ = 0;
  FrameRows deltas_{kRow};
  int64_t decDone_ = 0;
  Recurrence rec_;
  std::vector<float> primePrev_, primeState_;
  int64_t pulled_ = 0;
  int64_t start_ = 0;
  int step_ = 1;
  bool loop_ = true;
  int eager_ = -1;
  std::vector<float> clipWn_;
  std::string failure_;
  bool keepHistory_ = false;
};

}  // namespace le::audio
