// Any bytes as a model: every reader either answers within the buffer or
// throws std::runtime_error. The sanitizers catch a read outside it.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "le/render/onnx_model.h"
#include "le/render/onnx_wire.h"

namespace {

void readGraph(le::GsSlice graph) {
  std::vector<std::string> names;
  std::vector<float> floats;
  std::vector<int64_t> dims;
  le::GsReader r(graph);
  le::GsField f;
  while (r.next(f)) {
    if (f.raw.n == 0 || f.raw.p < graph.p || f.raw.p + f.raw.n > graph.p + graph.n) std::abort();
    if (f.wire != 2) continue;
    switch (f.number) {
      case 1: {
        le::gsAllStr(f.payload, 1, names);
        le::gsAllStr(f.payload, 2, names);
        (void)le::gsFirstStr(f.payload, 4);
        const le::GsSlice t = le::hcConstValue(f.payload);
        le::hcTensorDims(t, dims);
        le::hcTensorFloats(t, floats);
        (void)le::hcReadAttrs(f.payload);
        break;
      }
      case 5:
        le::hcTensorDims(f.payload, dims);
        if (le::hcTensorFloats(f.payload, floats) && floats.size() > f.payload.n / 4) std::abort();
        break;
      case 11: {
        const std::string name = le::gsFirstStr(f.payload, 1);
        int32_t elem;
        le::ldInputDims(graph, name, dims, &elem);
        break;
      }
      default:
        (void)le::hcPayload(f.payload);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly size bytes so that any over-read hits the redzone.
  const std::vector<uint8_t> model(data, data + size);
  try {
    readGraph(le::gsGraphOf(model));
  } catch (const std::runtime_error&) {
  }
  try {
    le::OnnxModel m = le::OnnxModel::parse(model);
    for (const le::OnnxInit& i : m.initializers())
      if (&m.get(i.name) == nullptr) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
