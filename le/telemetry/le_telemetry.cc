// The telemetry recorder and the process-wide recorder behind le_tel_.
#include <chrono>

#include "le/telemetry/tel_http.h"
#include "le/telemetry/tel_json.h"
#include "le/telemetry/telemetry.h"

namespace le::tel {

namespace {

// Known numeric members, written at the top level in this order.
constexpr std::string_view kKnownNumbers[] = {"fps_ema", "frames_total", "session_s", "load_ms",
                                              "thermal_state"};
constexpr std::string_view kDeviceModel = "device_model";
constexpr std::string_view kModelKey = "model_key";

bool isKnownNumber(std::string_view key) {
  for (std::string_view k : kKnownNumbers)
    if (k == key) return true;
  return false;
}

void appendMember(std::string& out, std::string_view key) {
  out.push_back(',');
  appendString(out, key);
  out.push_back(':');
}

}  // namespace

int64_t wallClockSeconds() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

Recorder::Recorder(std::string sdkVersion, Clock clock)
    : sdkVersion_(std::move(sdkVersion)), clock_(std::move(clock)) {}

void Recorder::record(std::string_view key, double value) {
  if (key.empty()) return;
  std::lock_guard<std::mutex> lk(mu_);
  const auto it = numbers_.find(key);
  if (it != numbers_.end())
    it->second = value;
  else
    numbers_.emplace(std::string(key), value);
}

void Recorder::recordText(std::string_view key, std::string_view value) {
  if (key.empty()) return;
  std::lock_guard<std::mutex> lk(mu_);
  const auto it = texts_.find(key);
  if (it != texts_.end())
    it->second.assign(value);
  else
    texts_.emplace(std::string(key), std::string(value));
}

std::string Recorder::snapshot() {
  std::lock_guard<std::mutex> lk(mu_);
  return snapshotLocked();
}

std::string Recorder::snapshotLocked() {
  if (!sysReady_) {
    sys_ = describeMachine();
    sysReady_ = true;
  }
  std::string out;
  out.reserve(512);
  out.append("{\"ts\":");
  out.append(std::to_string(clock_()));
  appendMember(out, "os");
  appendString(out, sys_.os);
  appendMember(out, "os_version");
  appendString(out, sys_.osVersion);
  appendMember(out, kDeviceModel);
  const auto model = texts_.find(kDeviceModel);
  appendString(out, model != texts_.end() ? model->second : sys_.deviceModel);
  appendMember(out, "arch");
  appendString(out, sys_.arch);
  appendMember(out, "cpu_cores");
  out.append(std::to_string(sys_.cpuCores));
  appendMember(out, "ram_bytes");
  out.append(std::to_string(sys_.ramBytes));
  appendMember(out, "sdk_version");
  appendString(out, sdkVersion_);

  for (std::string_view k : kKnownNumbers) {
    const auto it = numbers_.find(k);
    if (it == numbers_.end()) continue;
    appendMember(out, k);
    appendNumber(out, it->second);
  }
  const auto key = texts_.find(kModelKey);
  if (key != texts_.end()) {
    appendMember(out, kModelKey);
    appendString(out, key->second);
  }

  // Numeric extras first, then text extras, each in byte order of the keys.
  bool open = false;
  auto member = [&](const std::string& k) {
    out.append(open ? "," : ",\"extra\":{");
    open = true;
    appendString(out, k);
    out.push_back(':');
  };
  for (const auto& [k, v] : numbers_) {
    if (isKnownNumber(k)) continue;
    member(k);
    appendNumber(out, v);
  }
  for (const auto& [k, v] : texts_) {
    if (k == kDeviceModel || k == kModelKey) continue;
    member(k);
    appendString(out, v);
  }
  if (open) out.push_back('}');
  out.push_back('}');
  return out;
}

std::string Recorder::pendingJson() {
  std::lock_guard<std::mutex> lk(mu_);
  std::string out = "{\"queued\":" + std::to_string(queue_.size()) + ",\"snapshot\":";
  out.append(snapshotLocked());
  out.push_back('}');
  return out;
}

size_t Recorder::queued() {
  std::lock_guard<std::mutex> lk(mu_);
  return queue_.size();
}

int Recorder::flush(std::string_view token, const Transport& post) {
  if (token.empty()) return kNoToken;
  std::string body;
  uint64_t through = 0;
  {
    std::lock_guard<std::mutex> lk(mu_);
    queue_.push(snapshotLocked());
    body = queue_.body(token, through);
  }
  const int status = post(body);
  if (status < 0) return status;
  if (status != 200) return kRejected;
  std::lock_guard<std::mutex> lk(mu_);
  queue_.removeThrough(through);
  return 0;
}

Recorder& processRecorder() {
  static Recorder recorder(LE_VERSION_TEXT);
  return recorder;
}

std::string snapshot_json() { return processRecorder().snapshot(); }

int flushToEndpoint() {
  const Endpoint ep = endpointFromEnv();
  // Without an endpoint there is nowhere the token may go.
  if (ep.url.empty()) return kNoToken;
  return processRecorder().flush(
      ep.token, [&](const std::string& body) { return postJson(ep.url, kIngestPath, body); });
}

}  // namespace le::tel
