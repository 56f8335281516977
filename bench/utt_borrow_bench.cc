// The live pipeline with the teeth borrow: delivered frames per second and
// first-frame latency of a host pulling as fast as it can, without a borrow,
// with the borrow inline (on the run thread, paste inline too) and pipelined
// (on its own thread between the run and paste threads). Fixture identity:
// crop 256 into a 1280x720 driver, fixture director, 64-donor fixture bank;
// the audio engine is a zero-cost row source. Peers in the same run: each
// borrowed mode against the unborrowed pipeline of the same paste mode. The
// floor is a memcpy of the RGB frame. --borrow-k=N sets the head's candidate
// count (default 8, so that the borrow costs less than the render here; the
// shipped configuration's 64 costs several renders at this window size).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "benchkit.h"
#include "le/le.h"
#include "le/le_tessera.h"
#include "le/le_utt.h"
#include "le/pipeline/session_bind.h"
#include "le/pipeline/utt_handle.h"
#include "le/session/session.h"
#include "le/tessera/bankdec.h"

namespace {

constexpr int kNT = 25, kCrop = 256, kW = 1280, kH = 720, kDonors = 64;
std::string gDir;
std::vector<float> gXs;
le_tessera_members* gMembers = nullptr;
std::vector<uint8_t> gDonors;
int gBorrowK = 8;

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
      !sh(fx + "director --variant plain --crop " + c + " --out '" + gDir + "/model_plain.onnx'") ||
      !sh(fx + "tessera live --donors " + std::to_string(kDonors) + " --out '" + gDir + "' > /dev/null") ||
      !sh(std::string(LE_PYTHON) + " -c \"import json; p='" + gDir + "/tessera_head.v1.json'; d=json.load(open(p)); "
          "d['retrieval']['K']=" + std::to_string(gBorrowK) + "; json.dump(d, open(p, 'w'))\""))
    return false;
  writeRandomHalfs(gDir + "/pooled64.f16", size_t(kNT) * 65536, 1);
  writeRandomHalfs(gDir + "/P.f16", size_t(kNT) * 3 * size_t(kCrop) * size_t(kCrop), 2);
  std::ifstream f(gDir + "/xs_target.bin", std::ios::binary);
  gXs.resize(size_t(kNT) * 63);
  f.read(reinterpret_cast<char*>(gXs.data()), std::streamsize(gXs.size() * 4));
  return bool(f);
}

bool loadMembers() {
  char err[1024] = {};
  gMembers = le_tessera_members_open(gDir.c_str(), err, sizeof err);
  if (!gMembers) return std::fprintf(stdout, "members: %s\n", err), false;
  std::ifstream f(le_tessera_members_bank_track_path(gMembers), std::ios::binary);
  const std::string track((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const int n = le_tessera_members_n_donors(gMembers);
  std::vector<int> order(static_cast<size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  const std::vector<uint8_t> frames =
      le::tessera::decodeBankTrack(reinterpret_cast<const uint8_t*>(track.data()), track.size(), n,
                                   le_tessera_members_band_h(gMembers), le_tessera_members_band_w(gMembers), order);
  gDonors.resize(frames.size());
  return le_tessera_members_reorder(gMembers, frames.data(), gDonors.data(), err, sizeof err) == 0;
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

// none: no borrow, pipelined paste; none_inline: no borrow, inline paste;
// inline: borrow and paste on the run thread; pipelined: borrow thread.
enum Mode { kNone, kNoneInline, kInline, kPipelined };
const char* const kModeNames[] = {"none", "none_inline", "inline", "pipelined"};

struct Live {
  le_ctx* ctx = nullptr;
  le_utt* u = nullptr;
  ~Live() {
    le_utt_destroy(u);
    le_destroy(ctx);
  }
};

bool openLive(benchmark::State& st, Live& l, Mode mode, bool endless) {
  l.ctx = le_create(gDir.c_str(), "plain", 2, "");
  if (!l.ctx) {
    st.SkipWithError(le_last_error());
    return false;
  }
  le::utt::Options o;
  o.motionDir = gDir.c_str();
  o.steadyModel = "-";
  o.gapS = -1;
  le::utt::Settings s = le::utt::resolveSettings(o, 2, [](const char*) -> std::optional<std::string> { return std::nullopt; });
  s.pipelinePaste = mode == kNone || mode == kPipelined ? 1 : 0;
  auto u = std::make_unique<le_utt>();
  le::utt::Stages stages = le::utt::bindSession(*l.ctx, s, *u);
  stages.makeEngine = [endless] { return std::make_unique<RowEngine>(endless); };
  u->pipeline = std::make_unique<le::utt::Pipeline>(std::move(stages), std::move(s));
  l.u = u.release();
  if (mode == kInline || mode == kPipelined) {
    const le_tessera_members* m = gMembers;
    char err[1024] = {};
    if (le_utt_tessera_attach(l.u, gDonors.data(), le_tessera_members_n_donors(m), le_tessera_members_cent(m),
                              le_tessera_members_c_canon(m), le_tessera_members_aperture(m),
                              le_tessera_members_stamp(m), le_tessera_members_head_pt(m),
                              le_tessera_members_head_pt_len(m), le_tessera_members_head_json(m),
                              le_tessera_members_manifest_json(m), err, sizeof err) != 0) {
      st.SkipWithError(err);
      return false;
    }
  }
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
  double aMs = 0, bMs = 0, cMs = 0, firstMs = 0;
  int64_t borrowed = 0;
};
std::map<int, Figures> gFig;

void uttPull(benchmark::State& st, Mode mode) {
  Live l;
  if (!openLive(st, l, mode, true)) return;
  std::vector<uint8_t> buf(size_t(kW) * kH * 3);
  le_utt_frame_info info{};
  std::vector<int16_t> a(640, 1);
  le_utt_push_audio(l.u, a.data(), int(a.size()));
  do pull(l.u, buf, info);
  while (info.kind != LE_UTT_SPEECH);
  for (int i = 0; i < 12; ++i) pull(l.u, buf, info);  // every queue is full
  for (auto _ : st) {
    pull(l.u, buf, info);
    benchmark::DoNotOptimize(buf.data());
  }
  const le::utt::StageTimes t = l.u->pipeline->stageTimes();
  Figures& f = gFig[mode];
  f.aMs = t.aFrames ? (t.aTotal - t.aWait) / double(t.aFrames) : 0;
  f.bMs = t.jobsB ? t.bTotal / double(t.jobsB) : 0;
  f.cMs = t.jobsC ? t.cTotal / double(t.jobsC) : 0;
  int64_t ok = 0;
  le_utt_tessera_stats(l.u, &ok, nullptr, nullptr, 0);
  f.borrowed = ok;
}

void firstFrame(benchmark::State& st, Mode mode) {
  Live l;
  if (!openLive(st, l, mode, false)) return;
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
  gFig[mode].firstMs = st.iterations() ? sum / double(st.iterations()) : 0;
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
  char tmpl[] = "/tmp/le-utt-borrow-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string root = tmpl;
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--borrow-k=", 11) == 0) {
      gBorrowK = std::atoi(argv[i] + 11);
      for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
      --argc, --i;
    }
  if (!makeBundle(root) || !loadMembers()) return 1;
  std::freopen("/dev/null", "a", stderr);  // the loaders' log lines
  const auto name = [](const char* what, Mode m) { return std::string(what) + "/" + kModeNames[m]; };
  for (Mode m : {kNone, kNoneInline, kInline, kPipelined}) {
    benchmark::RegisterBenchmark(name("BM_utt_pull", m).c_str(), uttPull, m)
        ->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
    benchmark::RegisterBenchmark(name("BM_utt_first_frame", m).c_str(), firstFrame, m)
        ->Unit(benchmark::kMillisecond)->Iterations(12)->UseRealTime();
  }
  const std::vector<le::bench::Ratio> ratios = {
      {name("BM_utt_pull", kPipelined) + "/min_time:3.000/real_time", name("BM_utt_pull", kNone) + "/min_time:3.000/real_time"},
      {name("BM_utt_pull", kInline) + "/min_time:3.000/real_time", name("BM_utt_pull", kNoneInline) + "/min_time:3.000/real_time"},
  };
  benchmark::RegisterBenchmark("BM_floor_memcpy_frame", memcpyFloor)->Unit(benchmark::kMillisecond);
  const int rc = le::bench::runAndReport(argc, argv, ratios);
  std::printf("\nhead candidates K = %d\n", gBorrowK);
  std::printf("per frame (ms): stage A = render work on the run thread, B = borrow thread, C = paste thread\n");
  for (const auto& [m, f] : gFig)
    std::printf("  %-11s: stage A %.2f, stage B %.2f, stage C %.2f, first-frame latency %.2f, crops borrowed %lld\n",
                kModeNames[m], f.aMs, f.bMs, f.cMs, f.firstMs, static_cast<long long>(f.borrowed));
  le_tessera_members_close(gMembers);
  (void)std::system(("rm -rf '" + root + "'").c_str());
  return rc;
}
