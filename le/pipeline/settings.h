// Per-handle settings of the live pipeline, fixed at construction from the
// host's options and the environment.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>


namespace le::utt {

// Longest ramp a host may ask for: 10 seconds at 25 frames per second.
inline constexpr int32_t kMaxRampFrames = 250;

struct Settings {
  std::string motionDir;
  int32_t threads = 1;        // engine threads
  std::string ep;             // handed to the motion generator
  std::string steadyModel;    // chunk director; empty: none
  bool steadyDefault = true;  // nobody named it: a bundle without it renders frame by frame
  bool hybrid = false;        // eager 3, 24 under backlog
  int32_t fixedEager = -1;    // used when hybrid is off; -1: no eager
  double gapMs = 600.0;       // negative: an utterance never ends by itself
  int32_t rampFrames = 6;
  int32_t interruptRampFrames = 4;
  int32_t pipelinePaste = -1;  // -1: on exactly for the a2x engine; 0 off; 1 on
};

// Hybrid eager: 3 frames normally, 24 once the backlog (frames pending and
// in the engine) passes 23, back to 3 below 12; in between it holds, so a
// backlog near one edge does not flip it on every request.
constexpr int32_t hybridEager(int32_t backlog, int32_t current) {
  return backlog > 23 ? 24 : backlog < 12 ? 3 : current;
}

// The value of an environment variable, nullopt when unset.
using EnvFn = std::function<std::optional<std::string>(const char*)>;

// The host's options as given (the fields of le_utt_opts; null texts and
// zero numbers ask for the defaults).
struct Options {
  const char* motionDir = nullptr;
  int32_t threads = 0;
  const char* ep = nullptr;
  const char* steadyModel = nullptr;
  int32_t eager = 0;
  double gapS = 0.0;
  int32_t rampFrames = 0;
  int32_t interruptRampFrames = 0;
};

// Throws "opts.motion_dir required" when it is null or empty, and
// "opts.ramp_frames <n> above the limit of 250" (likewise
// opts.interrupt_ramp_frames) for a ramp longer than kMaxRampFrames.
// poolThreads replaces an engine thread count below 1.
Settings resolveSettings(const Options& opts, int32_t poolThreads, const EnvFn& env);

}  // namespace le::utt
