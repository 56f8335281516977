// The telemetry recorder: named numeric and text metrics set by the host,
// snapshots of them with the machine description, and the send queue. The C
// functions of le/le_tel.h drive one process-wide recorder; tests build their
// own with a fixed clock and a fake transport.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "le/telemetry/tel_machine.h"
#include "le/telemetry/tel_queue.h"

namespace le::tel {

// Sends a request body; returns an HTTP status or a negative error.
using Transport = std::function<int(const std::string& body)>;
// Seconds since the epoch.
using Clock = std::function<int64_t()>;

int64_t wallClockSeconds();

// Flush result when no token (or no endpoint) is configured.
inline constexpr int kNoToken = -1;
// Flush result when the endpoint answered a status other than 200.
inline constexpr int kRejected = -3;

class Recorder {
 public:
  explicit Recorder(std::string sdkVersion, Clock clock = wallClockSeconds);

  void record(std::string_view key, double value);
  void recordText(std::string_view key, std::string_view value);

  std::string snapshot();
  // {"queued":N,"snapshot":{...}}; the queue is not changed.
  std::string pendingJson();
  size_t queued();

  // Queues a snapshot and sends the whole queue through post, outside the
  // lock. An empty token returns kNoToken and queues nothing. Status 200
  // removes the snapshots the body carried and returns 0; a negative transport
  // result is returned as is, any other status as kRejected.
  int flush(std::string_view token, const Transport& post);

 private:
  std::string snapshotLocked();

  std::mutex mu_;
  const std::string sdkVersion_;
  const Clock clock_;
  bool sysReady_ = false;
  Machine sys_;
  std::map<std::string, double, std::less<>> numbers_;
  std::map<std::string, std::string, std::less<>> texts_;
  SnapshotQueue queue_;
};

// The process-wide recorder behind le_tel_*, created on first use.
Recorder& processRecorder();

// A snapshot of the process-wide recorder.
std::string snapshot_json();

// Queues a snapshot of the process-wide recorder and posts the queue to
// LE_TEL_URL's ingest path with LE_TEL_TOKEN: kNoToken without an endpoint,
// else as Recorder::flush.
int flushToEndpoint();

}  // namespace le::tel
