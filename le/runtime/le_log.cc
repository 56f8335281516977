#include "le/runtime/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace le::log {
namespace {

// Never destroyed: threads and leaked process-wide objects may log during exit.
struct State {
  std::mutex mu;  // held while a line is delivered
  Sink fn = nullptr;
  void* user = nullptr;
  std::atomic<bool> host{false};  // fn != nullptr, readable without the lock
};

State& state() {
  static State* s = new State;
  return *s;
}

// Set while this thread runs the sink (and so holds the lock).
thread_local bool tInSink = false;

void toStderr(std::string_view text) noexcept {
  flockfile(stderr);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
  funlockfile(stderr);
}

}  // namespace

void line(Level level, std::string_view text) noexcept {
  if (tInSink) {
    toStderr(text);
    return;
  }
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.fn == nullptr) {
    toStderr(text);
    return;
  }
  std::string terminated;
  try {
    terminated.assign(text);
  } catch (...) {
    return;
  }
  tInSink = true;
  s.fn(static_cast<int>(level), terminated.c_str(), s.user);
  tInSink = false;
}

bool hostSink() noexcept { return state().host.load(std::memory_order_relaxed); }

void linef(Level level, const char* format, ...) noexcept {
  char small[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (n < 0) {
    va_end(again);
    return;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    va_end(again);
    line(level, std::string_view(small, static_cast<size_t>(n)));
    return;
  }
  std::string big;
  try {
    big.resize(static_cast<size_t>(n) + 1);
  } catch (...) {
    va_end(again);
    return;
  }
  std::vsnprintf(big.data(), big.size(), format, again);
  va_end(again);
  big.pop_back();
  line(level, big);
}

void setSink(Sink fn, void* user) noexcept {
  State& s = state();
  if (tInSink) {  // this thread already holds the lock
    s.fn = fn;
    s.user = user;
    s.host.store(fn != nullptr, std::memory_order_relaxed);
    return;
  }
  std::lock_guard<std::mutex> lock(s.mu);
  s.fn = fn;
  s.user = user;
  s.host.store(fn != nullptr, std::memory_order_relaxed);
}

}  // namespace le::log
