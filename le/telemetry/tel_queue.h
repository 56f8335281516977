// Snapshots waiting to be sent, oldest first, capped at 256. Each carries a
// sequence number so that an accepted batch removes exactly the snapshots it
// held: one flush may be waiting on the network while another appends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace le::tel {

class SnapshotQueue {
 public:
  static constexpr size_t kCap = 256;

  // Appends at the back, then drops the oldest beyond kCap.
  void push(std::string snapshot);
  size_t size() const { return items_.size(); }

  // {"token":"...","batch":[...]} over every queued snapshot, oldest first;
  // `through` receives the sequence number of the newest one carried.
  std::string body(std::string_view token, uint64_t& through) const;

  // Removes the snapshots with sequence numbers up to `through`: exactly those
  // a body built earlier carried that are still queued (sequence numbers grow
  // in queue order and the queue only loses its oldest).
  void removeThrough(uint64_t through);

 private:
  struct Item {
    uint64_t seq;
    std::string text;
  };
  std::deque<Item> items_;
  uint64_t next_ = 1;
};

}  // namespace le::tel
