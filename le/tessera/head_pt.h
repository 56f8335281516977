// The two layers of the head checkpoint reader, apart so that each can be
// tested and fuzzed alone: the stored-zip walk and the closed pickle machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le::tessera::pt {

// A stored archive member: name and where its bytes lie in the file.
struct ZipEntry {
  std::string name;
  uint64_t offset = 0;
  uint64_t size = 0;
};

// Every central-directory entry in directory order; throws on a malformed
// archive or a compressed member.
std::vector<ZipEntry> readZip(const uint8_t* data, uint64_t size);

// A tensor as the pickle describes it: storage key, element offset, sizes.
struct TensorRef {
  std::string storage;
  int64_t offset = 0;
  std::vector<int64_t> sizes;
};

struct StatePair {
  std::string name;
  TensorRef tensor;
};

// Runs the pickle and returns every (string key, tensor) pair it sets into
// any dictionary, in order. Nothing in the stream is executed.
std::vector<StatePair> runPickle(const uint8_t* data, uint64_t size);

// Limits of the machine: nested tuples and values pushed.
inline constexpr int kPickleMaxDepth = 64;
inline constexpr uint64_t kPickleMaxValues = uint64_t(1) << 20;

}  // namespace le::tessera::pt
