// The telemetry send queue and its request body.
#include "le/telemetry/tel_json.h"
#include "le/telemetry/tel_queue.h"

namespace le::tel {

void SnapshotQueue::push(std::string snapshot) {
  items_.push_back(Item{next_++, std::move(snapshot)});
  while (items_.size() > kCap) items_.pop_front();
}

std::string SnapshotQueue::body(std::string_view token, uint64_t& through) const {
  size_t bytes = token.size() + 32;
  for (const Item& it : items_) bytes += it.text.size() + 1;
  std::string out;
  out.reserve(bytes);
  out.append("{\"token\":");
  appendString(out, token);
  out.append(",\"batch\":[");
  through = 0;
  for (size_t i = 0; i < items_.size(); ++i) {
    if (i) out.push_back(',');
    out.append(items_[i].text);
    through = items_[i].seq;
  }
  out.append("]}");
  return out;
}

void SnapshotQueue::removeThrough(uint64_t through) {
  while (!items_.empty() && items_.front().seq <= through) items_.pop_front();
}

}  // namespace le::tel
