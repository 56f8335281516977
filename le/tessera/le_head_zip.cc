// The checkpoint's zip layer: the end record found by a backward scan, then
// the central directory walked entry by entry. Every offset and length comes
// from the file, so each is checked against the file size in 64 bits before
// anything is read through it.
#include <stdexcept>

#include "le/tessera/head_pt.h"

namespace le::tessera::pt {

namespace {

constexpr uint32_t kEndSig = 0x06054B50;
constexpr uint32_t kCentralSig = 0x02014B50;
constexpr uint32_t kLocalSig = 0x04034B50;
constexpr uint64_t kEndBytes = 22, kCentralBytes = 46, kLocalBytes = 30;

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

[[noreturn]] void refuse(const char* what) { throw std::runtime_error(what); }

// Offset of the end record; the archive may end in a comment, which is skipped.
uint64_t findEnd(const uint8_t* data, uint64_t size) {
  if (size < kEndBytes) refuse("teeth: head .pt is not a zip");
  for (uint64_t pos = size - kEndBytes;; --pos) {
    if (le32(data + pos) == kEndSig) return pos;
    if (pos == 0) break;
  }
  refuse("teeth: head .pt has no zip EOCD");
}

// Where the member's bytes start, from its local header.
uint64_t dataOffset(const uint8_t* data, uint64_t size, uint64_t local) {
  if (local > size || size - local < kLocalBytes) refuse("teeth: head .pt local header out of range");
  const uint8_t* h = data + local;
  if (le32(h) != kLocalSig) refuse("teeth: head .pt local header has no signature");
  return local + kLocalBytes + le16(h + 26) + le16(h + 28);
}

}  // namespace

std::vector<ZipEntry> readZip(const uint8_t* data, uint64_t size) {
  const uint64_t end = findEnd(data, size);
  const uint16_t count = le16(data + end + 10);
  if (count == 0) refuse("teeth: head .pt has no data.pkl");
  uint64_t cur = le32(data + end + 16);
  std::vector<ZipEntry> entries;
  entries.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    if (cur > size || size - cur < kCentralBytes || le32(data + cur) != kCentralSig)
      refuse("teeth: head .pt central directory is malformed");
    const uint8_t* c = data + cur;
    if (le16(c + 10) != 0)
      refuse("teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member");
    const uint64_t nameLen = le16(c + 28);
    const uint64_t entryBytes = kCentralBytes + nameLen + le16(c + 30) + le16(c + 32);
    if (size - cur < entryBytes) refuse("teeth: head .pt central directory is malformed");
    const uint64_t start = dataOffset(data, size, le32(c + 42));
    const uint32_t stored = le32(c + 24);
    const uint64_t bytes = stored ? stored : le32(c + 20);
    if (start > size || bytes > size - start) refuse("teeth: head .pt entry out of range");
    entries.push_back({std::string(reinterpret_cast<const char*>(c + kCentralBytes), nameLen), start,
                       bytes});
    cur += entryBytes;
  }
  return entries;
}

}  // namespace le::tessera::pt
