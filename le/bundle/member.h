// What a bundle names, opened safely. Every reader of a bundle member takes
// two steps: the name is confined to the bundle directory (`confined`, which
// member resolution also applies), and the file is opened as a member
// (`member::File`): never blocking on a FIFO, regular files only, its size
// known and bounded before a byte is read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace le::member {

// Size bounds per kind of member, for members whose size nothing else in the
// bundle declares (raw per-frame members are checked against their exact
// declared sizes instead).
inline constexpr uint64_t kTextMax = uint64_t{64} << 20;   // manifest.json and other JSON
inline constexpr uint64_t kTableMax = uint64_t{1} << 30;   // raw tables of the audio engines
inline constexpr uint64_t kModelMax = uint64_t{2} << 30;   // ONNX: protobuf's own 2 GiB limit
inline constexpr uint64_t kNoBound = ~uint64_t{0};         // media the demuxer reads in pieces

// dir + "/" + name, once name is known to stay inside dir: no absolute name,
// no NUL byte, no ".." that climbs above dir, and no symbolic link on the way
// whose target lies outside dir. `what` says where the name came from
// ("member", "manifest key P_hevc"); the refusal names it and the value:
//   <what> '<name>' leaves the bundle directory <dir> (<reason>) — refusing
std::string confined(const std::string& dir, std::string_view name, std::string_view what);

// The lexical half of `confined`: true when name is relative, holds no NUL
// and never climbs above its directory. No file is looked at.
bool staysInside(std::string_view name);

// A member opened read-only and non-blocking (a FIFO cannot hang the open),
// checked with fstat to be a regular file of at most maxBytes.
class File {
 public:
  // Throws "cannot open <path>" when nothing opens or it is no regular file
  // (a FIFO, device, socket or directory), and "<path> holds <n> bytes, more
  // than a <kind> may (<max>) — refusing".
  File(const std::string& path, uint64_t maxBytes, std::string_view kind);
  // As the constructor, but nullopt where it would throw "cannot open <path>".
  static std::optional<File> tryOpen(const std::string& path, uint64_t maxBytes,
                                     std::string_view kind);
  ~File();
  File(File&& o) noexcept;
  File& operator=(File&& o) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  int fd() const { return fd_; }
  uint64_t size() const { return size_; }
  const std::string& path() const { return path_; }

  // Reads up to n bytes from the current offset, retrying after signals and
  // short reads; returns what was read (less only at the end of the file).
  // Throws "cannot read <path>" on an I/O error.
  uint64_t read(void* dst, uint64_t n);
  // The whole file as it was sized when opened; "short read <path>" when it
  // has shrunk since.
  std::string readAll();

 private:
  File() = default;
  static std::optional<File> open(const std::string& path, uint64_t maxBytes,
                                  std::string_view kind, bool missingThrows);
  std::string path_;
  int fd_ = -1;
  uint64_t size_ = 0;
};

// Opens and closes path as a member. For files another library opens by name
// (onnxruntime, FFmpeg): they never meet a FIFO, a device or an oversize file.
void require(const std::string& path, uint64_t maxBytes, std::string_view kind);

}  // namespace le::member
