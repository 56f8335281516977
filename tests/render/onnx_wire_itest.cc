// The wire codec against models written by the python onnx package: the
// codec's description of a model is the one onnx gives (models.py describe),
// an empty rebuild reproduces the file, the writers encode exactly as onnx
// does, and an edited rebuild loads in onnx with the edit applied.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "le/render/onnx_model.h"
#include "le/render/onnx_wire.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using test::readFile;

std::string tok(std::string_view s) { return s.empty() ? "~" : std::string(s); }
std::string bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  char b[9];
  std::snprintf(b, sizeof b, "%08x", u);
  return b;
}
template <class T>
std::string join(const std::vector<T>& v, bool count = true) {
  std::string s = count ? " " + std::to_string(v.size()) : "";
  for (const auto& x : v) {
    if constexpr (std::is_same_v<T, float>) s += " " + bits(x);
    else if constexpr (std::is_same_v<T, std::string>) s += " " + tok(x);
    else s += " " + std::to_string(x);
  }
  return s;
}
std::string tensorLine(GsSlice t) {  // RANK DIM... COUNT BITS..., or "" when not FLOAT
  std::vector<int64_t> dims;
  std::vector<float> v;
  hcTensorDims(t, dims);
  return hcTensorFloats(t, v) ? join(dims) + join(v) : "";
}

// The sidecar text of a model read with the codec, in models.py's order; and
// how many nodes, initializers and value infos the writers re-encoded to the
// very bytes onnx wrote.
struct Seen {
  std::string text;
  int nodes = 0, inits = 0, infos = 0, mismatches = 0;
};

Seen describe(const GsBytes& model) {
  Seen s;
  std::map<int, std::string> groups;  // 0 opset, 1 meta, 2 input, 3 output, 4 value_info, 5 node, 6 init
  GsReader top(model);
  for (GsField f; top.next(f);) {
    if (f.number == 8) {
      PbReader r(f.payload);
      uint64_t version = 0;
      for (PbField g; r.next(g);) version = g.number == 2 ? g.value : version;
      groups[0] += "opset " + tok(gsFirstStr(f.payload, 1)) + " " + std::to_string(version) + "\n";
    } else if (f.number == 14) {
      groups[1] += "meta " + tok(gsFirstStr(f.payload, 1)) + " " + tok(gsFirstStr(f.payload, 2)) + "\n";
    }
  }
  const GsSlice graph = gsGraphOf(model);
  GsReader r(graph);
  int index = 0;
  for (GsField f; r.next(f);) {
    if (f.number == 1) {  // a node
      std::vector<std::string> in, out;
      gsAllStr(f.payload, 1, in);
      gsAllStr(f.payload, 2, out);
      const std::string op = gsFirstStr(f.payload, 4), name = gsFirstStr(f.payload, 3), domain = gsFirstStr(f.payload, 7);
      std::string lines = "node " + std::to_string(index) + " " + op + " " + tok(domain) + " " + tok(name) + " in" + join(in) + " out" + join(out) + "\n";
      GsBytes attrs;
      bool plain = out.size() == 1 && domain.empty();
      GsReader ar(f.payload);
      for (GsField a; ar.next(a);) {
        if (a.number != 5) continue;
        const std::string an = gsFirstStr(a.payload, 1);
        uint64_t type = 0, i = 0;
        float fv = 0;
        std::vector<int64_t> ints;
        std::string sv;
        PbReader pr(a.payload);
        GsReader fr(a.payload);
        for (GsField g; fr.next(g);) {
          if (g.number == 20) type = g.value;
          if (g.number == 3) i = g.value;
          if (g.number == 2 && g.wire == 5) std::memcpy(&fv, g.raw.p + g.raw.n - 4, 4);
          if (g.number == 4) sv = std::string(g.payload.str());
          if (g.number == 8) ints.push_back(int64_t(g.value));
        }
        const std::string head = "attr " + std::to_string(index) + " " + an;
        if (type == 1) lines += head + " f " + bits(fv) + "\n", plain = false;
        if (type == 2) lines += head + " i " + std::to_string(int64_t(i)) + "\n", hcAttrI(attrs, an, int64_t(i));
        if (type == 3) lines += head + " s " + tok(sv) + "\n", hcAttrS(attrs, an, sv);
        if (type == 7) lines += head + " ints" + join(ints) + "\n", hcAttrIs(attrs, an, ints.data(), ints.size());
        if (type == 4) {
          lines += head + " t\n", plain = false;
          if (const std::string t = op == "Constant" && an == "value" ? tensorLine(hcConstValue(f.payload)) : ""; !t.empty())
            lines += "const " + std::to_string(index) + t + "\n";
        }
        if (type != 2 && type != 3 && type != 7) plain = false;
      }
      groups[5] += lines;
      if (plain) {
        GsBytes again;
        hcNode(again, op, in, out[0], name, attrs);
        s.nodes += 1, s.mismatches += again != GsBytes(f.raw.p, f.raw.p + f.raw.n);
      }
      ++index;
    } else if (f.number == 5) {  // an initializer
      const std::string name = gsFirstStr(f.payload, 8), t = tensorLine(f.payload);
      if (t.empty()) continue;
      groups[6] += "init " + tok(name) + " 1" + t + "\n";
      std::vector<int64_t> dims;
      std::vector<float> v;
      hcTensorDims(f.payload, dims), hcTensorFloats(f.payload, v);
      bool raw = false;
      GsReader tr(f.payload);
      for (GsField g; tr.next(g);) raw |= g.number == 9;
      GsBytes again;
      hcInit(again, name, 1, dims, v.data(), v.size() * 4);
      if (raw) s.inits += 1, s.mismatches += again != GsBytes(f.raw.p, f.raw.p + f.raw.n);
    } else if (f.number >= 11 && f.number <= 13) {  // inputs, outputs, value infos
      const std::string name = gsFirstStr(f.payload, 1);
      GsBytes asInput;  // any value info read as a graph input
      gsPutBytes(asInput, 11, f.payload.p, f.payload.n);
      std::vector<int64_t> dims;
      int32_t elem = 0;
      ldInputDims(asInput, name, dims, &elem);
      if (f.number == 11) groups[2] += "input " + tok(name) + " " + std::to_string(elem) + join(dims) + "\n";
      else groups[f.number == 12 ? 3 : 4] += (f.number == 12 ? "output " : "value_info ") + tok(name) + "\n";
      if (!dims.empty() && std::all_of(dims.begin(), dims.end(), [](int64_t d) { return d > 0; })) {
        GsBytes again;
        gsPutTensorValueInfo(again, f.number, name, dims.data(), dims.size());
        s.infos += 1, s.mismatches += again != GsBytes(f.raw.p, f.raw.p + f.raw.n);
      }
    }
  }
  for (const auto& [k, lines] : groups) s.text += lines;
  return s;
}

class FixtureModels : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir;
    ASSERT_EQ(test::runFixture({"model", "--out", dir_->path()}), 0);
  }
  static void TearDownTestSuite() { delete dir_; }
  static std::string path(const std::string& rel) { return *dir_ / rel; }
  static GsBytes load(const std::string& rel) {
    const std::string s = readFile(path(rel));
    return GsBytes(s.begin(), s.end());
  }
  static inline test::TempDir* dir_ = nullptr;
};

TEST_F(FixtureModels, CodecSeesWhatOnnxReportsAndEncodesAsItDoes) {
  int nodes = 0, inits = 0, infos = 0;
  for (const std::string m : {"convnet", "constants", "hoist"}) {
    const GsBytes model = load(m + ".onnx");
    const Seen s = describe(model);
    EXPECT_EQ(s.text, readFile(path(m + ".expect"))) << m;
    EXPECT_EQ(s.mismatches, 0) << m;
    nodes += s.nodes, inits += s.inits, infos += s.infos;
    GsBytes out;
    gsRebuild(model, {}, out);
    EXPECT_EQ(out, model) << m;  // an empty rebuild is byte-identical
  }
  EXPECT_TRUE(nodes >= 6 && inits >= 2 && infos >= 5) << nodes << " " << inits << " " << infos;  // enough compared
  const OnnxModel conv = OnnxModel::parse(load("convnet.onnx"));
  EXPECT_EQ(std::make_pair(conv.get("w1").dims, conv.get("b1").values.size()), std::make_pair(std::vector<int64_t>{4, 3, 3, 3}, size_t(4)));
  EXPECT_EQ(test::errorOf([&] { OnnxModel::parse(load("hoist.onnx")); }), "onnx: non-fp32 initializer unused_i64");
  const GsBytes constants = load("constants.onnx");  // onnx's own encoding of every Resize attribute
  GsReader r(gsGraphOf(constants));
  for (GsField f; r.next(f);)
    if (f.number == 1 && gsFirstStr(f.payload, 4) == "Resize") {
      const HcAttrs a = hcReadAttrs(f.payload);
      EXPECT_EQ(std::make_tuple(*a.mode, *a.coordinateTransformationMode, *a.keepAspectRatioPolicy, a.cubicCoeffA,
                                *a.excludeOutside, *a.antialias, *a.axes),
                std::make_tuple(std::string("cubic"), std::string("half_pixel"), std::string("stretch"), -0.5f, int64_t(0),
                                int64_t(0), std::vector<int64_t>{0, 1, 2, 3}));
    }
}

TEST_F(FixtureModels, EditedRebuildLoadsInOnnx) {
  GsGraphEdit e;
  e.dropNode = {false, false, true};  // the GridSample
  e.keepOnlyPrgbInput = true;
  e.dropOutputs = true;
  e.valueInfo = GsValueInfo{"scaled", {}, 4, 12};
  GsBytes out;
  gsRebuild(load("hoist.onnx"), e, out);
  test::writeFile(path("edited.onnx"), std::string(out.begin(), out.end()));
  ASSERT_EQ(test::runFixture({"model", "--describe", path("edited.onnx"), "--out", path("edited.expect")}), 0);
  const std::string edited = readFile(path("edited.expect"));
  EXPECT_EQ(describe(out).text, edited);
  EXPECT_NE(edited.find("output scaled\n"), std::string::npos) << edited;
  EXPECT_EQ(test::countOf(edited, "\ninput ") + test::countOf(edited, "GridSample"), 1) << edited;
  EXPECT_EQ(test::countOf(std::string(out.begin(), out.end()), "le_hoist_d3"), 1);  // the new output's dims are named
}

}  // namespace
}  // namespace le
