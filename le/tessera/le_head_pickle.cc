// The checkpoint's pickle layer: a machine that knows the protocol-2 opcodes
// a float32 state dictionary needs and nothing else. It builds inert values
// only; the two callables it models (OrderedDict and _rebuild_tensor_v2) are
// recognised by name, never looked up.
//
// Values are immutable and shared, so memo fetches and tuple building copy
// pointers, not trees. Pops never reach below the innermost mark, and every
// count the stream controls (memo index, values pushed, tuple nesting) is
// bounded, so a hostile stream costs at most its own length in work.
#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "le/tessera/head_pt.h"

namespace le::tessera::pt {

namespace {

enum class Kind : uint8_t { None, Bool, Int, Str, Tuple, Dict, Global, Storage, Tensor };

struct Value;
using Ref = std::shared_ptr<const Value>;

struct Value {
  Kind kind = Kind::None;
  int64_t num = 0;             // Bool, Int; Tensor: storage offset
  std::string text;            // Str; Global "module name"; Storage and Tensor: storage key
  std::vector<Ref> items;      // Tuple
  std::vector<int64_t> sizes;  // Tensor
  int depth = 0;               // tuple nesting below this value
};

[[noreturn]] void refuse(const std::string& what) { throw std::runtime_error(what); }

constexpr size_t kMaxText = 160;

// A short rendering of a value for messages; long or deep values are cut.
void appendText(const Value& v, std::string& out) {
  if (out.size() > kMaxText) return;
  switch (v.kind) {
    case Kind::None: out += "None"; break;
    case Kind::Bool: out += v.num ? "True" : "False"; break;
    case Kind::Int: out += std::to_string(v.num); break;
    case Kind::Str: out += "'" + v.text.substr(0, kMaxText) + "'"; break;
    case Kind::Global: out += v.text.substr(0, kMaxText); break;
    case Kind::Dict: out += "{}"; break;
    case Kind::Storage: out += "storage " + v.text.substr(0, kMaxText); break;
    case Kind::Tensor: out += "tensor"; break;
    case Kind::Tuple:
      out += "(";
      for (size_t i = 0; i < v.items.size() && out.size() <= kMaxText; ++i) {
        if (i) out += ", ";
        appendText(*v.items[i], out);
      }
      out += ")";
      break;
  }
}

std::string textOf(const Value& v) {
  std::string out;
  appendText(v, out);
  if (out.size() > kMaxText) out = out.substr(0, kMaxText) + "...";
  return out;
}

Ref make(Kind k, int64_t num = 0, std::string text = {}) {
  auto v = std::make_shared<Value>();
  v->kind = k;
  v->num = num;
  v->text = std::move(text);
  return v;
}

Ref makeTuple(std::vector<Ref> items) {
  auto v = std::make_shared<Value>();
  v->kind = Kind::Tuple;
  for (const Ref& it : items) v->depth = std::max(v->depth, it->depth + 1);
  if (v->depth > kPickleMaxDepth) refuse("teeth: pickle too deep");
  v->items = std::move(items);
  return v;
}

bool isGlobal(const Value& v, std::string_view name) {
  return v.kind == Kind::Global && v.text == name;
}

class Machine {
 public:
  Machine(const uint8_t* data, uint64_t size) : p_(data), end_(data + size) {}

  std::vector<StatePair> run() {
    for (;;) {
      ++opcodes_;
      const uint8_t op = u8();
      if (op == 0x2E) break;  // STOP
      step(op);
    }
    if (pairs_.empty()) refuse("teeth: head .pt state_dict is empty");
    return std::move(pairs_);
  }

 private:
  void step(uint8_t op) {
    switch (op) {
      case 0x80: u8(); break;                                        // PROTO
      case 0x28: mark(); break;                                       // MARK
      case 0x29: push(makeTuple({})); break;                          // EMPTY_TUPLE
      case 0x4A: push(make(Kind::Int, int32_t(le(4)))); break;        // BININT
      case 0x4B: push(make(Kind::Int, le(1))); break;                 // BININT1
      case 0x4D: push(make(Kind::Int, le(2))); break;                 // BININT2
      case 0x4E: push(make(Kind::None)); break;                       // NONE
      case 0x88: push(make(Kind::Bool, 1)); break;                    // NEWTRUE
      case 0x89: push(make(Kind::Bool, 0)); break;                    // NEWFALSE
      case 0x7D: push(make(Kind::Dict)); break;                       // EMPTY_DICT
      case 0x51: persistentId(); break;                               // BINPERSID
      case 0x52: reduce(); break;                                     // REDUCE
      case 0x58: push(make(Kind::Str, 0, bytes(le(4)))); break;       // BINUNICODE
      case 0x62: build(); break;                                      // BUILD
      case 0x63: global(); break;                                     // GLOBAL
      case 0x68: memoGet(le(1), "teeth: pickle BINGET out of range"); break;
      case 0x6A: memoGet(le(4), "teeth: pickle LONG_BINGET out of range"); break;
      case 0x71: memoPut(le(1)); break;                               // BINPUT
      case 0x72: memoPut(le(4)); break;                               // LONG_BINPUT
      case 0x73: setItem(); break;                                    // SETITEM
      case 0x74: tupleFromMark(); break;                              // TUPLE
      case 0x75: setItems(); break;                                   // SETITEMS
      case 0x85: case 0x86: case 0x87: tupleOf(op - 0x84); break;     // TUPLE1..3
      default: {
        static const char kHex[] = "0123456789abcdef";
        refuse(std::string("teeth: unsupported pickle opcode 0x") + kHex[op >> 4] + kHex[op & 15] +
               " in head .pt");
      }
    }
  }

  // --- reading the stream
  uint8_t u8() {
    if (p_ == end_) refuse("teeth: pickle truncated");
    return *p_++;
  }
  // n-byte unsigned little-endian integer.
  uint64_t le(int n) {
    if (end_ - p_ < n) refuse("teeth: pickle truncated");
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= uint64_t(p_[i]) << (8 * i);
    p_ += n;
    return v;
  }
  std::string bytes(uint64_t n) {
    if (uint64_t(end_ - p_) < n) refuse("teeth: pickle truncated");
    std::string s(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return s;
  }
  std::string line() {
    const uint8_t* nl = p_;
    while (nl != end_ && *nl != '\n') ++nl;
    if (nl == end_) refuse("teeth: pickle truncated");
    std::string s(reinterpret_cast<const char*>(p_), nl - p_);
    p_ = nl + 1;
    return s;
  }

  // --- the stack
  void push(Ref v) {
    if (++pushed_ > kPickleMaxValues) refuse("teeth: pickle too large");
    stack_.push_back(std::move(v));
  }
  // Marks count as values: a stream of bare MARKs must not grow without bound.
  void mark() {
    if (++pushed_ > kPickleMaxValues) refuse("teeth: pickle too large");
    marks_.push_back(stack_.size());
  }
  size_t fence() const { return marks_.empty() ? 0 : marks_.back(); }
  Ref pop() {
    if (stack_.size() <= fence()) refuse("teeth: pickle stack underflow");
    Ref v = std::move(stack_.back());
    stack_.pop_back();
    return v;
  }
  // Everything above the innermost mark, which is dropped.
  std::vector<Ref> popToMark() {
    if (marks_.empty()) refuse("teeth: pickle mark missing");
    const size_t m = marks_.back();
    marks_.pop_back();
    std::vector<Ref> items(std::make_move_iterator(stack_.begin() + m),
                           std::make_move_iterator(stack_.end()));
    stack_.resize(m);
    return items;
  }

  // --- the memo: an index no stream of this length could have written is refused
  // before anything is allocated for it.
  void memoPut(uint64_t i) {
    if (i > opcodes_ || i >= kPickleMaxValues) refuse("teeth: pickle memo index out of range");
    if (stack_.empty()) return;
    if (memo_.size() <= i) memo_.resize(i + 1);
    memo_[i] = stack_.back();
  }
  void memoGet(uint64_t i, const char* outOfRange) {
    if (i >= memo_.size() || !memo_[i]) refuse(outOfRange);
    push(memo_[i]);
  }

  // --- compound opcodes
  void global() {
    std::string module = line();
    push(make(Kind::Global, 0, module + " " + line()));
  }
  void tupleOf(int n) {
    std::vector<Ref> items(n);
    for (int i = n - 1; i >= 0; --i) items[i] = pop();
    push(makeTuple(std::move(items)));
  }
  void tupleFromMark() { push(makeTuple(popToMark())); }

  void collect(const Ref& key, const Ref& value) {
    if (key->kind == Kind::Str && value->kind == Kind::Tensor)
      pairs_.push_back({key->text, {value->text, value->num, value->sizes}});
  }
  void setItem() {
    Ref value = pop();
    Ref key = pop();
    collect(key, value);
  }
  void setItems() {
    const std::vector<Ref> items = popToMark();
    if (items.size() % 2) refuse("teeth: pickle SETITEMS holds an unpaired key");
    for (size_t i = 0; i < items.size(); i += 2) collect(items[i], items[i + 1]);
  }

  // The state is dropped, the object stays: left on the stack, the state would
  // pair with the next key of an enclosing SETITEMS (a nested state dict with
  // _metadata, followed by other keys).
  void build() {
    pop();
    if (stack_.size() <= fence()) refuse("teeth: pickle stack underflow");
  }

  void persistentId() {
    const Ref id = pop();
    if (id->kind != Kind::Tuple || id->items.size() < 5 || id->items[0]->kind != Kind::Str ||
        id->items[0]->text != "storage")
      refuse("teeth: unexpected persistent id in head .pt");
    const Value& type = *id->items[1];
    if (!isGlobal(type, "torch FloatStorage"))
      refuse("teeth: head .pt storage is " + textOf(type) +
             ", not torch FloatStorage — refusing to reinterpret it");
    if (id->items[2]->kind != Kind::Str) refuse("teeth: unexpected persistent id in head .pt");
    push(make(Kind::Storage, 0, id->items[2]->text));
  }

  void reduce() {
    const Ref args = pop();
    const Ref callable = pop();
    if (isGlobal(*callable, "collections OrderedDict")) return push(make(Kind::Dict));
    if (!isGlobal(*callable, "torch._utils _rebuild_tensor_v2"))
      refuse("teeth: head .pt calls " + textOf(*callable) +
             " — this reader refuses code it does not model");
    push(rebuildTensor(*args));
  }

  static Ref rebuildTensor(const Value& args) {
    const auto malformed = [] { refuse("teeth: malformed _rebuild_tensor_v2"); };
    if (args.kind != Kind::Tuple || args.items.size() < 4) malformed();
    const Value& storage = *args.items[0];
    const Value& offset = *args.items[1];
    const Value& sizes = *args.items[2];
    if (storage.kind != Kind::Storage || offset.kind != Kind::Int || sizes.kind != Kind::Tuple ||
        args.items[3]->kind != Kind::Tuple)
      malformed();
    auto t = std::make_shared<Value>();
    t->kind = Kind::Tensor;
    t->text = storage.text;
    t->num = offset.num;
    for (const Ref& s : sizes.items) {
      if (s->kind != Kind::Int) malformed();
      t->sizes.push_back(s->num);
    }
    return t;
  }

  const uint8_t* p_;
  const uint8_t* end_;
  uint64_t opcodes_ = 0, pushed_ = 0;
  std::vector<Ref> stack_;
  std::vector<size_t> marks_;
  std::vector<Ref> memo_;
  std::vector<StatePair> pairs_;
};

}  // namespace

std::vector<StatePair> runPickle(const uint8_t* data, uint64_t size) {
  return Machine(data, size).run();
}

}  // namespace le::tessera::pt
