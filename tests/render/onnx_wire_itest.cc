// The wire codec against models written by the python onnx package: what the
// readers see must be what onnx reports in the fixture's sidecar, an empty
// rebuild must reproduce the file, the writers must encode exactly as onnx
// does, and an edited rebuild must load in onnx with the edit applied.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cstdlib>
#include <map>
#include <sstream>
#include <stdexcept>

#include "le/render/onnx_model.h"
#include "le/render/onnx_wire.h"
#include "testkit/testkit.h"

namespace {

using le::GsBytes;
using le::GsField;
using le::GsReader;
using le::GsSlice;
using le::test::TempDir;

std::string tok(const std::string& s) { return s == "~" ? "" : s; }

struct Tensor {
  std::vector<int64_t> dims;
  std::vector<float> values;
};

struct NodeInfo {
  std::string op, domain, name;
  std::vector<std::string> inputs, outputs;
  std::vector<std::vector<std::string>> attrs;  // name, kind, values...
  bool operator==(const NodeInfo&) const = default;
};

struct Described {
  std::vector<std::pair<std::string, int64_t>> opsets;
  std::vector<std::pair<std::string, std::string>> meta;
  std::vector<std::string> inputs, outputs, valueInfo;
  std::map<std::string, std::pair<int32_t, std::vector<int64_t>>> inputDims;
  std::vector<NodeInfo> nodes;
  std::map<int, Tensor> consts;
  std::map<std::string, Tensor> inits;
};

std::string hexOf(float f) {
  char b[64];
  std::snprintf(b, sizeof b, "%a", static_cast<double>(f));
  return b;
}

Tensor readTensor(std::istringstream& in) {
  Tensor t;
  size_t rank, count;
  in >> rank;
  t.dims.resize(rank);
  for (auto& d : t.dims) in >> d;
  in >> count;
  for (size_t i = 0; i < count; ++i) {
    std::string hex;
    in >> hex;
    t.values.push_back(static_cast<float>(std::strtod(hex.c_str(), nullptr)));
  }
  return t;
}

Described parseSidecar(const std::string& text) {
  Described d;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream in(line);
    std::string kind, a, b;
    in >> kind;
    if (kind == "opset") {
      int64_t v;
      in >> a >> v;
      d.opsets.emplace_back(tok(a), v);
    } else if (kind == "meta") {
      in >> a >> b;
      d.meta.emplace_back(tok(a), tok(b));
    } else if (kind == "input") {
      int32_t elem;
      size_t rank;
      in >> a >> elem >> rank;
      std::vector<int64_t> dims(rank);
      for (auto& x : dims) in >> x;
      d.inputs.push_back(tok(a));
      d.inputDims[tok(a)] = {elem, dims};
    } else if (kind == "output") {
      in >> a;
      d.outputs.push_back(tok(a));
    } else if (kind == "value_info") {
      in >> a;
      d.valueInfo.push_back(tok(a));
    } else if (kind == "node") {
      NodeInfo n;
      int idx;
      size_t k;
      in >> idx >> n.op >> n.domain >> n.name >> a >> k;
      n.domain = tok(n.domain);
      n.name = tok(n.name);
      n.inputs.resize(k);
      for (auto& x : n.inputs) in >> x, x = tok(x);
      in >> a >> k;
      n.outputs.resize(k);
      for (auto& x : n.outputs) in >> x, x = tok(x);
      d.nodes.push_back(n);
    } else if (kind == "attr") {
      int idx;
      std::vector<std::string> attr;
      in >> idx;
      while (in >> a) attr.push_back(a);
      if (attr.size() >= 2 && attr[1] == "s") attr[2] = tok(attr.at(2));
      // Same value, C's spelling of the hex float.
      if (attr.size() >= 2 && attr[1] == "f")
        attr[2] = hexOf(static_cast<float>(std::strtod(attr.at(2).c_str(), nullptr)));
      d.nodes.at(idx).attrs.push_back(attr);
    } else if (kind == "const") {
      int idx;
      in >> idx;
      d.consts[idx] = readTensor(in);
    } else if (kind == "init") {
      int32_t type;
      in >> a >> type;
      d.inits[tok(a)] = readTensor(in);
    }
  }
  return d;
}

// The same description, read with the library's codec.
struct Seen {
  Described d;
  std::vector<GsSlice> nodeRaw, nodeBody;
  std::map<std::string, GsSlice> initRaw, fieldRaw;  // fieldRaw: "11:name", "13:name"
};

std::vector<std::string> attrOf(GsSlice a) {
  std::string name, kind;
  std::vector<std::string> vals;
  GsReader r(a);
  GsField f;
  while (r.next(f)) {
    if (f.number == 1) name = std::string(f.payload.str());
    else if (f.number == 2 && f.wire == 5) {
      float v;
      std::memcpy(&v, f.raw.p + f.raw.n - 4, 4);
      kind = "f", vals = {hexOf(v)};
    } else if (f.number == 3) kind = "i", vals = {std::to_string(static_cast<int64_t>(f.value))};
    else if (f.number == 4) kind = "s", vals = {std::string(f.payload.str())};
    else if (f.number == 5) kind = "t";
    else if (f.number == 8) {
      if (kind != "ints") kind = "ints", vals = {"0"};
      vals.push_back(std::to_string(static_cast<int64_t>(f.value)));
      vals[0] = std::to_string(vals.size() - 1);
    }
  }
  std::vector<std::string> out{name, kind};
  out.insert(out.end(), vals.begin(), vals.end());
  return out;
}

Seen readWithCodec(const GsBytes& model) {
  Seen s;
  GsReader top(model);
  GsField f;
  while (top.next(f)) {
    if (f.number == 8) {
      s.d.opsets.emplace_back(le::gsFirstStr(f.payload, 1), [&] {
        GsReader r(f.payload);
        GsField g;
        while (r.next(g))
          if (g.number == 2) return static_cast<int64_t>(g.value);
        return int64_t{-1};
      }());
    } else if (f.number == 14) {
      s.d.meta.emplace_back(le::gsFirstStr(f.payload, 1), le::gsFirstStr(f.payload, 2));
    }
  }
  const GsSlice graph = le::gsGraphOf(model);
  GsReader r(graph);
  while (r.next(f)) {
    // Only these fields are messages carrying a name (the graph name, field
    // 2, is plain text).
    const bool named = f.number == 5 || (f.number >= 11 && f.number <= 13);
    const std::string name = named ? le::gsFirstStr(f.payload, f.number == 5 ? 8 : 1) : "";
    if (f.number == 1) {
      NodeInfo n;
      le::gsAllStr(f.payload, 1, n.inputs);
      le::gsAllStr(f.payload, 2, n.outputs);
      n.name = le::gsFirstStr(f.payload, 3);
      n.op = le::gsFirstStr(f.payload, 4);
      n.domain = le::gsFirstStr(f.payload, 7);
      GsReader ar(f.payload);
      GsField af;
      while (ar.next(af))
        if (af.number == 5) n.attrs.push_back(attrOf(af.payload));
      if (const GsSlice t = le::hcConstValue(f.payload); !t.empty()) {
        Tensor c;
        le::hcTensorDims(t, c.dims);
        if (le::hcTensorFloats(t, c.values)) s.d.consts[static_cast<int>(s.d.nodes.size())] = c;
      }
      s.d.nodes.push_back(n);
      s.nodeRaw.push_back(f.raw);
      s.nodeBody.push_back(f.payload);
    } else if (f.number == 5) {
      Tensor t;
      le::hcTensorDims(f.payload, t.dims);
      if (le::hcTensorFloats(f.payload, t.values)) s.d.inits[name] = t;
      s.initRaw[name] = f.raw;
    } else if (f.number == 11) {
      s.d.inputs.push_back(name);
      std::vector<int64_t> dims;
      int32_t elem = 0;
      EXPECT_TRUE(le::ldInputDims(graph, name, dims, &elem)) << name;
      s.d.inputDims[name] = {elem, dims};
      s.fieldRaw["11:" + name] = f.raw;
    } else if (f.number == 12) {
      s.d.outputs.push_back(name);
    } else if (f.number == 13) {
      s.d.valueInfo.push_back(name);
      s.fieldRaw["13:" + name] = f.raw;
    }
  }
  return s;
}

void expectSame(const Described& want, const Described& got) {
  EXPECT_EQ(want.opsets, got.opsets);
  EXPECT_EQ(want.meta, got.meta);
  EXPECT_EQ(want.inputs, got.inputs);
  EXPECT_EQ(want.outputs, got.outputs);
  EXPECT_EQ(want.valueInfo, got.valueInfo);
  EXPECT_EQ(want.inputDims, got.inputDims);
  ASSERT_EQ(want.nodes.size(), got.nodes.size());
  for (size_t i = 0; i < want.nodes.size(); ++i) EXPECT_EQ(want.nodes[i], got.nodes[i]) << "node " << i;
  ASSERT_EQ(want.consts.size(), got.consts.size());
  for (const auto& [k, t] : want.consts) {
    EXPECT_EQ(t.dims, got.consts.at(k).dims);
    EXPECT_EQ(t.values, got.consts.at(k).values);
  }
  ASSERT_EQ(want.inits.size(), got.inits.size());
  for (const auto& [k, t] : want.inits) {
    ASSERT_TRUE(got.inits.count(k)) << k;
    EXPECT_EQ(t.dims, got.inits.at(k).dims) << k;
    EXPECT_EQ(t.values, got.inits.at(k).values) << k;
  }
}

GsBytes load(const std::string& path) {
  const std::string s = le::test::readFile(path);
  return GsBytes(s.begin(), s.end());
}

GsBytes asBytes(GsSlice s) { return GsBytes(s.p, s.p + s.n); }

class FixtureModels : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    ASSERT_EQ(le::test::runFixture({"model", "--out", dir_->path()}), 0);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string path(const std::string& rel) { return *dir_ / rel; }
  static inline TempDir* dir_ = nullptr;
  static constexpr const char* kModels[] = {"convnet", "constants", "hoist"};
};

TEST_F(FixtureModels, ReadersSeeWhatOnnxReports) {
  for (const char* m : kModels) {
    SCOPED_TRACE(m);
    const GsBytes model = load(path(std::string(m) + ".onnx"));
    const Described want = parseSidecar(le::test::readFile(path(std::string(m) + ".expect")));
    ASSERT_FALSE(want.nodes.empty());
    expectSame(want, readWithCodec(model).d);
  }
}

TEST_F(FixtureModels, EmptyRebuildIsByteIdentical) {
  for (const char* m : kModels) {
    const GsBytes model = load(path(std::string(m) + ".onnx"));
    GsBytes out;
    le::gsRebuild(model, {}, out);
    EXPECT_EQ(out, model) << m;
  }
}

TEST_F(FixtureModels, ResizeAttributesAndInitializerTable) {
  const GsBytes constants = load(path("constants.onnx"));
  const Seen s = readWithCodec(constants);
  const le::HcAttrs a = le::hcReadAttrs(s.nodeBody.at(2));
  EXPECT_EQ(a.mode, "cubic");
  EXPECT_EQ(a.coordinateTransformationMode, "half_pixel");
  EXPECT_EQ(a.keepAspectRatioPolicy, "stretch");
  EXPECT_EQ(a.cubicCoeffA, -0.5f);
  EXPECT_EQ(a.excludeOutside, 0);
  EXPECT_EQ(a.antialias, 0);
  EXPECT_EQ(a.axes, (std::vector<int64_t>{0, 1, 2, 3}));
  EXPECT_FALSE(le::hcReadAttrs(s.nodeBody.at(4)).mode);

  const le::OnnxModel conv = le::OnnxModel::parse(load(path("convnet.onnx")));
  const Described want = parseSidecar(le::test::readFile(path("convnet.expect")));
  ASSERT_EQ(conv.initializers().size(), want.inits.size());
  for (const auto& [name, t] : want.inits) {
    EXPECT_EQ(conv.get(name).dims, t.dims) << name;
    EXPECT_EQ(conv.get(name).values, t.values) << name;
  }
  // The hoist fixture carries an int64 initializer the fp32 loader refuses.
  try {
    le::OnnxModel::parse(load(path("hoist.onnx")));
    FAIL() << "int64 initializer accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "onnx: non-fp32 initializer unused_i64");
  }
}

// Nodes with only int, string and ints attributes, raw_data initializers and
// fully static value infos are encoded by onnx exactly as the writers do.
TEST_F(FixtureModels, WritersEncodeAsOnnxDoes) {
  int nodes = 0, inits = 0, infos = 0;
  for (const char* m : kModels) {
    SCOPED_TRACE(m);
    const GsBytes model = load(path(std::string(m) + ".onnx"));
    const Described want = parseSidecar(le::test::readFile(path(std::string(m) + ".expect")));
    const Seen s = readWithCodec(model);
    for (size_t k = 0; k < want.nodes.size(); ++k) {
      const NodeInfo& n = want.nodes[k];
      bool plain = n.outputs.size() == 1 && n.domain.empty();
      GsBytes attrs;
      for (const auto& a : n.attrs) {
        if (a[1] == "i") {
          le::hcAttrI(attrs, a[0], std::stoll(a[2]));
        } else if (a[1] == "s") {
          le::hcAttrS(attrs, a[0], a[2]);
        } else if (a[1] == "ints") {
          std::vector<int64_t> v;
          for (size_t i = 3; i < a.size(); ++i) v.push_back(std::stoll(a[i]));
          le::hcAttrIs(attrs, a[0], v.data(), v.size());
        } else {
          plain = false;
        }
      }
      if (!plain) continue;
      GsBytes out;
      le::hcNode(out, n.op, n.inputs, n.outputs[0], n.name, attrs);
      EXPECT_EQ(out, asBytes(s.nodeRaw[k])) << n.name;
      ++nodes;
    }
    for (const auto& [name, t] : want.inits) {
      bool hasRaw = false;
      GsReader r(le::hcPayload(s.initRaw.at(name)));
      GsField f;
      while (r.next(f)) hasRaw |= f.number == 9;
      if (!hasRaw) continue;
      GsBytes out;
      le::hcInit(out, name, 1, t.dims, t.values.data(), t.values.size() * 4);
      EXPECT_EQ(out, asBytes(s.initRaw.at(name))) << name;
      ++inits;
    }
    for (const auto& [key, raw] : s.fieldRaw) {
      const std::string name = key.substr(3);
      // Read any value info's dims by presenting it as a graph input.
      const GsSlice body = le::hcPayload(raw);
      GsBytes asInput;
      le::gsPutBytes(asInput, 11, body.p, body.n);
      std::vector<int64_t> dims;
      ASSERT_TRUE(le::ldInputDims(asInput, name, dims));
      bool staticDims = true;
      for (int64_t d : dims) staticDims &= d > 0;
      if (!staticDims) continue;
      GsBytes out;
      le::gsPutTensorValueInfo(out, static_cast<uint32_t>(std::stoi(key.substr(0, 2))), name, dims.data(),
                               dims.size());
      EXPECT_EQ(out, asBytes(raw)) << key;
      ++infos;
    }
  }
  // Enough of each kind was compared for the test to mean something.
  EXPECT_GE(nodes, 6);
  EXPECT_GE(inits, 2);
  EXPECT_GE(infos, 5);
}

TEST_F(FixtureModels, EditedRebuildLoadsInOnnx) {
  const GsBytes model = load(path("hoist.onnx"));
  le::GsGraphEdit e;
  e.dropNode = {false, false, true};  // the GridSample
  e.keepOnlyPrgbInput = true;
  e.dropOutputs = true;
  e.valueInfo = le::GsValueInfo{"scaled", {}, 4, 12};
  GsBytes out;
  le::gsRebuild(model, e, out);
  le::test::writeFile(path("edited.onnx"), std::string(out.begin(), out.end()));
  ASSERT_EQ(le::test::runFixture({"model", "--describe", path("edited.onnx"), "--out",
                                  path("edited.expect")}),
            0);
  const Described got = parseSidecar(le::test::readFile(path("edited.expect")));
  Described want = parseSidecar(le::test::readFile(path("hoist.expect")));
  want.inputs = {"P_rgb"};
  want.inputDims = {{"P_rgb", want.inputDims.at("P_rgb")}};
  want.outputs = {"scaled"};
  want.valueInfo = {"cat"};
  want.nodes.erase(want.nodes.begin() + 2);
  expectSame(want, got);
  // The new output's dims are all named.
  EXPECT_EQ(le::test::countOf(std::string(out.begin(), out.end()), "le_hoist_d3"), 1);
}

}  // namespace
