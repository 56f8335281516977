// The telemetry transport: an HTTP POST of a JSON body through libcurl.
#pragma once

#include <string>

namespace le::tel {

inline constexpr const char* kIngestPath = "/v1/telemetry/ingest";

// Result of a failed request (connection refused, time-out, bad URL).
inline constexpr int kTransportFailed = -2;

// Where and as whom to send: LE_TEL_URL (scheme, host, port; a trailing slash
// is dropped) and LE_TEL_TOKEN, read at each call. Empty when unset.
struct Endpoint {
  std::string url;
  std::string token;
};
Endpoint endpointFromEnv();

// POSTs body as application/json to baseUrl + path. Returns the HTTP status,
// or kTransportFailed. Connects within 3 s and gives up after 5 s in all;
// only http and https, no redirects.
int postJson(const std::string& baseUrl, const char* path, const std::string& body) noexcept;

}  // namespace le::tel
