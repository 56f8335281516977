// Files a host program reads besides audio: opened without blocking (a FIFO
// or a device named by mistake fails at once instead of hanging or feeding
// bytes forever), regular files only, their size checked before anything is
// read.
#pragma once

#include <cstdint>
#include <string>

namespace le::tool {

class InputFile {
 public:
  // Throws "cannot open <what> <path>" when it does not open or is no
  // regular file, and "<what> <path> holds <n> bytes, more than <max>" when
  // it is larger than maxBytes.
  InputFile(const std::string& path, uint64_t maxBytes, const char* what);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  uint64_t size() const { return size_; }
  // Exactly n bytes from the current offset; throws "cannot read <what>
  // <path>" when the file ends or fails first.
  void read(void* dst, uint64_t n);
  // The whole file.
  std::string readAll();

 private:
  std::string path_, what_;
  int fd_ = -1;
  uint64_t size_ = 0;
};

}  // namespace le::tool
