// The com.quillfin operators inside real onnxruntime sessions against the
// rules in double precision (the standard graphs they replace are compared in
// the rewrites' tests), and their refusals of inputs they cannot serve.
#include <gtest/gtest.h>

#include "render/rewrite_runner.h"
#include "render/warp_reference.h"

namespace le::test {
namespace {

const TempDir& models() {
  static TempDir dir;
  static const int rc = runFixture({"ops", "--out", dir.path()});
  EXPECT_EQ(rc, 0);
  return dir;
}

Ort::Session session(const std::string& name, int threads) { return sessionOf(readModel(models() / name), threads); }

struct Feed {
  std::array<int64_t, 4> xs, gs;
  std::vector<float> x, grid;
};

Feed randomFeed(int64_t N, int64_t C, int64_t H, int64_t W, float range, uint32_t seed) {
  return {{N, C, H, W}, {N, H, W, 2}, randomFloats(size_t(N * C * H * W), -1, 1, seed),
          randomFloats(size_t(N * H * W * 2), -range, range, seed + 1)};
}

std::vector<float> runOn(Ort::Session& s, const Feed& r) {
  Ort::AllocatorWithDefaultOptions alloc;
  Feeds feeds(0);
  feeds.set(s.GetInputNameAllocated(0, alloc).get(), {r.xs.begin(), r.xs.end()}, r.x);
  feeds.set(s.GetInputNameAllocated(1, alloc).get(), {r.gs.begin(), r.gs.end()}, r.grid);
  return runAll(s, feeds).at("Y").second;
}

// Each operator against the rule, batched, on one and two threads; 37 and 33
// rows leave a short last band. Far and non-finite grids are the bands' own
// sweep (CustomOpBands): here the node hands them its tensors.
TEST(CustomOps, EachOperatorEqualsTheRule) {
  const std::pair<const char*, std::vector<std::array<int64_t, 4>>> ops[] = {  // {model, N C H W shapes}
      {"gridsample_fast.onnx", {{1, 3, 37, 29}, {2, 5, 16, 16}, {1, 1, 1, 1}, {1, 2, 1, 9}, {3, 4, 33, 17}, {1, 32, 20, 20}}},
      {"warp_director.onnx", {{1, 3, 40, 33}, {2, 3, 17, 19}, {1, 3, 2, 2}, {1, 3, 1, 5}, {1, 3, 64, 48}}}};
  for (const auto& [name, shapes] : ops)
    for (int threads : {1, 2}) {
      const bool warp = name == std::string("warp_director.onnx");
      Ort::Session op = session(name, threads);
      for (const auto& [N, C, H, W] : shapes)
        for (float range : {1.2f, warp ? 3.f : 40.f}) {
          SCOPED_TRACE(std::string(name) + " " + std::to_string(N) + "x" + std::to_string(C) + "x" + std::to_string(H) + "x" + std::to_string(W));
          const Feed r = randomFeed(N, C, H, W, range, uint32_t(H * 31 + W));
          EXPECT_LT(maxRelError(runOn(op, r), warp ? refWarpDirector(r.x, r.grid, int(N), int(H), int(W))
                                             : refGridSample(r.x, r.grid, int(N), int(C), int(H), int(W))), kRoundOff);
        }
    }
}

TEST(CustomOps, InputsTheyCannotServeFailTheRun) {
  Ort::Session warp = session("warp_director.onnx", 1);
  EXPECT_EQ(countOf(errorOf([&] { runOn(warp, randomFeed(1, 4, 8, 8, 1, 60)); }),
                    "com.quillfin::WarpDirector: this node warps the director's 3-channel source and the graph handed it C=4. "
                    "REFUSING rather than writing a frame nobody asked for."), 1);
  for (const char* name : {"gridsample_fast.onnx", "warp_director.onnx"}) {
    Ort::Session s = session(name, 2);
    for (const std::array<int64_t, 4>& gs : {std::array<int64_t, 4>{2, 6, 5, 2}, {1, 5, 5, 2}, {1, 6, 4, 2}, {1, 6, 5, 3}}) {
      Feed r = randomFeed(1, 3, 6, 5, 1, 70);
      // Enough grid data for any of the shapes: the check, not the buffer, stops the run.
      r.gs = gs;
      r.grid.assign(size_t(gs[0] * gs[1] * gs[2] * gs[3]), 0.f);
      const std::string err = errorOf([&] { runOn(s, r); });
      EXPECT_NE(err.find("grid [" + std::to_string(gs[0]) + "," + std::to_string(gs[1])), std::string::npos) << name << ": " << err;
      EXPECT_NE(err.find("expected [1,6,5,2]"), std::string::npos) << err;
    }
    // An empty input is refused before anything is read.
    EXPECT_EQ(countOf(errorOf([&] { runOn(s, {{1, 3, 0, 5}, {1, 0, 5, 2}, {}, {}}); }), "has a dimension outside 1.."), 1) << name;
  }
}

}  // namespace
}  // namespace le::test
