// Field reader limits, message readers and writers on hand-made bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "le/render/onnx_wire.h"
#include "render/wire_bytes.h"

namespace {

using le::GsBytes;
using le::GsField;
using le::GsReader;
using le::GsSlice;

GsBytes bytes(std::initializer_list<int> v) {
  GsBytes b;
  for (int x : v) b.push_back(static_cast<uint8_t>(x));
  return b;
}

using le::test::cat;
using le::test::lenField;
using le::test::str;
using le::test::varintField;

GsBytes fixed32Field(uint32_t number, float v) {
  GsBytes out;
  le::gsPutVarint(out, (uint64_t{number} << 3) | 5);
  uint8_t b[4];
  std::memcpy(b, &v, 4);
  out.insert(out.end(), b, b + 4);
  return out;
}

GsBytes floatBytes(std::initializer_list<float> v) {
  GsBytes out(v.size() * 4);
  std::memcpy(out.data(), v.begin(), out.size());
  return out;
}

// Every field of b, or the error text.
std::string readAll(const GsBytes& b, std::vector<GsField>* fields = nullptr) {
  try {
    GsReader r(b);
    GsField f;
    while (r.next(f))
      if (fields) fields->push_back(f);
    return "ok";
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

TEST(GsReader, VarintLimits) {
  // Ten bytes carry all 64 bits.
  std::vector<GsField> fs;
  ASSERT_EQ(readAll(bytes({0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}), &fs),
            "ok");
  ASSERT_EQ(fs.size(), 1u);
  EXPECT_EQ(fs[0].value, ~uint64_t{0});
  EXPECT_EQ(fs[0].raw.n, 11u);
  // An eleventh byte is one too many.
  EXPECT_EQ(readAll(bytes({0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x81, 0x01})),
            "onnx: bad varint");
  // The range ends inside a value varint, inside a tag varint.
  EXPECT_EQ(readAll(bytes({0x08, 0x80})), "onnx: bad varint");
  EXPECT_EQ(readAll(bytes({0x08})), "onnx: bad varint");
  EXPECT_EQ(readAll(bytes({0x80})), "onnx: bad varint");
  // A length varint ending the range.
  EXPECT_EQ(readAll(bytes({0x0a, 0xff})), "onnx: bad varint");

  for (uint64_t v : {uint64_t{0}, uint64_t{127}, uint64_t{128}, uint64_t{300},
                     uint64_t{1} << 63, ~uint64_t{0}}) {
    fs.clear();
    GsBytes b = varintField(3, v);
    ASSERT_EQ(readAll(b, &fs), "ok");
    ASSERT_EQ(fs.size(), 1u);
    EXPECT_EQ(fs[0].value, v);
    EXPECT_EQ(fs[0].number, 3u);
  }
  GsBytes b;
  le::gsPutVarint(b, 300);
  EXPECT_EQ(b, bytes({0xac, 0x02}));
  b.clear();
  le::gsPutVarint(b, ~uint64_t{0});
  EXPECT_EQ(b.size(), 10u);
}

TEST(GsReader, HostileLengthsNeverWrap) {
  // Lengths of 2^64 - 1, 2^63 and one past the end, each with bytes behind.
  EXPECT_EQ(readAll(bytes({0x0a, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01, 1, 2})),
            "onnx: truncated");
  EXPECT_EQ(readAll(bytes({0x0a, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01, 1})),
            "onnx: truncated");
  EXPECT_EQ(readAll(bytes({0x0a, 0x03, 1, 2})), "onnx: truncated");
  std::vector<GsField> fs;
  const GsBytes exact = bytes({0x0a, 0x02, 1, 2, 0x10, 0x05});
  ASSERT_EQ(readAll(exact, &fs), "ok");
  ASSERT_EQ(fs.size(), 2u);
  // Zero-copy: the payload and raw slices point into the buffer.
  EXPECT_EQ(fs[0].payload.p, exact.data() + 2);
  EXPECT_EQ(fs[0].payload.n, 2u);
  EXPECT_EQ(fs[0].raw.p, exact.data());
  EXPECT_EQ(fs[0].raw.n, 4u);
  EXPECT_EQ(fs[1].raw.p, exact.data() + 4);
  EXPECT_EQ(fs[1].value, 5u);

  // Fixed fields one byte short, and exact.
  EXPECT_EQ(readAll(bytes({0x09, 1, 2, 3, 4, 5, 6, 7})), "onnx: truncated");
  EXPECT_EQ(readAll(bytes({0x0d, 1, 2, 3})), "onnx: truncated");
  fs.clear();
  ASSERT_EQ(readAll(bytes({0x09, 1, 2, 3, 4, 5, 6, 7, 8, 0x0d, 1, 2, 3, 4}), &fs), "ok");
  ASSERT_EQ(fs.size(), 2u);
  EXPECT_EQ(fs[0].wire, 1u);
  EXPECT_EQ(fs[0].raw.n, 9u);
  EXPECT_EQ(fs[0].value, 0u);
  EXPECT_EQ(fs[1].wire, 5u);
  EXPECT_EQ(fs[1].raw.n, 5u);
}

TEST(GsReader, RefusesGroupsUndefinedWiresAndBadNumbers) {
  for (int w : {3, 4, 6, 7}) EXPECT_EQ(readAll(bytes({0x08 | w, 0})), "onnx: bad wire type") << w;
  EXPECT_EQ(readAll(bytes({0x00, 0x01})), "onnx: bad field number");
  // 2^29 - 1 is the largest field number; 2^29 and a number past 32 bits
  // (which would truncate to field 7) are refused.
  GsBytes ok, big, wrap;
  le::gsPutVarint(ok, ((uint64_t{1} << 29) - 1) << 3);
  ok.push_back(0);
  le::gsPutVarint(big, uint64_t{1} << 32);
  big.push_back(0);
  le::gsPutVarint(wrap, (((uint64_t{1} << 32) + 7) << 3) | 2);
  wrap.push_back(0);
  std::vector<GsField> fs;
  EXPECT_EQ(readAll(ok, &fs), "ok");
  EXPECT_EQ(fs.at(0).number, (1u << 29) - 1);
  EXPECT_EQ(readAll(big), "onnx: bad field number");
  EXPECT_EQ(readAll(wrap), "onnx: bad field number");
}

TEST(PbReader, SameRulesWithoutRaw) {
  const GsBytes b = cat({varintField(2, 1), lenField(8, str("w")), fixed32Field(4, 2.5f)});
  le::PbReader r(b);
  le::PbField f;
  ASSERT_TRUE(r.next(f));
  EXPECT_EQ(f.number, 2u);
  EXPECT_EQ(f.value, 1u);
  ASSERT_TRUE(r.next(f));
  EXPECT_EQ(f.payload.str(), "w");
  EXPECT_EQ(f.payload.p, b.data() + 4);
  ASSERT_TRUE(r.next(f));
  EXPECT_EQ(f.wire, 5u);
  EXPECT_TRUE(f.payload.empty());
  EXPECT_FALSE(r.next(f));
  const GsBytes bad = bytes({0x0a, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01, 1});
  le::PbReader r2(bad);
  EXPECT_THROW(r2.next(f), std::runtime_error);
  const GsBytes eleven = bytes({0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x81, 0x01});
  le::PbReader r3(eleven);
  EXPECT_THROW(r3.next(f), std::runtime_error);
}

TEST(Readers, GraphAndStrings) {
  EXPECT_TRUE(le::gsGraphOf(cat({varintField(1, 8), lenField(2, str("lefix"))})).empty());
  EXPECT_TRUE(le::gsGraphOf(GsBytes{}).empty());
  // A field 7 that is not length-delimited is not the graph; the first one
  // that is wins.
  const GsBytes model = cat({varintField(7, 3), lenField(7, str("AB")), lenField(7, str("CD"))});
  EXPECT_EQ(le::gsGraphOf(model).str(), "AB");
  EXPECT_EQ(le::gsGraphOf(model).p, model.data() + 4);

  GsBytes attrs;
  le::hcAttrI(attrs, "axis", 1);
  GsBytes graph;
  le::hcNode(graph, "Resize", {"x", "", "scales"}, "y", "/r", attrs);
  const GsSlice node = le::hcPayload(graph);
  ASSERT_FALSE(node.empty());
  std::vector<std::string> in{"stale"};
  le::gsAllStr(node, 1, in);
  EXPECT_EQ(in, (std::vector<std::string>{"x", "", "scales"}));
  EXPECT_EQ(le::gsFirstStr(node, 2), "y");
  EXPECT_EQ(le::gsFirstStr(node, 3), "/r");
  EXPECT_EQ(le::gsFirstStr(node, 4), "Resize");
  EXPECT_EQ(le::gsFirstStr(node, 7), "");  // default domain: not written

  EXPECT_TRUE(le::hcPayload(varintField(1, 5)).empty());
  EXPECT_TRUE(le::hcPayload(GsBytes{}).empty());
}

TEST(Readers, TensorFloats) {
  std::vector<float> v{9.f};
  const GsBytes f32 = varintField(2, 1);
  // raw_data wins over float_data, whichever comes first.
  EXPECT_TRUE(le::hcTensorFloats(cat({lenField(4, floatBytes({7.f})), f32,
                                      lenField(9, floatBytes({1.f, 2.f}))}),
                                 v));
  EXPECT_EQ(v, (std::vector<float>{1.f, 2.f}));
  // A trailing partial float is dropped; under 4 bytes there is nothing.
  GsBytes six = floatBytes({3.f});
  six.push_back(1);
  six.push_back(2);
  EXPECT_TRUE(le::hcTensorFloats(cat({f32, lenField(9, six)}), v));
  EXPECT_EQ(v, (std::vector<float>{3.f}));
  EXPECT_FALSE(le::hcTensorFloats(cat({f32, lenField(9, bytes({1, 2, 3})), lenField(4, floatBytes({7.f}))}), v));
  EXPECT_TRUE(v.empty());
  // Packed and unpacked float_data, in file order.
  EXPECT_TRUE(le::hcTensorFloats(cat({fixed32Field(4, 0.5f), lenField(4, floatBytes({1.5f, -2.f})),
                                      f32, fixed32Field(4, 4.f)}),
                                 v));
  EXPECT_EQ(v, (std::vector<float>{0.5f, 1.5f, -2.f, 4.f}));
  // Only FLOAT is read as data; an absent data_type is not FLOAT.
  EXPECT_FALSE(le::hcTensorFloats(cat({varintField(2, 11), lenField(9, floatBytes({1.f, 2.f}))}), v));
  EXPECT_TRUE(v.empty());
  EXPECT_FALSE(le::hcTensorFloats(lenField(9, floatBytes({1.f})), v));
  EXPECT_FALSE(le::hcTensorFloats(f32, v));
  // A packed run that is not whole floats is malformed.
  EXPECT_THROW(le::hcTensorFloats(cat({f32, lenField(4, bytes({1, 2, 3, 4, 5}))}), v),
               std::runtime_error);
}

TEST(Readers, TensorDims) {
  std::vector<int64_t> d{42};
  GsBytes packed;
  le::gsPutVarint(packed, 5);
  le::gsPutVarint(packed, 300);
  le::hcTensorDims(cat({varintField(1, 2), varintField(2, 1), varintField(1, uint64_t(-1)),
                        lenField(1, packed)}),
                   d);
  EXPECT_EQ(d, (std::vector<int64_t>{2, -1, 5, 300}));
  EXPECT_THROW(le::hcTensorDims(lenField(1, bytes({0x80})), d), std::runtime_error);
}

GsBytes attr(std::initializer_list<GsBytes> fields) {
  GsBytes a;
  for (const auto& f : fields) a.insert(a.end(), f.begin(), f.end());
  return lenField(5, a);
}

TEST(Readers, ConstValue) {
  const GsBytes tensor = cat({varintField(1, 2), varintField(2, 1), lenField(9, floatBytes({1.f, 2.f}))});
  const GsBytes node = cat({lenField(2, str("c")), lenField(4, str("Constant")),
                            attr({lenField(1, str("other")), lenField(5, str("zz"))}),
                            attr({lenField(1, str("value")), varintField(20, 4), lenField(5, tensor)})});
  const GsSlice t = le::hcConstValue(node);
  ASSERT_EQ(t.n, tensor.size());
  EXPECT_EQ(0, std::memcmp(t.p, tensor.data(), t.n));
  std::vector<float> v;
  EXPECT_TRUE(le::hcTensorFloats(t, v));
  EXPECT_EQ(v, (std::vector<float>{1.f, 2.f}));

  GsBytes notConst = node;
  notConst[5] = 'K';  // "Constant" -> "Konstant"
  EXPECT_TRUE(le::hcConstValue(notConst).empty());
  EXPECT_TRUE(le::hcConstValue(cat({lenField(4, str("Constant")),
                                    attr({lenField(1, str("value_float")), fixed32Field(2, 1.f)})}))
                  .empty());
}

TEST(Readers, ResizeAttributes) {
  const le::HcAttrs none = le::hcReadAttrs(lenField(4, str("Resize")));
  EXPECT_FALSE(none.mode || none.coordinateTransformationMode || none.keepAspectRatioPolicy ||
               none.excludeOutside || none.antialias || none.axes);
  EXPECT_EQ(none.cubicCoeffA, -0.75f);

  GsBytes node = lenField(4, str("Resize"));
  le::hcAttrS(node, "mode", "cubic");
  le::hcAttrS(node, "coordinate_transformation_mode", "half_pixel");
  le::hcAttrS(node, "keep_aspect_ratio_policy", "stretch");
  const GsBytes a = attr({lenField(1, str("cubic_coeff_a")), fixed32Field(2, -0.5f), varintField(20, 1)});
  node.insert(node.end(), a.begin(), a.end());
  le::hcAttrI(node, "exclude_outside", 1);
  le::hcAttrI(node, "antialias", 0);
  const int64_t axes[] = {2, -1};
  le::hcAttrIs(node, "axes", axes, 2);
  le::hcAttrI(node, "unrelated", 5);
  const le::HcAttrs got = le::hcReadAttrs(node);
  EXPECT_EQ(got.mode, "cubic");
  EXPECT_EQ(got.coordinateTransformationMode, "half_pixel");
  EXPECT_EQ(got.keepAspectRatioPolicy, "stretch");
  EXPECT_EQ(got.cubicCoeffA, -0.5f);
  EXPECT_EQ(got.excludeOutside, 1);
  EXPECT_EQ(got.antialias, 0);  // present though 0
  EXPECT_EQ(got.axes, (std::vector<int64_t>{2, -1}));
}

TEST(Writers, TensorValueInfoNamesUnknownDims) {
  GsBytes out;
  const int64_t dims[] = {1, -1, 64, 0};
  le::gsPutTensorValueInfo(out, 12, "t", dims, 4);
  const GsBytes d1 = cat({bytes({0x0a, 0x0d, 0x12, 0x0b}), str("le_hoist_d1")});
  const GsBytes d3 = cat({bytes({0x0a, 0x0d, 0x12, 0x0b}), str("le_hoist_d3")});
  const GsBytes shape = cat({bytes({0x0a, 0x02, 0x08, 0x01}), d1, bytes({0x0a, 0x02, 0x08, 0x40}), d3});
  ASSERT_EQ(shape.size(), 0x26u);
  const GsBytes expected = cat({bytes({0x62, 0x31, 0x0a, 0x01, 't', 0x12, 0x2c, 0x0a, 0x2a, 0x08, 0x01,
                                       0x12, 0x26}),
                                shape});
  EXPECT_EQ(out, expected);

  // Read back as a graph input: named dims come back as -1.
  GsBytes graph;
  le::gsPutTensorValueInfo(graph, 11, "P_rgb", dims, 4);
  le::gsPutTensorValueInfo(graph, 11, "z", nullptr, 2);
  std::vector<int64_t> got;
  int32_t elem = -7;
  ASSERT_TRUE(le::ldInputDims(graph, "P_rgb", got, &elem));
  EXPECT_EQ(got, (std::vector<int64_t>{1, -1, 64, -1}));
  EXPECT_EQ(elem, 1);
  ASSERT_TRUE(le::ldInputDims(graph, "z", got));
  EXPECT_EQ(got, (std::vector<int64_t>{-1, -1}));
  EXPECT_FALSE(le::ldInputDims(graph, "missing", got));
  EXPECT_TRUE(got.empty());
  // An output of that name is not an input; an input without a shape has no dims.
  GsBytes other;
  le::gsPutTensorValueInfo(other, 12, "P_rgb", dims, 4);
  const GsBytes shapeless = lenField(11, lenField(1, str("s")));
  other.insert(other.end(), shapeless.begin(), shapeless.end());
  EXPECT_FALSE(le::ldInputDims(other, "P_rgb", got));
  EXPECT_FALSE(le::ldInputDims(other, "s", got));
}

TEST(Writers, NodeAttributesAndInitializer) {
  GsBytes attrs;
  const int64_t pads[] = {0, -1};
  le::hcAttrIs(attrs, "pads", pads, 2);
  le::hcAttrS(attrs, "mode", "edge");
  le::hcAttrI(attrs, "group", -3);
  GsBytes graph;
  le::hcNode(graph, "Pad", {"a", "b"}, "c", "n", attrs);
  // Exactly: inputs, output, name, op_type, then the attribute bytes.
  const GsBytes head = cat({lenField(1, str("a")), lenField(1, str("b")), lenField(2, str("c")),
                            lenField(3, str("n")), lenField(4, str("Pad"))});
  EXPECT_EQ(graph, lenField(1, cat({head, attrs})));
  // Attributes: name, value, type code.
  EXPECT_EQ(attrs, cat({attr({lenField(1, str("pads")), varintField(8, 0), varintField(8, uint64_t(-1)),
                              varintField(20, 7)}),
                        attr({lenField(1, str("mode")), lenField(4, str("edge")), varintField(20, 3)}),
                        attr({lenField(1, str("group")), varintField(3, uint64_t(-3)), varintField(20, 2)})}));

  GsBytes init;
  const GsBytes data = floatBytes({1.f, 2.f, 3.f, 4.f, 5.f, 6.f});
  le::hcInit(init, "w", 1, {2, 3}, data.data(), data.size());
  EXPECT_EQ(init, lenField(5, cat({varintField(1, 2), varintField(1, 3), varintField(2, 1),
                                   lenField(8, str("w")), lenField(9, data)})));
  std::vector<float> v;
  std::vector<int64_t> d;
  ASSERT_TRUE(le::hcTensorFloats(le::hcPayload(init), v));
  le::hcTensorDims(le::hcPayload(init), d);
  EXPECT_EQ(v.size(), 6u);
  EXPECT_EQ(v[5], 6.f);
  EXPECT_EQ(d, (std::vector<int64_t>{2, 3}));
}

}  // namespace
