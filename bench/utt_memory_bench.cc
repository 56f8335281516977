// Heap of the live pipeline over one long utterance: the process's heap in
// use (malloc's arenas plus its mapped blocks) after 10 s and after 10 min of
// speech pushed as ONE utterance through le_utt with the streaming a2x engine
// (fixture models, a small fixture identity), against the peer: the same
// audio pushed as 20-second utterances, which lets go of everything at every
// utterance's end. Memory that does not grow with the utterance gives the
// same figure at 10 s and at 10 min (within 10 %) and the same as the peer.
// The floor is the heap before the first push, with the pipeline warm.
//
// LE_BENCH_UTT_SECONDS shortens the long run (default 600).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "benchkit.h"
#include "le/le.h"
#include "le/le_utt.h"

namespace {

using le::bench::sh;

constexpr int kRate = 16000, kFrame = 640;
std::string gRoot, gBundle, gModels, gFrontend;
std::vector<int16_t> gSpeech;  // one sentence, repeated to any length

double heapMiB() {
  const struct mallinfo2 m = ::mallinfo2();
  return double(m.uordblks + m.hblkhd) / (1024.0 * 1024.0);
}

bool prepare() {
  static const bool ok = [] {
    char tmpl[] = "/tmp/le_utt_memory_bench.XXXXXX";
    if (!::mkdtemp(tmpl)) return false;
    const std::string root = gRoot = tmpl;
    const std::string fx = std::string("cd '") + LE_FIXTURES_DIR + "' && " + LE_PYTHON + " -m lefix ";
    gBundle = root + "/b";
    gModels = root + "/a2x";
    if (!sh(fx + "a2x --out '" + gModels + "'") ||
        !sh(fx + "bundle --legacy-names --out '" + gBundle + "' --nt 3 --frames 3 --crop 16 --size 32 24 "
                 "--identity pooled,P") ||
        !sh(fx + "video jpgdir --nt 3 --size 32 24 --out '" + gBundle + "/target_frames'") ||
        !sh(fx + "director --variant plain --crop 16 --out '" + gBundle + "/model_plain.onnx'"))
      return false;
    gFrontend = gModels + "/fe_legacy/w2v.onnx";
    std::ifstream f(gModels + "/speech_long.f32", std::ios::binary);
    std::vector<float> s;
    for (float v; f.read(reinterpret_cast<char*>(&v), sizeof v);) s.push_back(v);
    for (float v : s) gSpeech.push_back(int16_t(std::max(-1.0f, std::min(1.0f, v)) * 32767.0f));
    return !gSpeech.empty();
  }();
  return ok;
}

// Pushes `seconds` of speech, cut into utterances of `uttSeconds` (0: one),
// pulling every frame as the pipeline delivers it; the heap is sampled after
// 10 s of speech and at the end.
struct Heap {
  double idle = 0, at10s = 0, atEnd = 0;
  int64_t frames = 0;
};

Heap run(double seconds, double uttSeconds) {
  Heap h;
  le_ctx* ctx = le_create(gBundle.c_str(), "plain", 1, nullptr);
  if (!ctx) return h;
  le_utt_opts o{};
  const std::string motionDir = gModels + "/model";
  o.motion_dir = motionDir.c_str();
  o.threads = 1;
  o.steady_model = "-";
  o.gap_s = -1;  // utterances end only where this run says
  le_utt* u = le_utt_create(ctx, &o);
  while (u && le_utt_ready(u) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!u || le_utt_ready(u) != 1) {
    std::fprintf(stderr, "utt_memory_bench: the pipeline did not start: %s\n", le_utt_last_error());
    le_utt_destroy(u);
    le_destroy(ctx);
    return h;
  }
  std::vector<uint8_t> frame(size_t(le_width(ctx)) * size_t(le_height(ctx)) * 3);
  le_utt_frame_info info{};
  const int64_t total = int64_t(seconds * kRate), perUtt = uttSeconds > 0 ? int64_t(uttSeconds * kRate) : total;
  int64_t pushed = 0, speechFrames = 0;
  h.idle = heapMiB();
  while (u && le_utt_ready(u) == 1 && (pushed < total || speechFrames * kFrame < total)) {
    // Keep about two seconds of speech ahead of what has been delivered.
    while (pushed < total && pushed < speechFrames * kFrame + 2 * kRate) {
      const int64_t n = std::min<int64_t>({kRate / 50, total - pushed, perUtt - pushed % perUtt});
      std::vector<int16_t> chunk(static_cast<size_t>(n));
      for (int64_t i = 0; i < n; ++i) chunk[size_t(i)] = gSpeech[size_t((pushed + i) % int64_t(gSpeech.size()))];
      le_utt_push_audio(u, chunk.data(), int(n));
      pushed += n;
      if (pushed % perUtt == 0 || pushed == total) le_utt_end_utterance(u);
    }
    if (le_utt_pull_frame(u, frame.data(), frame.size(), &info) == 1) {
      ++h.frames;
      if (info.kind == LE_UTT_SPEECH && ++speechFrames == 10 * 25) h.at10s = heapMiB();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  h.atEnd = heapMiB();
  le_utt_destroy(u);
  le_destroy(ctx);
  return h;
}

double longSeconds() {
  const char* s = std::getenv("LE_BENCH_UTT_SECONDS");
  const double v = s ? std::atof(s) : 600.0;
  return v >= 20 ? v : 600.0;
}

Heap gLong, gPeer;

void BM_OneLongUtterance(benchmark::State& state) {
  if (!prepare()) return state.SkipWithError("fixtures could not be written");
  ::setenv("W2V_ONNX", gFrontend.c_str(), 1);
  for (auto _ : state) gLong = run(longSeconds(), 0);
  state.counters["heap_idle_MiB"] = gLong.idle;
  state.counters["heap_10s_MiB"] = gLong.at10s;
  state.counters["heap_end_MiB"] = gLong.atEnd;
  state.counters["frames"] = double(gLong.frames);
}

void BM_TwentySecondUtterances(benchmark::State& state) {
  if (!prepare()) return state.SkipWithError("fixtures could not be written");
  ::setenv("W2V_ONNX", gFrontend.c_str(), 1);
  for (auto _ : state) gPeer = run(longSeconds(), 20);
  state.counters["heap_10s_MiB"] = gPeer.at10s;
  state.counters["heap_end_MiB"] = gPeer.atEnd;
}

BENCHMARK(BM_OneLongUtterance)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_TwentySecondUtterances)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!gRoot.empty()) sh("rm -rf '" + gRoot + "'");
  const double secs = longSeconds();
  std::printf("\nheap in use, MiB (floor: %.1f before the first push, pipeline warm)\n", gLong.idle);
  std::printf("  one utterance       after 10 s: %7.1f   after %.0f s: %7.1f   growth x%.3f\n", gLong.at10s, secs,
              gLong.atEnd, gLong.at10s > 0 ? gLong.atEnd / gLong.at10s : 0.0);
  std::printf("  20 s utterances     after 10 s: %7.1f   after %.0f s: %7.1f   growth x%.3f\n", gPeer.at10s, secs,
              gPeer.atEnd, gPeer.at10s > 0 ? gPeer.atEnd / gPeer.at10s : 0.0);
  std::printf("  one utterance against 20 s utterances at the end: x%.3f\n",
              gPeer.atEnd > 0 ? gLong.atEnd / gPeer.atEnd : 0.0);
  return 0;
}
