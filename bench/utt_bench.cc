// The live pipeline delivering speech frames of a fixture identity (crop 256
// into a 1280x720 driver, fixture director) to a host pulling as fast as it
// can, against the same frames rendered serially through le_render_kp_rgba,
// with 1 and 2 director threads. The audio engine is a zero-cost row source
// (the bundle's own target rows moved a little), so the figures are the
// pipeline's render, paste and delivery alone. After the run: stage-A and
// stage-C time per frame and the first-frame latency (push to first speech
// frame published, host pulling as fast as it can). The floor is a memcpy of the RGB frame.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "benchkit.h"
#include "le/le.h"
#include "le/le_utt.h"
#include "le/pipeline/session_bind.h"
#include "le/pipeline/utt_handle.h"
#include "le/session/session.h"

namespace {

constexpr int kNT = 25, kCrop = 256, kW = 1280, kH = 720;
std::string gDir;
std::vector<float> gXs;

using le::bench::sh;
using le::bench::writeRandomHalfs;

bool makeBundle(const std::string& root) {
  const std::string fx = std::string("cd '") + LE_FIXTURES_DIR + "' && " + LE_PYTHON + " -m lefix ";
  gDir = root + "/b";
  const std::string nt = std::to_string(kNT), c = std::to_string(kCrop);
  if (!sh(fx + "bundle --legacy-names --out '" + gDir + "' --nt " + nt + " --crop " + c + " --size " +
          std::to_string(kW) + " " + std::to_string(kH)) ||
      !sh(fx + "video mp4 --lossy --nt " + nt + " --size " + std::to_string(kW) + " " + std::to_string(kH) +
          " --out '" + gDir + "/target_frames.mp4'") ||
      !sh(fx + "director --variant plain --crop " + c + " --out '" + gDir + "/model_plain.onnx'"))
    return false;
  writeRandomHalfs(gDir + "/pooled64.f16", size_t(kNT) * 65536, 1);
  writeRandomHalfs(gDir + "/P.f16", size_t(kNT) * 3 * size_t(kCrop) * size_t(kCrop), 2);
  std::ifstream f(gDir + "/xs_target.bin", std::ios::binary);
  gXs.resize(size_t(kNT) * 63);
  f.read(reinterpret_cast<char*>(gXs.data()), std::streamsize(gXs.size() * 4));
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
    int32_t w = 0;
    for (; w < n && w < avail(); ++w, ++pulled_) {
      idx[w] = int32_t((start_ + pulled_) % kNT);
      for (int j = 0; j < 63; ++j) {
        t[w * 63 + j] = gXs[size_t(idx[w]) * 63 + size_t(j)];
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

bool openLive(benchmark::State& st, Live& l, int threads, bool endless) {
  l.ctx = le_create(gDir.c_str(), "plain", threads, "");
  if (!l.ctx) {
    st.SkipWithError(le_last_error());
    return false;
  }
  le::utt::Options o;
  o.motionDir = gDir.c_str();
  o.steadyModel = "-";
  o.gapS = -1;
  le::utt::Settings s = le::utt::resolveSettings(o, threads, [](const char*) -> std::optional<std::string> { return std::nullopt; });
  s.pipelinePaste = 1;
  auto u = std::make_unique<le_utt>();
  le::utt::Stages stages = le::utt::bindSession(*l.ctx, s, *u);
  stages.makeEngine = [endless] { return std::make_unique<RowEngine>(endless); };
  u->pipeline = std::make_unique<le::utt::Pipeline>(std::move(stages), std::move(s));
  l.u = u.release();
  while (le_utt_ready(l.u) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return le_utt_ready(l.u) == 1;
}

bool pull(le_utt* u, std::vector<uint8_t>& buf, le_utt_frame_info& info) {
  for (;;) {
    if (le_utt_pull_frame(u, buf.data(), buf.size(), &info) == 1) return true;
    std::this_thread::yield();
  }
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
  le_ctx* ctx = le_create(gDir.c_str(), "plain", threads, "");
  if (!ctx) {
    st.SkipWithError(le_last_error());
    return;
  }
  std::vector<uint8_t> out(size_t(kW) * kH * 4);
  std::vector<float> kd(63);
  int i = 0;
  for (auto _ : st) {
    const float* ks = gXs.data() + size_t(i) * 63;
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
  if (!openLive(st, l, threads, false)) return;
  std::vector<uint8_t> buf(size_t(kW) * kH * 3);
  le_utt_frame_info info{};
  std::vector<int16_t> a(640 * 4, 1);
  double sum = 0;
  for (auto _ : st) {
    le_utt_push_audio(l.u, a.data(), int(a.size()));
    le_utt_end_utterance(l.u);
    do pull(l.u, buf, info);
    while (!(info.kind == LE_UTT_SPEECH && info.speech_number == 0));
    le_utt_stats s{};
    le_utt_get_stats(l.u, &s);
    sum += s.first_frame_latency_ms;
    st.PauseTiming();
    do pull(l.u, buf, info);  // the rest of the utterance and its ramp
    while (info.kind != LE_UTT_IDLE);
    st.ResumeTiming();
  }
  gFig[threads].firstMs = st.iterations() ? sum / double(st.iterations()) : 0;
}

void memcpyFloor(benchmark::State& st) {
  std::vector<uint8_t> a(size_t(kW) * kH * 3, 1), b(a.size());
  for (auto _ : st) {
    std::memcpy(b.data(), a.data(), a.size());
    benchmark::DoNotOptimize(b.data());
  }
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
