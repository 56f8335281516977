// RGB24 frames to baseline JPEG (libturbojpeg, 4:2:0), for the live stream.
#pragma once

#include <cstdint>
#include <string>

namespace le::tool {

inline constexpr int kStreamJpegQuality = 85;

class JpegEncoder {
 public:
  // Quality 1 .. 100; throws std::invalid_argument outside it.
  explicit JpegEncoder(int quality = kStreamJpegQuality);
  ~JpegEncoder();
  JpegEncoder(const JpegEncoder&) = delete;
  JpegEncoder& operator=(const JpegEncoder&) = delete;

  // One JPEG file of a width x height RGB24 frame (rows packed); throws
  // std::runtime_error when turbojpeg refuses it.
  std::string encode(const uint8_t* rgb, int width, int height);

 private:
  void* handle_;
  int quality_;
};

}  // namespace le::tool
