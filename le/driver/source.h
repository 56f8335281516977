// Frame sources: the frames of one bundle member, in order, one call per
// frame, into a buffer the driver cursor supplies. Sources are strict: a frame
// of the wrong size or pixel layout refuses the session rather than producing
// different pixels.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace le::driver {

class Source {
 public:
  virtual ~Source() = default;
  // Frames in the member, as the manifest says.
  virtual int NT() const = 0;
  virtual int W() const = 0;
  virtual int H() const = 0;
  // Bytes of one output frame: W x H x 3 (RGB24) unless the source says otherwise.
  virtual uint64_t frameBytes() const { return uint64_t(W()) * uint64_t(H()) * 3u; }
  // Writes the next frame into dst (frameBytes() bytes); false when the member
  // has no more frames.
  virtual bool next(uint8_t* dst) = 0;
  // The next next() yields frame 0.
  virtual void rewind() = 0;
  // The next next() yields frame i.
  virtual void seek(int i) = 0;
  // Short description for logs.
  virtual std::string name() const = 0;
  // Memory the source holds besides the cursor's ring.
  virtual int64_t residentBytes() const = 0;
};

// Numbered JPEG files dir/frame_%06d.jpg, decoded to RGB24. Each frame file
// must lie inside dir (no symbolic link out of it) and be a regular file.
std::unique_ptr<Source> openJpgDir(const std::string& dir, int NT, int W, int H);
// An H.264/MP4 driver member decoded to RGB24.
std::unique_ptr<Source> openMp4(const std::string& path, int NT, int W, int H);
// The HEVC warp prior (yuv444p) decoded to planar binary16 RGB, crop x crop.
std::unique_ptr<Source> openPriorHevc(const std::string& path, int NT, int crop);

}  // namespace le::driver

namespace le {

// Any image decoded to 3-channel RGB; throws "decode failed: " + path. The
// file is read as a member: a regular file of at most maxBytes.
std::vector<uint8_t> loadImageRGB(const std::string& path, int* w, int* h,
                                  uint64_t maxBytes = uint64_t{256} << 20);
// A 3-channel PNG (row stride w x 3); throws "png write failed: " + path.
void writePNG(const std::string& path, const uint8_t* rgb, int w, int h);
// "libavcodec <version> / <configuration>", for diagnostics.
std::string movieDecoderBuild();

}  // namespace le
