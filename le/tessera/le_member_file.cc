// Tessera member files, opened as bundle members (non-blocking, regular files
// only, sized with fstat on the open descriptor) and read whole under the
// tessera's own 64 MiB bound and message texts.
#include <optional>
#include <stdexcept>

#include "le/bundle/member.h"
#include "le/tessera/member_file.h"

namespace le::tessera {

namespace {

// Nothing for a name that does not open or is no regular file (the bundle
// floor refuses the latter by throwing).
std::optional<member::File> openMember(const std::string& path) {
  try {
    return member::File::tryOpen(path, member::kNoBound, "tessera member");
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

template <class Bytes>
Bytes readWhole(const std::string& path) {
  auto f = openMember(path);
  if (!f) throw std::runtime_error("teeth: cannot open " + path);
  if (f->size() > kMaxMemberBytes) throw std::runtime_error("teeth: " + path + " is over 64 MiB");
  Bytes out(size_t(f->size()), 0);
  uint64_t got = 0;
  try {
    got = f->read(out.data(), out.size());
  } catch (const std::exception&) {
  }
  if (got != out.size()) throw std::runtime_error("teeth: short read " + path);
  return out;
}

}  // namespace

bool regularMember(const std::string& path) { return openMember(path).has_value(); }

std::string readMemberText(const std::string& path) { return readWhole<std::string>(path); }

std::vector<uint8_t> readMemberBytes(const std::string& path) {
  return readWhole<std::vector<uint8_t>>(path);
}

}  // namespace le::tessera
