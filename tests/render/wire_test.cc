// The ONNX wire codec on hand-made bytes: field reader limits, message
// readers, writers, graph rebuild, the fp32 initializer table; the rewrites'
// refusals of graphs no director carries; the source-cone predictor and the
// custom operator domain.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "le/render/le_custom_ops.h"
#include "le/render/onnx_model.h"
#include "le/render/rewrites.h"
#include "le/render/source_cone.h"
#include "testkit/testkit.h"

namespace le {
namespace {

using test::errorOf;

// Hand-made protobuf wire bytes.
GsBytes cat(std::initializer_list<GsBytes> parts) {
  GsBytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
GsBytes str(std::string_view s) { return GsBytes(s.begin(), s.end()); }
GsBytes lenField(uint32_t number, const GsBytes& payload) {
  GsBytes out;
  gsPutBytes(out, number, payload.data(), payload.size());
  return out;
}
GsBytes varint(uint64_t v) {
  GsBytes out;
  gsPutVarint(out, v);
  return out;
}
GsBytes fixed(uint32_t number, int wire, const GsBytes& payload) {  // wire 0, 1 or 5
  return cat({varint((uint64_t{number} << 3) | uint64_t(wire)), payload});
}
GsBytes varintField(uint32_t number, uint64_t v) { return fixed(number, 0, varint(v)); }

GsBytes bytes(std::initializer_list<int> v) { return GsBytes(v.begin(), v.end()); }
GsBytes floats(std::initializer_list<float> v) {
  GsBytes out(v.size() * 4);
  std::memcpy(out.data(), v.begin(), out.size());
  return out;
}
GsBytes attr(std::initializer_list<GsBytes> fields) { return lenField(5, cat(fields)); }

// Every field of b, or the error text.
std::string readAll(const GsBytes& b, std::vector<GsField>* fields = nullptr) {
  return errorOf([&] {
    GsReader r(b);
    GsField f;
    while (r.next(f))
      if (fields) fields->push_back(f);
  });
}

TEST(GsReader, LimitsOfVarintsLengthsWiresAndNumbers) {
  const uint8_t ff = 0xff, x80 = 0x80;
  const GsBytes topNumber = cat({varint(((uint64_t{1} << 29) - 1) << 3), {0}}), bigNumber = cat({varint(uint64_t{1} << 32), {0}}),
                wrapNumber = cat({varint((((uint64_t{1} << 32) + 7) << 3) | 2), {0}});  // would truncate to 7
  const std::string ok = "(no error)", bad = "onnx: bad varint", cut = "onnx: truncated",
                    wire = "onnx: bad wire type", number = "onnx: bad field number";
  const std::pair<GsBytes, std::string> cases[] = {
      {bytes({0x08, ff, ff, ff, ff, ff, ff, ff, ff, ff, 0x01}), ok},  // ten bytes carry 64 bits
      {bytes({0x08, ff, ff, ff, ff, ff, ff, ff, ff, ff, 0x81, 0x01}), bad},
      {bytes({0x08, x80}), bad}, {bytes({0x08}), bad}, {bytes({x80}), bad}, {bytes({0x0a, ff}), bad},
      {bytes({0x0a, ff, ff, ff, ff, ff, ff, ff, ff, ff, 0x01, 1, 2}), cut},         // lengths of 2^64 - 1,
      {bytes({0x0a, x80, x80, x80, x80, x80, x80, x80, x80, x80, 0x01, 1}), cut},  // 2^63,
      {bytes({0x0a, 0x03, 1, 2}), cut},                                             // one past the end
      {bytes({0x09, 1, 2, 3, 4, 5, 6, 7}), cut}, {bytes({0x0d, 1, 2, 3}), cut},
      {bytes({0x0b, 0}), wire}, {bytes({0x0c, 0}), wire}, {bytes({0x0e, 0}), wire}, {bytes({0x0f, 0}), wire},
      {bytes({0x00, 0x01}), number}, {topNumber, ok}, {bigNumber, number}, {wrapNumber, number}};
  for (const auto& [b, want] : cases) {
    EXPECT_EQ(readAll(b), want) << testing::PrintToString(b);
    PbReader pb(b);
    PbField f;
    EXPECT_EQ(errorOf([&] { while (pb.next(f)) {} }), want);  // the same rules without raw slices
  }
  for (uint64_t v : {uint64_t{0}, uint64_t{127}, uint64_t{128}, uint64_t{300}, uint64_t{1} << 63, ~uint64_t{0}}) {
    std::vector<GsField> fs;
    ASSERT_EQ(readAll(varintField(3, v), &fs), "(no error)");
    EXPECT_EQ(std::make_tuple(fs.at(0).number, fs[0].value), std::make_tuple(3u, v));
  }
  // Zero copy: payload and raw slices point into the buffer; fixed fields.
  const GsBytes exact = bytes({0x0a, 0x02, 1, 2, 0x10, 0x05, 0x09, 1, 2, 3, 4, 5, 6, 7, 8, 0x0d, 1, 2, 3, 4});
  std::vector<GsField> fs;
  ASSERT_EQ(readAll(exact, &fs), "(no error)");
  ASSERT_EQ(fs.size(), 4u);
  EXPECT_EQ(std::make_tuple(fs[0].payload.p, fs[0].payload.n, fs[0].raw.p, fs[0].raw.n),
            std::make_tuple(exact.data() + 2, size_t(2), exact.data(), size_t(4)));
  EXPECT_EQ(std::make_tuple(fs[1].raw.p, fs[1].value, fs[2].wire, fs[2].raw.n, fs[3].wire, fs[3].raw.n),
            std::make_tuple(exact.data() + 4, uint64_t(5), 1u, size_t(9), 5u, size_t(5)));
  EXPECT_EQ(varint(300), bytes({0xac, 0x02}));
}

TEST(GsReaders, GraphStringsTensorsConstantsAndResizeAttributes) {
  EXPECT_TRUE(gsGraphOf(cat({varintField(1, 8), lenField(2, str("lefix"))})).empty());
  const GsBytes model = cat({varintField(7, 3), lenField(7, str("AB")), lenField(7, str("CD"))});
  EXPECT_EQ(gsGraphOf(model).p, model.data() + 4);  // the first length-delimited field 7
  GsBytes graph, attrs;
  hcAttrI(attrs, "axis", 1);
  hcNode(graph, "Resize", {"x", "", "scales"}, "y", "/r", attrs);
  const GsSlice node = hcPayload(graph);
  std::vector<std::string> in{"stale"};
  gsAllStr(node, 1, in);
  EXPECT_EQ(in, (std::vector<std::string>{"x", "", "scales"}));
  EXPECT_EQ((std::vector<std::string>{gsFirstStr(node, 2), gsFirstStr(node, 3), gsFirstStr(node, 4), gsFirstStr(node, 7)}),
            (std::vector<std::string>{"y", "/r", "Resize", ""}));
  EXPECT_TRUE(hcPayload(varintField(1, 5)).empty() && hcPayload(GsBytes{}).empty());
  // {tensor fields, read, values}: raw_data wins over float_data wherever it
  // is; a trailing partial float is dropped; packed and unpacked float_data in
  // file order; only FLOAT is data.
  const GsBytes f32 = varintField(2, 1);
  GsBytes six = floats({3.f});
  six.insert(six.end(), {1, 2});
  const std::tuple<GsBytes, bool, std::vector<float>> tensors[] = {
      {cat({lenField(4, floats({7.f})), f32, lenField(9, floats({1.f, 2.f}))}), true, {1.f, 2.f}},
      {cat({f32, lenField(9, six)}), true, {3.f}},
      {cat({f32, lenField(9, bytes({1, 2, 3})), lenField(4, floats({7.f}))}), false, {}},
      {cat({fixed(4, 5, floats({0.5f})), lenField(4, floats({1.5f, -2.f})), f32, fixed(4, 5, floats({4.f}))}), true,
       {0.5f, 1.5f, -2.f, 4.f}},
      {cat({varintField(2, 11), lenField(9, floats({1.f, 2.f}))}), false, {}},
      {lenField(9, floats({1.f})), false, {}}, {f32, false, {}}};
  for (const auto& [t, ok, want] : tensors) {
    std::vector<float> v{9.f};
    EXPECT_EQ(hcTensorFloats(t, v), ok);
    EXPECT_EQ(v, want);
  }
  std::vector<float> v;
  EXPECT_THROW(hcTensorFloats(cat({f32, lenField(4, bytes({1, 2, 3, 4, 5}))}), v), std::runtime_error);
  std::vector<int64_t> d{42};
  hcTensorDims(cat({varintField(1, 2), f32, varintField(1, uint64_t(-1)), lenField(1, cat({varint(5), varint(300)}))}), d);
  EXPECT_EQ(d, (std::vector<int64_t>{2, -1, 5, 300}));
  EXPECT_THROW(hcTensorDims(lenField(1, bytes({0x80})), d), std::runtime_error);
  // A Constant's value tensor, found among other attributes.
  const GsBytes tensor = cat({varintField(1, 2), f32, lenField(9, floats({1.f, 2.f}))});
  GsBytes c = cat({lenField(2, str("c")), lenField(4, str("Constant")), attr({lenField(1, str("other")), lenField(5, str("zz"))}),
                   attr({lenField(1, str("value")), varintField(20, 4), lenField(5, tensor)})});
  EXPECT_EQ(GsBytes(hcConstValue(c).p, hcConstValue(c).p + hcConstValue(c).n), tensor);
  c[5] = 'K';  // "Konstant"
  EXPECT_TRUE(hcConstValue(c).empty());
  EXPECT_TRUE(hcConstValue(cat({lenField(4, str("Constant")), attr({lenField(1, str("value_float")), fixed(2, 5, floats({1.f}))})})).empty());
  const HcAttrs none = hcReadAttrs(lenField(4, str("Resize")));
  EXPECT_FALSE(none.mode || none.coordinateTransformationMode || none.keepAspectRatioPolicy || none.excludeOutside ||
               none.antialias || none.axes);
  EXPECT_EQ(none.cubicCoeffA, -0.75f);
  GsBytes r = lenField(4, str("Resize"));
  hcAttrS(r, "mode", "cubic");
  hcAttrS(r, "coordinate_transformation_mode", "half_pixel");
  hcAttrS(r, "keep_aspect_ratio_policy", "stretch");
  r = cat({r, attr({lenField(1, str("cubic_coeff_a")), fixed(2, 5, floats({-0.5f})), varintField(20, 1)})});
  hcAttrI(r, "exclude_outside", 1);
  hcAttrI(r, "antialias", 0);
  const int64_t axes[] = {2, -1};
  hcAttrIs(r, "axes", axes, 2);
  const HcAttrs got = hcReadAttrs(r);
  EXPECT_EQ(std::make_tuple(*got.mode, *got.coordinateTransformationMode, *got.keepAspectRatioPolicy, got.cubicCoeffA,
                            *got.excludeOutside, *got.antialias, *got.axes),
            std::make_tuple(std::string("cubic"), std::string("half_pixel"), std::string("stretch"), -0.5f, int64_t(1),
                            int64_t(0), std::vector<int64_t>{2, -1}));
  const GsBytes packedAxes = cat({varint(3), varint(uint64_t(-2))});  // repeated ints may also come packed
  EXPECT_EQ(hcReadAttrs(cat({lenField(4, str("Resize")), attr({lenField(1, str("axes")), lenField(8, packedAxes)})})).axes,
            (std::vector<int64_t>{3, -2}));
}

TEST(GsWriters, ExactBytesAndReadBack) {
  GsBytes out;
  const int64_t dims[] = {1, -1, 64, 0};
  gsPutTensorValueInfo(out, 12, "t", dims, 4);
  const auto named = [](const char* n) { return cat({bytes({0x0a, 0x0d, 0x12, 0x0b}), str(n)}); };
  EXPECT_EQ(out, cat({bytes({0x62, 0x31, 0x0a, 0x01, 't', 0x12, 0x2c, 0x0a, 0x2a, 0x08, 0x01, 0x12, 0x26}),
                      bytes({0x0a, 0x02, 0x08, 0x01}), named("le_hoist_d1"), bytes({0x0a, 0x02, 0x08, 0x40}), named("le_hoist_d3")}));
  GsBytes graph;  // read back as graph inputs: named dims come back as -1
  gsPutTensorValueInfo(graph, 11, "P_rgb", dims, 4);
  gsPutTensorValueInfo(graph, 11, "z", nullptr, 2);
  gsPutTensorValueInfo(graph, 12, "o", dims, 4);
  graph = cat({graph, lenField(11, lenField(1, str("s")))});
  std::vector<int64_t> got;
  int32_t elem = -7;
  ASSERT_TRUE(ldInputDims(graph, "P_rgb", got, &elem));
  EXPECT_EQ(std::make_pair(got, elem), std::make_pair(std::vector<int64_t>{1, -1, 64, -1}, 1));
  ASSERT_TRUE(ldInputDims(graph, "z", got));
  EXPECT_EQ(got, (std::vector<int64_t>{-1, -1}));
  for (const char* name : {"missing", "o", "s"}) EXPECT_FALSE(ldInputDims(graph, name, got)) << name;  // no input, or no shape
  GsBytes attrs;
  const int64_t pads[] = {0, -1};
  hcAttrIs(attrs, "pads", pads, 2);
  hcAttrS(attrs, "mode", "edge");
  hcAttrI(attrs, "group", -3);
  EXPECT_EQ(attrs, cat({attr({lenField(1, str("pads")), varintField(8, 0), varintField(8, uint64_t(-1)), varintField(20, 7)}),
                        attr({lenField(1, str("mode")), lenField(4, str("edge")), varintField(20, 3)}),
                        attr({lenField(1, str("group")), varintField(3, uint64_t(-3)), varintField(20, 2)})}));
  GsBytes node;
  hcNode(node, "Pad", {"a", "b"}, "c", "n", attrs);
  EXPECT_EQ(node, lenField(1, cat({lenField(1, str("a")), lenField(1, str("b")), lenField(2, str("c")), lenField(3, str("n")),
                                   lenField(4, str("Pad")), attrs})));
  GsBytes init;
  const GsBytes data = floats({1.f, 2.f, 3.f, 4.f, 5.f, 6.f});
  hcInit(init, "w", 1, {2, 3}, data.data(), data.size());
  EXPECT_EQ(init, lenField(5, cat({varintField(1, 2), varintField(1, 3), varintField(2, 1), lenField(8, str("w")), lenField(9, data)})));
}

// One graph with every kind of field, nodes apart, and fields the codec does
// not know (graph name, doc string, sparse initializer, a fixed32).
struct Parts {
  static GsBytes node(const char* op, const char* in, const char* out) {
    GsBytes g;
    hcNode(g, op, {in}, out, std::string("/") + op, {});
    return g;
  }
  static GsBytes info(uint32_t number, const char* name) {
    GsBytes g;
    const int64_t dims[] = {1, 3};
    gsPutTensorValueInfo(g, number, name, dims, 2);
    return g;
  }
  static GsBytes init(const char* name, const GsBytes& data) {
    GsBytes g;
    hcInit(g, name, 1, {int64_t(data.size() / 4)}, data.data(), data.size());
    return g;
  }
  GsBytes n0 = node("Relu", "P_rgb", "a"), n1 = node("Neg", "a", "b"), n2 = node("Abs", "b", "c");
  GsBytes gname = lenField(2, str("g")), ini = init("w", floats({1.f, 2.f})), inP = info(11, "P_rgb"),
          inK = info(11, "kp"), out = info(12, "c"), vA = info(13, "a"), vB = info(13, "b"),
          sparse = lenField(15, str("opaque-sparse")), doc = lenField(10, str("doc")), odd = fixed(21, 5, bytes({1, 2, 3, 4}));
  GsBytes graph(std::initializer_list<GsBytes> f) const { return lenField(7, cat(f)); }
  GsBytes model(const GsBytes& g) const {  // top-level fields on both sides of the graph
    return cat({varintField(1, 8), lenField(8, cat({lenField(1, str("")), varintField(2, 17)})), lenField(2, str("lefix")), g,
                lenField(14, cat({lenField(1, str("k")), lenField(2, str("v"))})), fixed(99, 1, GsBytes(8, 7))});
  }
  GsBytes full() const { return model(graph({n0, gname, ini, inP, n1, inK, out, vA, vB, sparse, doc, n2, odd})); }
};

TEST(GsRebuild, EditsInPlaceAndUnknownFieldsKept) {
  const Parts p;
  GsBytes out{1, 2, 3};
  gsRebuild(p.full(), {}, out);
  EXPECT_EQ(out, p.full());
  GsGraphEdit add;
  add.valueInfo = GsValueInfo{"x", {}, 4, 12};
  gsRebuild(p.model({}), add, out);  // no graph: every field copied, nothing appended
  EXPECT_EQ(out, p.model({}));
  GsGraphEdit e;
  e.dropNode = {false, true};  // node 2 lies past the list: kept
  e.dropOutputs = true;
  e.valueInfo = GsValueInfo{"a", {}, 4, 12};
  gsRebuild(p.full(), e, out);
  GsBytes appended;
  gsPutTensorValueInfo(appended, 12, "a", nullptr, 4);
  EXPECT_EQ(out, p.model(p.graph({p.n0, p.gname, p.ini, p.inP, p.inK, p.vB, p.sparse, p.doc, p.n2, p.odd, appended})));
  GsGraphEdit e2;  // static dims as a new input, rebuilt over its own source buffer
  e2.dropNode = {true, true, true};
  e2.valueInfo = GsValueInfo{"b", {2, 5}, 2, 11};
  GsBytes inplace = p.full(), asInput;
  gsRebuild(inplace, e2, inplace);
  const int64_t dims[] = {2, 5};
  gsPutTensorValueInfo(asInput, 11, "b", dims, 2);
  EXPECT_EQ(inplace, p.model(p.graph({p.gname, p.ini, p.inP, p.inK, p.out, p.vA, p.sparse, p.doc, p.odd, asInput})));
  for (const auto& [keepOnly, dropP, want] : {std::tuple{false, false, std::vector<std::string>{"P_rgb", "kp"}},
                                              {false, true, {"kp"}}, {true, false, {"P_rgb"}}, {true, true, {}}}) {
    GsGraphEdit s;
    s.keepOnlyPrgbInput = keepOnly, s.dropPrgbInput = dropP;
    gsRebuild(p.full(), s, out);
    std::vector<std::string> inputs;
    GsReader r(gsGraphOf(out));
    GsField f;
    while (r.next(f))
      if (f.number == 11) inputs.push_back(gsFirstStr(f.payload, 1));
    EXPECT_EQ(inputs, want) << keepOnly << dropP;
  }
  // Only the first graph is edited; a varint field 7 is not a graph.
  const GsBytes second = p.graph({p.n0});
  GsGraphEdit d;
  d.dropNode = {true};
  gsRebuild(cat({varintField(7, 1), p.graph({p.n0, p.n1}), second}), d, out);
  EXPECT_EQ(out, cat({varintField(7, 1), p.graph({p.n1}), second}));
  // Failures leave the output alone.
  out = {9};
  const GsBytes full = p.full(), truncated(full.begin(), full.end() - 3);
  EXPECT_THROW(gsRebuild(truncated, {}, out), std::runtime_error);
  EXPECT_THROW(gsRebuild(cat({varintField(1, 8), lenField(7, {0x0b, 0x00})}), {}, out), std::runtime_error);
  GsGraphEdit bad;
  bad.valueInfo = GsValueInfo{"x", {1, 2, 3}, 4, 12};
  EXPECT_THROW(gsRebuild(p.full(), bad, out), std::invalid_argument);
  EXPECT_EQ(out, GsBytes{9});
}

TEST(OnnxModel, InitializerTableAndRefusals) {
  const auto tensor = [](std::initializer_list<GsBytes> f) { return lenField(5, cat(f)); };
  const GsBytes f32 = varintField(2, 1);
  const OnnxModel m = OnnxModel::parse(cat({varintField(1, 8), lenField(7, cat({Parts::init("r", floats({1.f, 2.f})),
      tensor({varintField(1, 1), varintField(1, 3), f32, lenField(8, str("f")), lenField(4, floats({3.f, 4.f})), fixed(4, 5, floats({5.f}))}),
      tensor({f32, lenField(8, str("s")), lenField(9, floats({9.f}))})}))}));
  ASSERT_EQ(m.initializers().size(), 3u);
  EXPECT_EQ(std::make_pair(m.get("r").dims, m.get("r").values), std::make_pair(std::vector<int64_t>{2}, std::vector<float>{1.f, 2.f}));
  EXPECT_EQ(std::make_pair(m.get("f").dims, m.get("f").values), std::make_pair(std::vector<int64_t>{1, 3}, std::vector<float>{3.f, 4.f, 5.f}));
  EXPECT_EQ(std::make_pair(m.get("s").dims, m.get("s").values), std::make_pair(std::vector<int64_t>{}, std::vector<float>{9.f}));
  EXPECT_EQ(m.find("nope"), nullptr);
  EXPECT_EQ(errorOf([&] { m.get("nope"); }), "onnx: missing initializer nope");
  const std::pair<GsBytes, std::string> refusals[] = {
      {tensor({varintField(1, 2), varintField(2, 10), lenField(8, str("h")), lenField(9, GsBytes(4))}), "onnx: non-fp32 initializer h"},
      {tensor({varintField(1, 2), lenField(8, str("u")), lenField(9, GsBytes(8))}), "onnx: non-fp32 initializer u"},
      {tensor({varintField(1, 3), f32, lenField(8, str("w")), lenField(9, floats({1.f, 2.f}))}), "onnx: raw size mismatch w"},
      {tensor({varintField(1, 1), f32, lenField(8, str("p")), lenField(9, GsBytes(5))}), "onnx: raw size mismatch p"},
      {tensor({varintField(1, uint64_t(-1)), f32, lenField(8, str("n")), lenField(9, GsBytes(4))}), "onnx: raw size mismatch n"},
      {tensor({varintField(1, uint64_t{1} << 32), varintField(1, uint64_t{1} << 32), f32, lenField(8, str("o")), lenField(9, {})}),
       "onnx: raw size mismatch o"},  // a product past 64 bits is never a match
      {tensor({varintField(1, 2), f32, lenField(8, str("e"))}), "onnx: no data for e"},
      {tensor({varintField(1, 2), f32, lenField(8, str("c")), lenField(4, floats({1.f, 2.f, 3.f}))}), "onnx: float_data size mismatch c"},
      {cat({Parts::init("d", floats({1.f})), Parts::init("d", floats({2.f}))}), "onnx: duplicate initializer d"},
      {cat({Parts::init("ok", floats({1.f})), {0x2a, 0x05}}), "onnx: truncated"}};
  for (const auto& [inits, want] : refusals) EXPECT_EQ(errorOf([&] { OnnxModel::parse(lenField(7, inits)); }), want);
  EXPECT_TRUE(OnnxModel::parse(varintField(1, 8)).initializers().empty());
}

// ---- rewrites on graphs no director carries ---------------------------------

struct Node {
  std::string op;
  std::vector<std::string> in;
  std::string out, name;
  GsBytes attrs;
};
GsBytes gsAttrs(const char* mode = "bilinear", const char* pad = "border", int align = -1) {
  GsBytes a;
  if (mode) hcAttrS(a, "mode", mode);
  if (pad) hcAttrS(a, "padding_mode", pad);
  if (align >= 0) hcAttrI(a, "align_corners", align);
  return a;
}
// ir_version, the graph (nodes, `extra` graph fields, inputs, outputs), then a
// metadata entry the rewrites must keep in place.
GsBytes model(const std::vector<Node>& nodes, const std::vector<std::string>& inputs, const std::vector<std::string>& outputs,
              const GsBytes& extra = {}) {
  GsBytes g;
  for (const Node& n : nodes) hcNode(g, n.op, n.in, n.out, n.name, n.attrs);
  g.insert(g.end(), extra.begin(), extra.end());
  const int64_t dims[4] = {1, 3, 8, 8};
  for (const auto& i : inputs) gsPutTensorValueInfo(g, 11, i, dims, 4);
  for (const auto& o : outputs) gsPutTensorValueInfo(g, 12, o, dims, 4);
  return cat({{0x08, 0x08}, lenField(7, g), lenField(14, lenField(1, str("k")))});
}

TEST(Rewrites, RefusalsOfGraphsNoDirectorCarries) {
  GsBytes m{0x08, 0x08};  // no graph: refused untouched
  std::string reason;
  WarpBlock wb;
  GsBytes prep;
  EXPECT_EQ(rewriteGridSampleToFast(m) + normaliseStudentBlend(m) + rewriteHeadCubicResize(m), 0u);
  EXPECT_FALSE(graphHasBakedGridSampleFast(m));
  const std::function<bool()> refusals[] = {[&] { return findWarpBlock(m, &wb, reason); },
                                            [&] { return rewriteBindLipContour(m, reason, nullptr, nullptr) != 0; },
                                            [&] { return buildSourceConePrep(m, "x", prep, reason); }};
  for (const auto& refused : refusals) {
    EXPECT_FALSE(refused());
    EXPECT_EQ(reason, "no graph");
  }
  EXPECT_EQ(m, (GsBytes{0x08, 0x08}));
  GsBytes cut = model({{"Relu", {"P_rgb"}, "y", "r", {}}}, {"P_rgb"}, {"y"});
  cut.resize(cut.size() / 2);  // ends inside the graph: the codec's error
  EXPECT_THROW(rewriteGridSampleToFast(cut), std::runtime_error);
  EXPECT_THROW(rewriteWarpBlockToCustomOp(cut, reason), std::runtime_error);
  EXPECT_THROW(rewriteBindLipContour(cut, reason, nullptr, nullptr), std::runtime_error);
  EXPECT_THROW(findSourceConeBoundary(cut, reason), std::runtime_error);
  // Only bilinear (or linear), border, align_corners 0 (or absent) in the
  // standard domain becomes GridSampleFast; its opset import goes after every
  // other top-level field.
  const auto inDomain = [](const char* op, const char* out, const char* domain, const GsBytes& attrs) {
    return lenField(1, cat({lenField(1, str("x")), lenField(1, str("g")), lenField(2, str(out)), lenField(3, str(out)),
                            lenField(4, str(op)), attrs, lenField(7, str(domain))}));
  };
  const GsBytes domains = cat({inDomain("GridSample", "h", "com.other", gsAttrs()), inDomain("GridSample", "i", "ai.onnx", gsAttrs())});
  GsBytes gs = model({{"GridSample", {"x", "g"}, "a", "a", gsAttrs(nullptr)}, {"GridSample", {"x", "g"}, "b", "b", gsAttrs("linear", "border", 0)},
                      {"GridSample", {"x", "g"}, "c", "c", gsAttrs("bilinear", nullptr)}, {"GridSample", {"x", "g"}, "d", "d", gsAttrs("cubic")},
                      {"GridSample", {"x", "g"}, "e", "e", gsAttrs("bilinear", "border", 1)}, {"GridSample", {"x", "g"}, "f", "f", gsAttrs()}},
                     {"x", "g"}, {"a", "b", "c", "d", "e", "f"}, domains);
  ASSERT_EQ(rewriteGridSampleToFast(gs), 3u);
  GsGraphInfo g;
  ASSERT_TRUE(gsReadGraph(gs, g));
  std::vector<std::string> ops;
  for (const auto& n : g.nodes) ops.push_back(n.opType);
  const std::string gs0 = "GridSample", gs1 = "GridSampleFast";
  EXPECT_EQ(ops, (std::vector<std::string>{gs0, gs1, gs0, gs0, gs0, gs1, gs0, gs1}));
  for (const char* domain : {"", "ai.onnx", "com.other"}) {  // the student blend likewise
    GsBytes blend = model({}, {"x", "g"}, {"/s2/blend"}, inDomain("MatMul", "/s2/blend", domain, {}));
    EXPECT_EQ(normaliseStudentBlend(blend), std::string(domain) == "com.other" ? 0u : 1u) << domain;
  }
  std::vector<uint32_t> top;
  GsReader r(gs);
  for (GsField f; r.next(f);) top.push_back(f.number);
  EXPECT_EQ(top, (std::vector<uint32_t>{1, 7, 14, 8}));
  EXPECT_EQ(rewriteGridSampleToFast(gs), 0u);
  const GsBytes other = cat({lenField(1, str("x")), lenField(2, str("y")), lenField(4, str("GridSampleFast")), lenField(7, str("com.other"))});
  EXPECT_FALSE(graphHasBakedGridSampleFast(lenField(7, lenField(1, other))));  // baked means the com.quillfin domain
  // Warp blocks of odd shapes, and compose tails the lip binding cannot bind:
  // {graph, the lip binding, reason}; a refusal changes nothing.
  const std::vector<Node> smallest = {{"Identity", {"g0"}, "grid", "gp", {}}, {"Concat", {"P_rgb"}, "tip", "c", {}},
                                      {"GridSample", {"tip", "grid"}, "s", "gs", gsAttrs()}, {"Slice", {"s"}, "s0", "sl", {}},
                                      {"Relu", {"s0"}, "y", "r", {}}};
  std::vector<Node> leak = smallest;
  leak.insert(leak.begin() + 4, {"Relu", {"s"}, "z", "leak", {}});
  GsBytes one, taken;
  const float v = 1.f;
  hcInit(one, "one", 1, {}, &v, 4);
  hcInit(taken, "tessera_lipdel_alpha", 1, {}, &v, 4);
  const std::vector<Node> compose = {{"Mul", {"a", "gen"}, "ga", "ga", {}}, {"Sub", {"one", "a"}, "na", "na", {}},
                                     {"Mul", {"na", "warped"}, "wa", "wa", {}}, {"Add", {"ga", "wa"}, "rgb", "add", {}}};
  const std::vector<std::string> lipIn = {"a", "gen", "warped", "P_rgb"};
  const std::tuple<GsBytes, bool, std::string> odd[] = {
      {model({{"Concat", {"P_rgb", "P_rgb"}, "tip", "c", {}}, {"Relu", {"tip"}, "y", "r", {}}}, {"P_rgb"}, {"y"}), false,
       "no GridSample consuming 'tip'"},
      {model({smallest.begin() + 1, smallest.end()}, {"P_rgb", "grid"}, {"y"}), false, "the grid has no producer"},
      {model({{"Concat", {"P_rgb"}, "tip", "c", {}}, {"GridSample", {"tip", "grid"}, "", "gs", gsAttrs()}}, {"P_rgb", "grid"}, {"tip"}), false,
       "the fused GridSample has no output"},
      {model(leak, {"P_rgb", "g0"}, {"y", "z"}), false, "the GridSample's output escapes the block to leak"},
      {model(smallest, {"P_rgb", "g0"}, {"y", "s"}), false, "the GridSample's output escapes the block to the graph outputs"},
      {model({smallest[1], smallest[2], smallest[3], smallest[4], smallest[0]}, {"P_rgb", "g0"}, {"y"}), false,
       "the exit 's0' is read by r before the grid is produced"},
      {model({smallest[1], smallest[2], smallest[3], {"Identity", {"s0"}, "grid", "gp", {}}, smallest[4]}, {"P_rgb"}, {"y"}), false,
       "the exit 's0' is read by gp before the grid is produced"},  // the grid made from the exit
      {model({smallest[1], smallest[2], smallest[3], {"Mul", {"s0", "g0"}, "grid", "m", {}}, smallest[4]}, {"P_rgb", "g0"}, {"y"}), false,
       "the grid is computed inside the warp block"},  // a cycle through the block
      // A compose alpha that is a graph input has no producer to bind after; a
      // tensor named as the bound alpha would be its second producer.
      {model(compose, lipIn, {"rgb"}, one), true, "the compose alpha 'a' has no producer node"},
      {model(compose, lipIn, {"rgb"}, cat({one, taken})), true, "the graph already carries a tensor named tessera_lipdel_alpha"}};
  for (const auto& [before, lip, want] : odd) {
    GsBytes w = before;
    reason.clear();
    EXPECT_EQ(lip ? rewriteBindLipContour(w, reason, nullptr, nullptr) : rewriteWarpBlockToCustomOp(w, reason), 0u) << want;
    EXPECT_EQ(reason, want);
    EXPECT_EQ(w, before);
  }
  GsBytes ok = model(smallest, {"P_rgb", "g0"}, {"y"});  // the node follows the grid's producer
  ASSERT_EQ(rewriteWarpBlockToCustomOp(ok, reason), 3u) << reason;
  ASSERT_TRUE(gsReadGraph(ok, g));
  ASSERT_EQ(g.nodes.size(), 3u);
  EXPECT_EQ(std::make_pair(g.nodes[1].name, g.nodes[1].outputs[0]), std::make_pair(std::string("le_warp_director"), std::string("s0")));
  // The head's cubic taps: the Keys kernel at distances 1.75, 0.75, 0.25, 1.25
  // (the other phase is Rewrites.EachRewriteOnEachVariantAppliesOrRefusesWholly's).
  EXPECT_EQ(hcTaps(0.75, -0.75), (std::array<float, 4>{-0.03515625f, 0.26171875f, 0.87890625f, -0.10546875f}));
}

// y = Add(x, w) with graph outputs y and c (an initializer given out as it
// is); u1 and u2 are read by nothing, u2 also listed as a graph input the way
// older exporters list initializers. With `subgraph` the node also carries a
// graph attribute, whose nodes could read any outer tensor.
TEST(DropUnusedInitializers, OnlyTheUnreadGoWithTheirInputs) {
  for (const bool subgraph : {false, true}) {
    GsBytes inits;
    const float one = 1.0f;
    for (const char* name : {"u1", "w", "c", "u2"}) hcInit(inits, name, 1, {1}, &one, sizeof one);
    const GsBytes then = lenField(5, cat({lenField(1, str("then_branch")), lenField(6, {})}));
    const GsBytes orig = model({{"Add", {"x", "w"}, "y", "add", subgraph ? then : GsBytes{}}}, {"x", "u2"}, {"y", "c"}, inits);
    GsBytes m = orig;
    EXPECT_EQ(rwDropUnusedInitializers(m), subgraph ? 0u : 2u);
    GsBytes once = m;
    EXPECT_EQ(rwDropUnusedInitializers(once), 0u);
    EXPECT_EQ(once, m);
    if (subgraph) {  // a subgraph could read any outer tensor: nothing goes
      EXPECT_EQ(m, orig);
      continue;
    }
    GsGraphInfo info;
    ASSERT_TRUE(gsReadGraph(m, info));
    for (const auto& [name, initializer, input] : {std::tuple{"w", true, false}, {"c", true, false}, {"u1", false, false},
                                                   {"u2", false, false}, {"x", false, true}})
      EXPECT_EQ(std::make_pair(info.isInitializer(name), info.inputs.count(name) == 1), std::make_pair(initializer, input)) << name;
    EXPECT_EQ(std::make_pair(info.outputs, info.nodes.size()), std::make_pair(std::vector<std::string>{"y", "c"}, size_t(1)));
    EXPECT_TRUE(m.size() < orig.size() && m[0] == 0x08 && m[1] == 0x08);  // ir_version kept first
  }
  GsBytes none{0x08, 0x08};
  EXPECT_EQ(rwDropUnusedInitializers(none), 0u);
  EXPECT_EQ(none, (GsBytes{0x08, 0x08}));
}

// The source-cone predictor: {frames asked for, NT, predictions}.
TEST(ConePredictor, WalksBouncesWrapsAndJumps) {
  using V = std::vector<int32_t>;
  const std::tuple<V, int32_t, V> walks[] = {
      {{3}, 10, {4}}, {{9}, 10, {8}},  // first call: step +1; at the end it bounces
      {{0, 1, 2, 3, 4, 0, 1, 2, 3, 4}, 5, {1, 2, 3, 4, 3, 1, 2, 3, 4, 0}},  // N-1 -> 0 is a wrap: then modulo N
      {{6, 5, 4, 3, 2, 1, 0}, 8, {7, 4, 3, 2, 1, 0, 1}},                   // backward bounces at 0
      {{5, 4, 12, 13}, 20, {6, 3, 11, 14}},                                 // a jump keeps the step
      {{3, 4, 0, 1, 0}, 5, {4, 3, 1, 2, 4}},                                // backward after a wrap: modulo N
      {{0, 1, 0}, 2, {1, 0, 1}}, {{0}, 1, {-1}}, {{0}, 0, {-1}}};
  for (const auto& [asked, n, want] : walks) {
    ConePredictor p;
    V got;
    for (int32_t si : asked) got.push_back(p.next(si, n));
    EXPECT_EQ(got, want) << testing::PrintToString(asked) << " of " << n;
  }
}

TEST(QuillfinDomain, CreatedOnceUnderConcurrentRegistration) {
  Ort::SessionOptions a, b;
  OrtCustomOpDomain* seen[2] = {nullptr, nullptr};
  std::thread t1([&] { registerGridSampleFast(a), seen[0] = quillfinDomain(); });
  std::thread t2([&] { registerWarpDirector(b), seen[1] = quillfinDomain(); });
  t1.join();
  t2.join();
  EXPECT_TRUE(seen[0] != nullptr && seen[0] == seen[1]);
}

}  // namespace
}  // namespace le
