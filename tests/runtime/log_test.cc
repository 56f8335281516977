// The log sink: lines reach the installed sink whole and without their
// newline, standard error gets them byte for byte when no sink is set, and a
// sink may log or swap the sink without deadlocking.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "le/runtime/log.h"

namespace {

using le::log::Level;

struct Seen {
  std::vector<int> levels;
  std::vector<std::string> lines;
};

void record(int level, const char* line, void* user) {
  auto* s = static_cast<Seen*>(user);
  s->levels.push_back(level);
  s->lines.emplace_back(line);
}

// Restores standard error as the sink on every exit path.
struct SinkScope {
  SinkScope(le::log::Sink fn, void* user) { le::log::setSink(fn, user); }
  ~SinkScope() { le::log::setSink(nullptr, nullptr); }
};

TEST(LogSink, WithoutASinkStandardErrorGetsEachLineAndItsNewline) {
  testing::internal::CaptureStderr();
  le::log::line(Level::Info, "[le] one");
  le::log::linef(Level::Warning, "[le] %s=\"%s\" is not a whole number; ignored", "LE_CORE_THREADS", "x");
  le::log::line(Level::Error, "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[le] one\n[le] LE_CORE_THREADS=\"x\" is not a whole number; ignored\n\n");
}

TEST(LogSink, ASinkGetsLevelAndLineInsteadOfStandardError) {
  Seen seen;
  testing::internal::CaptureStderr();
  {
    SinkScope scope(record, &seen);
    le::log::line(Level::Info, "[le] a");
    le::log::line(Level::Warning, "[le_a2x] b");
    le::log::linef(Level::Error, "[le] %d of %d", 3, 4);
  }
  le::log::line(Level::Info, "[le] after");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[le] after\n");
  EXPECT_EQ(seen.lines, (std::vector<std::string>{"[le] a", "[le_a2x] b", "[le] 3 of 4"}));
  EXPECT_EQ(seen.levels, (std::vector<int>{3, 2, 1}));
}

TEST(LogSink, FormattedLinesOfEveryLengthArriveWhole) {
  Seen seen;
  SinkScope scope(record, &seen);
  // Around the formatter's first buffer (512 bytes) and far beyond it.
  for (const size_t n : {size_t(0), size_t(1), size_t(510), size_t(511), size_t(512), size_t(513), size_t(5000)}) {
    const std::string body(n, 'x');
    le::log::linef(Level::Info, "[le] %s|", body.c_str());
    ASSERT_FALSE(seen.lines.empty());
    EXPECT_EQ(seen.lines.back(), "[le] " + body + "|") << n;
  }
}

TEST(LogSink, ASinkThatLogsSendsThoseLinesToStandardError) {
  struct Echo {
    int calls = 0;
    static void fn(int, const char* line, void* user) {
      ++static_cast<Echo*>(user)->calls;
      le::log::line(Level::Info, std::string("echo ") + line);
    }
  } echo;
  testing::internal::CaptureStderr();
  {
    SinkScope scope(Echo::fn, &echo);
    le::log::line(Level::Info, "[le] x");
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "echo [le] x\n");
  EXPECT_EQ(echo.calls, 1);
}

TEST(LogSink, ASinkMaySwapTheSink) {
  Seen second;
  struct First {
    Seen* next;
    static void fn(int, const char*, void* user) {
      le::log::setSink(record, static_cast<First*>(user)->next);
    }
  } first{&second};
  SinkScope scope(First::fn, &first);
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
      ++c->lines;
      --c->inside;
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
  EXPECT_EQ(count.lines, 800);
  EXPECT_EQ(count.most, 1);
  EXPECT_TRUE(count.whole);
}

}  // namespace
