// Collects the library's log lines through le_log_set while it lives; standard
// error gets them again once it goes. Usage:
//   le::test::LogLines log;  ...  EXPECT_EQ(log.levelOf("[le] director ep="), LE_LOG_INFO);
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "le/le.h"

namespace le::test {

class LogLines {
 public:
  LogLines() { le_log_set(&LogLines::take, this); }
  ~LogLines() { le_log_set(nullptr, nullptr); }
  LogLines(const LogLines&) = delete;
  LogLines& operator=(const LogLines&) = delete;

  // (level, line) in arrival order.
  std::vector<std::pair<int, std::string>> lines() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }

  // The level of the one line that starts with prefix; -1 - the number of
  // such lines when there is not exactly one.
  int levelOf(std::string_view prefix) const {
    std::lock_guard<std::mutex> lock(mu_);
    int found = 0, level = -1;
    for (const auto& [lv, line] : lines_)
      if (line.rfind(prefix, 0) == 0) ++found, level = lv;
    return found == 1 ? level : -1 - found;
  }

 private:
  static void take(int level, const char* line, void* user) {
    auto* self = static_cast<LogLines*>(user);
    std::lock_guard<std::mutex> lock(self->mu_);
    self->lines_.emplace_back(level, line);
  }

  mutable std::mutex mu_;
  std::vector<std::pair<int, std::string>> lines_;
};

}  // namespace le::test
