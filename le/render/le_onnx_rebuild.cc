// Model rebuild: the first graph is re-emitted field by field under an edit;
// every field kept is copied from its raw bytes, so an empty edit reproduces
// the model exactly (given the minimal length encoding every writer uses).
#include <stdexcept>

#include "le/render/onnx_wire.h"

namespace le {
namespace {

constexpr uint32_t kWireLen = 2;
constexpr uint32_t kModelGraph = 7;
constexpr uint32_t kNode = 1, kInput = 11, kOutput = 12, kValueInfo = 13;
constexpr std::string_view kSourceInput = "P_rgb";
// Room for the appended value-info and a longer length prefix of the graph.
constexpr size_t kSlack = 256;

bool dropsField(const GsField& f, const GsGraphEdit& edit, size_t& nodeIndex) {
  if (f.wire != kWireLen) return false;
  switch (f.number) {
    case kNode: {
      const size_t k = nodeIndex++;
      return k < edit.dropNode.size() && edit.dropNode[k];
    }
    case kInput: {
      const bool isSource = gsFirstStr(f.payload, 1) == kSourceInput;
      if (edit.keepOnlyPrgbInput) return !isSource || edit.dropPrgbInput;
      return isSource && edit.dropPrgbInput;
    }
    case kOutput:
      return edit.dropOutputs;
    case kValueInfo:
      return edit.valueInfo && gsFirstStr(f.payload, 1) == edit.valueInfo->name;
    default:
      return false;
  }
}

// Two passes over the graph's fields: the first sizes what is kept (the
// length prefix comes first), the second copies it straight into the model,
// so the kept bytes are copied once.
void rebuildGraph(GsSlice graph, const GsGraphEdit& edit, GsBytes& out) {
  GsBytes appended;
  if (const auto& vi = edit.valueInfo)
    gsPutTensorValueInfo(appended, vi->number, vi->name, vi->dims.empty() ? nullptr : vi->dims.data(),
                         vi->rank);
  uint64_t kept = appended.size();
  size_t nodeIndex = 0;
  GsField f;
  for (GsReader r(graph); r.next(f);)
    if (!dropsField(f, edit, nodeIndex)) kept += f.raw.n;
  gsPutVarint(out, (uint64_t{kModelGraph} << 3) | kWireLen);
  gsPutVarint(out, kept);
  nodeIndex = 0;
  for (GsReader r(graph); r.next(f);)
    if (!dropsField(f, edit, nodeIndex)) gsPutRaw(out, f.raw);
  gsPutRaw(out, appended);
}

}  // namespace

void gsRebuild(GsSlice model, const GsGraphEdit& edit, GsBytes& out) {
  if (const auto& vi = edit.valueInfo; vi && !vi->dims.empty() && vi->dims.size() != vi->rank)
    throw std::invalid_argument("gsRebuild: the new value-info has " +
                                std::to_string(vi->dims.size()) + " dims for rank " +
                                std::to_string(vi->rank));
  // Built aside and swapped in: model may be a view of out itself.
  GsBytes result;
  result.reserve(model.n + kSlack);
  bool rebuilt = false;
  GsReader r(model);
  GsField f;
  while (r.next(f)) {
    if (!rebuilt && f.number == kModelGraph && f.wire == kWireLen) {
      rebuildGraph(f.payload, edit, result);
      rebuilt = true;
    } else {
      gsPutRaw(result, f.raw);
    }
  }
  out.swap(result);
}

}  // namespace le
