#include <cstdio>
#include <string>

#include "le/pipeline/pipeline.h"

namespace le::utt {

std::string stageReport(const StageTimes& t) {
  char buf[768];
  if (t.jobsC > 0) {
    const double f = double(t.aFrames);
    std::snprintf(buf, sizeof buf,
                  "[le_utt-stage] pipe=%d jobsB=%lld jobsC=%lld stageA_ms=%.3f stageA_work_ms=%.3f "
                  "stageA_wait_ms=%.3f stageB_ms=%.3f stageC_ms=%.3f deliver_lat_ms=%.3f over %lld "
                  "speech frames",
                  t.pipe ? 1 : 0, static_cast<long long>(t.jobsB), static_cast<long long>(t.jobsC),
                  t.aFrames ? t.aTotal / f : 0.0, t.aFrames ? (t.aTotal - t.aWait) / f : 0.0,
                  t.aFrames ? t.aWait / f : 0.0, t.jobsB ? t.bTotal / double(t.jobsB) : 0.0,
                  t.cTotal / double(t.jobsC), t.latFrames ? t.latTotal / double(t.latFrames) : 0.0,
                  static_cast<long long>(t.latFrames));
  } else {
    std::snprintf(buf, sizeof buf,
                  "[le_utt-stage] MEASURED NOTHING \xe2\x80\x94 the stage report was asked for and the "
                  "paste-job counter never advanced (pipe=%d jobsB=%lld jobsC=0, %lld speech frames "
                  "delivered). stageA/stageB/stageC and the deliver latency are NOT reported rather "
                  "than reported as zero: on this path the paste does not run through the counted "
                  "queue.",
                  t.pipe ? 1 : 0, static_cast<long long>(t.jobsB), static_cast<long long>(t.speechDelivered));
  }
  return buf;
}

}  // namespace le::utt
