// Key lookup in manifest.json text. The manifest is not parsed as JSON: a key
// is found by name and the scalar after its colon is read. Because nested
// blocks may reuse a top-level name, every lookup goes through one rule
// (scalarValuePos): a top-level key wins, a key found in exactly one place is
// used, anything else is refused as ambiguous.
//
// The text arguments are std::string on purpose: numbers are read with strtod
// from a position inside the text, which relies on the terminating NUL.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace le {
namespace manifest_key {

// One occurrence of a key: pos is the byte offset of the first non-blank
// character after the colon; depth is the bracket depth at the key (1 for the
// top-level object); scalar is false when the value opens an array or object
// or the text ends before a value.
struct KeyHit {
  uint64_t pos = 0;
  int32_t depth = 0;
  bool scalar = false;
};

inline constexpr uint64_t kAbsent = ~uint64_t{0};

// Every occurrence of key as an object key, in text order.
std::vector<KeyHit> keyHits(std::string_view text, std::string_view key);

// Offset of the key's scalar value, or kAbsent when it has none. Throws the
// AMBIGUOUS refusal when two top-level (or, with none at top level, two
// nested) scalar occurrences exist.
uint64_t scalarValuePos(std::string_view text, std::string_view key);

}  // namespace manifest_key

// Pointer to the key's scalar value inside text; throws
// "manifest: missing key <key>".
const char* findKey(const std::string& text, std::string_view key);
const char* findKey(const std::string&& text, std::string_view key) = delete;

// The required string value of key (no escape processing).
std::string strField(const std::string& text, std::string_view key);

// The required number at key (strtod, "C" locale).
double numField(const std::string& text, std::string_view key);

// The number at the first of key1, key2 that has a scalar value; *used (when
// given) receives that key. Neither: "manifest: missing key key1/key2".
double numFieldEither(const std::string& text, std::string_view key1, std::string_view key2,
                      std::string_view* used = nullptr);

// Optional string values: false when the key has no scalar value or it is
// not a complete quoted string; out is left alone then.
// optStr accepts "" (drive-table member names may be empty to mean "none").
bool optStr(const std::string& text, std::string_view key, std::string& out);
// optStrNonEmpty also answers false for "" (driver member names).
bool optStrNonEmpty(const std::string& text, std::string_view key, std::string& out);

// A member a manifest may name: the key's non-empty string value, else
// `fallback`. `what` is what a refusal of the name cites: "manifest key
// <key>" when the manifest named it, else "member".
struct NamedMember {
  std::string name;
  std::string what;
};
NamedMember memberNamedBy(const std::string& text, std::string_view key, std::string fallback);

// The number at a value position, as strtod reads it in the "C" locale;
// text that is not a number reads as 0.
double parseNumber(const char* p);

// The whole file, a regular file of at most 64 MiB (member::File):
// "cannot open <path>", "short read <path>".
std::string readFile(const std::string& path);

}  // namespace le
