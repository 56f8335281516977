// Any bytes as a model under an edit chosen by the first bytes: a rebuild
// either throws std::runtime_error or writes a model that reads back cleanly,
// rebuilds to itself when unedited, and keeps every top-level field.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "le/render/onnx_wire.h"

namespace {

size_t topLevelFields(le::GsSlice model) {
  size_t n = 0;
  le::GsReader r(model);
  le::GsField f;
  while (r.next(f)) ++n;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
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
    return 0;
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
  return 0;
}
