// The reference bank's video track decoded from memory into donor-ordered
// RGB24 patches. Exported for hosts and tools that load a bundle's members
// themselves; the library does not call it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#define LE_TESSERA_EXPORT __attribute__((visibility("default")))

namespace le::tessera {

// n x h x w x 3 bytes: patch d (donor d) at d x h x w x 3, rows without
// padding, R G B. track_order[i] is the donor of track frame i. Refuses (std::
// runtime_error) a track whose frame count, size, pixel format or order
// disagrees with the arguments, or that is not a self-contained mov/mp4,
// matroska or raw H.264/HEVC stream. At most 1024 donors and 1 GiB.
LE_TESSERA_EXPORT std::vector<uint8_t> decodeBankTrack(const uint8_t* data, size_t size, int n,
                                                       int h, int w,
                                                       const std::vector<int>& track_order);

// "libavcodec <version built against> / <avcodec_configuration()>".
std::string bankDecoderBuild();

}  // namespace le::tessera
