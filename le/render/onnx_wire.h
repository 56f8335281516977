// ONNX model bytes read and written field by field, without a protocol-buffer
// library. Readers hand out slices into the caller's buffer (nothing is copied
// until a writer emits bytes); writers append encoded fields to a byte vector.
// Every decoding error throws std::runtime_error with an "onnx: ..." text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace le {

using GsBytes = std::vector<uint8_t>;

// Non-owning view of bytes; valid as long as the buffer it points into.
struct GsSlice {
  const uint8_t* p = nullptr;
  size_t n = 0;

  GsSlice() = default;
  GsSlice(const uint8_t* data, size_t len) : p(data), n(len) {}
  GsSlice(const GsBytes& b) : p(b.data()), n(b.size()) {}  // NOLINT: views are cheap
  static GsSlice of(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
  }
  bool empty() const { return n == 0; }
  std::string_view str() const { return {reinterpret_cast<const char*>(p), n}; }
};

struct GsField {
  uint32_t number = 0;
  uint32_t wire = 0;
  uint64_t value = 0;  // wire type 0 only
  GsSlice payload;     // wire type 2 only
  GsSlice raw;         // the whole field, tag included
};

// One message's fields in file order.
class GsReader {
 public:
  explicit GsReader(GsSlice s) : cur_(s.p), end_(s.p + s.n) {}
  // False at the end of the range; otherwise decodes one field and advances.
  bool next(GsField& f);

 private:
  const uint8_t* cur_;
  const uint8_t* end_;
};

// The same reader for the fp16 loader, without the raw slice.
struct PbField {
  uint32_t number = 0;
  uint32_t wire = 0;
  uint64_t value = 0;
  GsSlice payload;
};

class PbReader {
 public:
  explicit PbReader(GsSlice s) : r_(s) {}
  bool next(PbField& f);

 private:
  GsReader r_;
};

// ---- readers ---------------------------------------------------------------

// Payload of the first ModelProto graph field; empty when there is none.
GsSlice gsGraphOf(GsSlice model);

// Payload of the first length-delimited field `number`; "" when absent.
std::string gsFirstStr(GsSlice msg, uint32_t number);

// Every length-delimited field `number`, in order (out is replaced).
void gsAllStr(GsSlice msg, uint32_t number, std::vector<std::string>& out);

// Payload of the slice's first field when it is length-delimited, else empty.
GsSlice hcPayload(GsSlice s);

// Float values of a FLOAT TensorProto: raw_data when present (a trailing
// partial float is dropped), else float_data. False for another data type,
// for raw_data under 4 bytes, and when no value was read. out is replaced.
bool hcTensorFloats(GsSlice tensor, std::vector<float>& out);

// The repeated dims of a TensorProto (out is replaced).
void hcTensorDims(GsSlice tensor, std::vector<int64_t>& out);

// TensorProto payload of the "value" attribute of a Constant node; empty when
// the node is not a Constant or carries no such tensor.
GsSlice hcConstValue(GsSlice node);

// The Resize attributes the head rewrite judges; absent ones stay unset.
struct HcAttrs {
  std::optional<std::string> mode;
  std::optional<std::string> coordinateTransformationMode;
  std::optional<std::string> keepAspectRatioPolicy;
  float cubicCoeffA = -0.75f;
  std::optional<int64_t> excludeOutside;
  std::optional<int64_t> antialias;
  std::optional<std::vector<int64_t>> axes;
};
HcAttrs hcReadAttrs(GsSlice node);

// Dimensions of graph input `name` from its tensor type: dim_value where
// given, -1 for a named or empty dimension. False when the graph has no such
// input or the input declares no tensor shape. elemType (optional) receives
// the declared element type (0 when absent).
bool ldInputDims(GsSlice graph, std::string_view name, std::vector<int64_t>& dims,
                 int32_t* elemType = nullptr);

// ---- writers ---------------------------------------------------------------

void gsPutVarint(GsBytes& out, uint64_t v);
// Tag (number << 3 | 2), length, data.
void gsPutBytes(GsBytes& out, uint32_t number, const void* data, size_t len);
void gsPutBytes(GsBytes& out, uint32_t number, std::string_view s);
void gsPutRaw(GsBytes& out, GsSlice s);

// A float ValueInfoProto as graph field `number` (11 input, 12 output). Dim i
// is dim_value dims[i] when dims is given and dims[i] > 0, else dim_param
// "le_hoist_d<i>".
void gsPutTensorValueInfo(GsBytes& out, uint32_t number, std::string_view name,
                          const int64_t* dims, size_t rank);

// A NodeProto as graph field 1 in the default domain; attrs are field-5
// entries as written by hcAttr*.
void hcNode(GsBytes& out, std::string_view opType, const std::vector<std::string>& inputs,
            std::string_view output, std::string_view name, GsSlice attrs);
void hcAttrI(GsBytes& out, std::string_view name, int64_t v);
void hcAttrIs(GsBytes& out, std::string_view name, const int64_t* values, size_t n);
void hcAttrS(GsBytes& out, std::string_view name, std::string_view s);
// A TensorProto as graph field 5 (initializer) with raw_data.
void hcInit(GsBytes& out, std::string_view name, int32_t dataType,
            const std::vector<int64_t>& dims, const void* data, size_t len);

// ---- rebuild ---------------------------------------------------------------

struct GsValueInfo {
  std::string name;
  std::vector<int64_t> dims;  // empty: every dimension named
  size_t rank = 0;
  uint32_t number = 12;       // 11 input, 12 output
};

struct GsGraphEdit {
  std::vector<bool> dropNode;  // by node index in file order; missing = keep
  bool dropPrgbInput = false;
  bool keepOnlyPrgbInput = false;
  bool dropOutputs = false;
  std::optional<GsValueInfo> valueInfo;
};

// Writes model with its first graph rebuilt under `edit` in place of the old
// one; every other field keeps its bytes and position. out is replaced.
void gsRebuild(GsSlice model, const GsGraphEdit& edit, GsBytes& out);

}  // namespace le
