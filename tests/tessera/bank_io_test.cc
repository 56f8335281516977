// The bank decoder's in-memory reader: reads and seeks at and past its ends.
#include <gtest/gtest.h>

#include <climits>
#include <tuple>

#include "le/tessera/bank_io.h"

namespace {

using namespace le::tessera::bankio;

TEST(BankMemoryReader, SeeksWithinTheBytesOnly) {
  const uint8_t data[100] = {};
  const std::tuple<int64_t, int64_t, int, int64_t, int64_t> cases[] = {
      {7, 0, SEEK_SET, 0, 0}, {7, 100, SEEK_SET, 100, 100}, {7, 101, SEEK_SET, -1, 7}, {7, -1, SEEK_SET, -1, 7},
      {7, 5, SEEK_CUR, 12, 12}, {7, -7, SEEK_CUR, 0, 0}, {7, -8, SEEK_CUR, -1, 7}, {7, 93, SEEK_CUR, 100, 100},
      {7, 94, SEEK_CUR, -1, 7},
      {7, -100, SEEK_END, 0, 0}, {7, 0, SEEK_END, 100, 100}, {7, 1, SEEK_END, -1, 7},
      {7, 0, AVSEEK_SIZE, 100, 7}, {7, 0, AVSEEK_SIZE | AVSEEK_FORCE, 100, 7},
      {7, 30, SEEK_SET | AVSEEK_FORCE, 30, 30}, {7, 0, 7, -1, 7},
      {7, INT64_MAX, SEEK_CUR, -1, 7}, {7, INT64_MIN, SEEK_CUR, -1, 7}, {7, INT64_MIN, SEEK_END, -1, 7},
  };
  for (const auto& [start, offset, whence, result, posAfter] : cases) {
    MemoryReader r{data, 100, start};
    EXPECT_EQ(seekMemory(&r, offset, whence), result) << offset << " whence " << whence;
    EXPECT_EQ(r.pos, posAfter) << offset << " whence " << whence;
  }
}

TEST(BankMemoryReader, ReadsUpToTheEndThenReportsEof) {
  uint8_t data[10];
  for (int i = 0; i < 10; ++i) data[i] = uint8_t(i + 1);
  MemoryReader r{data, 10, 0};
  uint8_t buf[8] = {};
  ASSERT_EQ(readMemory(&r, buf, 8), 8);
  EXPECT_EQ(buf[7], 8);
  ASSERT_EQ(readMemory(&r, buf, 8), 2);
  EXPECT_EQ(buf[0], 9);
  EXPECT_EQ(buf[1], 10);
  EXPECT_EQ(readMemory(&r, buf, 8), AVERROR_EOF);
  EXPECT_EQ(r.pos, 10);
}

}  // namespace
