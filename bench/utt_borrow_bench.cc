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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "le/le_tessera.h"
#include "le/tessera/bankdec.h"
#include "utt_live.h"

namespace {

using namespace le::bench::live;

constexpr int kDonors = 64;
le_tessera_members* gMembers = nullptr;
std::vector<uint8_t> gDonors;
int gBorrowK = 8;

// The identity with the 64-donor teeth members, the head's candidate count
// set to gBorrowK.
bool makeBorrowBundle(const std::string& root) {
  const std::string& dir = identity().dir;
  return makeBundle(root) &&
         le::bench::sh(lefix() + "tessera live --donors " + std::to_string(kDonors) + " --out '" + dir + "' > /dev/null") &&
         le::bench::sh(std::string(LE_PYTHON) + " -c \"import json; p='" + dir + "/tessera_head.v1.json'; "
                       "d=json.load(open(p)); d['retrieval']['K']=" + std::to_string(gBorrowK) +
                       "; json.dump(d, open(p, 'w'))\"");
}

bool loadMembers() {
  char err[1024] = {};
  gMembers = le_tessera_members_open(identity().dir.c_str(), err, sizeof err);
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

// none: no borrow, pipelined paste; none_inline: no borrow, inline paste;
// inline: borrow and paste on the run thread; pipelined: borrow thread.
enum Mode { kNone, kNoneInline, kInline, kPipelined };
const char* const kModeNames[] = {"none", "none_inline", "inline", "pipelined"};

bool openLive(benchmark::State& st, Live& l, Mode mode, bool endless) {
  if (!open(st, l, 2, mode == kNone || mode == kPipelined ? 1 : 0, endless)) return false;
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
  return ready(l);
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
  if (openLive(st, l, mode, false)) gFig[mode].firstMs = firstFrameLatencyMs(st, l.u);
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
  if (!makeBorrowBundle(root) || !loadMembers()) return 1;
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
