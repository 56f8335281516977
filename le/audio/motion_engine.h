// The motion generator behind le_motion_*: audio windows to features, chunked
// motion generation, head pose from the driver frames, lips from the audio,
// stitching.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "le/audio/frame_rows.h"
#include "le/audio/motion_files.h"
#include "le/audio/motion_schedule.h"
#include "le/audio/ort_graph.h"

namespace le::motion {

inline constexpr int64_t kFrameSamples = 640;

// The CoreML unit text of an ep name beginning with "coreml": the text after
// its first ':' ("cpu", "gpu", "ane"; anything else means every unit).
std::string coremlUnitOf(const std::string& ep);

class MotionEngine {
 public:
  MotionEngine(const std::string& dir, int threads, const std::string& ep);
  ~MotionEngine();

  // Appends samples; new audio first rolls back provisional (eager) work.
  void push(const float* samples, int64_t n);
  void finish();
  int64_t avail();
  int64_t pull(int* idx, float* src, float* drv, int64_t n);
  int64_t total() const { return finished_ ? total_ : -1; }
  int64_t nt() const { return tables_.meta.nt; }
  bool finished() const { return finished_; }
  void reset(int64_t start, int direction, bool loop);
  void setEager(int frames) { eager_ = frames; }
  float lipFactor() const { return lip_; }

  // Introspection for tests: committed feature frames and motion rows.
  int64_t featureFrames() const { return feat_.end(); }
  int64_t motionRows() const { return rows_.end(); }
  bool provisional() const { return saved_.active; }
  // Keeps every row of the utterance instead of letting consumed ones go: a
  // reference for tests of the bound, never for serving.
  void keepHistory(bool keep) { keepHistory_ = keep; }
  // Bytes the per-frame state of the utterance holds, and the first motion
  // row still held (for the memory bound).
  size_t heldBytes() const { return audio_.heldBytes() + feat_.heldBytes() + rows_.heldBytes() + final_.heldBytes(); }
  int64_t firstHeldRow() const { return rows_.base(); }

 private:
  struct Saved {
    bool active = false;
    int64_t featFrames = 0;
    int64_t rows = 0;
    int64_t chunks = 0;
    std::vector<float> tail;  // the last (up to) 10 motion rows
    std::vector<float> cond;
  };

  void advance();
  int64_t ready() const;
  void computeWindow(int64_t w);
  void runChunk();
  void beginProvisional();
  void rollback();
  void emit(const float* row, int64_t& d, float* src, float* drv);
  // Lets go of what no later window, chunk or emitted frame reads.
  void dropConsumed();
  void dump(const char* name, const float* v, size_t n, bool append = false) const;

  MotionTables tables_;
  Ort::SessionOptions options_;
  std::unique_ptr<audio::OrtGraph> student_, lmdm_, stitch_;
  std::string dumpDir_;

  float lip_ = 1.0f;
  std::vector<float> initCond_, cond_;
  // Per-frame state of the utterance, each held only as far back as a later
  // step reads it: audio from the next feature window, features from the next
  // chunk, motion rows from the next chunk's overlap and the first frame not
  // pulled (whose smoothing reads the row before it).
  audio::FrameRows audio_{1};
  bool finished_ = false;
  int64_t total_ = 0;
  audio::FrameRows feat_{kFeatDim};
  audio::FrameRows rows_{kMotionDim};
  audio::FrameRows final_{kMotionDim};  // after finish: the rows still to pull, smoothed and clamped
  bool keepHistory_ = false;
  int64_t chunks_ = 0;
  int64_t pulled_ = 0;
  IndexWalk walk_;
  std::vector<float> gFirst_;
  bool haveFirst_ = false;
  int eager_ = -1;
  Saved saved_;
  int64_t savedAudio_ = 0;  // samples when the provisional work was done
};

}  // namespace le::motion
