// Bundle paths: turning what a host passed into a bundle directory (unwrapping
// an IMX v2 container once into its cache directory) and locating members
// under their current or older names.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace le {

// True for a regular file whose first 8 bytes are "IMX\0" and version 2.
bool isImxV2File(const std::string& path) noexcept;

// Directory for a bundle path: a directory as is, a container unwrapped.
std::string resolveBundlePath(const std::string& path);

// dir + "/" + name, or the member's current name when only that exists.
// Both names are confined to dir first (member::confined): a name that would
// lead outside the bundle throws, naming `what` and the name.
std::string resolveMember(const std::string& dir, const std::string& name,
                          std::string_view what = "member");

// The current member name for a requested (possibly older) name.
std::string canonicalMember(const std::string& name);

namespace imx {

struct Member {
  std::string name;
  uint64_t offset = 0;
  uint64_t size = 0;
};

// Reads the header and table of contents of container C from f (positioned
// at 0). Throws the container's refusal messages.
std::vector<Member> readToc(std::FILE* f, const std::string& C);

// Where container C unwraps to, and its marker beside that directory.
std::string unwrapDir(const std::string& C);
std::string markerPath(const std::string& unwrapDir);

// The unwrap directory of C when its marker matches C as it is now; a match
// proves C was unwrapped unchanged, so the container itself is not opened.
std::optional<std::string> cachedUnwrap(const std::string& C);

// Unwraps C into unwrapDir(C) unless the marker says it already is.
std::string unwrapOnce(const std::string& C);

}  // namespace imx
}  // namespace le
