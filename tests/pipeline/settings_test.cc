// Options and environment into the pipeline's settings; the stage report.
#include <gtest/gtest.h>

#include <climits>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "le/pipeline/pipeline.h"
#include "le/pipeline/settings.h"

namespace le::utt {
namespace {

struct Env {
  std::map<std::string, std::string> vars;
  EnvFn fn() const {
    return [this](const char* k) -> std::optional<std::string> {
      auto it = vars.find(k);
      if (it == vars.end()) return std::nullopt;
      return it->second;
    };
  }
};

Options base() {
  Options o;
  o.motionDir = "/m";
  return o;
}

TEST(UttSettings, ZeroOptionsTakeTheDefaults) {
  Env env;
  const Settings s = resolveSettings(base(), 6, env.fn());
  EXPECT_EQ(s.motionDir, "/m");
  EXPECT_EQ(s.threads, 6);
  EXPECT_EQ(s.ep, "");
  EXPECT_EQ(s.steadyModel, "b24_fp32");
  EXPECT_TRUE(s.steadyDefault);
  EXPECT_FALSE(s.hybrid);
  EXPECT_EQ(s.fixedEager, -1);
  EXPECT_DOUBLE_EQ(s.gapMs, 600.0);
  EXPECT_EQ(s.rampFrames, 6);
  EXPECT_EQ(s.interruptRampFrames, 4);
  EXPECT_EQ(s.pipelinePaste, -1);
}

TEST(UttSettings, MotionDirIsRequired) {
  Env env;
  Options o = base();
  o.motionDir = "";
  EXPECT_THROW(
      {
        try {
          resolveSettings(o, 1, env.fn());
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "opts.motion_dir required");
          throw;
        }
      },
      std::runtime_error);
  o.motionDir = nullptr;
  EXPECT_THROW(resolveSettings(o, 1, env.fn()), std::runtime_error);
}

TEST(UttSettings, SteadyModelOptionDashAndEnvironment) {
  Env env;
  Options o = base();
  o.steadyModel = "-";
  EXPECT_EQ(resolveSettings(o, 1, env.fn()).steadyModel, "");
  o.steadyModel = "b8";
  EXPECT_EQ(resolveSettings(o, 1, env.fn()).steadyModel, "b8");
  env.vars["LE_STEADY_MODEL"] = "-";
  EXPECT_EQ(resolveSettings(o, 1, env.fn()).steadyModel, "");
  env.vars["LE_STEADY_MODEL"] = "";
  EXPECT_EQ(resolveSettings(o, 1, env.fn()).steadyModel, "b8");
  // Only the chunk director nobody named may be missing from a bundle.
  EXPECT_FALSE(resolveSettings(o, 1, env.fn()).steadyDefault);
  o.steadyModel = nullptr;
  EXPECT_TRUE(resolveSettings(o, 1, env.fn()).steadyDefault);
  env.vars["LE_STEADY_MODEL"] = "b24_fp32";
  EXPECT_FALSE(resolveSettings(o, 1, env.fn()).steadyDefault);
}

TEST(UttSettings, EagerModes) {
  Env env;
  Options o = base();
  o.eager = -2;
  EXPECT_TRUE(resolveSettings(o, 1, env.fn()).hybrid);
  o.eager = 5;
  env.vars["LE_UTT_HYBRID"] = "1";
  Settings s = resolveSettings(o, 1, env.fn());
  EXPECT_FALSE(s.hybrid);  // a fixed eager wins over the environment
  EXPECT_EQ(s.fixedEager, 5);
  o.eager = 0;
  EXPECT_TRUE(resolveSettings(o, 1, env.fn()).hybrid);
  env.vars["LE_UTT_HYBRID"] = "0";
  EXPECT_FALSE(resolveSettings(o, 1, env.fn()).hybrid);
  env.vars["LE_UTT_HYBRID"] = "01";
  EXPECT_TRUE(resolveSettings(o, 1, env.fn()).hybrid);
  env.vars["LE_UTT_HYBRID"] = "";
  EXPECT_FALSE(resolveSettings(o, 1, env.fn()).hybrid);
}

TEST(UttSettings, GapRampsAndPipelinedPaste) {
  Env env;
  Options o = base();
  o.gapS = -0.1;
  o.rampFrames = 9;
  o.interruptRampFrames = -3;
  o.threads = 3;
  env.vars["LE_UTT_PIPELINE_PASTE"] = "2";
  Settings s = resolveSettings(o, 8, env.fn());
  EXPECT_LT(s.gapMs, 0);
  EXPECT_EQ(s.rampFrames, 9);
  EXPECT_EQ(s.interruptRampFrames, 4);
  EXPECT_EQ(s.threads, 3);
  EXPECT_EQ(s.pipelinePaste, 1);
  o.gapS = 1.5;
  env.vars["LE_UTT_PIPELINE_PASTE"] = "0";
  s = resolveSettings(o, 8, env.fn());
  EXPECT_DOUBLE_EQ(s.gapMs, 1500.0);
  EXPECT_EQ(s.pipelinePaste, 0);
  env.vars["LE_UTT_PIPELINE_PASTE"] = "yes";  // not a number: the engine decides
  EXPECT_EQ(resolveSettings(o, 8, env.fn()).pipelinePaste, -1);
}

// Ramps up to 10 s are taken, longer ones refused by name; a NaN gap is the
// default gap.
TEST(UttSettings, RampLimitsAndNaNGap) {
  Env env;
  const struct {
    int32_t ramp, interrupt;
    std::string error;  // "" when taken
  } cases[] = {
      {250, 250, ""},
      {251, 4, "opts.ramp_frames 251 above the limit of 250"},
      {6, 251, "opts.interrupt_ramp_frames 251 above the limit of 250"},
      {INT32_MAX, 0, "opts.ramp_frames 2147483647 above the limit of 250"},
      {INT32_MIN, INT32_MIN, ""},  // below 1: the defaults
  };
  for (const auto& c : cases) {
    Options o = base();
    o.rampFrames = c.ramp;
    o.interruptRampFrames = c.interrupt;
    std::string err;
    try {
      const Settings s = resolveSettings(o, 8, env.fn());
      EXPECT_EQ(s.rampFrames, c.ramp >= 1 ? c.ramp : 6);
      EXPECT_EQ(s.interruptRampFrames, c.interrupt >= 1 ? c.interrupt : 4);
    } catch (const std::runtime_error& e) {
      err = e.what();
    }
    EXPECT_EQ(err, c.error) << c.ramp << " " << c.interrupt;
  }
  Options o = base();
  o.gapS = std::numeric_limits<double>::quiet_NaN();
  EXPECT_DOUBLE_EQ(resolveSettings(o, 8, env.fn()).gapMs, 600.0);
}

TEST(UttStageReport, MeasuredAndNothingMeasured) {
  StageTimes t;
  t.jobsC = 4;
  t.cTotal = 8.0;
  t.aFrames = 2;
  t.aTotal = 10.0;
  t.aWait = 4.0;
  t.latTotal = 9.0;
  t.latFrames = 3;
  EXPECT_EQ(stageReport(t),
            "[le_utt-stage] pipe=0 jobsB=0 jobsC=4 stageA_ms=5.000 stageA_work_ms=3.000 "
            "stageA_wait_ms=2.000 stageB_ms=0.000 stageC_ms=2.000 deliver_lat_ms=3.000 over 3 speech "
            "frames");
  StageTimes none;
  none.speechDelivered = 7;
  EXPECT_EQ(stageReport(none),
            "[le_utt-stage] MEASURED NOTHING \u2014 the stage report was asked for and the paste-job "
            "counter never advanced (pipe=0 jobsB=0 jobsC=0, 7 speech frames delivered). "
            "stageA/stageB/stageC and the deliver latency are NOT reported rather than reported as "
            "zero: on this path the paste does not run through the counted queue.");
}

}  // namespace
}  // namespace le::utt
