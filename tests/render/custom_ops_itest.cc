// The com.quillfin operators inside real onnxruntime sessions, against
// onnxruntime running the standard graphs they replace (models written by the
// python onnx package), and their refusals of inputs they cannot serve.
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "le/render/le_custom_ops.h"
#include "le/runtime/ort_env.h"
#include "render/warp_reference.h"
#include "testkit/testkit.h"

namespace {

// Where the compiler fuses a multiply-add the sample position may move by
// one float step (2^-18 below 64 pixels), which moves an output in [-1, 1]
// by at most twice that; anything beyond is a real difference.
constexpr double kRoundOff = 2e-5;

using le::test::maxRelError;
using le::test::randomFloats;

class CustomOps : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new le::test::TempDir;
    ASSERT_EQ(le::test::runFixture({"ops", "--out", dir_->path()}), 0);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string model(const std::string& name) { return *dir_ / name; }

  // A session on one of the fixture models with both custom registrations.
  static Ort::Session session(const std::string& name, int threads) {
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(threads);
    so.SetInterOpNumThreads(1);
    so.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_DISABLE_ALL);
    le::registerGridSampleFast(so);
    return Ort::Session(le::ort::env(), model(name).c_str(), so);
  }

  static le::test::TempDir* dir_;
};
le::test::TempDir* CustomOps::dir_ = nullptr;

struct Feed {
  std::vector<float> x, grid;
  std::array<int64_t, 4> xs, gs;
};

std::vector<float> runOn(Ort::Session& s, Feed& r) {
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::AllocatorWithDefaultOptions alloc;
  const std::string in0 = s.GetInputNameAllocated(0, alloc).get();
  const std::string in1 = s.GetInputNameAllocated(1, alloc).get();
  Ort::Value inputs[2] = {
      Ort::Value::CreateTensor<float>(mem, r.x.data(), r.x.size(), r.xs.data(), 4),
      Ort::Value::CreateTensor<float>(mem, r.grid.data(), r.grid.size(), r.gs.data(), 4)};
  const char* inNames[2] = {in0.c_str(), in1.c_str()};
  const char* outNames[1] = {"Y"};
  auto out = s.Run(Ort::RunOptions{nullptr}, inNames, inputs, 2, outNames, 1);
  const float* y = out[0].GetTensorData<float>();
  return std::vector<float>(y, y + out[0].GetTensorTypeAndShapeInfo().GetElementCount());
}

Feed randomRun(int64_t N, int64_t C, int64_t H, int64_t W, float lo, float hi, uint32_t seed) {
  Feed r;
  r.xs = {N, C, H, W};
  r.gs = {N, H, W, 2};
  r.x = randomFloats(static_cast<size_t>(N * C * H * W), -1, 1, seed);
  r.grid = randomFloats(static_cast<size_t>(N * H * W * 2), lo, hi, seed + 1);
  return r;
}

// The message of the failed run, or "" when it ran.
std::string runError(Ort::Session& s, Feed& r) {
  try {
    runOn(s, r);
  } catch (const Ort::Exception& e) {
    return e.what();
  }
  return "";
}

struct Shape {
  int64_t N, C, H, W;
  float lo, hi;
};

TEST_F(CustomOps, GridSampleFastEqualsOnnxruntimeGridSample) {
  for (int threads : {1, 2}) {
    Ort::Session fast = session("gridsample_fast.onnx", threads);
    Ort::Session ref = session("gridsample.onnx", threads);
    // 37 and 33 rows leave a short last band; the wide grids reach far past
    // every border.
    for (const Shape k : {Shape{1, 3, 37, 29, -1.2f, 1.2f}, Shape{2, 5, 16, 16, -40, 40},
                          Shape{1, 1, 1, 1, -3, 3}, Shape{1, 2, 1, 9, -2, 2}, Shape{3, 4, 33, 17, -1.1f, 1.1f},
                          Shape{1, 32, 20, 20, -1e5f, 1e5f}}) {
      Feed r = randomRun(k.N, k.C, k.H, k.W, k.lo, k.hi, static_cast<uint32_t>(k.H * 31 + k.W));
      const auto got = runOn(fast, r);
      EXPECT_LT(maxRelError(got, runOn(ref, r)), kRoundOff) << k.N << "x" << k.C << "x" << k.H << "x" << k.W;
      EXPECT_LT(maxRelError(got, le::test::refGridSample(r.x, r.grid, int(k.N), int(k.C), int(k.H), int(k.W))), kRoundOff);
    }
  }
}

// Beyond the 32-bit range onnxruntime's own kernel is not a reference; the
// rule in double precision is.
TEST_F(CustomOps, GridSampleFastBeyondThe32BitRangeSamplesTheBorder) {
  Ort::Session fast = session("gridsample_fast.onnx", 2);
  Feed r = randomRun(2, 3, 18, 7, -1, 1, 40);
  const float far[] = {3.3e9f, -3.3e9f, 2.2e10f, -1e30f, 1e30f, 4.2e9f};
  for (size_t i = 0; i < r.grid.size(); ++i) r.grid[i] = far[i % 6] * (i % 5 == 0 ? 1.f : 0.5f);
  EXPECT_LT(maxRelError(runOn(fast, r), le::test::refGridSample(r.x, r.grid, 2, 3, 18, 7)), kRoundOff);
}

TEST_F(CustomOps, WarpDirectorEqualsTheBlockItReplaces) {
  for (int threads : {1, 2}) {
    Ort::Session node = session("warp_director.onnx", threads);
    Ort::Session block = session("warp_block.onnx", threads);
    for (const Shape k : {Shape{1, 3, 40, 33, -1.05f, 1.05f}, Shape{2, 3, 17, 19, -3, 3},
                          Shape{1, 3, 2, 2, -1.5f, 1.5f}, Shape{1, 3, 1, 5, -2, 2},
                          Shape{1, 3, 64, 48, -1.2f, 1.2f}}) {
      Feed r = randomRun(k.N, k.C, k.H, k.W, k.lo, k.hi, static_cast<uint32_t>(k.H * 7 + k.W));
      const auto got = runOn(node, r);
      EXPECT_LT(maxRelError(got, runOn(block, r)), kRoundOff) << k.N << "x" << k.H << "x" << k.W;
      EXPECT_LT(maxRelError(got, le::test::refWarpDirector(r.x, r.grid, int(k.N), int(k.H), int(k.W))), kRoundOff);
    }
  }
}

TEST_F(CustomOps, WarpDirectorReturnsAConstantImageUnchanged) {
  Ort::Session node = session("warp_director.onnx", 2);
  Feed r = randomRun(1, 3, 35, 24, -1.4f, 1.4f, 50);
  for (size_t i = 0; i < r.x.size(); ++i) r.x[i] = 0.25f + 0.25f * static_cast<float>(i / (35 * 24));
  const auto y = runOn(node, r);
  for (size_t i = 0; i < y.size(); ++i) ASSERT_NEAR(y[i], r.x[i], 1e-6f) << i;
}

TEST_F(CustomOps, WarpDirectorRefusesAnythingButThreeChannels) {
  Ort::Session node = session("warp_director.onnx", 1);
  Feed r = randomRun(1, 4, 8, 8, -1, 1, 60);
  EXPECT_NE(runError(node, r).find(
                "com.quillfin::WarpDirector: this node warps the director's 3-channel source and the graph "
                "handed it C=4. REFUSING rather than writing a frame nobody asked for."),
            std::string::npos)
      << runError(node, r);
}

TEST_F(CustomOps, GridsThatDoNotFitTheInputFailTheRun) {
  for (const char* name : {"gridsample_fast.onnx", "warp_director.onnx"}) {
    Ort::Session s = session(name, 2);
    const std::array<int64_t, 4> bad[] = {{2, 6, 5, 2}, {1, 5, 5, 2}, {1, 6, 4, 2}, {1, 6, 5, 3}};
    for (const auto& gs : bad) {
      Feed r = randomRun(1, 3, 6, 5, -1, 1, 70);
      r.gs = gs;
      // Enough grid data for any of the shapes: the check, not the buffer,
      // must stop the run.
      r.grid.assign(static_cast<size_t>(gs[0] * gs[1] * gs[2] * gs[3]), 0.f);
      const std::string err = runError(s, r);
      EXPECT_NE(err.find("grid [" + std::to_string(gs[0]) + "," + std::to_string(gs[1])), std::string::npos)
          << name << ": " << err;
      EXPECT_NE(err.find("expected [1,6,5,2]"), std::string::npos) << err;
    }
    // An empty input is refused before anything is read.
    Feed r = randomRun(1, 3, 6, 5, -1, 1, 71);
    r.xs = {1, 3, 0, 5};
    r.gs = {1, 0, 5, 2};
    r.x.clear();
    r.grid.clear();
    EXPECT_NE(runError(s, r).find("has a dimension outside 1.."), std::string::npos) << runError(s, r);
  }
}

// Both registrations on one set of options, and sessions created on two
// threads at once, still give working sessions.
TEST_F(CustomOps, ConcurrentSessionsShareTheDomain) {
  Feed r = randomRun(1, 3, 20, 20, -1.1f, 1.1f, 80);
  const auto want = le::test::refWarpDirector(r.x, r.grid, 1, 20, 20);
  std::vector<float> got[2];
  std::string errs[2];
  auto work = [&](int i) {
    try {
      Ort::SessionOptions so;
      so.SetIntraOpNumThreads(1);
      le::registerWarpDirector(so);
      if (i == 1) le::registerGridSampleFast(so);
      Ort::Session s(le::ort::env(), model("warp_director.onnx").c_str(), so);
      Feed mine = r;
      got[i] = runOn(s, mine);
    } catch (const std::exception& e) {
      errs[i] = e.what();
    }
  };
  std::thread a(work, 0), b(work, 1);
  a.join();
  b.join();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(errs[i], "");
    EXPECT_LT(maxRelError(got[i], want), kRoundOff);
  }
}

}  // namespace
