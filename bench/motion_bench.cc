// le_motion on 60 s of speech (fixture models): one whole utterance per
// iteration, pushed in 200 ms pieces and pulled as frames become ready, with
// the real-time factor as a counter. Peers in the same run: the bare model
// runs the utterance needs (300 student windows, 22 lmdm chunks, 1500 stitch
// runs) through the same sessions' wrapper, the log-mel features alone, and a
// memcpy of the audio (the floor). Single-threaded sessions: on a shared
// machine the CPU column is the figure to read.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "benchkit.h"
#include "le/audio/mel.h"
#include "le/audio/motion_engine.h"
#include "le/audio/motion_files.h"
#include "le/audio/ort_graph.h"

namespace {

constexpr double kSeconds = 60.0;
std::string gDir;
std::vector<float> gAudio;

std::vector<float> readF32(const std::string& path) {
  std::vector<float> v;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    std::fseek(f, 0, SEEK_END);
    v.resize(size_t(std::ftell(f)) / 4);
    std::fseek(f, 0, SEEK_SET);
    if (std::fread(v.data(), 4, v.size(), f) != v.size()) v.clear();
    std::fclose(f);
  }
  return v;
}

void BM_MotionUtterance60s(benchmark::State& st) {
  le::motion::MotionEngine e(gDir, 1, "");
  std::vector<int> idx(1600);
  std::vector<float> src(1600 * 63), drv(1600 * 63);
  int64_t frames = 0;
  // One short utterance first: the sessions' first runs allocate their arenas.
  e.push(gAudio.data(), 64000);
  e.finish();
  frames = e.pull(idx.data(), src.data(), drv.data(), 1600);
  for (auto _ : st) {
    e.reset(0, 1, true);
    frames = 0;
    for (size_t at = 0; at < gAudio.size(); at += 3200) {
      e.push(gAudio.data() + at, int64_t(std::min<size_t>(3200, gAudio.size() - at)));
      frames += e.pull(idx.data() + frames, src.data() + frames * 63, drv.data() + frames * 63,
                       1600 - frames);
    }
    e.finish();
    frames += e.pull(idx.data() + frames, src.data() + frames * 63, drv.data() + frames * 63,
                     1600 - frames);
    benchmark::DoNotOptimize(drv.data());
  }
  if (frames != 1500) st.SkipWithError("wrong frame count");
  st.counters["x_realtime"] =
      benchmark::Counter(kSeconds * double(st.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MotionUtterance60s)->Unit(benchmark::kMillisecond);

void BM_MotionModelsOnly60s(benchmark::State& st) {
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(1);
  o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  le::audio::OrtGraph student(gDir + "/hubert_student.onnx", o, "s");
  le::audio::OrtGraph lmdm(gDir + "/lmdm.onnx", o, "l");
  le::audio::OrtGraph stitch(gDir + "/stitch.onnx", o, "t");
  std::vector<float> mel(80 * 21, 0.5f), vecs(20 * 1024), aud(80 * 1103, 0.1f), cond(265, 0.1f),
      pred(80 * 265), xs(63, 0.1f), xd(63, 0.2f), out(63);
  for (auto _ : st) {
    for (int w = 0; w < 300; ++w)
      student.run({{mel.data(), 80 * 21, {1, 80, 21}}}, {20 * 1024}, {vecs.data()});
    for (int c = 0; c < 22; ++c)
      lmdm.run({{aud.data(), 80 * 1103, {1, 80, 1103}}, {cond.data(), 265, {1, 265}}}, {80 * 265},
               {pred.data()});
    for (int f = 0; f < 1500; ++f)
      stitch.run({{xs.data(), 63, {1, 63}}, {xd.data(), 63, {1, 63}}}, {63}, {out.data()});
    benchmark::DoNotOptimize(out.data());
  }
  st.counters["x_realtime"] =
      benchmark::Counter(kSeconds * double(st.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MotionModelsOnly60s)->Unit(benchmark::kMillisecond);

void BM_MelWindows60s(benchmark::State& st) {
  const std::vector<float> win = readF32(gDir + "/hubert_stft_window.bin");
  const std::vector<float> mat = readF32(gDir + "/hubert_stft_binmat.bin");
  std::vector<float> buf(le::motion::kAnalysisLen), mel(80 * 21);
  for (auto _ : st) {
    for (int64_t w = 0; w < 1500; w += 5) {
      le::motion::fillAnalysis(gAudio.data(), int64_t(gAudio.size()), 640 * w - 2000, buf.data());
      le::motion::logMel(buf.data(), win.data(), mat.data(), mel.data());
    }
    benchmark::DoNotOptimize(mel.data());
  }
}
BENCHMARK(BM_MelWindows60s)->Unit(benchmark::kMillisecond);

void BM_MemcpyAudio60s(benchmark::State& st) {
  std::vector<float> dst(gAudio.size());
  for (auto _ : st) {
    std::memcpy(dst.data(), gAudio.data(), gAudio.size() * sizeof(float));
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(gAudio.size() * sizeof(float)));
}
BENCHMARK(BM_MemcpyAudio60s)->Unit(benchmark::kMillisecond);  // ratios compare like units

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/le-motion-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  gDir = std::string(tmpl) + "/motion";
  const std::string speech = std::string(tmpl) + "/speech.f32";
  const std::string fx = std::string("cd '") + LE_FIXTURES_DIR + "' && " + LE_PYTHON + " -m lefix motion ";
  if (std::system((fx + "dir --out '" + gDir + "'").c_str()) != 0 ||
      std::system((fx + "speech --seconds 60 --out '" + speech + "'").c_str()) != 0)
    return 1;
  gAudio = readF32(speech);
  if (gAudio.size() != 960000) return 1;
  const int rc = le::bench::runAndReport(argc, argv,
                                         {{"BM_MotionUtterance60s", "BM_MotionModelsOnly60s"},
                                          {"BM_MemcpyAudio60s", "BM_MelWindows60s"}});
  std::system(("rm -rf '" + std::string(tmpl) + "'").c_str());
  return rc;
}
