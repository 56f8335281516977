// Shared set-up of the live-pipeline benchmarks: the fixture identity (crop
// 256 into a 1280x720 driver, fixture director), a zero-cost row engine (the
// bundle's own target rows moved a little), opening a pipeline on it, pulling,
// the first-frame latency loop and the memcpy floor of one RGB frame.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "benchkit.h"
#include "le/le.h"
#include "le/le_utt.h"
#include "le/pipeline/session_bind.h"
#include "le/pipeline/utt_handle.h"
#include "le/session/session.h"

namespace le::bench::live {

inline constexpr int kNT = 25, kCrop = 256, kW = 1280, kH = 720;

struct Identity {
  std::string dir;
  std::vector<float> xs;  // kNT rows of 63 target keypoint floats
};
inline Identity& identity() {
  static Identity id;
  return id;
}

// The lefix command prefix the benchmarks write their members with.
inline std::string lefix() { return std::string("cd '") + LE_FIXTURES_DIR + "' && " + LE_PYTHON + " -m lefix "; }

// Writes the identity under root/b and reads its target rows.
inline bool makeBundle(const std::string& root) {
  Identity& id = identity();
  id.dir = root + "/b";
  const std::string fx = lefix(), nt = std::to_string(kNT), c = std::to_string(kCrop);
  const std::string size = std::to_string(kW) + " " + std::to_string(kH);
  if (!sh(fx + "bundle --legacy-names --out '" + id.dir + "' --nt " + nt + " --crop " + c + " --size " + size) ||
      !sh(fx + "video mp4 --lossy --nt " + nt + " --size " + size + " --out '" + id.dir + "/target_frames.mp4'") ||
      !sh(fx + "director --variant plain --crop " + c + " --out '" + id.dir + "/model_plain.onnx'"))
    return false;
  writeRandomHalfs(id.dir + "/pooled64.f16", size_t(kNT) * 65536, 1);
  writeRandomHalfs(id.dir + "/P.f16", size_t(kNT) * 3 * size_t(kCrop) * size_t(kCrop), 2);
  std::ifstream f(id.dir + "/xs_target.bin", std::ios::binary);
  id.xs.resize(size_t(kNT) * 63);
  f.read(reinterpret_cast<char*>(id.xs.data()), std::streamsize(id.xs.size() * 4));
  return bool(f);
}

// Rows for as long as asked (endless), or one per 640 pushed samples.
class RowEngine : public le::utt::Engine {
 public:
  explicit RowEngine(bool endless) : endless_(endless) {}
  void reset(int32_t start, int32_t) override { start_ = start, samples_ = 0, pulled_ = 0, done_ = false; }
  void setEager(int32_t) override {}
  void push(const float*, int64_t n) override { samples_ += n; }
  void finish() override { done_ = true; }
  int32_t avail() override {
    if (endless_) return 32;
    return int32_t(done_ ? (samples_ + 639) / 640 : samples_ / 640) - pulled_;
  }
  int32_t pull(int32_t* idx, float* t, float* d, int32_t n) override {
    const std::vector<float>& xs = identity().xs;
    int32_t w = 0;
    for (; w < n && w < avail(); ++w, ++pulled_) {
      idx[w] = int32_t((start_ + pulled_) % kNT);
      for (int j = 0; j < 63; ++j) {
        t[w * 63 + j] = xs[size_t(idx[w]) * 63 + size_t(j)];
        d[w * 63 + j] = t[w * 63 + j] + 0.02f;
      }
    }
    return w;
  }
  int32_t total() override { return !endless_ && done_ ? int32_t((samples_ + 639) / 640) : -1; }
  int32_t nt() override { return kNT; }

 private:
  bool endless_;
  int64_t samples_ = 0, pulled_ = 0;
  int32_t start_ = 0;
  bool done_ = false;
};

struct Live {
  le_ctx* ctx = nullptr;
  le_utt* u = nullptr;
  ~Live() {
    le_utt_destroy(u);
    le_destroy(ctx);
  }
};

// Opens a pipeline on the identity with the row engine; the caller attaches
// what it needs, then waits with ready().
inline bool open(benchmark::State& st, Live& l, int threads, int pipelinePaste, bool endless) {
  l.ctx = le_create(identity().dir.c_str(), "plain", threads, "");
  if (!l.ctx) {
    st.SkipWithError(le_last_error());
    return false;
  }
  le::utt::Options o;
  o.motionDir = identity().dir.c_str();
  o.steadyModel = "-";
  o.gapS = -1;
  le::utt::Settings s =
      le::utt::resolveSettings(o, threads, [](const char*) -> std::optional<std::string> { return std::nullopt; });
  s.pipelinePaste = pipelinePaste;
  auto u = std::make_unique<le_utt>();
  le::utt::Stages stages = le::utt::bindSession(*l.ctx, s, *u);
  stages.makeEngine = [endless] { return std::make_unique<RowEngine>(endless); };
  u->pipeline = std::make_unique<le::utt::Pipeline>(std::move(stages), std::move(s));
  l.u = u.release();
  return true;
}

inline bool ready(const Live& l) {
  while (le_utt_ready(l.u) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return le_utt_ready(l.u) == 1;
}

inline bool pull(le_utt* u, std::vector<uint8_t>& buf, le_utt_frame_info& info) {
  for (;;) {
    if (le_utt_pull_frame(u, buf.data(), buf.size(), &info) == 1) return true;
    std::this_thread::yield();
  }
}

// Times push-to-first-speech-frame per iteration; returns the mean of the
// latency the pipeline itself reports.
inline double firstFrameLatencyMs(benchmark::State& st, le_utt* u) {
  std::vector<uint8_t> buf(size_t(kW) * kH * 3);
  le_utt_frame_info info{};
  std::vector<int16_t> a(640 * 4, 1);
  double sum = 0;
  for (auto _ : st) {
    le_utt_push_audio(u, a.data(), int(a.size()));
    le_utt_end_utterance(u);
    do pull(u, buf, info);
    while (!(info.kind == LE_UTT_SPEECH && info.speech_number == 0));
    le_utt_stats s{};
    le_utt_get_stats(u, &s);
    sum += s.first_frame_latency_ms;
    st.PauseTiming();
    do pull(u, buf, info);  // the rest of the utterance and its ramp
    while (info.kind != LE_UTT_IDLE);
    st.ResumeTiming();
  }
  return st.iterations() ? sum / double(st.iterations()) : 0;
}

inline void memcpyFloor(benchmark::State& st) {
  std::vector<uint8_t> a(size_t(kW) * kH * 3, 1), b(a.size());
  for (auto _ : st) {
    std::memcpy(b.data(), a.data(), a.size());
    benchmark::DoNotOptimize(b.data());
  }
}

}  // namespace le::bench::live
