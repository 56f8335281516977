// Int8ConvVNNI inside onnxruntime sessions (models written by the python onnx
// package): every fixture case against onnxruntime's own float Conv of the
// dequantised operands, absent attributes against the reference with Conv's
// defaults, the refusal matrices of inputs and attributes naming the node,
// registration from several threads.

#include <fstream>
#include <functional>
#include <numeric>
#include <sstream>

#include "render/int8_reference.h"
#include "render/rewrite_runner.h"

namespace le::test {
namespace {

const TempDir& models() {
  static TempDir dir;
  static const int rc = runFixture({"int8", "--out", dir.path()});
  EXPECT_EQ(rc, 0);
  return dir;
}

Ort::Session session(const std::string& name, int threads = 1) { return sessionOf(readModel(models() / name), threads); }

struct Tensor {
  std::vector<int64_t> shape;
  std::vector<float> f;
  std::vector<int8_t> i8;
};

Tensor floats(std::vector<int64_t> shape, const std::vector<float>& v) { return {std::move(shape), v, {}}; }
Tensor int8s(std::vector<int64_t> shape, const std::vector<int8_t>& v) { return {std::move(shape), {}, v}; }

// Runs a session on the given inputs (in its input order) and returns output 0.
std::vector<float> run(Ort::Session& s, std::vector<Tensor> in) {
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::AllocatorWithDefaultOptions alloc;
  std::vector<std::string> names;
  std::vector<const char*> cnames;
  std::vector<Ort::Value> values;
  for (size_t i = 0; i < in.size(); ++i) {
    names.push_back(s.GetInputNameAllocated(i, alloc).get());
    Tensor& t = in[i];
    values.push_back(t.i8.empty() ? Ort::Value::CreateTensor<float>(mem, t.f.data(), t.f.size(), t.shape.data(), t.shape.size())
                                  : Ort::Value::CreateTensor<int8_t>(mem, t.i8.data(), t.i8.size(), t.shape.data(), t.shape.size()));
  }
  for (const std::string& n : names) cnames.push_back(n.c_str());
  const char* outName = "y";
  auto out = s.Run(Ort::RunOptions{nullptr}, cnames.data(), values.data(), values.size(), &outName, 1);
  const float* y = out[0].GetTensorData<float>();
  return std::vector<float>(y, y + out[0].GetTensorTypeAndShapeInfo().GetElementCount());
}

// onnxruntime's float Conv of the dequantised input (the model <name>_float)
// against got: it sums up to 117 float products in its own order, ~1e-6 of the
// largest output; a wrong tap is off by a whole product (~1e-2).
void expectFloatConvOf(const std::string& name, const std::vector<int64_t>& shape, const std::vector<float>& input,
                       const std::vector<float>& got) {
  Ort::Session ref = session(name + "_float.onnx");
  const std::vector<double> x = dequantised(input);
  const std::vector<float> want = run(ref, {floats(shape, std::vector<float>(x.begin(), x.end()))});
  ASSERT_EQ(got.size(), want.size());
  float scale = 0;
  for (float v : want) scale = std::max(scale, std::fabs(v));
  for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], 1e-5f * scale) << i;
}

TEST(Int8Op, EveryCaseEqualsOnnxruntimeFloatConvOfTheDequantisedOperands) {
  std::ifstream list(models() / "cases.txt");
  uint32_t cases = 0;
  for (std::string line; std::getline(list, line); ++cases) {
    std::istringstream fields(line);  // name N C H W M, then the attributes the models carry
    std::string name;
    int64_t n, c, h, w, m;
    fields >> name >> n >> c >> h >> w >> m;
    SCOPED_TRACE(name);
    Ort::Session op = session(name + "_int8.onnx", 1 + int(cases % 2));
    // Every third input all positive (zero point 0).
    const Int8Data d = int8Data({n, c, h, w, m, 1, 1, 1}, cases % 3 ? -1.5f : 0.25f, 2.5f, cases + 1);
    const std::vector<float> got = run(op, {floats({n, c, h, w}, d.x)});
    EXPECT_EQ(run(op, {floats({n, c, h, w}, d.x)}), got);  // the packed weights serve every run
    expectFloatConvOf(name, {n, c, h, w}, d.x, got);
  }
  EXPECT_EQ(cases, 20u);
}

TEST(Int8Op, AbsentAttributesTakeConvDefaults) {
  Ort::Session s = session("loose_defaults.onnx");
  const Int8Case k{1, 2, 5, 5, 3, 3, 3, 1};  // stride 1, no pads, dilation 1, group 1
  const Int8Data d = int8Data(k, -1, 1, 6);
  const std::vector<float> got = run(s, {floats(k.xShape(), d.x), int8s(k.wShape(), d.w), floats({k.m}, d.scale), floats({k.m}, d.bias)});
  expectInt8Near(got, int8Reference(k, dequantised(d.x), d), "defaults");
}

TEST(Int8Op, MisfitInputsAndBadAttributesFailNamingTheNode) {
  Ort::Session loose = session("loose.onnx");
  // The shape rules themselves are Int8Conv.RefusalMatrix's; here each input
  // reaches them from its own tensor: operands of the given shapes, whose
  // values no rule reads.
  auto shaped = [](std::vector<int64_t> x, std::vector<int64_t> w, int64_t scales, int64_t biases) {
    auto count = [](const std::vector<int64_t>& s) { return size_t(std::accumulate(s.begin(), s.end(), int64_t{1}, std::multiplies<>())); };
    return std::vector<Tensor>{floats(x, std::vector<float>(count(x), 0.5f)), int8s(w, std::vector<int8_t>(count(w), 3)),
                               floats({scales}, std::vector<float>(size_t(scales), 0.01f)),
                               floats({biases}, std::vector<float>(size_t(biases), 0.5f))};
  };
  const std::vector<int64_t> x{1, 4, 6, 6}, w{3, 4, 3, 3};
  const std::tuple<std::vector<int64_t>, std::vector<int64_t>, int64_t, int64_t, const char*> inputs[] = {  // {x, w, scales, biases}
      {x, w, 3, 3, "(no error)"},
      {x, w, 3, 2, "Int8ConvVNNI node \"loose\" (inputs x, w, w_scale, b): input 3 (bias) has 2 values"},
      {x, w, 4, 3, "input 2 (weight scales)"},
      {x, {2, 4, 3, 3}, 2, 2, "packed copy"},  // the first good run packed 3 x 4 x 3 x 3
      {{1, 4, 6}, w, 3, 3, ""}};               // rank 3: onnxruntime's own refusal
  for (const auto& [xs, ws, scales, biases, says] : inputs) {
    const std::string e = errorOf([&] { run(loose, shaped(xs, ws, scales, biases)); });
    EXPECT_TRUE(e.find(says) != std::string::npos && (*says || e != "(no error)")) << says << ": " << e;
  }

  const std::pair<const char*, const char*> attrs[] = {
      {"bad_strides.onnx", "\"strides\" [0, 1] must be >= 1"},   {"bad_dilations.onnx", "\"dilations\" [1, 0] must be >= 1"},
      {"bad_pads.onnx", "\"pads\" [0, -1, 0, 0] must be >= 0"}, {"bad_group.onnx", "\"group\" 0 must be >= 1"},
      {"bad_rank.onnx", "\"strides\" must hold 2 values"}};
  for (const auto& [name, says] : attrs) {
    const std::string e = errorOf([&] { session(name); });
    EXPECT_NE(e.find(says), std::string::npos) << name << ": " << e;
  }
  // A node without its bias never reaches the kernel's loops.
  std::vector<Tensor> noBias = shaped(x, w, 3, 3);
  noBias.pop_back();
  EXPECT_NE(errorOf([&] {
    Ort::Session s = session("no_bias.onnx");
    run(s, noBias);
  }), "(no error)");
}

// Each thread builds its own options: sessions made at once must share one
// domain (onnxruntime refuses a second domain of the same name made
// meanwhile, though not every time).
TEST(Int8Op, RegistersOnceFromManyThreads) {
  std::vector<float> results[4];
  const Int8Data d = int8Data({1, 8, 6, 7, 1, 1, 1, 1}, -1, 1, 9);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      try {
        Ort::SessionOptions so;
        registerInt8ConvVNNI(so);
        registerInt8ConvVNNI(so);  // twice on one options object is harmless
        Ort::Session s(ort::env(), (models() / "wide_int8.onnx").c_str(), so);
        results[t] = run(s, {floats({1, 8, 6, 7}, d.x)});
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
      }
    });
  for (std::thread& th : threads) th.join();
  expectFloatConvOf("wide", {1, 8, 6, 7}, d.x, results[0]);
  for (int t = 1; t < 4; ++t) EXPECT_EQ(results[t], results[0]);
}

}  // namespace
}  // namespace le::test
