// TeethPass::push at canvas 512 with a drawn bank of 1024 donors and the
// default serve configuration (kshort 512, K 64, cut 96, hysteresis 8,
// lookahead 8): milliseconds per frame split into the pass's steps (prepare,
// coarse, exact, head, emit) and the share of a 40 ms frame (25 fps). The
// floor beside it is memcpy of the pooled donor index the coarse ranking
// reads every frame. Without LE_CORE_THREADS in the environment the program
// runs itself once with 1 and once with 2 threads.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "benchkit.h"
#include "le/runtime/le_pool.h"
#include "le/runtime/le_simd.h"
#include "le/tessera/le_tessera.h"

namespace {

constexpr int kFrames = 24;
std::string gDir;

template <class T>
std::vector<T> readRaw(const std::string& name) {
  std::ifstream in(gDir + "/" + name, std::ios::binary);
  std::vector<char> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<T> out(b.size() / sizeof(T));
  std::memcpy(out.data(), b.data(), out.size() * sizeof(T));
  return out;
}

struct Inputs {
  le::tessera::BankData bank;
  le::tessera::HeadWeights head;
  std::vector<uint8_t> canvases, masks;
  std::vector<int32_t> shifts;
  Inputs() {
    std::ifstream meta(gDir + "/meta.txt");
    for (std::string line; std::getline(meta, line);) {
      std::istringstream ls(line);
      std::string key;
      ls >> key;
      if (key == "stamp") {
        int32_t* f = &bank.stamp.canvas_w;
        for (int i = 0; i < 12; ++i) ls >> f[i];
      } else if (key == "donors") {
        ls >> bank.n_donors;
      }
    }
    bank.track = readRaw<uint8_t>("track.u8");
    bank.cent = readRaw<double>("cent.f64");
    const std::vector<double> cc = readRaw<double>("ccanon.f64");
    bank.c_canon = {cc.at(0), cc.at(1)};
    bank.aperture = readRaw<double>("aperture.f64");
    const std::vector<float> all = readRaw<float>("head.f32");
    size_t off = 0;
    for (const le::tessera::HeadTensor& t : le::tessera::headTensors()) {
      size_t n = 1;
      for (int64_t s : t.shape) n *= static_cast<size_t>(s);
      head.*t.field = std::vector<float>(all.begin() + off, all.begin() + off + n);
      off += n;
    }
    canvases = readRaw<uint8_t>("frames.u8");
    masks = readRaw<uint8_t>("masks.u8");
    shifts = readRaw<int32_t>("shifts.i32");
  }
};

Inputs& inputs() {
  static Inputs in;
  return in;
}

std::unique_ptr<le::tessera::TeethPass> gPass;
int gFrame = 0;

void BM_TeethPassPush(benchmark::State& st) {
  Inputs& in = inputs();
  const size_t area = static_cast<size_t>(in.bank.stamp.canvas_w) * static_cast<size_t>(in.bank.stamp.canvas_h);
  if (!gPass) gPass = std::make_unique<le::tessera::TeethPass>(in.bank, in.head, le::tessera::ServeConfig{});
  le::tessera::FrameResult out;
  for (auto _ : st) {
    const size_t i = static_cast<size_t>(gFrame % kFrames);
    const int* shift = in.shifts[3 * i] ? &in.shifts[3 * i + 1] : nullptr;
    gPass->push(gFrame++, &in.canvases[i * area * 3], &in.masks[i * area], shift, &out);
  }
}

void BM_MemcpyPooledIndex(benchmark::State& st) {
  if (!gPass) gPass = std::make_unique<le::tessera::TeethPass>(inputs().bank, inputs().head, le::tessera::ServeConfig{});
  const std::vector<uint16_t>& index = gPass->pooledIndex();
  std::vector<uint16_t> copy(index.size());
  for (auto _ : st) {
    std::memcpy(copy.data(), index.data(), index.size() * sizeof(uint16_t));
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * index.size() * 2));
}

void printSteps() {
  const le::tessera::TeethPass::StepTimes& t = gPass->stepTimes();
  const double f = static_cast<double>(t.frames) / 1e3;  // seconds per frame -> ms
  const double total = (t.prepare + t.coarse + t.exact + t.head + t.emit) / f;
  std::printf("\nTeethPass::push per frame over %lld frames (%s, %d threads):\n", static_cast<long long>(t.frames),
              le::simd::target(), le::pool::threads());
  std::printf("  prepare %7.2f ms\n  coarse  %7.2f ms\n  exact   %7.2f ms\n  head    %7.2f ms\n  emit    %7.2f ms\n",
              t.prepare / f, t.coarse / f, t.exact / f, t.head / f, t.emit / f);
  std::printf("  total   %7.2f ms = %.0f %% of a 40 ms frame\n", total, 100.0 * total / 40.0);
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("LE_CORE_THREADS") == nullptr) return le::bench::runPerThreadCount(argv);
  char tmpl[] = "/tmp/le-teeth-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  gDir = tmpl;
  if (!le::bench::sh(std::string("cd '") + LE_FIXTURES_DIR + "' && " + LE_PYTHON +
                     " -m lefix tessera-case --inputs-only --canvas 512 --donors 1024 --frames " +
                     std::to_string(kFrames) + " --out '" + gDir + "'"))
    return 1;
  benchmark::RegisterBenchmark("BM_TeethPassPush", BM_TeethPassPush)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("BM_MemcpyPooledIndex", BM_MemcpyPooledIndex)->Unit(benchmark::kMillisecond);
  const int rc = le::bench::runAndReport(argc, argv, {{"BM_TeethPassPush/real_time", "BM_MemcpyPooledIndex"}});
  printSteps();
  gPass.reset();
  std::system((std::string("rm -rf '") + gDir + "'").c_str());
  return rc;
}
