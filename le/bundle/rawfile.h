// Raw little-endian bundle members: exact-size private read-only mappings,
// exact-size reads into vectors, and the 64-bit size arithmetic both rely on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "le/bundle/member.h"

namespace le::raw {

// Product of non-negative factors; throws "<what>: <a> x <b> x ... overflows
// 64 bits — refusing" instead of wrapping, so a manifest with absurd numbers
// is never compared against a file size it happens to match modulo 2^64.
uint64_t checkedProduct(std::initializer_list<int64_t> factors, std::string_view what);

// A whole file mapped private and read-only; unmapped by the destructor.
class Mapping {
 public:
  Mapping() = default;
  ~Mapping();
  Mapping(Mapping&& o) noexcept;
  Mapping& operator=(Mapping&& o) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  const uint8_t* data() const { return static_cast<const uint8_t*>(base_); }
  uint64_t size() const { return len_; }
  bool mapped() const { return base_ != nullptr; }

 private:
  friend Mapping mapFile(const std::string& path, uint64_t expectedBytes);
  void* base_ = nullptr;
  uint64_t len_ = 0;
};

// Maps path when its size is exactly expectedBytes. Messages: "cannot open " +
// path, "size mismatch " + path, "mmap failed " + path.
Mapping mapFile(const std::string& path, uint64_t expectedBytes);

// path opened read-only with its size checked to be exactly bytes ("cannot
// open " + path, "size mismatch " + path). The check comes before the caller
// allocates anything, so an absurd count costs nothing.
// Opened as a member (member::File: never blocks, regular files only).
class ExactFile {
 public:
  ExactFile(const std::string& path, uint64_t bytes);
  ExactFile(const ExactFile&) = delete;
  ExactFile& operator=(const ExactFile&) = delete;
  // Reads all bytes into dst; a file that shrank meanwhile is a size mismatch.
  void readAll(void* dst);

 private:
  friend Mapping mapFile(const std::string& path, uint64_t expectedBytes);
  member::File file_;
};

// n values of T, the file ending right after them.
template <class T>
std::vector<T> readRaw(const std::string& path, int64_t n, std::string_view what) {
  const uint64_t bytes = checkedProduct({n, int64_t(sizeof(T))}, what);
  ExactFile f(path, bytes);
  std::vector<T> v(static_cast<size_t>(n));
  f.readAll(v.data());
  return v;
}

}  // namespace le::raw
