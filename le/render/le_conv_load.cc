// The fp16 engine's model loader and initializer resolver: the whole file in
// memory, every initializer as float32, the graph's input shapes, and the
// m4b initializers by exact name and shape or, for the three whose names
// carry the exporter's counter, by shape.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <stdexcept>

#include "le/render/conv_engine.h"

namespace le::conv {
namespace {

// Protocol buffers cap a message at 2 GiB; nothing larger is a model.
constexpr uint64_t kMaxModelBytes = uint64_t{2} << 30;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

GsBytes readModel(const std::string& path) {
  // Non-blocking, so that a FIFO planted under a model name cannot hang the
  // open; only a regular file is read.
  Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) throw std::runtime_error("le_conv: cannot open " + path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
    throw std::runtime_error("le_conv: cannot open " + path + " (not a regular file)");
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size > kMaxModelBytes) throw std::runtime_error("le_conv: " + path + " is larger than 2 GiB");
  GsBytes bytes(static_cast<size_t>(size));
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t r = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) throw std::runtime_error("le_conv: short read " + path);
    got += static_cast<size_t>(r);
  }
  return bytes;
}

std::string shapeText(const std::vector<int64_t>& dims) {
  std::string s = "(";
  for (size_t i = 0; i < dims.size(); ++i) s += (i ? "," : "") + std::to_string(dims[i]);
  return s + ")";
}

// "onnx::Conv_313" -> "onnx::Conv_314"; false when the name does not end in
// a decimal counter.
bool nextCounterName(const std::string& name, std::string& next) {
  size_t digits = 0;
  while (digits < name.size() && name[name.size() - 1 - digits] >= '0' && name[name.size() - 1 - digits] <= '9')
    ++digits;
  if (digits == 0 || digits > 18) return false;
  uint64_t v = 0;
  const char* first = name.data() + name.size() - digits;
  if (std::from_chars(first, name.data() + name.size(), v).ec != std::errc()) return false;
  next = name.substr(0, name.size() - digits) + std::to_string(v + 1);
  return true;
}

}  // namespace

const std::array<FixedInit, 36> kM4bFixed = {{
    {"s.e0.conv.weight", {96, 96, 3, 3}, 4},     {"s.e0.conv.bias", {96}, 1},
    {"s.e1.conv.weight", {144, 96, 3, 3}, 4},    {"s.e1.conv.bias", {144}, 1},
    {"s.e2.conv.weight", {192, 144, 3, 3}, 4},   {"s.e2.conv.bias", {192}, 1},
    {"s.d1.conv.weight", {144, 336, 3, 3}, 4},   {"s.d1.conv.bias", {144}, 1},
    {"s.d0.conv.weight", {96, 240, 3, 3}, 4},    {"s.d0.conv.bias", {96}, 1},
    {"s.ref.conv.weight", {48, 96, 3, 3}, 4},    {"s.ref.conv.bias", {48}, 1},
    {"s.mask.weight", {22, 48, 3, 3}, 4},        {"s.mask.bias", {22}, 1},
    {"s.occ.weight", {1, 48, 3, 3}, 4},          {"s.occ.bias", {1}, 1},
    {"s.corr.0.conv.weight", {24, 7, 3, 3}, 4},  {"s.corr.0.conv.bias", {24}, 1},
    {"s.corr.1.conv.weight", {24, 24, 3, 3}, 4}, {"s.corr.1.conv.bias", {24}, 1},
    {"s.corr.2.weight", {12, 24, 3, 3}, 4},      {"s.corr.2.bias", {12}, 1},
    {"s.tile.0.conv.weight", {32, 7, 3, 3}, 4},  {"s.tile.0.conv.bias", {32}, 1},
    {"s.tile.1.conv.weight", {32, 32, 3, 3}, 4}, {"s.tile.1.conv.bias", {32}, 1},
    {"s.tile.2.conv.weight", {32, 32, 3, 3}, 4}, {"s.tile.2.conv.bias", {32}, 1},
    {"s.tile.3.weight", {3, 32, 3, 3}, 4},       {"s.tile.3.bias", {3}, 1},
    {"s.grid64", {64, 64, 2}, 3},                {"s.feather", {1, 1, 256, 208}, 4},
    {"s.wmlp.0.weight", {128, 255}, 2},          {"s.wmlp.0.bias", {128}, 1},
    {"s.wmlp.2.weight", {64, 128}, 2},           {"s.wmlp.2.bias", {64}, 1},
}};

std::string topologyMessage(const std::string& reason) {
  return "le_conv: this graph is not the fused m4b topology this kernel implements (" + reason + ") — use ORT for it";
}

LoadedOnnx loadOnnx(const std::string& path) {
  LoadedOnnx m;
  m.bytes = readModel(path);
  m.inits = OnnxModel::parse(m.bytes);
  if (!gsReadGraph(m.bytes, m.graph)) throw std::runtime_error("le_conv: pooled64 input not found");
  const GsSlice graph = gsGraphOf(m.bytes);
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.number != 11 || f.wire != 2) continue;  // GraphProto.input
    const std::string name = gsFirstStr(f.payload, 1);
    std::vector<int64_t> dims;
    ldInputDims(graph, name, dims);
    m.inputs.emplace_back(name, std::move(dims));
  }
  bool found = false;
  for (const auto& [name, dims] : m.inputs)
    if (name == "pooled64" && !dims.empty()) {
      m.batch = dims[0];
      found = true;
    }
  if (!found) throw std::runtime_error("le_conv: pooled64 input not found");
  return m;
}

std::string resolveByShape(const OnnxModel& m, const std::vector<int64_t>& shape) {
  std::string hit;
  int count = 0;
  for (const OnnxInit& init : m.initializers())
    if (init.dims == shape) {
      hit = init.name;
      ++count;
    }
  return count == 1 ? hit : std::string();
}

bool m4bResolve(const OnnxModel& m, M4bNames& names, std::string& reason) {
  for (const FixedInit& fx : kM4bFixed) {
    const OnnxInit* init = m.find(fx.name);
    const std::vector<int64_t> want(fx.shape.begin(), fx.shape.begin() + fx.rank);
    if (init == nullptr) {
      reason = std::string("missing ") + fx.name;
      return false;
    }
    if (init->dims != want) {
      reason = std::string(fx.name) + " is " + shapeText(init->dims) + ", not " + shapeText(want);
      return false;
    }
  }
  names.pre = resolveByShape(m, {96, 85, 1, 1});
  if (names.pre.empty()) {
    reason = "pre weight (96,85,1,1) absent or ambiguous";
    return false;
  }
  if (!nextCounterName(names.pre, names.preBias)) {
    reason = "pre weight name carries no SSA counter";
    return false;
  }
  const OnnxInit* bias = m.find(names.preBias);
  if (bias == nullptr || bias->dims != std::vector<int64_t>{96}) {
    reason = "pre bias " + names.preBias + " absent or not (96)";
    return false;
  }
  names.grid32 = resolveByShape(m, {1, 1, 32, 32, 2});
  if (names.grid32.empty()) {
    reason = "grid32 (1,1,32,32,2) absent or ambiguous";
    return false;
  }
  names.basis = resolveByShape(m, {64, static_cast<int64_t>(kBasisCols)});
  if (names.basis.empty()) {
    reason = "basis (64,196608) absent or ambiguous";
    return false;
  }
  return true;
}

}  // namespace le::conv
