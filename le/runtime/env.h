// The environment variables the library reads, and the one place it reads
// them. Every variable is listed in variables() (the README's table is kept
// equal to it by a test); reading a name that is not listed throws
// std::logic_error, so a new variable cannot slip in undocumented.
// Values are read at each call: callers that must not change their mind
// cache what they read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace le::env {

struct Variable {
  std::string_view name;
  std::string_view effect;  // one line, as the README says it
};

// Every variable the library reads.
std::span<const Variable> variables();

// The value when the variable is set (possibly empty); nullopt when unset.
std::optional<std::string> text(std::string_view name);
// The value when set and not empty.
std::optional<std::string> nonEmpty(std::string_view name);
// Set at all, whatever its value.
bool isSet(std::string_view name);
// Set to exactly `value` (so "1 " or "true" is not "1").
bool is(std::string_view name, std::string_view value);
// Set and its first character is c.
bool startsWith(std::string_view name, char c);

// A whole decimal number: an optional '-' and digits making up the whole
// text, read with std::from_chars. Beyond 64 bits the value saturates to the
// nearest end and `saturated` says so.
struct Whole {
  int64_t value = 0;
  bool saturated = false;
};
std::optional<Whole> parseWhole(std::string_view text);

// The variable's value when it is set, a whole number that fits 64 bits and
// lies in [lo, hi]; nullopt otherwise (the caller's default applies).
std::optional<int64_t> wholeIn(std::string_view name, int64_t lo, int64_t hi);

}  // namespace le::env
