// Binary16 conversions over one 3 x 512 x 512 float crop, against memcpy of
// the same bytes (the floor: read the input once, write the output once).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "benchkit.h"
#include "le/runtime/le_simd.h"

namespace {

constexpr size_t kValues = 3 * 512 * 512;

struct Buffers {
  std::vector<float> f32 = std::vector<float>(kValues);
  std::vector<uint16_t> f16 = std::vector<uint16_t>(kValues);
  std::vector<unsigned char> bytes = std::vector<unsigned char>(kValues * 6);
  Buffers() {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-4.0f, 4.0f);
    for (float& x : f32) x = u(rng);
    le::simd::f32ToF16(f32.data(), f16.data(), kValues);
  }
};

Buffers& buffers() {
  static Buffers b;
  return b;
}

// Bytes moved: one read of the source plus one write of the destination.
constexpr int64_t kMoved = static_cast<int64_t>(kValues * (sizeof(float) + sizeof(uint16_t)));

void BM_F32ToF16(benchmark::State& st) {
  Buffers& b = buffers();
  for (auto _ : st) {
    le::simd::f32ToF16(b.f32.data(), b.f16.data(), kValues);
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(st.iterations() * kMoved);
}
BENCHMARK(BM_F32ToF16);

void BM_F16ToF32(benchmark::State& st) {
  Buffers& b = buffers();
  for (auto _ : st) {
    le::simd::f16ToF32(b.f16.data(), b.f32.data(), kValues);
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(st.iterations() * kMoved);
}
BENCHMARK(BM_F16ToF32);

// Same total traffic as a conversion: copy 6 bytes per value in one memcpy
// of half the buffer into the other half.
void BM_Memcpy(benchmark::State& st) {
  Buffers& b = buffers();
  const size_t half = static_cast<size_t>(kMoved / 2);
  for (auto _ : st) {
    std::memcpy(b.bytes.data() + half, b.bytes.data(), half);
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(st.iterations() * kMoved);
}
BENCHMARK(BM_Memcpy);

}  // namespace

int main(int argc, char** argv) {
  std::printf("target: %s\n", le::simd::target());
  return le::bench::runAndReport(argc, argv,
                                 {{"BM_F32ToF16", "BM_Memcpy"}, {"BM_F16ToF32", "BM_Memcpy"}});
}
