// IMX v2 container: magic, version and table of contents. All integers are
// little-endian; payloads are located by offset and read elsewhere.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "le/bundle/paths.h"

namespace le {

namespace {

constexpr unsigned char kMagic[4] = {'I', 'M', 'X', 0};

uint64_t le64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

unsigned le16(const unsigned char* p) { return unsigned(p[0]) | (unsigned(p[1]) << 8); }

bool readExact(std::FILE* f, void* dst, size_t n) {
  return n == 0 || std::fread(dst, 1, n, f) == n;
}

}  // namespace

bool isImxV2File(const std::string& path) noexcept {
  if (path.empty()) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  unsigned char head[8];
  const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                  ::pread(fd, head, sizeof head, 0) == ssize_t(sizeof head) &&
                  std::memcmp(head, kMagic, 4) == 0 && le16(head + 4) == 2;
  ::close(fd);
  return ok;
}

namespace imx {

std::vector<Member> readToc(std::FILE* f, const std::string& C) {
  unsigned char head[8];
  if (!readExact(f, head, sizeof head) || std::memcmp(head, kMagic, 4) != 0)
    throw std::runtime_error(C + ": not an IMX\\0 container");
  const unsigned version = le16(head + 4);
  if (version != 2)
    throw std::runtime_error(C + ": unsupported IMX container version " + std::to_string(version));
  const unsigned count = le16(head + 6);

  std::vector<Member> toc;
  toc.reserve(count);  // at most 65535 entries
  for (unsigned i = 0; i < count; ++i) {
    unsigned char len[2];
    if (!readExact(f, len, 2))
      throw std::runtime_error(C + ": truncated TOC at member " + std::to_string(i));
    Member m;
    m.name.resize(le16(len));
    if (!readExact(f, m.name.data(), m.name.size()))
      throw std::runtime_error(C + ": truncated member name at " + std::to_string(i));
    unsigned char pos[16];
    if (!readExact(f, pos, sizeof pos))
      throw std::runtime_error(C + ": truncated TOC offsets at member " + m.name);
    m.offset = le64(pos);
    m.size = le64(pos + 8);
    toc.push_back(std::move(m));
  }
  return toc;
}

}  // namespace imx
}  // namespace le
