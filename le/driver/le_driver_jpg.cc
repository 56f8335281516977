// The driver as a directory of numbered JPEG files, and image I/O with stb.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "le/bundle/member.h"
#include "le/driver/source.h"

namespace le::driver {
namespace {

class JpgDirSource final : public Source {
 public:
  JpgDirSource(std::string dir, int NT, int W, int H)
      : dir_(std::move(dir)), nt_(NT), w_(W), h_(H) {}

  int NT() const override { return nt_; }
  int W() const override { return w_; }
  int H() const override { return h_; }

  bool next(uint8_t* dst) override {
    if (position_ >= nt_) return false;
    char file[32];
    std::snprintf(file, sizeof file, "frame_%06d.jpg", position_);
    const std::string path = member::confined(dir_, file, "driver frame");
    int w = 0, h = 0;
    const std::vector<uint8_t> rgb = loadImageRGB(path, &w, &h, maxFileBytes());
    if (w != w_ || h != h_) throw sizeMismatch(path, w, h);
    std::memcpy(dst, rgb.data(), frameBytes());
    ++position_;
    return true;
  }

  void rewind() override { position_ = 0; }

  void seek(int i) override {
    if (i < 0 || i >= nt_) throw std::runtime_error("le_driver: seek outside the member");
    position_ = i;
  }

  std::string name() const override { return "jpg/stb"; }

  // The first frame's size, from its header alone, before the cursor builds a
  // ring of frames of the manifest's size: a manifest claiming a huge frame
  // is refused before that memory is taken. A frame that does not open is
  // left to the pull that reaches it.
  void checkFirstFrame() const {
    const std::string path = member::confined(dir_, "frame_000000.jpg", "driver frame");
    std::optional<member::File> f = member::File::tryOpen(path, maxFileBytes(), "image");
    if (!f) return;
    std::vector<uint8_t> bytes(static_cast<size_t>(f->size()));
    int w = 0, h = 0, channels = 0;
    if (f->read(bytes.data(), bytes.size()) != bytes.size() ||
        !stbi_info_from_memory(bytes.data(), static_cast<int>(bytes.size()), &w, &h, &channels))
      return;
    if (w != w_ || h != h_) throw sizeMismatch(path, w, h);
  }
  // A compressed frame larger than twice its pixels plus 1 MiB is no image
  // of this size; stb takes the length as an int.
  uint64_t maxFileBytes() const {
    return std::min<uint64_t>(2 * frameBytes() + (uint64_t{1} << 20), uint64_t(INT_MAX));
  }
  int64_t residentBytes() const override { return 0; }

 private:
  std::runtime_error sizeMismatch(const std::string& path, int w, int h) const {
    return std::runtime_error("le_driver: " + path + " is " + std::to_string(w) + "x" + std::to_string(h) +
                              ", the manifest says " + std::to_string(w_) + "x" + std::to_string(h_) +
                              " — refusing");
  }

  const std::string dir_;
  const int nt_, w_, h_;
  int position_ = 0;
};

}  // namespace

std::unique_ptr<Source> openJpgDir(const std::string& dir, int NT, int W, int H) {
  if (NT < 1 || W < 1 || H < 1)
    throw std::runtime_error("le_driver: " + dir + "/ asked for NT=" + std::to_string(NT) +
                             " frames of " + std::to_string(W) + "x" + std::to_string(H) +
                             " — every count must be positive, refusing");
  auto src = std::make_unique<JpgDirSource>(dir, NT, W, H);
  src->checkFirstFrame();
  return src;
}

}  // namespace le::driver

namespace le {

std::vector<uint8_t> loadImageRGB(const std::string& path, int* w, int* h, uint64_t maxBytes) {
  std::optional<member::File> f =
      member::File::tryOpen(path, std::min<uint64_t>(maxBytes, uint64_t(INT_MAX)), "image");
  if (!f) throw std::runtime_error("decode failed: " + path);
  std::vector<uint8_t> bytes(static_cast<size_t>(f->size()));
  if (f->read(bytes.data(), bytes.size()) != bytes.size())
    throw std::runtime_error("decode failed: " + path);
  int iw = 0, ih = 0, channels = 0;
  const std::unique_ptr<stbi_uc, void (*)(void*)> px(
      stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &iw, &ih, &channels, 3),
      stbi_image_free);
  if (!px || iw < 1 || ih < 1) throw std::runtime_error("decode failed: " + path);
  const size_t n = size_t(iw) * size_t(ih) * 3u;
  std::vector<uint8_t> out(px.get(), px.get() + n);
  if (w) *w = iw;
  if (h) *h = ih;
  return out;
}

void writePNG(const std::string& path, const uint8_t* rgb, int w, int h) {
  // stb takes the row stride as an int.
  if (!rgb || w < 1 || h < 1 || w > INT_MAX / 3 ||
      !stbi_write_png(path.c_str(), w, h, 3, rgb, w * 3))
    throw std::runtime_error("png write failed: " + path);
}

}  // namespace le
