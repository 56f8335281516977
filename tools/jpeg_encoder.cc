#include "jpeg_encoder.h"

#include <turbojpeg.h>

#include <stdexcept>

namespace le::tool {

JpegEncoder::JpegEncoder(int quality) : handle_(nullptr), quality_(quality) {
  if (quality < 1 || quality > 100) throw std::invalid_argument("JPEG quality must be 1 .. 100");
  handle_ = tjInitCompress();
  if (handle_ == nullptr) throw std::runtime_error(std::string("turbojpeg: ") + tjGetErrorStr2(nullptr));
}

JpegEncoder::~JpegEncoder() { tjDestroy(static_cast<tjhandle>(handle_)); }

std::string JpegEncoder::encode(const uint8_t* rgb, int width, int height) {
  if (rgb == nullptr || width < 1 || height < 1) throw std::runtime_error("JPEG: no frame to encode");
  unsigned char* out = nullptr;
  unsigned long size = 0;
  const auto h = static_cast<tjhandle>(handle_);
  if (tjCompress2(h, rgb, width, 0, height, TJPF_RGB, &out, &size, TJSAMP_420, quality_, TJFLAG_FASTDCT) != 0) {
    const std::string why = tjGetErrorStr2(h);
    tjFree(out);
    throw std::runtime_error("JPEG: " + why);
  }
  std::string jpeg(reinterpret_cast<const char*>(out), size);
  tjFree(out);
  return jpeg;
}

}  // namespace le::tool
