// The student's "/s2/blend" MatMul becomes a Gemm (alpha 1, beta 1, no
// transposes: the same product) that every execution provider can claim.
#include "le/render/rewrites.h"

namespace le {
namespace {
constexpr uint32_t kNodeOp = 4, kNodeAttr = 5, kNodeDomain = 7;

bool isBlend(const GsNodeInfo& n) {
  if (n.name != "/s2/blend" || n.opType != "MatMul") return false;
  if (!(n.domain.empty() || n.domain == "ai.onnx") || n.inputs.size() != 2) return false;
  GsReader r(n.payload);
  GsField f;
  while (r.next(f))
    if (f.number == kNodeAttr) return false;
  return true;
}
}  // namespace

size_t normaliseStudentBlend(GsBytes& model) {
  GsBytes tail;
  gsPutBytes(tail, kNodeOp, "Gemm");
  return rwRetagNodes(
      model, isBlend,
      [](const GsField& nf) { return nf.number == kNodeOp || nf.number == kNodeDomain; }, tail,
      false);
}

}  // namespace le
