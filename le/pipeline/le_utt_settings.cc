#include <stdexcept>
#include <string>

#include "le/pipeline/settings.h"
#include "le/runtime/env.h"

namespace le::utt {
namespace {

bool hybridFromEnv(const std::optional<std::string>& v) {
  // Only the exact text "0" (or an empty value) turns it off: "01" is on.
  return v && !v->empty() && *v != "0";
}

int32_t pipelineFromEnv(const std::optional<std::string>& v) {
  if (!v || v->empty()) return -1;
  const std::optional<env::Whole> n = env::parseWhole(*v);
  if (!n || n->saturated) return -1;
  return n->value != 0 ? 1 : 0;
}

// Below 1: the default. Above kMaxRampFrames a ramp would hold the face off
// the driver for minutes and its easing step would vanish in float rounding.
int32_t rampFrames(int32_t asked, int32_t dflt, const char* name) {
  if (asked < 1) return dflt;
  if (asked > kMaxRampFrames)
    throw std::runtime_error(std::string(name) + " " + std::to_string(asked) +
                             " above the limit of " + std::to_string(kMaxRampFrames));
  return asked;
}

}  // namespace

Settings resolveSettings(const Options& opts, int32_t poolThreads, const EnvFn& env) {
  if (opts.motionDir == nullptr || opts.motionDir[0] == '\0')
    throw std::runtime_error("opts.motion_dir required");
  Settings s;
  s.motionDir = opts.motionDir;
  s.threads = opts.threads >= 1 ? opts.threads : (poolThreads >= 1 ? poolThreads : 1);
  s.ep = opts.ep ? opts.ep : "";

  std::string steady = opts.steadyModel && opts.steadyModel[0] ? opts.steadyModel : "b24_fp32";
  s.steadyDefault = !(opts.steadyModel && opts.steadyModel[0]);
  if (const std::optional<std::string> e = env("LE_STEADY_MODEL"); e && !e->empty()) {
    steady = *e;
    s.steadyDefault = false;
  }
  s.steadyModel = steady == "-" ? std::string() : steady;

  s.hybrid = opts.eager == -2 || (opts.eager < 1 && hybridFromEnv(env("LE_UTT_HYBRID")));
  s.fixedEager = opts.eager >= 1 ? opts.eager : -1;

  // NaN would compare false everywhere and silently mean "never": treat it as
  // the default gap.
  const double gap = opts.gapS;
  if (gap != gap || gap == 0.0)
    s.gapMs = 600.0;
  else if (gap < 0.0)
    s.gapMs = -1.0;
  else
    s.gapMs = gap * 1000.0;

  s.rampFrames = rampFrames(opts.rampFrames, 6, "opts.ramp_frames");
  s.interruptRampFrames = rampFrames(opts.interruptRampFrames, 4, "opts.interrupt_ramp_frames");
  s.pipelinePaste = pipelineFromEnv(env("LE_UTT_PIPELINE_PASTE"));
  return s;
}

}  // namespace le::utt
