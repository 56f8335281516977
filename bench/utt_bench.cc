// The live pipeline delivering speech frames of a fixture identity (crop 256
// into a 1280x720 driver, fixture director) to a host pulling as fast as it
// can, against the same frames rendered serially through le_render_kp_rgba,
// with 1 and 2 director threads. The audio engine is a zero-cost row source
// (the bundle's own target rows moved a little), so the figures are the
// pipeline's render, paste and delivery alone. After the run: stage-A and
// stage-C time per frame and the first-frame latency (push to first speech
// frame published, host pulling as fast as it can). The floor is a memcpy of the RGB frame.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "utt_live.h"

namespace {

using namespace le::bench::live;

bool openLive(benchmark::State& st, Live& l, int threads, bool endless) {
  return open(st, l, threads, 1, endless) && ready(l);
}

struct Figures {
  double aMs = 0, cMs = 0, firstMs = 0;
};
std::map<int, Figures> gFig;

void uttPull(benchmark::State& st, int threads) {
  Live l;
  if (!openLive(st, l, threads, true)) return;
  std::vector<uint8_t> buf(size_t(kW) * kH * 3);
  le_utt_frame_info info{};
  std::vector<int16_t> a(640, 1);
  le_utt_push_audio(l.u, a.data(), int(a.size()));
  do pull(l.u, buf, info);
  while (info.kind != LE_UTT_SPEECH);
  for (int i = 0; i < 8; ++i) pull(l.u, buf, info);  // the pipeline is full
  for (auto _ : st) {
    pull(l.u, buf, info);
    benchmark::DoNotOptimize(buf.data());
  }
  const le::utt::StageTimes t = l.u->pipeline->stageTimes();
  Figures& f = gFig[threads];
  f.aMs = t.aFrames ? t.aTotal / double(t.aFrames) : 0;
  f.cMs = t.jobsC ? t.cTotal / double(t.jobsC) : 0;
}

void serialRgba(benchmark::State& st, int threads) {
  le_ctx* ctx = le_create(identity().dir.c_str(), "plain", threads, "");
  if (!ctx) {
    st.SkipWithError(le_last_error());
    return;
  }
  std::vector<uint8_t> out(size_t(kW) * kH * 4);
  std::vector<float> kd(63);
  int i = 0;
  for (auto _ : st) {
    const float* ks = identity().xs.data() + size_t(i) * 63;
    for (int j = 0; j < 63; ++j) kd[size_t(j)] = ks[j] + 0.02f;
    if (!le_render_kp_rgba(ctx, i, ks, kd.data(), out.data(), out.size())) {
      st.SkipWithError(le_last_error());
      break;
    }
    i = (i + 1) % kNT;
  }
  le_destroy(ctx);
}

void firstFrame(benchmark::State& st, int threads) {
  Live l;
  if (openLive(st, l, threads, false)) gFig[threads].firstMs = firstFrameLatencyMs(st, l.u);
}

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/le-utt-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string root = tmpl;
  if (!makeBundle(root)) return 1;
  std::freopen("/dev/null", "a", stderr);  // the loaders' log lines
  std::vector<le::bench::Ratio> ratios;
  for (int t : {1, 2}) {
    const std::string a = "/" + std::to_string(t);
    benchmark::RegisterBenchmark(("BM_utt_pull" + a).c_str(), uttPull, t)
        ->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
    benchmark::RegisterBenchmark(("BM_serial_kp_rgba" + a).c_str(), serialRgba, t)
        ->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
    benchmark::RegisterBenchmark(("BM_utt_first_frame" + a).c_str(), firstFrame, t)
        ->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();
    ratios.push_back({"BM_utt_pull" + a + "/min_time:2.000/real_time",
                      "BM_serial_kp_rgba" + a + "/min_time:2.000/real_time"});
  }
  benchmark::RegisterBenchmark("BM_floor_memcpy_frame", memcpyFloor)->Unit(benchmark::kMillisecond);
  const int rc = le::bench::runAndReport(argc, argv, ratios);
  std::printf("\nper speech frame (ms): stage A = render on the run thread, stage C = driver pull + "
              "composite on the paste thread\n");
  for (const auto& [t, f] : gFig)
    std::printf("  threads %d: stage A %.2f, stage C %.2f, first-frame latency %.2f\n", t, f.aMs, f.cMs, f.firstMs);
  (void)std::system(("rm -rf '" + root + "'").c_str());
  return rc;
}
