// A finished frame through le_render_drive_rgba at crop 256 and 512 into
// 1280x720 and 1920x1080 drivers (fixture director, lossy H.264 driver of 25
// frames walked in order, 2 director threads), against the same four steps
// called one by one through the context's own classes, each timed: render,
// driver pull, composite, RGBA copy. The table after the run gives the total
// per frame and each step's share. The floor is a memcpy of the RGB frame and
// the RGBA frame a call must at least write.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "benchkit.h"
#include "le/le.h"
#include "le/runtime/le_simd.h"
#include "le/session/session.h"

namespace {

constexpr int kNT = 25;
constexpr int kThreads = 2;

using le::bench::sh;

struct Case {
  std::string name;  // "<crop>/<W>x<H>"
  std::string dir;
  int crop, w, h;
};

// Every driver and director is written once and linked into the bundles.
bool makeCases(const std::string& root, std::vector<Case>& cases) {
  const std::string fx = std::string("cd '") + LE_FIXTURES_DIR + "' && " + LE_PYTHON + " -m lefix ";
  const std::string nt = std::to_string(kNT);
  for (auto [w, h] : {std::pair{1280, 720}, std::pair{1920, 1080}})
    if (!sh(fx + "video mp4 --lossy --nt " + nt + " --size " + std::to_string(w) + " " + std::to_string(h) +
            " --out '" + root + "/drv" + std::to_string(h) + ".mp4'"))
      return false;
  for (int crop : {256, 512}) {
    const std::string c = std::to_string(crop);
    const std::string model = root + "/model" + c + ".onnx";
    if (!sh(fx + "director --variant plain --crop " + c + " --out '" + model + "'")) return false;
    for (auto [w, h] : {std::pair{1280, 720}, std::pair{1920, 1080}}) {
      Case k{c + "/" + std::to_string(w) + "x" + std::to_string(h), root + "/b" + c + "_" + std::to_string(h), crop,
             w, h};
      if (!sh(fx + "bundle --out '" + k.dir + "' --nt " + nt + " --crop " + c + " --size " + std::to_string(w) +
              " " + std::to_string(h)) ||
          !sh("ln '" + model + "' '" + k.dir + "/model_plain.onnx' && ln '" + root + "/drv" + std::to_string(h) +
              ".mp4' '" + k.dir + "/target_frames.mp4'"))
        return false;
      le::bench::writeRandomHalfs(k.dir + "/pooled64.f16", size_t(kNT) * 65536, 1);
      le::bench::writeRandomHalfs(k.dir + "/P.f16", size_t(kNT) * 3 * size_t(crop) * size_t(crop), 2);
      cases.push_back(k);
    }
  }
  return true;
}

// A context whose director is built and whose walk has begun: the first
// render pays the graph rewrites and session creation, which no later frame does.
le_ctx* open(benchmark::State& st, const Case& k) {
  le_ctx* ctx = le_create(k.dir.c_str(), "plain", kThreads, "");
  if (!ctx) {
    st.SkipWithError(le_last_error());
    return nullptr;
  }
  std::vector<uint8_t> out(ctx->rgbaBytes());
  for (int i : {kNT - 2, kNT - 1})
    if (!le_render_drive_rgba(ctx, i, out.data(), out.size())) {
      st.SkipWithError(le_last_error());
      le_destroy(ctx);
      return nullptr;
    }
  return ctx;
}

void driveRgba(benchmark::State& st, const Case* k) {
  le_ctx* ctx = open(st, *k);
  if (!ctx) return;
  std::vector<uint8_t> out(ctx->rgbaBytes());
  int i = 0;
  for (auto _ : st) {
    if (!le_render_drive_rgba(ctx, i, out.data(), out.size())) {
      st.SkipWithError(le_last_error());
      break;
    }
    i = (i + 1) % kNT;
  }
  le_destroy(ctx);
}

struct Shares {
  double render = 0, pull = 0, composite = 0, rgba = 0;
};
std::map<std::string, Shares> gShares;

// The steps of le_render_drive_rgba one by one, each on the clock.
void steps(benchmark::State& st, const Case* k) {
  le_ctx* ctx = open(st, *k);
  if (!ctx) return;
  std::vector<uint8_t> out(ctx->rgbaBytes());
  using Clock = std::chrono::steady_clock;
  Shares sum;
  int i = 0;
  for (auto _ : st) {
    const int32_t si = ctx->drive.si[size_t(i)];
    const auto t0 = Clock::now();
    const float* crop = ctx->renderCrop(si, &ctx->drive.xs[size_t(i) * 63], &ctx->drive.xd[size_t(i) * 63]);
    const auto t1 = Clock::now();
    ctx->cursor->pullAt(si, ctx->frame.data());
    const auto t2 = Clock::now();
    ctx->paste->composite(crop, 255.f, ctx->identity.M(si), ctx->frame.data(), ctx->W(), ctx->H());
    const auto t3 = Clock::now();
    le::session::rgbToRgba(ctx->frame.data(), out.data(), uint64_t(ctx->W()) * uint64_t(ctx->H()));
    const auto t4 = Clock::now();
    benchmark::DoNotOptimize(out.data());
    sum.render += std::chrono::duration<double, std::milli>(t1 - t0).count();
    sum.pull += std::chrono::duration<double, std::milli>(t2 - t1).count();
    sum.composite += std::chrono::duration<double, std::milli>(t3 - t2).count();
    sum.rgba += std::chrono::duration<double, std::milli>(t4 - t3).count();
    i = (i + 1) % kNT;
  }
  const double n = double(st.iterations());
  if (n > 0) gShares[k->name] = {sum.render / n, sum.pull / n, sum.composite / n, sum.rgba / n};
  le_destroy(ctx);
}

void memcpyFloor(benchmark::State& st, const Case* k) {
  const size_t px = size_t(k->w) * size_t(k->h);
  std::vector<uint8_t> rgb(px * 3, 1), a(px * 4, 2), b(px * 4);
  std::vector<uint8_t> rgbOut(px * 3);
  for (auto _ : st) {
    std::memcpy(rgbOut.data(), rgb.data(), rgb.size());
    std::memcpy(b.data(), a.data(), a.size());
    benchmark::DoNotOptimize(b.data());
    benchmark::DoNotOptimize(rgbOut.data());
  }
}

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/le-session-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string root = tmpl;
  std::vector<Case> cases;
  cases.reserve(4);
  if (!makeCases(root, cases)) return 1;
  std::freopen("/dev/null", "a", stderr);  // the loaders' log lines
  std::vector<le::bench::Ratio> ratios;
  const std::string opts = "/min_time:1.000/real_time";
  for (const Case& k : cases) {
    benchmark::RegisterBenchmark(("BM_drive_rgba/" + k.name).c_str(), driveRgba, &k)
        ->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
    benchmark::RegisterBenchmark(("BM_steps/" + k.name).c_str(), steps, &k)
        ->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
    benchmark::RegisterBenchmark(("BM_floor_memcpy_frames/" + k.name).c_str(), memcpyFloor, &k)
        ->Unit(benchmark::kMillisecond);
    ratios.push_back({"BM_drive_rgba/" + k.name + opts, "BM_steps/" + k.name + opts});
  }
  const int rc = le::bench::runAndReport(argc, argv, ratios);
  std::printf("\nper frame, steps timed one by one (ms, share of their sum)\n");
  std::printf("  %-16s %8s  %-16s %-16s %-16s %-16s\n", "crop/driver", "total", "render", "driver pull",
              "composite", "rgba copy");
  for (const Case& k : cases) {
    const auto it = gShares.find(k.name);
    if (it == gShares.end()) continue;
    const Shares& s = it->second;
    const double t = s.render + s.pull + s.composite + s.rgba;
    auto cell = [&](double v) {
      char b[32];
      std::snprintf(b, sizeof b, "%6.2f (%4.1f%%)", v, t > 0 ? 100 * v / t : 0.0);
      return std::string(b);
    };
    std::printf("  %-16s %8.2f  %-16s %-16s %-16s %-16s\n", k.name.c_str(), t, cell(s.render).c_str(),
                cell(s.pull).c_str(), cell(s.composite).c_str(), cell(s.rgba).c_str());
  }
  (void)std::system(("rm -rf '" + root + "'").c_str());
  return rc;
}
