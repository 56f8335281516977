// StreamBorrow per frame (push of the crop's float planes with its keypoints,
// then the write-back of the returned window) at crop 256 and 512 with a
// drawn bank of 1024 donors and the default serve configuration. The floor
// beside it is memcpy of the crop's float planes, the bytes every push reads.
// After the run the pass's own steps are printed, so the share of the plane
// conversion and delivery mask is the remainder. Without LE_CORE_THREADS in
// the environment the program runs itself once with 1 and once with 2 threads.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../tests/tessera/teeth_case.h"
#include "benchkit.h"
#include "le/runtime/le_pool.h"
#include "le/runtime/le_simd.h"
#include "le/tessera/tessera_stream.h"

namespace {

constexpr int kFrames = 24;

const char kPi[] =
    "{\"unified\":{\"pi\":{\"mode\":\"prop\",\"prop_gate_scale\":1,\"lip_idx\":[6,12,14,17,19,20],"
    "\"lip_geom_params\":[0.10,0.08,0.074]}}}";

// One crop size: the drawn case as float planes, mouths about its canonical
// centroid, and the borrow built over it.
struct Crop {
  std::unique_ptr<le::test::TeethCase> tc;
  std::vector<float> planes;  // kFrames x 3 planes
  std::vector<float> kp;      // kFrames x 63
  le::tessera::BankData bank;
  std::unique_ptr<le::tessera::StreamBorrow> borrow;
  int frame = 0;

  explicit Crop(const std::string& dir) : tc(std::make_unique<le::test::TeethCase>(dir)) {
    const int c = tc->bank.stamp.canvas_w;
    const size_t area = tc->canvasBytes();
    planes.resize(size_t(kFrames) * 3 * area);
    for (int f = 0; f < kFrames; ++f)
      for (size_t p = 0; p < area; ++p)
        for (size_t ch = 0; ch < 3; ++ch)
          planes[(size_t(f) * 3 + ch) * area + p] = float(tc->canvas(f)[3 * p + ch]) / 255.f;
    const int rows[6] = {6, 12, 14, 17, 19, 20};
    kp.assign(size_t(kFrames) * 63, 0.f);
    const double scale = c / 256.0;
    for (int f = 0; f < kFrames; ++f)
      for (int i = 0; i < 6; ++i) {
        const double x = 128 * scale + (i % 3 - 1) * 15 * scale, open = (2 + f % 5) * scale;
        const double y = 176 * scale + (i < 3 ? -open : open);
        kp[size_t(f) * 63 + 3 * size_t(rows[i])] = float(x * 2 / (c - 1) - 1);
        kp[size_t(f) * 63 + 3 * size_t(rows[i]) + 1] = float(y * 2 / (c - 1) - 1);
      }
    const le::tessera::UnifiedPi pi = le::tessera::UnifiedPi::fromManifestJson(kPi, c);
    bank = tc->bank;
    pi.canonicalCentroid(kp.data(), kFrames, &bank.c_canon[0], &bank.c_canon[1]);
    borrow = std::make_unique<le::tessera::StreamBorrow>(bank, tc->head, le::tessera::ServeConfig{}, pi, "");
  }
};

std::map<int, std::unique_ptr<Crop>> gCrops;

void streamBorrow(benchmark::State& st, Crop* c) {
  const size_t plane3 = 3 * c->tc->canvasBytes();
  le::tessera::FrameResult out;
  int64_t borrowed = 0;
  for (auto _ : st) {
    const size_t i = size_t(c->frame++ % kFrames);
    float* planes = &c->planes[i * plane3];
    if (c->borrow->push(planes, &c->kp[i * 63], &out) && !out.passthrough) {
      // The window belongs to the frame before: write it back there.
      const size_t prev = (i + kFrames - 1) % kFrames;
      le::tessera::StreamBorrow::writeWindowDelta(&c->planes[prev * plane3], c->borrow->canvas(), out,
                                                  c->bank.stamp);
      ++borrowed;
    }
  }
  st.counters["borrowed"] = double(borrowed);
}

void memcpyPlanes(benchmark::State& st, Crop* c) {
  const size_t n = 3 * c->tc->canvasBytes();
  std::vector<float> copy(n);
  for (auto _ : st) {
    std::memcpy(copy.data(), c->planes.data(), n * sizeof(float));
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(n * sizeof(float)));
}

void printSteps() {
  for (const auto& [crop, c] : gCrops) {
    const le::tessera::TeethPass::StepTimes& t = c->borrow->pass().stepTimes();
    if (t.frames == 0) continue;
    const double f = double(t.frames) / 1e3;  // seconds per frame -> ms
    std::printf("crop %d (%s, %d threads), TeethPass steps per frame: prepare %.2f coarse %.2f exact %.2f "
                "head %.2f emit %.2f ms = %.2f ms\n",
                crop, le::simd::target(), le::pool::threads(), t.prepare / f, t.coarse / f, t.exact / f,
                t.head / f, t.emit / f, (t.prepare + t.coarse + t.exact + t.head + t.emit) / f);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("LE_CORE_THREADS") == nullptr) return le::bench::runPerThreadCount(argv);
  char tmpl[] = "/tmp/le-stream-borrow-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  const std::string root = tmpl;
  std::vector<le::bench::Ratio> ratios;
  for (const int crop : {256, 512}) {
    const std::string dir = root + "/c" + std::to_string(crop), c = "/" + std::to_string(crop);
    if (!le::bench::sh(std::string("cd '") + LE_FIXTURES_DIR + "' && " + LE_PYTHON +
                       " -m lefix tessera-case --inputs-only --donors 1024 --canvas " + std::to_string(crop) +
                       " --frames " + std::to_string(kFrames) + " --out '" + dir + "' >/dev/null"))
      return 1;
    gCrops[crop] = std::make_unique<Crop>(dir);
    benchmark::RegisterBenchmark(("BM_StreamBorrowFrame" + c).c_str(), streamBorrow, gCrops[crop].get())
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("BM_floor_memcpy_planes" + c).c_str(), memcpyPlanes, gCrops[crop].get())
        ->Unit(benchmark::kMillisecond);
    // Printed as how many times the floor a borrowed frame costs.
    ratios.push_back({"BM_floor_memcpy_planes" + c, "BM_StreamBorrowFrame" + c + "/real_time"});
  }
  const int rc = le::bench::runAndReport(argc, argv, ratios);
  printSteps();
  gCrops.clear();
  std::system((std::string("rm -rf '") + root + "'").c_str());
  return rc;
}
