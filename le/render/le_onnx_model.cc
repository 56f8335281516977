// Initializers are copied out of the model buffer so the table outlives it.
// Values and dims come from the shared tensor readers; the table adds the
// loader's refusals on top.
#include <limits>
#include <stdexcept>

#include "le/render/onnx_model.h"

namespace le {
namespace {

constexpr uint32_t kWireVarint = 0, kWireLen = 2, kWireFixed32 = 5;
constexpr uint32_t kGraphInitializer = 5;
constexpr uint32_t kDataType = 2, kFloatData = 4, kName = 8, kRawData = 9;
constexpr uint64_t kFloat = 1;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

// Element count of dims; false when a dim is negative or the product exceeds
// what a float buffer can hold.
bool elementCount(const std::vector<int64_t>& dims, uint64_t& count) {
  constexpr uint64_t kMax = std::numeric_limits<size_t>::max() / sizeof(float);
  count = 1;
  for (int64_t d : dims) {
    if (d < 0) return false;
    if (d != 0 && count > kMax / static_cast<uint64_t>(d)) return false;
    count *= static_cast<uint64_t>(d);
  }
  return true;
}

OnnxInit readInit(GsSlice tensor) {
  OnnxInit init;
  uint64_t dataType = 0;
  bool hasRaw = false, hasFloats = false;
  uint64_t rawLen = 0;
  PbReader r(tensor);
  PbField f;
  while (r.next(f)) {
    if (f.number == kDataType && f.wire == kWireVarint) {
      dataType = f.value;
    } else if (f.number == kName && f.wire == kWireLen) {
      init.name = std::string(f.payload.str());
    } else if (f.number == kRawData && f.wire == kWireLen) {
      hasRaw = true;
      rawLen = f.payload.n;
    } else if (f.number == kFloatData && (f.wire == kWireLen || f.wire == kWireFixed32)) {
      hasFloats = true;
    }
  }
  if (dataType != kFloat) fail("onnx: non-fp32 initializer " + init.name);
  hcTensorDims(tensor, init.dims);
  uint64_t count = 0;
  const bool countOk = elementCount(init.dims, count);
  if (hasRaw) {
    if (!countOk || rawLen % 4 != 0 || rawLen / 4 != count)
      fail("onnx: raw size mismatch " + init.name);
  } else if (!hasFloats) {
    fail("onnx: no data for " + init.name);
  }
  hcTensorFloats(tensor, init.values);
  // float_data must cover the dims exactly too: consumers index by dims.
  if (!countOk || init.values.size() != count)
    fail("onnx: float_data size mismatch " + init.name);
  return init;
}

}  // namespace

OnnxModel OnnxModel::parse(GsSlice model) {
  OnnxModel m;
  PbReader r(gsGraphOf(model));
  PbField f;
  while (r.next(f)) {
    if (f.number != kGraphInitializer || f.wire != kWireLen) continue;
    OnnxInit init = readInit(f.payload);
    if (!m.byName_.emplace(init.name, m.inits_.size()).second)
      fail("onnx: duplicate initializer " + init.name);
    m.inits_.push_back(std::move(init));
  }
  return m;
}

const OnnxInit* OnnxModel::find(std::string_view name) const {
  const auto it = byName_.find(std::string(name));
  return it == byName_.end() ? nullptr : &inits_[it->second];
}

const OnnxInit& OnnxModel::get(std::string_view name) const {
  if (const OnnxInit* e = find(name)) return *e;
  fail("onnx: missing initializer " + std::string(name));
}

}  // namespace le
