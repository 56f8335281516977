// le_stream_run over a clip of espeak-ng speech on the demo identity (crop 256
// into a 1280x720 driver), against the same frames through the live pipeline
// (le_utt, a host pulling as fast as it can, its engine handing over the same
// rows) and rendered serially with le_render_kp_rgba, all with 2 director
// threads. Every iteration is the whole clip of kFrames frames. The stream's
// own delta model is timed alone beside them (the peers take ready rows). The
// floor is a memcpy of the clip's RGB frames.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "benchkit.h"
#include "le/le.h"
#include "le/le_fca.h"
#include "le/le_stream.h"
#include "le/le_utt.h"
#include "le/pipeline/session_bind.h"
#include "le/pipeline/utt_handle.h"
#include "le/session/session.h"

namespace {

constexpr int kNT = 40, kFrames = 50, kW = 1280, kH = 720, kThreads = 2;
constexpr float kGain = 0.04f;
std::string gDir, gFrontend;
std::vector<float> gSpeech, gXs, gDeltas;

using le::bench::sh;

std::vector<float> readF32(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  std::vector<float> v(size_t(f.tellg()) / 4);
  f.seekg(0);
  f.read(reinterpret_cast<char*>(v.data()), std::streamsize(v.size() * 4));
  return v;
}

bool prepare(const std::string& root) {
  const std::string fx = std::string("cd '") + LE_FIXTURES_DIR + "' && " + LE_PYTHON + " -m lefix ";
  gDir = root + "/b";
  gFrontend = gDir + "/frontend.onnx";
  if (!sh(fx + "stream --out '" + gDir + "' --seconds 1.6") ||
      !sh(fx + "motion speech --out '" + root + "/s.f32' --seconds 2.0 > /dev/null"))
    return false;
  gSpeech = readF32(root + "/s.f32");
  gXs = readF32(gDir + "/xs_target.bin");
  if (int(gSpeech.size() + 639) / 640 != kFrames || gXs.size() != size_t(kNT) * 63) return false;
  le_fca* f = le_fca_create(gFrontend.c_str(), (gDir + "/fca_stream.onnx").c_str(), kThreads);
  gDeltas.resize(size_t(kFrames) * 63);
  const bool ok = f && le_fca_deltas(f, gSpeech.data(), int(gSpeech.size()), gDeltas.data(), kFrames) == kFrames;
  le_fca_destroy(f);
  return ok;
}

// The stream's driven row of clip frame j.
void driven(int j, float* kd) {
  const float* xs = gXs.data() + size_t(j % kNT) * 63;
  for (int k = 0; k < 63; ++k) kd[k] = xs[k] + kGain * gDeltas[size_t(j) * 63 + size_t(k)];
}

int touch(void*, int, const uint8_t* rgb, int, int) {
  benchmark::DoNotOptimize(rgb[0]);
  return 0;
}

void streamRun(benchmark::State& st) {
  le_stream* s = le_stream_create(gDir.c_str(), gFrontend.c_str(), kThreads, 0, kGain);
  if (!s) {
    st.SkipWithError(le_stream_last_error());
    return;
  }
  for (auto _ : st)
    if (le_stream_run(s, gSpeech.data(), int(gSpeech.size()), touch, nullptr) != kFrames) {
      st.SkipWithError(le_stream_last_error());
      break;
    }
  le_stream_destroy(s);
}

void fcaDeltas(benchmark::State& st) {
  le_fca* f = le_fca_create(gFrontend.c_str(), (gDir + "/fca_stream.onnx").c_str(), kThreads);
  std::vector<float> out(size_t(kFrames) * 63);
  for (auto _ : st) benchmark::DoNotOptimize(le_fca_deltas(f, gSpeech.data(), int(gSpeech.size()), out.data(), kFrames));
  le_fca_destroy(f);
}

void serialRgba(benchmark::State& st) {
  le_ctx* ctx = le_create(gDir.c_str(), "render", kThreads, "");
  if (!ctx) {
    st.SkipWithError(le_last_error());
    return;
  }
  std::vector<uint8_t> out(size_t(kW) * kH * 4);
  float kd[63];
  for (auto _ : st)
    for (int j = 0; j < kFrames; ++j) {
      driven(j, kd);
      if (!le_render_kp_rgba(ctx, j % kNT, gXs.data() + size_t(j % kNT) * 63, kd, out.data(), out.size())) {
        st.SkipWithError(le_last_error());
        break;
      }
    }
  le_destroy(ctx);
}

// Hands over the stream's rows, one per 640 pushed samples, from wherever the
// pipeline starts the utterance.
class RowEngine : public le::utt::Engine {
 public:
  void reset(int32_t start, int32_t) override { start_ = start, samples_ = 0, pulled_ = 0, done_ = false; }
  void setEager(int32_t) override {}
  void push(const float*, int64_t n) override { samples_ += n; }
  void finish() override { done_ = true; }
  int32_t avail() override { return int32_t(std::min<int64_t>(done_ ? (samples_ + 639) / 640 : samples_ / 640, kFrames)) - pulled_; }
  int32_t pull(int32_t* idx, float* t, float* d, int32_t n) override {
    int32_t w = 0;
    for (; w < n && avail() > 0; ++w, ++pulled_) {
      idx[w] = (start_ + pulled_) % kNT;
      std::memcpy(t + w * 63, gXs.data() + size_t(idx[w]) * 63, 63 * 4);
      for (int k = 0; k < 63; ++k) d[w * 63 + k] = t[w * 63 + k] + kGain * gDeltas[size_t(pulled_) * 63 + size_t(k)];
    }
    return w;
  }
  int32_t total() override { return done_ ? int32_t(std::min<int64_t>((samples_ + 639) / 640, kFrames)) : -1; }
  int32_t nt() override { return kNT; }

 private:
  int64_t samples_ = 0;
  int32_t start_ = 0, pulled_ = 0;
  bool done_ = false;
};

void uttClip(benchmark::State& st) {
  le_ctx* ctx = le_create(gDir.c_str(), "render", kThreads, "");
  if (!ctx) {
    st.SkipWithError(le_last_error());
    return;
  }
  {
    le::utt::Options o;
    o.motionDir = gDir.c_str();
    o.steadyModel = "-";
    o.gapS = -1;
    le::utt::Settings s = le::utt::resolveSettings(o, kThreads, [](const char*) -> std::optional<std::string> { return std::nullopt; });
    s.pipelinePaste = 1;
    auto u = std::make_unique<le_utt>();
    le::utt::Stages stages = le::utt::bindSession(*ctx, s, *u);
    stages.makeEngine = [] { return std::make_unique<RowEngine>(); };
    u->pipeline = std::make_unique<le::utt::Pipeline>(std::move(stages), std::move(s));
    while (le_utt_ready(u.get()) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::vector<uint8_t> buf(size_t(kW) * kH * 3);
    std::vector<int16_t> audio(gSpeech.size());
    for (size_t i = 0; i < audio.size(); ++i) audio[i] = int16_t(std::clamp(gSpeech[i], -1.0f, 1.0f) * 32767.0f);
    le_utt_frame_info info{};
    auto pull = [&] {
      while (le_utt_pull_frame(u.get(), buf.data(), buf.size(), &info) != 1) std::this_thread::yield();
    };
    for (auto _ : st) {
      le_utt_push_audio(u.get(), audio.data(), int(audio.size()));
      le_utt_end_utterance(u.get());
      do pull();
      while (!(info.kind == LE_UTT_SPEECH && info.speech_number == kFrames - 1));
      st.PauseTiming();
      do pull();  // the ramp back to the driver
      while (info.kind != LE_UTT_IDLE);
      st.ResumeTiming();
    }
  }
  le_destroy(ctx);
}

void memcpyFloor(benchmark::State& st) {
  std::vector<uint8_t> a(size_t(kW) * kH * 3, 1), b(a.size());
  for (auto _ : st)
    for (int j = 0; j < kFrames; ++j) {
      std::memcpy(b.data(), a.data(), a.size());
      benchmark::DoNotOptimize(b.data());
    }
}

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/le-stream-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string root = tmpl;
  if (!prepare(root)) return 1;
  std::freopen("/dev/null", "a", stderr);  // the loaders' log lines
  auto reg = [](const char* name, void (*fn)(benchmark::State&)) {
    benchmark::RegisterBenchmark(name, fn)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
  };
  reg("BM_stream_run", streamRun);
  reg("BM_utt_clip", uttClip);
  reg("BM_serial_kp_rgba", serialRgba);
  reg("BM_fca_deltas", fcaDeltas);
  reg("BM_floor_memcpy_frames", memcpyFloor);
  const std::string sfx = "/iterations:3/real_time";
  const int rc = le::bench::runAndReport(
      argc, argv, {{"BM_stream_run" + sfx, "BM_serial_kp_rgba" + sfx}, {"BM_stream_run" + sfx, "BM_utt_clip" + sfx}});
  std::printf("\nevery iteration is a clip of %d frames (%dx%d); frames per second = %d / (time per iteration)\n",
              kFrames, kW, kH, kFrames);
  (void)std::system(("rm -rf '" + root + "'").c_str());
  return rc;
}
