// The checkpoint reader's two layers on hand-made bytes: archive structure
// faults, and the pickle machine's opcodes, limits and refusals.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "le/tessera/head.h"
#include "le/tessera/head_pt.h"
#include "testkit/testkit.h"

namespace {

using namespace std::string_literals;
using le::tessera::pt::readZip;
using le::tessera::pt::runPickle;
using le::test::errorOf;

// ------------------------------------------------------------ archive bytes

// v as n little-endian bytes.
std::string le(uint32_t v, size_t n) {
  std::string s(n, 0);
  for (size_t i = 0; i < n; ++i) s[i] = char((v >> (8 * i)) & 0xFF);
  return s;
}
std::string le16(uint32_t v) { return le(v, 2); }
std::string le32(uint32_t v) { return le(v, 4); }
void put16(std::string& s, size_t at, uint32_t v) { s.replace(at, 2, le16(v)); }
void put32(std::string& s, size_t at, uint32_t v) { s.replace(at, 4, le32(v)); }

struct Rec {
  std::string name, data;
};

// Stored records, sizes in both headers; returns the archive and where each
// central entry and the end record start.
struct Zip {
  std::string bytes;
  std::vector<size_t> central, local;
  size_t end = 0;
};

Zip zipOf(const std::vector<Rec>& recs, const std::string& comment = "") {
  Zip z;
  for (const Rec& r : recs) {
    z.local.push_back(z.bytes.size());
    z.bytes += le32(0x04034B50) + le16(20) + le16(0) + le16(0) + le32(0) + le32(0) +
               le32(uint32_t(r.data.size())) + le32(uint32_t(r.data.size())) +
               le16(uint32_t(r.name.size())) + le16(0) + r.name + r.data;
  }
  const size_t cd = z.bytes.size();
  for (size_t i = 0; i < recs.size(); ++i) {
    const Rec& r = recs[i];
    z.central.push_back(z.bytes.size());
    z.bytes += le32(0x02014B50) + le16(20) + le16(20) + le16(0) + le16(0) + le32(0) + le32(0) +
               le32(uint32_t(r.data.size())) + le32(uint32_t(r.data.size())) +
               le16(uint32_t(r.name.size())) + le16(0) + le16(0) + le16(0) + le16(0) + le32(0) +
               le32(uint32_t(z.local[i])) + r.name;
  }
  z.end = z.bytes.size();
  z.bytes += le32(0x06054B50) + le16(0) + le16(0) + le16(uint32_t(recs.size())) +
             le16(uint32_t(recs.size())) + le32(uint32_t(z.end - cd)) + le32(uint32_t(cd)) +
             le16(uint32_t(comment.size())) + comment;
  return z;
}

std::vector<le::tessera::pt::ZipEntry> walk(const std::string& s) {
  return readZip(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// Names, and data placed past torch's local extras, meet python's zipfile in
// head_itest; here what its checkpoints never hold: a comment carrying the end
// record's signature, and an uncompressed size of 0 (the compressed one counts).
TEST(HeadZip, ACommentAndAZeroUncompressedSize) {
  Zip z = zipOf({{"a/data.pkl", "PKL"}, {"a/data/0", "0123456789"}}, "a comment with PK\x05\x06 inside");
  put32(z.bytes, z.central[1] + 24, 0);
  const auto e = walk(z.bytes);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(z.bytes.substr(e[1].offset, e[1].size), "0123456789");
}

TEST(HeadZip, Refusals) {
  const Zip base = zipOf({{"a/data.pkl", "PKL"}, {"a/data/0", "0123"}});
  const std::string malformed = "teeth: head .pt central directory is malformed",
                    localRange = "teeth: head .pt local header out of range",
                    entryRange = "teeth: head .pt entry out of range";
  // {what, edit of the archive's bytes, message}
  const std::tuple<const char*, std::function<void(std::string&)>, std::string> cases[] = {
      {"21 bytes", [](std::string& s) { s.assign(21, 'x'); }, "teeth: head .pt is not a zip"},
      {"no end record", [](std::string& s) { s.assign(400, 'x'); }, "teeth: head .pt has no zip EOCD"},
      {"no entries", [&](std::string& s) { put16(s, base.end + 10, 0); }, "teeth: head .pt has no data.pkl"},
      {"directory past the end", [&](std::string& s) { put32(s, base.end + 16, 1u << 31); }, malformed},
      {"bad central signature", [&](std::string& s) { s[base.central[1]] = 'Q'; }, malformed},
      {"more entries than written", [&](std::string& s) { put16(s, base.end + 10, 3); }, malformed},
      {"deflated second entry", [&](std::string& s) { put16(s, base.central[1] + 10, 8); },
       "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member"},
      {"name runs past the end", [&](std::string& s) { put16(s, base.central[1] + 28, 0xFFFF); }, malformed},
      {"local header past the end", [&](std::string& s) { put32(s, base.central[0] + 42, 0xFFFFFFF0u); }, localRange},
      {"local header 29 bytes from the end",
       [&](std::string& s) { put32(s, base.central[0] + 42, uint32_t(s.size() - 29)); }, localRange},
      {"local header without signature", [&](std::string& s) { s[base.local[1]] = 'Q'; },
       "teeth: head .pt local header has no signature"},
      {"data past the end", [&](std::string& s) { put32(s, base.central[1] + 24, 0xFFFFFFFFu); }, entryRange},
      {"local extra pushes data past the end",
       [&](std::string& s) { put16(s, base.local[1] + 28, 0xFFFF); }, entryRange},
  };
  for (const auto& [what, edit, expected] : cases) {
    std::string bytes = base.bytes;
    edit(bytes);
    EXPECT_EQ(errorOf([&] { walk(bytes); }), expected) << what;
  }
}

// ------------------------------------------------------------ pickle bytes

std::string op(int code) { return std::string(1, char(code)); }
std::string proto() { return "\x80\x02"s; }
std::string str(const std::string& s) { return op(0x58) + le32(uint32_t(s.size())) + s; }
std::string int1(int v) { return op(0x4B) + std::string(1, char(v)); }
std::string global(const std::string& m, const std::string& n) { return "c" + m + "\n" + n + "\n"; }
const std::string kMark = "(", kTuple = "t", kStop = ".", kSetItem = "s", kSetItems = "u",
                  kEmptyDict = "}", kReduce = "R", kPersId = "Q";

std::string storage(const std::string& key, const std::string& type = "FloatStorage") {
  return kMark + str("storage") + global("torch", type) + str(key) + str("cpu") + int1(4) + kTuple + kPersId;
}
// _rebuild_tensor_v2(storage, offset, sizes, stride, False, OrderedDict())
std::string tensor(const std::string& key, const std::string& offset, const std::string& sizes) {
  return global("torch._utils", "_rebuild_tensor_v2") + kMark + storage(key) + offset + sizes +
         op(0x29) + op(0x89) + global("collections", "OrderedDict") + op(0x29) + kReduce + kTuple + kReduce;
}

std::vector<le::tessera::pt::StatePair> run(const std::string& s) {
  return runPickle(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// BININT is signed and BININT2 two bytes wide; the rest of the opcodes are
// checked on the fixture's checkpoints pickled by Python itself.
TEST(HeadPickle, IntegersKeepTheirSignAndWidth) {
  const std::string sizes = kMark + int1(16) + op(0x4D) + "\x34\x12"s + kTuple;  // (16, 4660)
  const auto pairs = run(proto() + kEmptyDict + str("b") + tensor("1", op(0x4A) + le32(0xFFFFFFFFu), sizes) +
                         kSetItem + kStop);
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_EQ(pairs[0].tensor.offset, -1);
  EXPECT_EQ(pairs[0].tensor.sizes, (std::vector<int64_t>{16, 4660}));
}

std::string nestedTuples(int depth) {
  std::string s = proto() + op(0x29);
  for (int i = 0; i < depth; ++i) s += op(0x85);
  return s + kStop;
}

TEST(HeadPickle, Refusals) {
  const std::string underflowMsg = "teeth: pickle stack underflow", malformed = "teeth: malformed _rebuild_tensor_v2";
  // _rebuild_tensor_v2 called on the tuple of `args`.
  const std::string unexpectedId = "teeth: unexpected persistent id in head .pt", kFloat = global("torch", "FloatStorage");
  // A persistent id of the tuple of `args`.
  const auto persId = [](const std::string& args) { return proto() + kMark + args + kTuple + kPersId; };
  const auto rebuild = [](const std::string& args) {
    return proto() + global("torch._utils", "_rebuild_tensor_v2") + kMark + args + kTuple + kReduce;
  };
  std::string tooLarge = proto();
  for (uint64_t i = 0; i <= le::tessera::pt::kPickleMaxValues; ++i) tooLarge += "N";
  std::string tooManyMarks = proto() + std::string(le::tessera::pt::kPickleMaxValues + 1, '(');
  const std::tuple<const char*, std::string, std::string> cases[] = {
      {"PROTO without its byte", "\x80"s, "teeth: pickle truncated"},
      {"no STOP", proto() + kEmptyDict, "teeth: pickle truncated"},
      {"BININT2 without its second byte", proto() + op(0x4D) + "\x01", "teeth: pickle truncated"},
      {"nothing collected", proto() + kEmptyDict + kStop, "teeth: head .pt state_dict is empty"},
      {"POP", proto() + "N0", "teeth: unsupported pickle opcode 0x30 in head .pt"},
      {"TUPLE without mark", proto() + "NN" + kTuple, "teeth: pickle mark missing"},
      {"SETITEMS with an odd count", proto() + kEmptyDict + kMark + "NNN" + kSetItems,
       "teeth: pickle SETITEMS holds an unpaired key"},
      {"SETITEM on one value", proto() + "N" + kSetItem, underflowMsg},
      {"TUPLE2 reaching below a mark", proto() + "N" + kMark + "N" + op(0x86), underflowMsg},
      {"BINGET of a slot never set", proto() + "Nq\x02h\x01"s, "teeth: pickle BINGET out of range"},
      {"LONG_BINGET past the memo", proto() + "Nq\x00j"s + le32(1), "teeth: pickle LONG_BINGET out of range"},
      {"BINPUT on an empty stack stores nothing", proto() + "q\x00h\x00"s, "teeth: pickle BINGET out of range"},
      {"LONG_BINPUT far past the opcodes read", proto() + "Nr" + le32(1000000),
       "teeth: pickle memo index out of range"},
      {"65 nested tuples", nestedTuples(65), "teeth: pickle too deep"},
      {"64 nested tuples are read", nestedTuples(le::tessera::pt::kPickleMaxDepth), "teeth: head .pt state_dict is empty"},
      {"2^20 + 1 values", tooLarge, "teeth: pickle too large"},
      {"2^20 + 1 marks", tooManyMarks, "teeth: pickle too large"},
      {"GLOBAL without its second line", proto() + "ctorch\nFloatStorage", "teeth: pickle truncated"},
      {"BINUNICODE longer than the stream", proto() + op(0x58) + le32(100) + "abc", "teeth: pickle truncated"},
      {"REDUCE of an unmodelled global", proto() + global("os", "system") + str("ls") + op(0x85) + kReduce,
       "teeth: head .pt calls os system — this reader refuses code it does not model"},
      {"REDUCE of a string", proto() + str("eval") + op(0x29) + kReduce,
       "teeth: head .pt calls 'eval' — this reader refuses code it does not model"},
      {"persistent id of four entries", persId(str("storage") + kFloat + str("0") + str("cpu")), unexpectedId},
      {"persistent id not a tuple", proto() + str("storage") + kPersId, unexpectedId},
      {"persistent id of another kind", persId(str("module") + kFloat + str("0") + str("cpu") + int1(1)), unexpectedId},
      {"half storage", proto() + storage("0", "HalfStorage"),
       "teeth: head .pt storage is torch HalfStorage, not torch FloatStorage — refusing to reinterpret it"},
      {"storage type given as a string",
       persId(str("storage") + str("torch FloatStorage") + str("0") + str("cpu") + int1(1)),
       "teeth: head .pt storage is 'torch FloatStorage', not torch FloatStorage — refusing to reinterpret it"},
      {"storage key not a string", persId(str("storage") + kFloat + int1(0) + str("cpu") + int1(1)), unexpectedId},
      {"rebuild with three arguments", rebuild(storage("0") + int1(0) + op(0x29)), malformed},
      {"rebuild with a string offset", rebuild(storage("0") + str("0") + op(0x29) + op(0x29)), malformed},
      {"rebuild without a storage", rebuild(str("0") + int1(0) + op(0x29) + op(0x29)), malformed},
      {"rebuild with a stride that is no tuple", rebuild(storage("0") + int1(0) + op(0x29) + "N"), malformed},
  };
  for (const auto& [what, bytes, expected] : cases) EXPECT_EQ(errorOf([&] { run(bytes); }), expected) << what;
}

TEST(HeadPickle, MessagesCutLongValues) {
  // A callable rendered for the message stays short, however long it is.
  std::string p = proto() + str(std::string(100000, 'x')) + "q\x00"s;
  for (int i = 0; i < 20; ++i) p += "h\x00h\x00"s + op(0x86) + "q\x00"s;
  const std::string msg = errorOf([&] { run(p + op(0x29) + kReduce); });
  EXPECT_EQ(msg.rfind("teeth: head .pt calls " + std::string(20, '(') + "'xxx", 0), 0u)
      << msg.substr(0, 80);
  EXPECT_LT(msg.size(), 300u);
}

// ------------------------------------------------------------ whole checkpoints

// A BlendHead8(16) checkpoint assembled here: the six cand tensors, one
// storage each, element k of tensor i holding (i + 1) + k / 4096.
std::vector<uint8_t> blendHead8() {
  const std::pair<const char*, std::vector<int>> kCand[] = {
      {"cand.0.weight", {16, 7, 3, 3}}, {"cand.0.bias", {16}}, {"cand.2.weight", {16, 16, 3, 3}},
      {"cand.2.bias", {16}},            {"cand.4.weight", {1, 16, 3, 3}}, {"cand.4.bias", {1}}};
  std::string p = proto() + kEmptyDict + kMark;
  std::vector<Rec> recs{{"h/data.pkl", ""}, {"h/byteorder", "little"}};
  for (int i = 0; i < 6; ++i) {
    std::string sizes = kMark, data;
    int n = 1;
    for (int s : kCand[i].second) sizes += int1(s), n *= s;
    for (int k = 0; k < n; ++k) {
      const float v = float(i + 1) + float(k) / 4096.f;
      data.append(reinterpret_cast<const char*>(&v), 4);  // the test machines are little-endian
    }
    p += str(kCand[i].first) + tensor(std::to_string(i), int1(0), sizes + kTuple);
    recs.push_back({"h/data/" + std::to_string(i), data});
  }
  recs[0].data = p + kSetItems + kStop;
  const std::string z = zipOf(recs).bytes;
  return {z.begin(), z.end()};
}

// Every message the reader may give for a damaged file, as prefixes.
bool listed(const std::string& msg) {
  static const char* const kPrefixes[] = {
      "teeth: head .pt is not a zip", "teeth: head .pt has no zip EOCD", "teeth: head .pt has no data.pkl",
      "teeth: head .pt central directory is malformed", "teeth: head .pt entry is DEFLATEd",
      "teeth: head .pt local header out of range", "teeth: head .pt local header has no signature",
      "teeth: head .pt entry out of range", "teeth: head .pt byteorder is '", "teeth: pickle truncated",
      "teeth: unsupported pickle opcode 0x", "teeth: pickle stack underflow", "teeth: pickle mark missing",
      "teeth: pickle SETITEMS holds an unpaired key", "teeth: pickle BINGET out of range",
      "teeth: pickle LONG_BINGET out of range", "teeth: pickle memo index out of range",
      "teeth: pickle too deep", "teeth: pickle too large", "teeth: unexpected persistent id in head .pt",
      "teeth: head .pt storage is ", "teeth: head .pt calls ", "teeth: malformed _rebuild_tensor_v2",
      "teeth: head .pt state_dict is empty", "teeth: head .pt lacks '", "teeth: head .pt names '",
      "teeth: head '", "teeth: head storage "};
  for (const char* p : kPrefixes)
    if (msg.rfind(p, 0) == 0) return true;
  return false;
}

// Each damaged copy lives in an exactly sized heap buffer, so the address
// sanitizer sees any read past its end.
TEST(HeadCheckpoint, EveryByteFlipAndCutGivesWeightsOrAListedMessage) {
  const std::vector<uint8_t> good = blendHead8();
  for (size_t i = 0; i < 2 * good.size(); ++i) {
    std::vector<uint8_t> b = good;
    if (i < good.size()) b[i] ^= 0xFF;
    else b.resize(i - good.size());
    try {
      const int64_t n = le::tessera::loadHeadPt(b).params();
      EXPECT_TRUE(n == 3489 || n == 4082) << i;
    } catch (const std::runtime_error& e) {
      EXPECT_TRUE(listed(e.what())) << i << ": " << e.what();
    }
    if (HasFailure()) return;
  }
}

}  // namespace
