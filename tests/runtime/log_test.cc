// The log sink: lines reach the installed sink whole and without their
// newline, standard error gets them byte for byte when no sink is set, and a
// sink may log or swap the sink without deadlocking. FFmpeg's own messages
// reach it as single "[ffmpeg]" lines: pieces of one message joined, levels
// mapped, FFmpeg's level respected, control characters made blanks.
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "le/runtime/ff_log.h"
#include "le/runtime/log.h"

namespace {

using le::log::Level;

struct Seen {
  std::vector<int> levels;
  std::vector<std::string> lines;
  static void fn(int level, const char* line, void* user) {
    static_cast<Seen*>(user)->levels.push_back(level), static_cast<Seen*>(user)->lines.emplace_back(line);
  }
};

// Restores standard error as the sink on every exit path.
struct SinkScope {
  SinkScope(le::log::Sink fn, void* user) { le::log::setSink(fn, user); }
  ~SinkScope() { le::log::setSink(nullptr, nullptr); }
};

TEST(LogSink, StandardErrorOrTheSinkGetsEachLine) {
  Seen seen;
  testing::internal::CaptureStderr();
  le::log::linef(Level::Warning, "[le] %s=\"%s\" is not a whole number; ignored", "LE_CORE_THREADS", "x");
  le::log::line(Level::Error, "");
  {
    SinkScope scope(Seen::fn, &seen);
    le::log::line(Level::Info, "[le] a");
    le::log::line(Level::Warning, "[le_a2x] b");
    le::log::linef(Level::Error, "[le] %d of %d", 3, 4);
  }
  le::log::line(Level::Info, "[le] after");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[le] LE_CORE_THREADS=\"x\" is not a whole number; ignored\n\n[le] after\n");
  EXPECT_EQ(std::tie(seen.lines, seen.levels),
            std::make_tuple(std::vector<std::string>{"[le] a", "[le_a2x] b", "[le] 3 of 4"}, std::vector<int>{3, 2, 1}));
}

TEST(LogSink, FormattedLinesOfEveryLengthArriveWhole) {
  Seen seen;
  SinkScope scope(Seen::fn, &seen);
  // Lines of n + 6 bytes around the formatter's first buffer (512 bytes with
  // its terminator) and far beyond it.
  for (const size_t n : {0, 1, 505, 506, 507, 5000}) {
    const std::string body(n, 'x');
    le::log::linef(Level::Info, "[le] %s|", body.c_str());
    EXPECT_EQ(seen.lines.back(), "[le] " + body + "|") << n;
  }
}

TEST(LogSink, ASinkMayLogAndSwapTheSink) {
  struct Echo {
    int calls = 0;
    static void fn(int, const char* line, void* user) {
      ++static_cast<Echo*>(user)->calls;
      le::log::line(Level::Info, std::string("echo ") + line);  // to standard error
    }
  } echo;
  testing::internal::CaptureStderr();
  {
    SinkScope scope(Echo::fn, &echo);
    le::log::line(Level::Info, "[le] x");
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "echo [le] x\n");
  EXPECT_EQ(echo.calls, 1);
  Seen second;
  SinkScope scope([](int, const char*, void* user) { le::log::setSink(Seen::fn, user); }, &second);
  le::log::line(Level::Info, "to the first");
  le::log::line(Level::Info, "to the second");
  EXPECT_EQ(second.lines, (std::vector<std::string>{"to the second"}));
}

TEST(LogSink, LinesFromManyThreadsArriveOneAtATime) {
  struct Count {
    int inside = 0, most = 0, lines = 0;
    bool whole = true;
    static void fn(int, const char* line, void* user) {
      auto* c = static_cast<Count*>(user);
      c->most = std::max(c->most, ++c->inside);
      c->whole = c->whole && std::string(line).size() == 12;
      std::this_thread::yield();
      ++c->lines, --c->inside;
    }
  } count;
  {
    SinkScope scope(Count::fn, &count);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([t] {
        for (int i = 0; i < 200; ++i) le::log::linef(Level::Info, "[le] t%d %04d", t, i);
      });
    for (auto& t : threads) t.join();
  }
  EXPECT_EQ(std::make_pair(count.lines, count.most), std::make_pair(800, 1));
  EXPECT_TRUE(count.whole);
}


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
  Seen seen;
  le::ffmpeg::routeLog();
  const int before = av_log_get_level();
  {
    SinkScope scope(Seen::fn, &seen);
    av_log_set_level(AV_LOG_INFO);
    av_log(nullptr, AV_LOG_WARNING, "two %s", "pieces");
    av_log(nullptr, AV_LOG_WARNING, " of one line %d\n", 7);
    av_log(nullptr, AV_LOG_ERROR, "broken\n");
    av_log(nullptr, AV_LOG_INFO, "said\n");
    av_log(nullptr, AV_LOG_DEBUG, "below FFmpeg's level\n");
    av_log_set_level(AV_LOG_ERROR);
    av_log(nullptr, AV_LOG_WARNING, "now below it too\n");
    av_log_set_level(before);
  }
  EXPECT_EQ(seen.lines, (std::vector<std::string>{"[ffmpeg] two pieces of one line 7", "[ffmpeg] broken",
                                                  "[ffmpeg] said"}));
  EXPECT_EQ(seen.levels, (std::vector<int>{int(Level::Warning), int(Level::Error), int(Level::Info)}));
}

}  // namespace
