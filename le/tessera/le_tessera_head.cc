// The blend head's checkpoint: archive, pickle, then each of the expected
// tensors fetched by name, checked for shape and copied out of its storage.
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "le/tessera/head.h"
#include "le/tessera/head_pt.h"

namespace le::tessera {

namespace {

constexpr int64_t kBlendHead = 4082, kBlendHead8 = 3489;

bool endsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

[[noreturn]] void refuse(const std::string& what) { throw std::runtime_error(what); }

struct Archive {
  const uint8_t* data;
  std::vector<pt::ZipEntry> entries;

  const pt::ZipEntry* last(std::string_view suffix, size_t minName) const {
    for (auto it = entries.rbegin(); it != entries.rend(); ++it)
      if (it->name.size() > minName && endsWith(it->name, suffix)) return &*it;
    return nullptr;
  }
  const pt::ZipEntry* first(std::string_view suffix) const {
    for (const auto& e : entries)
      if (endsWith(e.name, suffix)) return &e;
    return nullptr;
  }
};

// Storages are read as little-endian float32; a checkpoint written on a
// big-endian machine says so in its byteorder record (older ones have none).
void checkByteOrder(const Archive& a) {
  const pt::ZipEntry* e = a.first("/byteorder");
  if (!e) return;
  const std::string value(reinterpret_cast<const char*>(a.data + e->offset),
                          std::min<uint64_t>(e->size, 32));
  if (value != "little")
    refuse("teeth: head .pt byteorder is '" + value + "', storages are read as little-endian");
}

float floatAt(const uint8_t* p) {
  const uint32_t bits = uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) |
                        (uint32_t(p[3]) << 24);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

std::string joinSizes(const std::vector<int64_t>& sizes) {
  std::string s;
  for (size_t i = 0; i < sizes.size(); ++i) s += (i ? "," : "") + std::to_string(sizes[i]);
  return s;
}

std::vector<float> fetch(const Archive& a, const std::vector<pt::StatePair>& pairs,
                         const HeadTensor& want) {
  const std::string name = want.name;
  const pt::TensorRef* t = nullptr;
  int count = 0;
  for (const auto& p : pairs)
    if (p.name == name && !count++) t = &p.tensor;
  if (!count) refuse("teeth: head .pt lacks '" + name + "'");
  if (count > 1)
    refuse("teeth: head .pt names '" + name + "' " + std::to_string(count) + " times — ambiguous");
  if (t->sizes != want.shape)
    refuse("teeth: head '" + name + "' has shape [" + joinSizes(t->sizes) +
           "] — not the BlendHead(16) arch");

  const pt::ZipEntry* e = a.first("/data/" + t->storage);
  if (!e) refuse("teeth: head storage " + t->storage + " missing");
  uint64_t numel = 1;
  for (int64_t s : want.shape) numel *= uint64_t(s);
  const uint64_t floats = e->size / 4;
  if (t->offset < 0 || uint64_t(t->offset) > floats)
    refuse("teeth: head storage " + t->storage + " offset out of range");
  if (numel > floats - uint64_t(t->offset)) refuse("teeth: head storage " + t->storage + " too small");

  std::vector<float> out(numel);
  const uint8_t* src = a.data + e->offset + uint64_t(t->offset) * 4;
  for (uint64_t i = 0; i < numel; ++i) {
    out[i] = floatAt(src + 4 * i);
    if (!std::isfinite(out[i])) refuse("teeth: head '" + name + "' carries a non-finite weight");
  }
  return out;
}

bool names(const std::vector<pt::StatePair>& pairs, std::string_view name) {
  for (const auto& p : pairs)
    if (p.name == name) return true;
  return false;
}

}  // namespace

const std::array<HeadTensor, 10>& headTensors() {
  static const std::array<HeadTensor, 10> kTensors{{
      {"cand.0.weight", {16, 7, 3, 3}, &HeadWeights::cand0W},
      {"cand.0.bias", {16}, &HeadWeights::cand0B},
      {"cand.2.weight", {16, 16, 3, 3}, &HeadWeights::cand2W},
      {"cand.2.bias", {16}, &HeadWeights::cand2B},
      {"cand.4.weight", {1, 16, 3, 3}, &HeadWeights::cand4W},
      {"cand.4.bias", {1}, &HeadWeights::cand4B},
      {"syn.0.weight", {16, 3, 3, 3}, &HeadWeights::syn0W},
      {"syn.0.bias", {16}, &HeadWeights::syn0B},
      {"syn.2.weight", {1, 16, 3, 3}, &HeadWeights::syn2W},
      {"syn.2.bias", {1}, &HeadWeights::syn2B},
  }};
  return kTensors;
}

int64_t HeadWeights::params() const {
  int64_t n = 0;
  for (const HeadTensor& t : headTensors()) n += int64_t((this->*t.field).size());
  return n;
}

HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes) {
  Archive a{bytes.data(), pt::readZip(bytes.data(), bytes.size())};
  const pt::ZipEntry* pkl = a.last("/data.pkl", 8);
  if (!pkl) refuse("teeth: head .pt has no data.pkl");
  checkByteOrder(a);
  const std::vector<pt::StatePair> pairs = pt::runPickle(a.data + pkl->offset, pkl->size);

  HeadWeights w;
  const auto& tensors = headTensors();
  for (size_t i = 0; i < 6; ++i) w.*tensors[i].field = fetch(a, pairs, tensors[i]);
  bool syn = false;
  for (size_t i = 6; i < tensors.size(); ++i) syn = syn || names(pairs, tensors[i].name);
  if (syn)
    for (size_t i = 6; i < tensors.size(); ++i) w.*tensors[i].field = fetch(a, pairs, tensors[i]);

  const int64_t n = w.params();
  if (n != kBlendHead && n != kBlendHead8)
    refuse("teeth: head has " + std::to_string(n) +
           " params, not the 4,082 of BlendHead(16) nor the 3,489 of BlendHead8(16)");
  return w;
}

}  // namespace le::tessera
