// Graph rebuild under each edit rule, and the fp32 initializer table.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "le/render/onnx_model.h"
#include "le/render/onnx_wire.h"
#include "render/wire_bytes.h"

namespace {

using le::GsBytes;

using le::test::cat;
using le::test::lenField;
using le::test::str;
using le::test::varintField;

GsBytes fixedField(uint32_t number, int wire, size_t n) {
  GsBytes out;
  le::gsPutVarint(out, (uint64_t{number} << 3) | wire);
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(0xa0 + i));
  return out;
}

GsBytes node(const char* op, const char* in, const char* out) {
  GsBytes g;
  le::hcNode(g, op, {in}, out, std::string("/") + op, {});
  return g;
}

GsBytes valueInfo(uint32_t number, const char* name) {
  GsBytes g;
  const int64_t dims[] = {1, 3};
  le::gsPutTensorValueInfo(g, number, name, dims, 2);
  return g;
}

GsBytes floatBytes(std::initializer_list<float> v) {
  GsBytes out(v.size() * 4);
  std::memcpy(out.data(), v.begin(), out.size());
  return out;
}

GsBytes init(const char* name, const GsBytes& data) {
  GsBytes g;
  le::hcInit(g, name, 1, {static_cast<int64_t>(data.size() / 4)}, data.data(), data.size());
  return g;
}

// One graph with every kind of field, nodes not contiguous, and fields the
// codec does not know (graph name, doc string, sparse initializer, a fixed32).
struct Parts {
  GsBytes n0 = node("Relu", "P_rgb", "a"), n1 = node("Neg", "a", "b"), n2 = node("Abs", "b", "c");
  GsBytes gname = lenField(2, str("g"));
  GsBytes ini = init("w", floatBytes({1.f, 2.f}));
  GsBytes inP = valueInfo(11, "P_rgb"), inK = valueInfo(11, "kp");
  GsBytes out = valueInfo(12, "c");
  GsBytes vA = valueInfo(13, "a"), vB = valueInfo(13, "b");
  GsBytes sparse = lenField(15, str("opaque-sparse"));
  GsBytes doc = lenField(10, str("doc"));
  GsBytes odd = fixedField(21, 5, 4);

  GsBytes graph(std::initializer_list<GsBytes> fields) const { return lenField(7, cat(fields)); }
  GsBytes fullGraph() const {
    return graph({n0, gname, ini, inP, n1, inK, out, vA, vB, sparse, doc, n2, odd});
  }
  // Top-level fields on both sides of the graph.
  GsBytes model(const GsBytes& g) const {
    return cat({varintField(1, 8), lenField(8, cat({lenField(1, str("")), varintField(2, 17)})),
                lenField(2, str("lefix")), g,
                lenField(14, cat({lenField(1, str("k")), lenField(2, str("v"))})),
                fixedField(99, 1, 8)});
  }
};

TEST(GsRebuild, EmptyEditReproducesTheModel) {
  Parts p;
  const GsBytes model = p.model(p.fullGraph());
  GsBytes out{1, 2, 3};
  le::gsRebuild(model, {}, out);
  EXPECT_EQ(out, model);
  // No graph at all: every field copied, nothing appended.
  const GsBytes bare = p.model({});
  le::GsGraphEdit add;
  add.valueInfo = le::GsValueInfo{"x", {}, 4, 12};
  le::gsRebuild(bare, add, out);
  EXPECT_EQ(out, bare);
}

TEST(GsRebuild, DropsNodesOutputsAndReplacedValueInfoInPlace) {
  Parts p;
  const GsBytes model = p.model(p.fullGraph());
  le::GsGraphEdit e;
  e.dropNode = {false, true};  // node 2 lies past the list: kept
  e.dropOutputs = true;
  e.valueInfo = le::GsValueInfo{"a", {}, 4, 12};
  GsBytes out;
  le::gsRebuild(model, e, out);
  GsBytes appended;
  le::gsPutTensorValueInfo(appended, 12, "a", nullptr, 4);
  EXPECT_EQ(out, p.model(p.graph({p.n0, p.gname, p.ini, p.inP, p.inK, p.vB, p.sparse, p.doc, p.n2,
                                  p.odd, appended})));

  // Static dims as a new input, rebuilt in place over its own source buffer.
  le::GsGraphEdit e2;
  e2.dropNode = {true, true, true};
  e2.valueInfo = le::GsValueInfo{"b", {2, 5}, 2, 11};
  GsBytes inplace = model;
  le::gsRebuild(inplace, e2, inplace);
  GsBytes asInput;
  const int64_t dims[] = {2, 5};
  le::gsPutTensorValueInfo(asInput, 11, "b", dims, 2);
  EXPECT_EQ(inplace, p.model(p.graph({p.gname, p.ini, p.inP, p.inK, p.out, p.vA, p.sparse, p.doc,
                                      p.odd, asInput})));
}

TEST(GsRebuild, SourceInputRules) {
  Parts p;
  const GsBytes model = p.model(p.fullGraph());
  struct Case {
    bool keepOnly, dropP;
    std::vector<std::string> inputs;
  } cases[] = {{false, false, {"P_rgb", "kp"}},
               {false, true, {"kp"}},
               {true, false, {"P_rgb"}},
               {true, true, {}}};
  for (const Case& c : cases) {
    le::GsGraphEdit e;
    e.keepOnlyPrgbInput = c.keepOnly;
    e.dropPrgbInput = c.dropP;
    GsBytes out;
    le::gsRebuild(model, e, out);
    std::vector<std::string> inputs;
    le::GsReader r(le::gsGraphOf(out));
    le::GsField f;
    while (r.next(f))
      if (f.number == 11) inputs.push_back(le::gsFirstStr(f.payload, 1));
    EXPECT_EQ(inputs, c.inputs) << c.keepOnly << c.dropP;
  }
}

TEST(GsRebuild, OnlyTheFirstGraphIsEdited) {
  Parts p;
  // A varint field 7 is not a graph; a second graph field is copied as is.
  const GsBytes second = p.graph({p.n0});
  const GsBytes model = cat({varintField(7, 1), p.graph({p.n0, p.n1}), second});
  le::GsGraphEdit e;
  e.dropNode = {true};
  GsBytes out;
  le::gsRebuild(model, e, out);
  EXPECT_EQ(out, cat({varintField(7, 1), p.graph({p.n1}), second}));
}

TEST(GsRebuild, FailuresLeaveTheOutputAlone) {
  Parts p;
  GsBytes model = p.model(p.fullGraph());
  GsBytes truncated(model.begin(), model.end() - 3);
  GsBytes out{9};
  EXPECT_THROW(le::gsRebuild(truncated, {}, out), std::runtime_error);
  EXPECT_EQ(out, GsBytes{9});
  // A broken field inside the graph is found while rebuilding it.
  GsBytes badGraph = cat({varintField(1, 8), lenField(7, {0x0b, 0x00})});
  EXPECT_THROW(le::gsRebuild(badGraph, {}, out), std::runtime_error);
  EXPECT_EQ(out, GsBytes{9});
  le::GsGraphEdit e;
  e.valueInfo = le::GsValueInfo{"x", {1, 2, 3}, 4, 12};
  EXPECT_THROW(le::gsRebuild(model, e, out), std::invalid_argument);
}

// --- initializer table ---------------------------------------------------

GsBytes tensor(std::initializer_list<GsBytes> fields) { return lenField(5, cat(fields)); }

GsBytes modelOf(std::initializer_list<GsBytes> inits) {
  return lenField(7, cat(inits));
}

std::string parseError(const GsBytes& model) {
  try {
    le::OnnxModel::parse(model);
    return "ok";
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

TEST(OnnxModel, ReadsRawAndFloatData) {
  GsBytes packed = floatBytes({3.f, 4.f});
  const GsBytes model = cat({varintField(1, 8), modelOf({
      init("r", floatBytes({1.f, 2.f})),
      tensor({varintField(1, 1), varintField(1, 3), varintField(2, 1), lenField(8, str("f")),
              lenField(4, packed), fixedField(4, 5, 4)}),
      tensor({varintField(2, 1), lenField(8, str("s")), lenField(9, floatBytes({9.f}))}),
  })});
  const le::OnnxModel m = le::OnnxModel::parse(model);
  ASSERT_EQ(m.initializers().size(), 3u);
  EXPECT_EQ(m.get("r").values, (std::vector<float>{1.f, 2.f}));
  EXPECT_EQ(m.get("r").dims, (std::vector<int64_t>{2}));
  const le::OnnxInit& f = m.get("f");
  EXPECT_EQ(f.dims, (std::vector<int64_t>{1, 3}));
  ASSERT_EQ(f.values.size(), 3u);
  EXPECT_EQ(f.values[1], 4.f);
  EXPECT_TRUE(m.get("s").dims.empty());  // a scalar holds one value
  EXPECT_EQ(m.get("s").values, std::vector<float>{9.f});
  EXPECT_EQ(m.find("nope"), nullptr);
  try {
    m.get("nope");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "onnx: missing initializer nope");
  }
  EXPECT_TRUE(le::OnnxModel::parse(varintField(1, 8)).initializers().empty());
}

TEST(OnnxModel, RefusesWhatItCannotServe) {
  const GsBytes f = varintField(2, 1);
  EXPECT_EQ(parseError(modelOf({tensor({varintField(1, 2), varintField(2, 10), lenField(8, str("h")),
                                        lenField(9, GsBytes(4))})})),
            "onnx: non-fp32 initializer h");
  EXPECT_EQ(parseError(modelOf({tensor({varintField(1, 2), lenField(8, str("u")),
                                        lenField(9, GsBytes(8))})})),
            "onnx: non-fp32 initializer u");
  EXPECT_EQ(parseError(modelOf({tensor({varintField(1, 3), f, lenField(8, str("w")),
                                        lenField(9, floatBytes({1.f, 2.f}))})})),
            "onnx: raw size mismatch w");
  // A partial float, a negative dim, a product past 64 bits: never a match.
  EXPECT_EQ(parseError(modelOf({tensor({varintField(1, 1), f, lenField(8, str("p")),
                                        lenField(9, GsBytes(5))})})),
            "onnx: raw size mismatch p");
  EXPECT_EQ(parseError(modelOf({tensor({varintField(1, uint64_t(-1)), f, lenField(8, str("n")),
                                        lenField(9, GsBytes(4))})})),
            "onnx: raw size mismatch n");
  EXPECT_EQ(parseError(modelOf({tensor({varintField(1, uint64_t{1} << 32), varintField(1, uint64_t{1} << 32),
                                        f, lenField(8, str("o")), lenField(9, GsBytes())})})),
            "onnx: raw size mismatch o");
  EXPECT_EQ(parseError(modelOf({tensor({varintField(1, 2), f, lenField(8, str("e"))})})),
            "onnx: no data for e");
  EXPECT_EQ(parseError(modelOf({tensor({varintField(1, 2), f, lenField(8, str("c")),
                                        lenField(4, floatBytes({1.f, 2.f, 3.f}))})})),
            "onnx: float_data size mismatch c");
  EXPECT_EQ(parseError(modelOf({init("d", floatBytes({1.f})), init("d", floatBytes({2.f}))})),
            "onnx: duplicate initializer d");
  EXPECT_EQ(parseError(modelOf({init("ok", floatBytes({1.f})), {0x2a, 0x05}})), "onnx: truncated");
}

}  // namespace
