// JSON text pieces of the telemetry snapshots: strings and numbers appended to
// a growing document.
#pragma once

#include <string>
#include <string_view>

namespace le::tel {

// Appends text as a quoted JSON string. `"` and `\` get a backslash, line feed
// and tab become \n and \t, other bytes below 0x20 become \u00xx (lower-case
// hex). Well-formed UTF-8 is copied unchanged; each ill-formed sequence (its
// maximal valid prefix, at least one byte) becomes U+FFFD, so the document is
// always valid JSON whatever bytes the host handed over.
void appendString(std::string& out, std::string_view text);

// Appends a number: a finite value that is exactly a signed 64-bit integer in
// decimal, any other finite value as printf's "%.6g" in the C locale (so a
// host's locale never puts a comma into the document), and NaN or an infinity
// as null.
void appendNumber(std::string& out, double v);

}  // namespace le::tel
