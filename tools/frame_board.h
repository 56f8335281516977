// The newest encoded frame, shared by every viewer of the live stream. The
// producer publishes each frame once; a viewer takes whatever is newest when
// it is ready for the next one, so a slow viewer skips frames and nothing
// queues, and no viewer can hold the producer back.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace le::tool {

struct FrameShot {
  uint64_t sequence = 0;  // 1, 2, 3 ... in publication order
  std::shared_ptr<const std::string> jpeg;
  int kind = 0;
};

class FrameBoard {
 public:
  void publish(std::shared_ptr<const std::string> jpeg, int kind) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      latest_ = FrameShot{latest_.sequence + 1, std::move(jpeg), kind};
    }
    cv_.notify_all();
  }

  // The newest frame once one newer than `after` is up; nullopt after the
  // timeout or once the board is closed.
  std::optional<FrameShot> waitNewer(uint64_t after, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!cv_.wait_for(lock, timeout, [&] { return closed_ || latest_.sequence > after; }) || closed_)
      return std::nullopt;
    return latest_;
  }

  // Wakes every waiter; nothing is handed out afterwards.
  void close() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      closed_ = true;
    }
    cv_.notify_all();
  }

  bool closed() const {
    std::lock_guard<std::mutex> lock(mu_);
    return closed_;
  }

  uint64_t sequence() const {
    std::lock_guard<std::mutex> lock(mu_);
    return latest_.sequence;
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  FrameShot latest_;
  bool closed_ = false;
};

}  // namespace le::tool
