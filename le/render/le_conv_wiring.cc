// The wiring check: the m4b graph the engine computes, written down node by
// node, matched against a model from its output "rgb" backwards. Every node
// of the model must take part (Constant nodes as the constants they feed),
// with the operator, attributes, input order, initializers and constant
// values written here. A graph that differs anywhere would render something
// else than the engine computes, so it is refused with the first difference.
#include <cstring>
#include <stdexcept>
#include <map>
#include <optional>
#include <sstream>
#include <unordered_map>

#include "le/render/conv_engine.h"

namespace le::conv {
namespace {

// ---- the expected graph ----------------------------------------------------------

struct Ref {
  enum Kind { kInput, kInit, kInts, kFloats, kNode, kEmpty } kind = kEmpty;
  std::string name;
  std::vector<int64_t> ints;
  std::vector<float> floats;
  int node = -1;
};

struct Rule {
  std::string name;
  enum Type { kInt, kInts, kFloat, kString } type = kInt;
  int64_t i = 0;
  std::vector<int64_t> is;
  float f = 0;
  std::string s;
  bool optional = false;  // may be absent (the operator's default)
};

struct Pat {
  std::string op;
  std::vector<Ref> in;
  std::vector<Rule> rules;
};

Ref input(const std::string& n) { return {Ref::kInput, n, {}, {}, -1}; }
Ref init(const std::string& n) { return {Ref::kInit, n, {}, {}, -1}; }
Ref ints(std::vector<int64_t> v) { return {Ref::kInts, "", std::move(v), {}, -1}; }
Ref floats(std::vector<float> v) { return {Ref::kFloats, "", {}, std::move(v), -1}; }
Ref node(int i) { return {Ref::kNode, "", {}, {}, i}; }
Ref empty() { return {}; }

Rule ruleI(const char* n, int64_t v, bool opt = false) { return {n, Rule::kInt, v, {}, 0, "", opt}; }
Rule ruleIs(const char* n, std::vector<int64_t> v, bool opt = false) {
  return {n, Rule::kInts, 0, std::move(v), 0, "", opt};
}
Rule ruleF(const char* n, float v, bool opt = false) { return {n, Rule::kFloat, 0, {}, v, "", opt}; }
Rule ruleS(const char* n, const char* v, bool opt = false) { return {n, Rule::kString, 0, {}, 0, v, opt}; }

class Wiring {
 public:
  Wiring(const M4bNames& names, int32_t crop) : n_(names), crop_(crop) { build(); }
  const std::vector<Pat>& pats() const { return p_; }
  int root() const { return root_; }

 private:
  int add(const char* op, std::vector<Ref> in, std::vector<Rule> rules = {}) {
    p_.push_back({op, std::move(in), std::move(rules)});
    return static_cast<int>(p_.size()) - 1;
  }
  int conv(int x, const std::string& layer, int k) {
    const int64_t p = k / 2;
    return add("Conv", {node(x), init(layer + ".weight"), init(layer + ".bias")},
               {ruleIs("kernel_shape", {k, k}, true), ruleIs("pads", {p, p, p, p}, k == 1),
                ruleIs("strides", {1, 1}, true), ruleIs("dilations", {1, 1}, true), ruleI("group", 1, true),
                ruleS("auto_pad", "NOTSET", true)});
  }
  int convRelu(int x, const std::string& layer, int k = 3) { return add("Relu", {node(conv(x, layer, k))}); }
  int pool(int x) {
    return add("AveragePool", {node(x)},
               {ruleIs("kernel_shape", {2, 2}), ruleIs("strides", {2, 2}), ruleIs("pads", {0, 0, 0, 0}, true),
                ruleI("ceil_mode", 0, true), ruleI("count_include_pad", 0, true), ruleS("auto_pad", "NOTSET", true)});
  }
  std::vector<Rule> resizeCommon() const {
    return {ruleF("cubic_coeff_a", -0.75f, true), ruleI("exclude_outside", 0, true),
            ruleF("extrapolation_value", 0.0f, true)};
  }
  int upNearest(int x, int f) {
    std::vector<Rule> r = {ruleS("mode", "nearest"), ruleS("coordinate_transformation_mode", "asymmetric"),
                           ruleS("nearest_mode", "floor")};
    for (Rule& x : resizeCommon()) r.push_back(std::move(x));
    const float ff = static_cast<float>(f);
    return add("Resize", {node(x), empty(), floats({1, 1, ff, ff})}, std::move(r));
  }
  int upLinear(int x, int f) {
    std::vector<Rule> r = {ruleS("mode", "linear"), ruleS("coordinate_transformation_mode", "half_pixel", true),
                           ruleS("nearest_mode", "round_prefer_floor", true)};
    for (Rule& x : resizeCommon()) r.push_back(std::move(x));
    const float ff = static_cast<float>(f);
    return add("Resize", {node(x), empty(), floats({1, 1, ff, ff})}, std::move(r));
  }
  int concat(std::vector<int> xs, int64_t axis) {
    std::vector<Ref> in;
    for (int x : xs) in.push_back(x >= 0 ? node(x) : input(xs_[-x - 1]));
    return add("Concat", std::move(in), {ruleI("axis", axis)});
  }
  // A graph input as a concat operand: negative indices into xs_.
  int inputRef(const std::string& name) {
    xs_.push_back(name);
    return -static_cast<int>(xs_.size());
  }
  int reshape(Ref x, std::vector<int64_t> shape) {
    return add("Reshape", {std::move(x), ints(std::move(shape))}, {ruleI("allowzero", 0, true)});
  }
  int slice(Ref x, std::vector<int64_t> starts, std::vector<int64_t> ends, std::vector<int64_t> axes) {
    return add("Slice", {std::move(x), ints(std::move(starts)), ints(std::move(ends)), ints(std::move(axes))});
  }

  // exp(-50 |grid32 - kp.xy|^2) per keypoint row; also returns the xy slice.
  std::pair<int, int> heat(const char* kp) {
    const int xy = slice(input(kp), {0}, {2}, {2});
    const int r = reshape(node(xy), {-1, 21, 1, 1, 2});
    const int d = add("Sub", {init(n_.grid32), node(r)});
    const int sq = add("Mul", {node(d), node(d)});
    const int s = add("ReduceSum", {node(sq), ints({4})}, {ruleI("keepdims", 0), ruleI("noop_with_empty_axes", 0, true)});
    return {add("Exp", {node(add("Mul", {node(s), floats({-50.0f})}))}), xy};
  }

  void build() {
    // phase A
    const auto [gd, kd2] = heat("kp_driving");
    const auto [gs, ks2] = heat("kp_source");
    const int x = concat({inputRef("pooled64"), add("Sub", {node(gd), node(gs)})}, 1);
    const int pre = add("Relu", {node(add("Conv", {node(x), init(n_.pre), init(n_.preBias)},
                                          {ruleIs("kernel_shape", {1, 1}, true), ruleIs("pads", {0, 0, 0, 0}, true),
                                           ruleIs("strides", {1, 1}, true), ruleIs("dilations", {1, 1}, true),
                                           ruleI("group", 1, true), ruleS("auto_pad", "NOTSET", true)}))});
    const int e0 = convRelu(pre, "s.e0.conv");
    const int e1 = convRelu(pool(e0), "s.e1.conv");
    const int e2 = convRelu(pool(e1), "s.e2.conv");
    const int d1 = convRelu(concat({upNearest(e2, 2), e1}, 1), "s.d1.conv");
    const int d0 = convRelu(concat({upNearest(d1, 2), e0}, 1), "s.d0.conv");
    const int ref = convRelu(upNearest(d0, 2), "s.ref.conv");
    const int mask = conv(ref, "s.mask", 3);
    const int occ = add("Sigmoid", {node(conv(ref, "s.occ", 3))});
    const int w = add("Softmax", {node(mask)}, {ruleI("axis", 1)});
    const int wk = slice(node(w), {1}, {22}, {1});
    const int wt = add("Transpose", {node(reshape(node(wk), {-1, 21, 4096}))}, {ruleIs("perm", {0, 2, 1})});
    const int disp = add("Sub", {node(ks2), node(kd2)});
    const int flow = reshape(node(add("MatMul", {node(wt), node(disp)})), {-1, 64, 64, 2});
    const int grid = add("Add", {init("s.grid64"), node(flow)});
    const int d = add("Sub", {input("kp_driving"), input("kp_source")});
    const int f12 = add("Concat", {input("kp_source"), input("kp_driving"), node(d), node(add("Mul", {node(d), node(d)}))},
                        {ruleI("axis", 2)});
    const int mean = add("ReduceMean", {node(d)}, {ruleIs("axes", {1}), ruleI("keepdims", 0)});
    const int feat = add("Concat", {node(reshape(node(f12), {-1, 252})), node(mean)}, {ruleI("axis", 1)});
    const std::vector<Rule> gemm = {ruleI("transB", 1), ruleI("transA", 0, true), ruleF("alpha", 1.0f, true),
                                    ruleF("beta", 1.0f, true)};
    const int h = add("Relu", {node(add("Gemm", {node(feat), init("s.wmlp.0.weight"), init("s.wmlp.0.bias")}, gemm))});
    const int w64 = add("Gemm", {node(h), init("s.wmlp.2.weight"), init("s.wmlp.2.bias")}, gemm);

    // phase B
    const int C = crop_, half = crop_ / 2;
    const int basis = reshape(node(add("MatMul", {node(w64), init(n_.basis)})), {-1, 3, kBasisSide, kBasisSide});
    const int occC = upNearest(occ, C / 64);
    const int gt = add("Transpose", {node(grid)}, {ruleIs("perm", {0, 3, 1, 2})});
    const int gc = add("Transpose", {node(upLinear(gt, C / 64))}, {ruleIs("perm", {0, 2, 3, 1})});
    const int warped = add("GridSample", {input("P_rgb"), node(gc)},
                           {ruleS("mode", "bilinear", true), ruleS("padding_mode", "border"),
                            ruleI("align_corners", 0, true)});
    const int bh = half == kBasisSide ? basis : pool(basis);
    const int cin = concat({pool(warped), upNearest(occ, half / 64), bh}, 1);
    const int c0 = convRelu(cin, "s.corr.0.conv");
    const int c1 = convRelu(c0, "s.corr.1.conv");
    const int c2 = conv(c1, "s.corr.2", 3);
    const int d2s = add("DepthToSpace", {node(c2)}, {ruleI("blocksize", 2), ruleS("mode", "DCR", true)});
    const int refined = add("Add", {node(add("Mul", {node(occC), node(warped)})), node(d2s)});
    const int64_t r0 = 3 * (C - kTileH) / 4, x0 = (C - kTileW) / 2;
    const std::vector<int64_t> lo{r0, x0}, hi{r0 + kTileH, x0 + kTileW}, axes{2, 3};
    const int rs = slice(node(refined), lo, hi, axes);
    const int ws = slice(node(warped), lo, hi, axes);
    const int os = slice(node(occC), lo, hi, axes);
    int t = convRelu(concat({rs, ws, os}, 1), "s.tile.0.conv");
    t = convRelu(t, "s.tile.1.conv");
    t = convRelu(t, "s.tile.2.conv");
    const int t3 = conv(t, "s.tile.3", 3);
    const int delta = add("Mul", {init("s.feather"), node(add("Sub", {node(add("Sigmoid", {node(t3)})), node(rs)}))});
    const int pad = add("Pad", {node(delta), ints({0, 0, r0, x0, 0, 0, C - r0 - kTileH, C - x0 - kTileW})},
                        {ruleS("mode", "constant", true)});
    const int sum = add("Add", {node(refined), node(pad)});
    root_ = add("Clip", {node(sum), floats({0.0f}), floats({1.0f})});
  }

  const M4bNames& n_;
  int32_t crop_;
  std::vector<Pat> p_;
  std::vector<std::string> xs_;
  int root_ = -1;
};

// ---- the model's side ------------------------------------------------------------

bool fail(std::string& reason, const std::string& why) {
  reason = why;
  return false;
}

void appendVarints(GsSlice s, std::vector<int64_t>& out) {
  const uint8_t* p = s.p;
  const uint8_t* end = s.p + s.n;
  while (p != end) {
    uint64_t v = 0;
    for (unsigned shift = 0;; shift += 7) {
      if (p == end || shift >= 70) throw std::runtime_error("onnx: bad varint");
      const uint8_t b = *p++;
      v |= uint64_t(b & 0x7f) << shift;
      if (!(b & 0x80)) break;
    }
    out.push_back(static_cast<int64_t>(v));
  }
}

struct Attr {
  std::string name;
  int64_t type = 0;
  bool hasI = false, hasF = false, hasS = false;
  int64_t i = 0;
  float f = 0;
  std::string s;
  std::vector<int64_t> ints;
  GsSlice t;
};

std::vector<Attr> attrsOf(GsSlice nodePayload) {
  std::vector<Attr> out;
  GsReader r(nodePayload);
  GsField f;
  while (r.next(f)) {
    if (f.number != 5 || f.wire != 2) continue;
    Attr a;
    GsReader ar(f.payload);
    GsField af;
    while (ar.next(af)) {
      switch (af.number) {
        case 1: if (af.wire == 2) a.name = std::string(af.payload.str()); break;
        case 2:
          if (af.wire == 5) {
            std::memcpy(&a.f, af.raw.p + af.raw.n - 4, 4);
            a.hasF = true;
          }
          break;
        case 3: if (af.wire == 0) { a.i = static_cast<int64_t>(af.value); a.hasI = true; } break;
        case 4: if (af.wire == 2) { a.s = std::string(af.payload.str()); a.hasS = true; } break;
        case 5: if (af.wire == 2) a.t = af.payload; break;
        case 8:
          if (af.wire == 0) {
            a.ints.push_back(static_cast<int64_t>(af.value));
          } else if (af.wire == 2) {  // packed
            appendVarints(af.payload, a.ints);
          }
          break;
        case 20: if (af.wire == 0) a.type = static_cast<int64_t>(af.value); break;
        default: break;
      }
    }
    out.push_back(std::move(a));
  }
  return out;
}

// The int64 values of a TensorProto (raw_data or int64_data); false for
// another type or no data.
bool tensorInts(GsSlice tensor, std::vector<int64_t>& out) {
  out.clear();
  uint64_t type = 0;
  GsSlice raw;
  bool hasRaw = false;
  GsReader r(tensor);
  GsField f;
  while (r.next(f)) {
    if (f.number == 2 && f.wire == 0) type = f.value;
    if (f.number == 9 && f.wire == 2) {
      raw = f.payload;
      hasRaw = true;
    }
    if (f.number == 7 && f.wire == 0) out.push_back(static_cast<int64_t>(f.value));
    if (f.number == 7 && f.wire == 2) appendVarints(f.payload, out);
  }
  if (type != 7) return false;
  if (hasRaw) {
    if (raw.n % 8 != 0) return false;
    out.resize(raw.n / 8);
    std::memcpy(out.data(), raw.p, raw.n);
  }
  return !out.empty();
}

template <class T>
std::string listText(const std::vector<T>& v) {
  std::ostringstream s;
  s << "[";
  for (size_t i = 0; i < v.size(); ++i) s << (i ? "," : "") << v[i];
  s << "]";
  return s.str();
}

class Matcher {
 public:
  Matcher(const LoadedOnnx& m, const Wiring& w)
      : m_(m), g_(m.graph), w_(w), prod_(g_.producers()), matched_(w.pats().size(), -1),
        used_(g_.nodes.size(), false) {}

  bool run(std::string& reason) {
    const auto it = prod_.find("rgb");
    if (it == prod_.end()) return fail(reason, "output rgb is not produced by a node");
    if (!matchNode(w_.root(), it->second, reason)) return false;
    for (size_t i = 0; i < g_.nodes.size(); ++i)
      if (!used_[i]) return fail(reason, "node " + g_.label(i) + ": not part of the m4b wiring");
    return true;
  }

 private:
  bool matchNode(int pat, size_t idx, std::string& reason) {
    if (matched_[pat] >= 0) {
      if (static_cast<size_t>(matched_[pat]) == idx) return true;
      return fail(reason, "node " + g_.label(idx) + ": computes what node " + g_.label(matched_[pat]) +
                              " already does in the m4b wiring");
    }
    const Pat& p = w_.pats()[pat];
    const GsNodeInfo& n = g_.nodes[idx];
    const std::string label = "node " + g_.label(idx);
    if (used_[idx]) return fail(reason, label + ": used twice in the m4b wiring");
    if (n.opType != p.op || !n.domain.empty())
      return fail(reason, label + ": is " + (n.domain.empty() ? "" : n.domain + "::") + n.opType + ", expected " + p.op);
    if (n.outputs.size() != 1) return fail(reason, label + ": has " + std::to_string(n.outputs.size()) + " outputs, expected 1");
    if (!matchAttrs(p, n, label, reason)) return false;
    if (n.inputs.size() != p.in.size())
      return fail(reason, label + ": has " + std::to_string(n.inputs.size()) + " inputs, expected " +
                              std::to_string(p.in.size()));
    matched_[pat] = static_cast<int>(idx);
    used_[idx] = true;
    for (size_t j = 0; j < p.in.size(); ++j)
      if (!matchInput(idx, j, p.in[j], reason)) return false;
    return true;
  }

  // Attributes the rule list does not know first, then the rules in their
  // order (the one that decides the operator's kind comes first).
  bool matchAttrs(const Pat& p, const GsNodeInfo& n, const std::string& label, std::string& reason) {
    const std::vector<Attr> attrs = attrsOf(n.payload);
    for (const Attr& a : attrs) {
      bool known = false;
      for (const Rule& r : p.rules) known = known || r.name == a.name;
      if (!known) return fail(reason, label + ": attribute " + a.name + " is not expected");
    }
    for (const Rule& r : p.rules) {
      const Attr* a = nullptr;
      for (const Attr& x : attrs)
        if (x.name == r.name) a = &x;
      if (a == nullptr) {
        if (r.optional) continue;
        return fail(reason, label + ": attribute " + r.name + " is missing");
      }
      bool ok = false;
      std::string got, want;
      switch (r.type) {
        case Rule::kInt: ok = a->hasI && a->i == r.i; got = std::to_string(a->i); want = std::to_string(r.i); break;
        case Rule::kInts: ok = a->ints == r.is; got = listText(a->ints); want = listText(r.is); break;
        case Rule::kFloat:
          ok = a->hasF && a->f == r.f;
          got = std::to_string(a->f);
          want = std::to_string(r.f);
          break;
        case Rule::kString: ok = a->hasS && a->s == r.s; got = "\"" + a->s + "\""; want = "\"" + r.s + "\""; break;
      }
      if (!ok) return fail(reason, label + ": attribute " + r.name + " is " + got + ", expected " + want);
    }
    return true;
  }

  // The constant a tensor holds: a Constant node's "value", or an initializer.
  bool constantOf(const std::string& t, std::vector<int64_t>* is, std::vector<float>* fs) {
    const auto it = prod_.find(t);
    if (it == prod_.end()) {
      if (fs == nullptr) return false;
      const OnnxInit* init = m_.inits.find(t);
      if (init == nullptr) return false;
      *fs = init->values;
      return true;
    }
    const GsNodeInfo& c = g_.nodes[it->second];
    if (c.opType != "Constant" || !c.domain.empty() || !c.inputs.empty()) return false;
    const std::vector<Attr> attrs = attrsOf(c.payload);
    if (attrs.size() != 1 || attrs[0].name != "value" || attrs[0].t.empty()) return false;
    used_[it->second] = true;
    if (is != nullptr) return tensorInts(attrs[0].t, *is);
    return hcTensorFloats(attrs[0].t, *fs);
  }

  bool matchInput(size_t idx, size_t j, const Ref& r, std::string& reason) {
    const std::string& t = g_.nodes[idx].inputs[j];
    const std::string at = "node " + g_.label(idx) + ": input " + std::to_string(j);
    switch (r.kind) {
      case Ref::kEmpty:
        if (!t.empty()) return fail(reason, at + " is " + t + ", expected none");
        return true;
      case Ref::kInput:
        if (t != r.name) return fail(reason, at + " reads " + t + ", expected the graph input " + r.name);
        return true;
      case Ref::kInit:
        if (t != r.name || !g_.isInitializer(t))
          return fail(reason, at + " reads " + t + ", expected the initializer " + r.name);
        return true;
      case Ref::kInts: {
        std::vector<int64_t> v;
        if (!constantOf(t, &v, nullptr) || v != r.ints)
          return fail(reason, at + " is not the constant " + listText(r.ints));
        return true;
      }
      case Ref::kFloats: {
        std::vector<float> v;
        if (!constantOf(t, nullptr, &v) || v != r.floats)
          return fail(reason, at + " is not the constant " + listText(r.floats));
        return true;
      }
      case Ref::kNode: {
        const auto it = prod_.find(t);
        if (it == prod_.end()) return fail(reason, at + " reads " + t + ", expected the output of a " +
                                                       w_.pats()[r.node].op + " node");
        const GsNodeInfo& src = g_.nodes[it->second];
        const Pat& want = w_.pats()[r.node];
        if (src.opType != want.op && matched_[r.node] < 0)
          return fail(reason, at + " comes from " + src.opType + " node " + g_.label(it->second) + ", expected " +
                                  want.op);
        return matchNode(r.node, it->second, reason);
      }
    }
    return false;
  }

  const LoadedOnnx& m_;
  const GsGraphInfo& g_;
  const Wiring& w_;
  std::unordered_map<std::string, size_t> prod_;
  std::vector<int> matched_;
  std::vector<bool> used_;
};

const std::vector<int64_t>* dimsOf(const LoadedOnnx& m, const std::string& name) {
  for (const auto& [n, d] : m.inputs)
    if (n == name) return &d;
  return nullptr;
}

// The declared dims of graph output `name`; empty when it declares none.
std::vector<int64_t> outputDims(const LoadedOnnx& m, const std::string& name) {
  std::vector<int64_t> dims;
  GsReader r(gsGraphOf(m.bytes));
  GsField f;
  while (r.next(f)) {
    if (f.number != 12 || f.wire != 2 || gsFirstStr(f.payload, 1) != name) continue;
    // the same path as a graph input: type.tensor_type.shape.dim
    GsBytes graph;
    gsPutBytes(graph, 11, f.payload.p, f.payload.n);
    ldInputDims(graph, name, dims);
  }
  return dims;
}

bool checkShapes(const LoadedOnnx& m, int32_t& crop, std::string& reason) {
  static const char* const kInputs[] = {"pooled64", "P_rgb", "kp_driving", "kp_source"};
  for (const auto& [name, dims] : m.inputs) {
    bool known = false;
    for (const char* k : kInputs) known = known || name == k;
    if (!known && !m.graph.isInitializer(name)) return fail(reason, "graph input " + name + " is not an m4b input");
  }
  for (const char* k : kInputs)
    if (dimsOf(m, k) == nullptr) return fail(reason, std::string("graph input ") + k + " is missing");
  const std::vector<int64_t>& pooled = *dimsOf(m, "pooled64");
  if (pooled.size() != 4 || pooled[1] != 64 || pooled[2] != 32 || pooled[3] != 32)
    return fail(reason, "pooled64 is " + listText(pooled) + ", not [B,64,32,32]");
  const int64_t B = pooled[0];
  if (B < 1) return fail(reason, "pooled64 batch is not static");
  if (B > 64) return fail(reason, "pooled64 batch " + std::to_string(B) + " is above 64");
  const std::vector<int64_t>& prior = *dimsOf(m, "P_rgb");
  if (prior.size() != 4 || prior[0] != B || prior[1] != 3 || prior[2] != prior[3] || (prior[2] != 256 && prior[2] != 512))
    return fail(reason, "P_rgb is " + listText(prior) + ", not [" + std::to_string(B) + ",3,C,C] with C 256 or 512");
  for (const char* kp : {"kp_driving", "kp_source"}) {
    const std::vector<int64_t>& d = *dimsOf(m, kp);
    if (d != std::vector<int64_t>{B, 21, 3})
      return fail(reason, std::string(kp) + " is " + listText(d) + ", not [" + std::to_string(B) + ",21,3]");
  }
  const std::vector<int64_t> rgb = outputDims(m, "rgb");
  if (!rgb.empty() && rgb != prior) return fail(reason, "rgb is " + listText(rgb) + ", not " + listText(prior));
  crop = static_cast<int32_t>(prior[2]);
  return true;
}

}  // namespace

bool m4bWiring(const LoadedOnnx& model, const M4bNames& names, int32_t& crop, std::string& reason) {
  int32_t c = 0;
  if (!checkShapes(model, c, reason)) return false;
  const Wiring w(names, c);
  Matcher m(model, w);
  if (!m.run(reason)) return false;
  crop = c;
  return true;
}

}  // namespace le::conv
