// Any bytes as a model: every reader either answers within the buffer or
// throws std::runtime_error (the sanitizers catch a read outside it). Then,
// under an edit chosen by the first two bytes, the rest as a model: a rebuild
// either throws std::runtime_error or writes a model that reads back cleanly,
// rebuilds to itself when unedited, and keeps every top-level field.
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

size_t topLevelFields(le::GsSlice model) {
  size_t n = 0;
  le::GsReader r(model);
  le::GsField f;
  while (r.next(f)) ++n;
  return n;
}

void rebuild(const uint8_t* data, size_t size) {
  if (size < 2) return;
  const uint8_t flags = data[0], drops = data[1];
  const std::vector<uint8_t> model(data + 2, data + size);
  le::GsGraphEdit edit;
  for (int k = 0; k < 8; ++k) edit.dropNode.push_back((drops >> k) & 1);
  edit.dropPrgbInput = flags & 1;
  edit.keepOnlyPrgbInput = flags & 2;
  edit.dropOutputs = flags & 4;
  if (flags & 8) edit.valueInfo = le::GsValueInfo{"P_rgb", {}, static_cast<size_t>(flags >> 4), 12};
  if (flags & 16) edit.valueInfo = le::GsValueInfo{"x", {1, -1, 7}, 3, 11};

  std::vector<uint8_t> out;
  size_t fields;
  try {
    fields = topLevelFields(model);
    le::gsRebuild(model, edit, out);
  } catch (const std::runtime_error&) {
    return;
  }
  // What was written parses, keeps the field count and is a fixed point of
  // the empty edit.
  std::vector<uint8_t> again;
  try {
    if (topLevelFields(out) != fields) std::abort();
    le::gsRebuild(out, {}, again);
  } catch (const std::runtime_error&) {
    std::abort();
  }
  if (again != out) std::abort();
  if (!edit.valueInfo && edit.dropNode == std::vector<bool>(8, false) && !(flags & 7) &&
      out.size() > model.size())
    std::abort();  // an empty edit can only shorten a non-minimal length prefix
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
      if (m.get(i.name).name != i.name) std::abort();  // every initializer is found by its name
  } catch (const std::runtime_error&) {
  }
  rebuild(data, size);
  return 0;
}
