// Reading a tessera member file whole. Only regular files count: a FIFO would
// block the open, a directory has no true size, and a member over 64 MiB is
// no bank sidecar, head or manifest of ours.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le::tessera {

inline constexpr uint64_t kMaxMemberBytes = uint64_t(64) << 20;

// True when path is a regular file that opens for reading (never blocks).
bool regularMember(const std::string& path);

// The whole file, bytes unchanged. Messages: "teeth: cannot open " + path
// (also for anything but a regular file), "teeth: " + path + " is over 64
// MiB", "teeth: short read " + path.
std::string readMemberText(const std::string& path);
std::vector<uint8_t> readMemberBytes(const std::string& path);

}  // namespace le::tessera
