// Field writers and builders for the few ONNX messages the rewrites create.
// Nested messages are built into a scratch vector first: a length prefix
// needs the payload's size before its bytes.
#include <cstdio>
#include <cstring>

#include "le/render/onnx_wire.h"

namespace le {
namespace {

constexpr uint32_t kWireVarint = 0, kWireLen = 2;
constexpr uint64_t kAttrInt = 2, kAttrString = 3, kAttrInts = 7;
constexpr uint64_t kFloat = 1;

void putTag(GsBytes& out, uint32_t number, uint32_t wire) {
  gsPutVarint(out, (uint64_t{number} << 3) | wire);
}

void putVarintField(GsBytes& out, uint32_t number, uint64_t v) {
  putTag(out, number, kWireVarint);
  gsPutVarint(out, v);
}

void putMessage(GsBytes& out, uint32_t number, const GsBytes& msg) {
  gsPutBytes(out, number, msg.data(), msg.size());
}

}  // namespace

void gsPutVarint(GsBytes& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
}

void gsPutBytes(GsBytes& out, uint32_t number, const void* data, size_t len) {
  putTag(out, number, kWireLen);
  gsPutVarint(out, len);
  const auto* p = static_cast<const uint8_t*>(data);
  if (len) out.insert(out.end(), p, p + len);
}

void gsPutBytes(GsBytes& out, uint32_t number, std::string_view s) {
  gsPutBytes(out, number, s.data(), s.size());
}

void gsPutRaw(GsBytes& out, GsSlice s) {
  if (s.n) out.insert(out.end(), s.p, s.p + s.n);
}

void gsPutTensorValueInfo(GsBytes& out, uint32_t number, std::string_view name,
                          const int64_t* dims, size_t rank) {
  GsBytes shape;
  for (size_t i = 0; i < rank; ++i) {
    GsBytes dim;
    if (dims && dims[i] > 0) {
      putVarintField(dim, 1, static_cast<uint64_t>(dims[i]));
    } else {
      char param[32];
      const int len = std::snprintf(param, sizeof param, "le_hoist_d%zu", i);
      gsPutBytes(dim, 2, param, static_cast<size_t>(len));
    }
    putMessage(shape, 1, dim);
  }
  GsBytes tensor;
  putVarintField(tensor, 1, kFloat);
  putMessage(tensor, 2, shape);
  GsBytes type;
  putMessage(type, 1, tensor);
  GsBytes info;
  gsPutBytes(info, 1, name);
  putMessage(info, 2, type);
  putMessage(out, number, info);
}

void hcNode(GsBytes& out, std::string_view opType, const std::vector<std::string>& inputs,
            std::string_view output, std::string_view name, GsSlice attrs) {
  GsBytes node;
  for (const std::string& in : inputs) gsPutBytes(node, 1, in);
  gsPutBytes(node, 2, output);
  gsPutBytes(node, 3, name);
  gsPutBytes(node, 4, opType);
  gsPutRaw(node, attrs);
  putMessage(out, 1, node);
}

void hcAttrI(GsBytes& out, std::string_view name, int64_t v) {
  GsBytes a;
  gsPutBytes(a, 1, name);
  putVarintField(a, 3, static_cast<uint64_t>(v));
  putVarintField(a, 20, kAttrInt);
  putMessage(out, 5, a);
}

void hcAttrIs(GsBytes& out, std::string_view name, const int64_t* values, size_t n) {
  GsBytes a;
  gsPutBytes(a, 1, name);
  for (size_t i = 0; i < n; ++i) putVarintField(a, 8, static_cast<uint64_t>(values[i]));
  putVarintField(a, 20, kAttrInts);
  putMessage(out, 5, a);
}

void hcAttrS(GsBytes& out, std::string_view name, std::string_view s) {
  GsBytes a;
  gsPutBytes(a, 1, name);
  gsPutBytes(a, 4, s);
  putVarintField(a, 20, kAttrString);
  putMessage(out, 5, a);
}

void hcInit(GsBytes& out, std::string_view name, int32_t dataType,
            const std::vector<int64_t>& dims, const void* data, size_t len) {
  // The weights are written once, straight into out, behind a head whose
  // length prefix already counts them.
  GsBytes head;
  for (int64_t d : dims) putVarintField(head, 1, static_cast<uint64_t>(d));
  putVarintField(head, 2, static_cast<uint64_t>(static_cast<int64_t>(dataType)));
  gsPutBytes(head, 8, name);
  putTag(head, 9, kWireLen);
  gsPutVarint(head, len);
  putTag(out, 5, kWireLen);
  gsPutVarint(out, head.size() + len);
  gsPutRaw(out, head);
  gsPutRaw(out, {static_cast<const uint8_t*>(data), len});
}

}  // namespace le
