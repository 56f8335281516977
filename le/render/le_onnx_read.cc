// Field reader and the ONNX message readers. Lengths are compared as
// `len > end - cursor` so that a hostile length near 2^64 can never wrap a
// pointer; the readers descend a fixed number of message levels and never
// recurse, so file data cannot drive the stack.
#include <bit>
#include <cstring>
#include <stdexcept>

#include "le/render/onnx_wire.h"

namespace le {
namespace {

static_assert(std::endian::native == std::endian::little,
              "float payloads are read as little-endian in place");

// Node, attribute, tensor and value-info field numbers.
constexpr uint32_t kModelGraph = 7;
constexpr uint32_t kGraphInput = 11;
constexpr uint32_t kNodeOpType = 4, kNodeAttr = 5;
constexpr uint32_t kAttrName = 1, kAttrF = 2, kAttrI = 3, kAttrS = 4, kAttrT = 5, kAttrInts = 8;
constexpr uint32_t kTensorDims = 1, kTensorType = 2, kTensorFloats = 4, kTensorRaw = 9;
constexpr uint32_t kWireVarint = 0, kWireLen = 2, kWireFixed32 = 5;
constexpr int32_t kFloat = 1;
// Protocol-buffer field numbers are 1 .. 2^29 - 1.
constexpr uint64_t kMaxFieldNumber = (uint64_t{1} << 29) - 1;

[[noreturn]] void fail(const char* what) { throw std::runtime_error(what); }

const uint8_t* readVarint(const uint8_t* p, const uint8_t* end, uint64_t& v) {
  uint64_t r = 0;
  // Ten bytes carry 64 bits; a continuation bit on the tenth is an error.
  for (unsigned shift = 0; shift < 70; shift += 7) {
    if (p == end) fail("onnx: bad varint");
    const uint8_t b = *p++;
    r |= uint64_t(b & 0x7f) << shift;
    if (!(b & 0x80)) {
      v = r;
      return p;
    }
  }
  fail("onnx: bad varint");
}

float floatAt(const uint8_t* p) {
  float f;
  std::memcpy(&f, p, 4);
  return f;
}

// The float of a fixed32 field sits in the last 4 bytes of its raw slice.
float fixed32Of(const GsField& f) { return floatAt(f.raw.p + f.raw.n - 4); }

void appendPackedVarints(GsSlice s, std::vector<int64_t>& out) {
  const uint8_t* p = s.p;
  const uint8_t* end = s.p + s.n;
  while (p != end) {
    uint64_t v;
    p = readVarint(p, end, v);
    out.push_back(static_cast<int64_t>(v));
  }
}

}  // namespace

bool GsReader::next(GsField& f) {
  if (cur_ == end_) return false;
  const uint8_t* start = cur_;
  uint64_t tag;
  const uint8_t* p = readVarint(cur_, end_, tag);
  const uint64_t wire = tag & 7;
  const uint64_t number = tag >> 3;
  if (wire == 3 || wire == 4 || wire == 6 || wire == 7) fail("onnx: bad wire type");
  if (number == 0 || number > kMaxFieldNumber) fail("onnx: bad field number");
  f.number = static_cast<uint32_t>(number);
  f.wire = static_cast<uint32_t>(wire);
  f.value = 0;
  f.payload = {};
  switch (wire) {
    case 0:
      p = readVarint(p, end_, f.value);
      break;
    case 1:
      if (end_ - p < 8) fail("onnx: truncated");
      p += 8;
      break;
    case 2: {
      uint64_t len;
      p = readVarint(p, end_, len);
      if (len > static_cast<uint64_t>(end_ - p)) fail("onnx: truncated");
      f.payload = {p, static_cast<size_t>(len)};
      p += len;
      break;
    }
    default:  // 5
      if (end_ - p < 4) fail("onnx: truncated");
      p += 4;
      break;
  }
  f.raw = {start, static_cast<size_t>(p - start)};
  cur_ = p;
  return true;
}

bool PbReader::next(PbField& f) {
  GsField g;
  if (!r_.next(g)) return false;
  f.number = g.number;
  f.wire = g.wire;
  f.value = g.value;
  f.payload = g.payload;
  return true;
}

GsSlice gsGraphOf(GsSlice model) {
  GsReader r(model);
  GsField f;
  while (r.next(f))
    if (f.number == kModelGraph && f.wire == kWireLen) return f.payload;
  return {};
}

std::string gsFirstStr(GsSlice msg, uint32_t number) {
  GsReader r(msg);
  GsField f;
  while (r.next(f))
    if (f.number == number && f.wire == kWireLen) return std::string(f.payload.str());
  return {};
}

void gsAllStr(GsSlice msg, uint32_t number, std::vector<std::string>& out) {
  out.clear();
  GsReader r(msg);
  GsField f;
  while (r.next(f))
    if (f.number == number && f.wire == kWireLen) out.emplace_back(f.payload.str());
}

GsSlice hcPayload(GsSlice s) {
  GsReader r(s);
  GsField f;
  if (r.next(f) && f.wire == kWireLen) return f.payload;
  return {};
}

bool hcTensorFloats(GsSlice tensor, std::vector<float>& out) {
  out.clear();
  int64_t dataType = 0;
  bool hasRaw = false;
  GsSlice raw;
  GsReader r(tensor);
  GsField f;
  while (r.next(f)) {
    if (f.number == kTensorType && f.wire == kWireVarint) {
      dataType = static_cast<int64_t>(f.value);
    } else if (f.number == kTensorRaw && f.wire == kWireLen) {
      hasRaw = true;  // the last one wins, as for any scalar field
      raw = f.payload;
    } else if (f.number == kTensorFloats && f.wire == kWireFixed32) {
      out.push_back(fixed32Of(f));
    } else if (f.number == kTensorFloats && f.wire == kWireLen) {
      if (f.payload.n % 4 != 0) fail("onnx: truncated");
      const size_t at = out.size();
      out.resize(at + f.payload.n / 4);
      if (f.payload.n) std::memcpy(out.data() + at, f.payload.p, f.payload.n);
    }
  }
  if (dataType != kFloat) {
    out.clear();
    return false;
  }
  if (hasRaw) {
    out.resize(raw.n / 4);
    if (raw.n >= 4) std::memcpy(out.data(), raw.p, out.size() * 4);
  }
  return !out.empty();
}

void hcTensorDims(GsSlice tensor, std::vector<int64_t>& out) {
  out.clear();
  GsReader r(tensor);
  GsField f;
  while (r.next(f)) {
    if (f.number != kTensorDims) continue;
    if (f.wire == kWireVarint) out.push_back(static_cast<int64_t>(f.value));
    else if (f.wire == kWireLen) appendPackedVarints(f.payload, out);
  }
}

GsSlice hcConstValue(GsSlice node) {
  if (gsFirstStr(node, kNodeOpType) != "Constant") return {};
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.number != kNodeAttr || f.wire != kWireLen) continue;
    if (gsFirstStr(f.payload, kAttrName) != "value") continue;
    GsReader a(f.payload);
    GsField af;
    while (a.next(af))
      if (af.number == kAttrT && af.wire == kWireLen) return af.payload;
  }
  return {};
}

HcAttrs hcReadAttrs(GsSlice node) {
  HcAttrs out;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.number != kNodeAttr || f.wire != kWireLen) continue;
    std::string name;
    std::optional<std::string> s;
    std::optional<int64_t> i;
    std::optional<float> fl;
    std::vector<int64_t> ints;
    bool hasInts = false;
    GsReader a(f.payload);
    GsField af;
    while (a.next(af)) {
      if (af.number == kAttrName && af.wire == kWireLen) name = std::string(af.payload.str());
      else if (af.number == kAttrS && af.wire == kWireLen) s = std::string(af.payload.str());
      else if (af.number == kAttrI && af.wire == kWireVarint) i = static_cast<int64_t>(af.value);
      else if (af.number == kAttrF && af.wire == kWireFixed32) fl = fixed32Of(af);
      else if (af.number == kAttrInts && af.wire == kWireVarint) {
        hasInts = true;
        ints.push_back(static_cast<int64_t>(af.value));
      } else if (af.number == kAttrInts && af.wire == kWireLen) {
        hasInts = true;
        appendPackedVarints(af.payload, ints);
      }
    }
    if (name == "mode") out.mode = s.value_or("");
    else if (name == "coordinate_transformation_mode") out.coordinateTransformationMode = s.value_or("");
    else if (name == "keep_aspect_ratio_policy") out.keepAspectRatioPolicy = s.value_or("");
    else if (name == "cubic_coeff_a" && fl) out.cubicCoeffA = *fl;
    else if (name == "exclude_outside") out.excludeOutside = i.value_or(0);
    else if (name == "antialias") out.antialias = i.value_or(0);
    else if (name == "axes" && hasInts) out.axes = std::move(ints);
    else if (name == "axes") out.axes = std::vector<int64_t>{};
  }
  return out;
}

bool ldInputDims(GsSlice graph, std::string_view name, std::vector<int64_t>& dims,
                 int32_t* elemType) {
  dims.clear();
  if (elemType) *elemType = 0;
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.number != kGraphInput || f.wire != kWireLen) continue;
    if (gsFirstStr(f.payload, 1) != name) continue;
    // ValueInfoProto.type -> TypeProto.tensor_type -> shape -> dim.
    const GsSlice tensorType = [&] {
      GsReader v(f.payload);
      GsField vf;
      while (v.next(vf))
        if (vf.number == 2 && vf.wire == kWireLen) {
          GsReader t(vf.payload);
          GsField tf;
          while (t.next(tf))
            if (tf.number == 1 && tf.wire == kWireLen) return tf.payload;
        }
      return GsSlice{};
    }();
    bool hasShape = false;
    GsReader t(tensorType);
    GsField tf;
    while (t.next(tf)) {
      if (tf.number == 1 && tf.wire == kWireVarint && elemType) {
        *elemType = static_cast<int32_t>(tf.value);
      } else if (tf.number == 2 && tf.wire == kWireLen) {
        hasShape = true;  // a repeated shape merges: its dims append
        GsReader s(tf.payload);
        GsField sf;
        while (s.next(sf)) {
          if (sf.number != 1 || sf.wire != kWireLen) continue;
          int64_t d = -1;
          GsReader dr(sf.payload);
          GsField df;
          while (dr.next(df))
            if (df.number == 1 && df.wire == kWireVarint) d = static_cast<int64_t>(df.value);
          dims.push_back(d < 0 ? -1 : d);
        }
      }
    }
    return hasShape;
  }
  return false;
}

}  // namespace le
