// Int8ConvVNNI inside onnxruntime sessions, against onnxruntime's own float
// Conv of the dequantised input with the dequantised weights (models written
// by the python onnx package), its refusals of misfit inputs and attributes,
// and its registration from several threads at once.
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "le/render/le_int8_conv.h"
#include "le/render/onnx_wire.h"
#include "le/runtime/ort_env.h"
#include "testkit/testkit.h"

namespace {

class Int8Op : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new le::test::TempDir;
    ASSERT_EQ(le::test::runFixture({"int8", "--out", dir_->path()}), 0);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string model(const std::string& name) { return *dir_ / name; }

  static Ort::Session session(const std::string& name, int threads = 1) {
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(threads);
    so.SetInterOpNumThreads(1);
    le::registerInt8ConvVNNI(so);
    return Ort::Session(le::ort::env(), model(name).c_str(), so);
  }

  static le::test::TempDir* dir_;
};
le::test::TempDir* Int8Op::dir_ = nullptr;

struct Tensor {
  std::vector<int64_t> shape;
  std::vector<float> f;
  std::vector<int8_t> i8;
  size_t count() const {
    size_t n = 1;
    for (int64_t d : shape) n *= static_cast<size_t>(d);
    return n;
  }
};

Tensor floats(std::vector<int64_t> shape, float lo, float hi, uint32_t seed) {
  Tensor t{std::move(shape), {}, {}};
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(lo, hi);
  t.f.resize(t.count());
  for (float& v : t.f) v = u(rng);
  return t;
}

Tensor int8s(std::vector<int64_t> shape) {
  Tensor t{std::move(shape), {}, {}};
  t.i8.resize(t.count());
  for (size_t i = 0; i < t.i8.size(); ++i) t.i8[i] = static_cast<int8_t>(static_cast<int>(i * 37 % 255) - 127);
  return t;
}

// Runs a session on the given inputs (in its input order) and returns output 0.
std::vector<float> run(Ort::Session& s, std::vector<Tensor>& in) {
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::AllocatorWithDefaultOptions alloc;
  std::vector<std::string> names;
  std::vector<const char*> cnames;
  std::vector<Ort::Value> values;
  for (size_t i = 0; i < in.size(); ++i) {
    names.push_back(s.GetInputNameAllocated(i, alloc).get());
    Tensor& t = in[i];
    if (!t.i8.empty())
      values.push_back(Ort::Value::CreateTensor<int8_t>(mem, t.i8.data(), t.i8.size(), t.shape.data(), t.shape.size()));
    else
      values.push_back(Ort::Value::CreateTensor<float>(mem, t.f.data(), t.f.size(), t.shape.data(), t.shape.size()));
  }
  for (const std::string& n : names) cnames.push_back(n.c_str());
  const char* outName = "y";
  auto out = s.Run(Ort::RunOptions{nullptr}, cnames.data(), values.data(), values.size(), &outName, 1);
  const float* y = out[0].GetTensorData<float>();
  return std::vector<float>(y, y + out[0].GetTensorTypeAndShapeInfo().GetElementCount());
}

std::string runError(Ort::Session& s, std::vector<Tensor> in) {
  try {
    run(s, in);
  } catch (const Ort::Exception& e) {
    return e.what();
  }
  return "";
}

// The input after quantisation: range including 0, 255 steps, zero point and
// values rounded to nearest, ties to even.
std::vector<float> dequantised(const std::vector<float>& x) {
  float lo = 0, hi = 0;
  for (float v : x) {
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  float sx = (hi - lo) / 255.0f;
  float zp = sx > 0 ? std::nearbyint(-lo / sx) : std::nearbyint(-lo);
  if (!(sx > 0)) sx = 1;
  zp = std::clamp(zp, 0.0f, 255.0f);
  std::vector<float> out(x.size());
  for (size_t i = 0; i < x.size(); ++i)
    out[i] = (std::clamp(zp + std::nearbyint(x[i] / sx), 0.0f, 255.0f) - zp) * sx;
  return out;
}

struct Case {
  std::string name;
  int64_t n, c, h, w, m;
};

std::vector<Case> readCases(const std::string& path) {
  std::vector<Case> out;
  std::ifstream f(path);
  std::string line;
  while (std::getline(f, line)) {
    std::istringstream s(line);
    Case k;
    s >> k.name >> k.n >> k.c >> k.h >> k.w >> k.m;
    if (s) out.push_back(k);
  }
  return out;
}

TEST_F(Int8Op, EqualsOnnxruntimeFloatConvOfTheDequantisedOperands) {
  const std::vector<Case> cases = readCases(model("cases.txt"));
  ASSERT_EQ(cases.size(), 20u);
  uint32_t seed = 1;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Ort::Session op = session(k.name + "_int8.onnx");
    Ort::Session ref = session(k.name + "_float.onnx");
    std::vector<Tensor> in{floats({k.n, k.c, k.h, k.w}, -1.5f, 2.5f, seed++)};
    const std::vector<float> got = run(op, in);
    in[0].f = dequantised(in[0].f);
    const std::vector<float> want = run(ref, in);
    ASSERT_EQ(got.size(), want.size());
    // onnxruntime sums up to 117 float products in its own order: ~1e-6 of
    // the largest output; a wrong tap is off by a whole product (~1e-2).
    float scale = 0;
    for (float v : want) scale = std::max(scale, std::fabs(v));
    for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], 1e-5f * scale) << i;
  }
}

TEST_F(Int8Op, AllZeroInputGivesTheBiasAndRunsRepeat) {
  Ort::Session op = session("g1_s1_p1_d1_int8.onnx", 2);
  Ort::Session ref = session("g1_s1_p1_d1_float.onnx");
  std::vector<Tensor> zero{floats({1, 13, 11, 13}, 0, 0, 1)};
  const std::vector<float> y = run(op, zero);
  EXPECT_EQ(y, run(ref, zero));  // float Conv of zeros: exactly the bias
  // All-positive inputs, run twice on one session: the packed weights serve
  // every run.
  std::vector<Tensor> pos{floats({2, 13, 11, 13}, 0.25f, 3.0f, 2)};
  const std::vector<float> first = run(op, pos);
  EXPECT_EQ(first, run(op, pos));
  std::vector<Tensor> deq = pos;
  deq[0].f = dequantised(pos[0].f);
  const std::vector<float> want = run(ref, deq);
  for (size_t i = 0; i < first.size(); ++i) ASSERT_NEAR(first[i], want[i], 1e-4f) << i;
}

TEST_F(Int8Op, MisfitInputsFailTheRunNamingTheNode) {
  Ort::Session s = session("loose.onnx");
  auto feed = [](std::vector<int64_t> x, std::vector<int64_t> w, int64_t scales, int64_t biases) {
    return std::vector<Tensor>{floats(x, -1, 1, 3), int8s(w), floats({scales}, 0.01f, 0.02f, 4),
                               floats({biases}, -1, 1, 5)};
  };
  EXPECT_EQ(runError(s, feed({1, 4, 6, 6}, {3, 4, 3, 3}, 3, 3)), "");
  const std::string bias = runError(s, feed({1, 4, 6, 6}, {3, 4, 3, 3}, 3, 2));
  EXPECT_NE(bias.find("Int8ConvVNNI node \"loose\" (inputs x, w, w_scale, b)"), std::string::npos) << bias;
  EXPECT_NE(bias.find("input 3 (bias) has 2 values"), std::string::npos) << bias;
  EXPECT_NE(runError(s, feed({1, 4, 6, 6}, {3, 4, 3, 3}, 4, 3)).find("input 2 (weight scales)"), std::string::npos);
  EXPECT_NE(runError(s, feed({1, 5, 6, 6}, {3, 4, 3, 3}, 3, 3)).find("input channels per group"), std::string::npos);
  // The graph declares rank 4, so onnxruntime itself refuses this one.
  EXPECT_NE(runError(s, feed({1, 4, 6}, {3, 4, 3, 3}, 3, 3)), "");
  EXPECT_NE(runError(s, feed({1, 4, 2, 2}, {3, 4, 7, 3}, 3, 3)).find("output height would be empty"),
            std::string::npos);
  // The first good run packed 3 x 4 x 3 x 3 weights; other weights are refused.
  EXPECT_NE(runError(s, feed({1, 4, 6, 6}, {2, 4, 3, 3}, 2, 2)).find("packed copy"), std::string::npos);

  Ort::Session g2 = session("loose_g2.onnx");
  EXPECT_NE(runError(g2, feed({1, 5, 6, 6}, {4, 2, 3, 3}, 4, 4)).find("does not divide the 5 channels"),
            std::string::npos);
  EXPECT_NE(runError(g2, feed({1, 4, 6, 6}, {3, 2, 3, 3}, 3, 3)).find("does not divide the 3 output"),
            std::string::npos);
}

TEST_F(Int8Op, AbsentAttributesTakeConvDefaults) {
  Ort::Session s = session("loose_defaults.onnx");
  std::vector<Tensor> in{floats({1, 2, 5, 5}, -1, 1, 6), int8s({3, 2, 3, 3}), floats({3}, 0.01f, 0.02f, 7),
                         floats({3}, -1, 1, 8)};
  EXPECT_EQ(run(s, in).size(), 3u * 3u * 3u);  // stride 1, no pads: 5 - 3 + 1
}

TEST_F(Int8Op, BadAttributesFailTheSession) {
  auto creation = [&](const std::string& name) {
    try {
      session(name);
    } catch (const Ort::Exception& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  for (const auto& [name, text] : std::vector<std::pair<std::string, std::string>>{
           {"bad_strides.onnx", "\"strides\" [0, 1] must be >= 1"},
           {"bad_dilations.onnx", "\"dilations\" [1, 0] must be >= 1"},
           {"bad_pads.onnx", "\"pads\" [0, -1, 0, 0] must be >= 0"},
           {"bad_group.onnx", "\"group\" 0 must be >= 1"},
           {"bad_rank.onnx", "\"strides\" must hold 2 values"}}) {
    const std::string e = creation(name);
    EXPECT_NE(e.find(text), std::string::npos) << name << ": " << e;
  }
  // A node without its bias never reaches the kernel's loops.
  std::string e = creation("no_bias.onnx");
  if (e.empty()) {
    Ort::Session s = session("no_bias.onnx");
    e = runError(s, {floats({1, 2, 5, 5}, -1, 1, 6), int8s({3, 2, 3, 3}), floats({3}, 0.01f, 0.02f, 7)});
  }
  EXPECT_FALSE(e.empty());
}

// Director graphs carrying these nodes pass through the load-time rewrite;
// an unedited rebuild must keep every byte (int8 initializers included).
TEST_F(Int8Op, UneditedRebuildKeepsEveryByte) {
  for (const std::string name : {"g1_s2_p1_d2_int8", "dw_s1_p0_d1_int8", "asym_int8", "loose", "no_bias"}) {
    const std::string bytes = le::test::readFile(model(name + ".onnx"));
    const le::GsBytes in(bytes.begin(), bytes.end());
    le::GsBytes out;
    le::gsRebuild(le::GsSlice{in.data(), in.size()}, {}, out);
    EXPECT_EQ(out, in) << name;
  }
}

TEST_F(Int8Op, RegistersOnceFromManyThreads) {
  std::vector<float> results[4];
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      try {
        Ort::SessionOptions so;
        le::registerInt8ConvVNNI(so);
        le::registerInt8ConvVNNI(so);  // twice on one options object is harmless
        Ort::Session s(le::ort::env(), model("wide_int8.onnx").c_str(), so);
        std::vector<Tensor> in{floats({1, 8, 6, 7}, -1, 1, 9)};
        results[t] = run(s, in);
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
      }
    });
  for (std::thread& th : threads) th.join();
  ASSERT_FALSE(results[0].empty());
  for (int t = 1; t < 4; ++t) EXPECT_EQ(results[t], results[0]);
}

}  // namespace
