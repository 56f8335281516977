// FFmpeg's own messages reach the log sink as single "[ffmpeg]" lines: pieces
// of one message joined, levels mapped, FFmpeg's level respected, control
// characters made blanks.
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <string>
#include <utility>
#include <vector>

#include "le/runtime/ff_log.h"
#include "le/runtime/log.h"

namespace {

using Lines = std::vector<std::pair<int, std::string>>;

void record(int level, const char* line, void* user) { static_cast<Lines*>(user)->emplace_back(level, line); }

TEST(FfmpegLog, LineTextTable) {
  const struct {
    const char* component;
    std::string text, line;
  } cases[] = {
      {"mp3float", "Could not update timestamps\n", "[ffmpeg] [mp3float] Could not update timestamps"},
      {"", "plain\r\n", "[ffmpeg] plain"},
      {nullptr, "a\x1b[31mred\x1b[0m\tb\n", "[ffmpeg] a [31mred [0m b"},
      {"x", "\n", "[ffmpeg] [x] "},
  };
  for (const auto& c : cases) EXPECT_EQ(le::ffmpeg::logLine(c.component, c.text), c.line) << c.text;
}

TEST(FfmpegLog, PiecesOfOneMessageBecomeOneLineAtItsLevel) {
  Lines seen;
  le::ffmpeg::routeLog();
  le::log::setSink(record, &seen);
  const int before = av_log_get_level();
  av_log_set_level(AV_LOG_INFO);
  av_log(nullptr, AV_LOG_WARNING, "two %s", "pieces");
  av_log(nullptr, AV_LOG_WARNING, " of one line %d\n", 7);
  av_log(nullptr, AV_LOG_ERROR, "broken\n");
  av_log(nullptr, AV_LOG_INFO, "said\n");
  av_log(nullptr, AV_LOG_DEBUG, "below FFmpeg's level\n");
  av_log_set_level(AV_LOG_ERROR);
  av_log(nullptr, AV_LOG_WARNING, "now below it too\n");
  av_log_set_level(before);
  le::log::setSink(nullptr, nullptr);
  const Lines want = {{int(le::log::Level::Warning), "[ffmpeg] two pieces of one line 7"},
                      {int(le::log::Level::Error), "[ffmpeg] broken"},
                      {int(le::log::Level::Info), "[ffmpeg] said"}};
  EXPECT_EQ(seen, want);
}

}  // namespace
