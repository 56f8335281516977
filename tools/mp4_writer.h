// H.264 MP4 writer for RGB24 frames: libx264 (or FFmpeg's default H.264
// encoder), yuv420p, constant frame rate.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace le::tool {

class Mp4Writer {
 public:
  // crf: 0 (best) .. 51; fps > 0. Throws std::runtime_error.
  Mp4Writer(const std::string& path, int width, int height, int fps, int crf);
  ~Mp4Writer();
  Mp4Writer(const Mp4Writer&) = delete;
  Mp4Writer& operator=(const Mp4Writer&) = delete;

  // One frame of width x height x 3 bytes.
  void write(const uint8_t* rgb);
  // Flushes the encoder and writes the trailer; the destructor only releases.
  void finish();
  const std::string& encoderName() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace le::tool
