// Manifest key scan, the one disambiguation rule, and the lookup helpers every
// reader of manifest.json shares.
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "le/bundle/manifest_key.h"
#include "le/bundle/member.h"

namespace le {
namespace manifest_key {

namespace {

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Depth is counted in 64 bits so that no text can overflow it; the stored
// depth saturates, which keeps "== 1" exact.
int32_t clampDepth(int64_t d) {
  if (d > INT32_MAX) return INT32_MAX;
  if (d < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(d);
}

[[noreturn]] void refuseAmbiguous(std::string_view key, const std::vector<KeyHit>& hits) {
  std::string m = "manifest: key \"";
  m += key;
  m += "\" is AMBIGUOUS \xE2\x80\x94 ";
  m += std::to_string(hits.size());
  m += " scalar occurrences (";
  for (size_t i = 0; i < hits.size(); ++i) {
    if (i) m += ", ";
    m += "byte ";
    m += std::to_string(hits[i].pos);
  }
  m += "). A loader that picks one silently installs a number nobody checks. Rename the "
       "colliding key (a nested block must not reuse a name the bundle loader reads: "
       "NT/frame_count, H, W, crop/crop_size, amount, sigma, ksize, frames, "
       "M_src_w/paste_source_width, M_src_h/paste_source_height), or produce the bundle with "
       "the legacy manifest layout.";
  throw std::runtime_error(m);
}

}  // namespace

std::vector<KeyHit> keyHits(std::string_view text, std::string_view key) {
  std::vector<KeyHit> hits;
  const size_t n = text.size();
  int64_t depth = 0;
  for (size_t i = 0; i < n; ++i) {
    const char c = text[i];
    if (c == '[' || c == '{') {
      ++depth;
      continue;
    }
    if (c == ']' || c == '}') {
      --depth;
      continue;
    }
    if (c != '"') continue;
    size_t j = i + 1;
    while (j < n && text[j] != '"') j += text[j] == '\\' ? 2 : 1;
    if (j >= n) break;  // the text ends inside a string
    const std::string_view name = text.substr(i + 1, j - i - 1);
    size_t k = j + 1;
    while (k < n && isSpace(text[k])) ++k;
    if (k < n && text[k] == ':' && name == key) {
      ++k;
      while (k < n && isSpace(text[k])) ++k;
      KeyHit h;
      h.pos = k;
      h.depth = clampDepth(depth);
      h.scalar = k < n && text[k] != '[' && text[k] != '{';
      hits.push_back(h);
    }
    i = j;
  }
  return hits;
}

uint64_t scalarValuePos(std::string_view text, std::string_view key) {
  std::vector<KeyHit> scalars, top;
  for (const KeyHit& h : keyHits(text, key)) {
    if (!h.scalar) continue;
    scalars.push_back(h);
    if (h.depth == 1) top.push_back(h);
  }
  if (top.size() == 1) return top[0].pos;
  if (top.size() > 1) refuseAmbiguous(key, top);
  if (scalars.size() == 1) return scalars[0].pos;
  if (scalars.size() > 1) refuseAmbiguous(key, scalars);
  return kAbsent;
}

}  // namespace manifest_key

namespace {

[[noreturn]] void missingKey(std::string_view what) {
  throw std::runtime_error("manifest: missing key " + std::string(what));
}

// The value at pos as a complete quoted string, or false.
bool quotedAt(const std::string& text, uint64_t pos, std::string& out) {
  if (pos >= text.size() || text[pos] != '"') return false;
  const size_t close = text.find('"', pos + 1);
  if (close == std::string::npos) return false;
  out.assign(text, pos + 1, close - pos - 1);
  return true;
}

locale_t cLocale() {
  // Created once and kept for the process: number parsing must not follow the
  // host's LC_NUMERIC (a "," decimal point would read 1.3 as 1).
  static const locale_t loc = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

}  // namespace

double parseNumber(const char* p) {
  const locale_t loc = cLocale();
  return loc ? ::strtod_l(p, nullptr, loc) : std::strtod(p, nullptr);
}

const char* findKey(const std::string& text, std::string_view key) {
  const uint64_t pos = manifest_key::scalarValuePos(text, key);
  if (pos == manifest_key::kAbsent) missingKey(key);
  return text.c_str() + pos;
}

std::string strField(const std::string& text, std::string_view key) {
  const char* v = findKey(text, key);
  std::string out;
  // A value that is not itself a string is refused rather than reading the
  // next string in the text (which would be some other key's name).
  if (!quotedAt(text, static_cast<uint64_t>(v - text.c_str()), out))
    throw std::runtime_error("manifest: bad string " + std::string(key));
  return out;
}

double numField(const std::string& text, std::string_view key) {
  return parseNumber(findKey(text, key));
}

double numFieldEither(const std::string& text, std::string_view key1, std::string_view key2,
                      std::string_view* used) {
  for (const std::string_view key : {key1, key2}) {
    const uint64_t pos = manifest_key::scalarValuePos(text, key);
    if (pos == manifest_key::kAbsent) continue;
    if (used) *used = key;
    return parseNumber(text.c_str() + pos);
  }
  std::string both(key1);
  both += '/';
  both += key2;
  missingKey(both);
}

bool optStr(const std::string& text, std::string_view key, std::string& out) {
  const uint64_t pos = manifest_key::scalarValuePos(text, key);
  if (pos == manifest_key::kAbsent) return false;
  std::string v;
  if (!quotedAt(text, pos, v)) return false;
  out = std::move(v);
  return true;
}

bool optStrNonEmpty(const std::string& text, std::string_view key, std::string& out) {
  std::string v;
  if (!optStr(text, key, v) || v.empty()) return false;
  out = std::move(v);
  return true;
}

NamedMember memberNamedBy(const std::string& text, std::string_view key, std::string fallback) {
  NamedMember m{std::move(fallback), "member"};
  if (optStrNonEmpty(text, key, m.name)) m.what = "manifest key " + std::string(key);
  return m;
}

std::string readFile(const std::string& path) {
  return member::File(path, member::kTextMax, "manifest").readAll();
}

}  // namespace le
