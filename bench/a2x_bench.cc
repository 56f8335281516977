// Audio to expression rows with the fixture models, legacy 8 s window against
// the short-window pair: a streaming utterance (5120-sample pushes, avail and
// pull after each, then finish and drain) per iteration. Counters: the real-
// time factor (processing time / speech time), the compute time of the avail
// that follows a completed block, and the schedule's latency from the last
// pushed sample of a block to its first pullable frame (block + hold-back).
// Peers: the frontend runs alone that the same utterance needs, and memcpy of
// the clip as the floor.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "benchkit.h"
#include "le/audio/a2x.h"
#include "le/audio/frontend.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace au = le::audio;

std::string gRoot;
std::vector<float> gSpeech;

std::vector<float> readF32(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::vector<float> v(bytes.size() / 4);
  std::memcpy(v.data(), bytes.data(), v.size() * 4);
  return v;
}

void stream(benchmark::State& st, bool shortWindow) {
  au::A2x a(gRoot + "/model", 1, shortWindow);
  if (a.shortWindow() != shortWindow) {
    st.SkipWithError("frontend path not available");
    return;
  }
  std::vector<int> idx(64);
  std::vector<float> src(64 * 63), drv(src.size());
  double availSeconds = 0;
  int64_t availCalls = 0;
  for (auto _ : st) {
    a.reset(0, 1, 1);
    for (size_t at = 0; at < gSpeech.size(); at += 5120) {
      a.push(gSpeech.data() + at, static_cast<int64_t>(std::min<size_t>(5120, gSpeech.size() - at)));
      const auto t0 = Clock::now();
      a.avail();
      availSeconds += std::chrono::duration<double>(Clock::now() - t0).count();
      ++availCalls;
      while (a.pull(idx.data(), src.data(), drv.data(), nullptr, 64) > 0) {
      }
    }
    a.finish();
    while (a.pull(idx.data(), src.data(), drv.data(), nullptr, 64) > 0) {
    }
    benchmark::DoNotOptimize(drv.data());
  }
  const double speechSeconds = static_cast<double>(gSpeech.size()) / au::kRate;
  st.counters["rtf"] = benchmark::Counter(speechSeconds, benchmark::Counter::kIsIterationInvariantRate |
                                                             benchmark::Counter::kInvert);
  st.counters["avail_ms"] = availCalls > 0 ? 1e3 * availSeconds / static_cast<double>(availCalls) : 0.0;
  const int64_t holdBack = std::max(a.aheadTotal(), a.right());
  st.counters["sched_latency_ms"] = 320.0 + 40.0 * static_cast<double>(holdBack);
}

void BM_a2x_stream_legacy(benchmark::State& st) { stream(st, false); }
void BM_a2x_stream_short(benchmark::State& st) { stream(st, true); }

// The frontend runs the same utterance costs, without anything around them:
// legacy re-runs its 8 s window once per block; the pair runs once per 8 frames.
void BM_frontend_only_legacy(benchmark::State& st) {
  au::Frontend& fe = au::Frontend::shared(gRoot + "/fe_pair/w2v.onnx", 1);
  std::vector<float> window(au::kLegacySamples, 0.0f);
  std::memcpy(window.data(), gSpeech.data(), std::min(window.size(), gSpeech.size()) * sizeof(float));
  au::normaliseWindow(window.data(), window.size());
  const size_t blocks = (gSpeech.size() + 5119) / 5120;
  std::vector<float> emb;
  for (auto _ : st)
    for (size_t b = 0; b < blocks; ++b) {
      fe.runLegacy(window.data(), emb);
      benchmark::DoNotOptimize(emb.data());
    }
}

void BM_frontend_only_short(benchmark::State& st) {
  au::Frontend& fe = au::Frontend::shared(gRoot + "/fe_pair/w2v.onnx", 1);
  if (!fe.shortWindow(1, gRoot + "/fe_pair/w2v.onnx")) {
    st.SkipWithError("no pair");
    return;
  }
  std::vector<float> window(au::kTrunkSamples, 0.0f);
  std::memcpy(window.data(), gSpeech.data(), window.size() * sizeof(float));
  au::normaliseWindow(window.data(), window.size());
  std::vector<float> head(au::kHeadFrames * au::kTrunkChannels, 0.5f);
  const size_t hops = (gSpeech.size() / 640 + 7) / 8;
  int64_t lt = 0;
  for (auto _ : st)
    for (size_t h = 0; h < hops; ++h) {
      benchmark::DoNotOptimize(fe.runTrunk(window.data(), lt).data());
      benchmark::DoNotOptimize(fe.runHead(head.data()).data());
    }
}

void BM_floor_memcpy_clip(benchmark::State& st) {
  std::vector<float> dst(gSpeech.size());
  for (auto _ : st) {
    std::memcpy(dst.data(), gSpeech.data(), gSpeech.size() * sizeof(float));
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * gSpeech.size() * sizeof(float)));
}

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/le_a2x_bench.XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return 1;
  gRoot = std::string(tmpl) + "/tree";
  const std::string cmd = std::string("cd '") + LE_FIXTURES_DIR + "' && " + LE_PYTHON + " -m lefix a2x --out '" +
                          gRoot + "' > /dev/null";
  if (std::system(cmd.c_str()) != 0) {
    std::printf("fixture failed: %s\n", cmd.c_str());
    return 1;
  }
  ::setenv("W2V_ONNX", (gRoot + "/fe_pair/w2v.onnx").c_str(), 1);
  gSpeech = readF32(gRoot + "/speech_long.f32");
  std::printf("speech: %.2f s\n", static_cast<double>(gSpeech.size()) / au::kRate);
  for (auto* b : {benchmark::RegisterBenchmark("BM_a2x_stream_legacy", BM_a2x_stream_legacy),
                  benchmark::RegisterBenchmark("BM_a2x_stream_short", BM_a2x_stream_short),
                  benchmark::RegisterBenchmark("BM_frontend_only_legacy", BM_frontend_only_legacy),
                  benchmark::RegisterBenchmark("BM_frontend_only_short", BM_frontend_only_short)})
    b->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
  benchmark::RegisterBenchmark("BM_floor_memcpy_clip", BM_floor_memcpy_clip)->Unit(benchmark::kMicrosecond);
  const std::string o = "/min_time:1.000/real_time";
  const int rc = le::bench::runAndReport(argc, argv,
                                         {{"BM_a2x_stream_short" + o, "BM_a2x_stream_legacy" + o},
                                          {"BM_a2x_stream_legacy" + o, "BM_frontend_only_legacy" + o},
                                          {"BM_a2x_stream_short" + o, "BM_frontend_only_short" + o}});
  (void)std::system((std::string("rm -rf '") + tmpl + "'").c_str());
  return rc;
}
