// libcurl transport of the telemetry batches.
#include <curl/curl.h>

#include <cstdlib>
#include <memory>

#include "le/runtime/env.h"
#include "le/telemetry/tel_http.h"

namespace le::tel {

namespace {

constexpr long kConnectTimeoutMs = 3000;
constexpr long kTotalTimeoutMs = 5000;

struct EasyDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

// curl_global_init once per process; it lives until exit like the rest of the
// telemetry state.
bool curlReady() {
  static const bool ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ok;
}

size_t discard(char*, size_t size, size_t n, void*) { return size * n; }

}  // namespace

Endpoint endpointFromEnv() {
  Endpoint e{env::text("LE_TEL_URL").value_or(""), env::text("LE_TEL_TOKEN").value_or("")};
  while (!e.url.empty() && e.url.back() == '/') e.url.pop_back();
  return e;
}

int postJson(const std::string& baseUrl, const char* path, const std::string& body) noexcept {
  try {
    if (!curlReady()) return kTransportFailed;
    // The header list outlives the handle that points at it.
    std::unique_ptr<curl_slist, SlistDeleter> headers(
        curl_slist_append(nullptr, "Content-Type: application/json"));
    if (!headers) return kTransportFailed;
    // An empty Expect keeps curl from waiting for "100 Continue" on large batches.
    curl_slist* more = curl_slist_append(headers.get(), "Expect:");
    if (!more) return kTransportFailed;
    headers.release();
    headers.reset(more);
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy) return kTransportFailed;
    const std::string url = baseUrl + path;
    CURL* c = easy.get();
    const bool set =
        curl_easy_setopt(c, CURLOPT_URL, url.c_str()) == CURLE_OK &&
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
        curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
        // Time-outs must not raise SIGALRM in a host's threads.
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs) == CURLE_OK &&
        curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, kTotalTimeoutMs) == CURLE_OK &&
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data()) == CURLE_OK &&
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(body.size())) == CURLE_OK &&
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &discard) == CURLE_OK &&
        curl_easy_setopt(c, CURLOPT_USERAGENT, "le_core/" LE_VERSION_TEXT) == CURLE_OK;
    if (!set || curl_easy_perform(c) != CURLE_OK) return kTransportFailed;
    long status = 0;
    if (curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) return kTransportFailed;
    // Statuses are three digits; anything else is not an HTTP answer.
    if (status < 100 || status > 999) return kTransportFailed;
    return static_cast<int>(status);
  } catch (...) {
    return kTransportFailed;
  }
}

}  // namespace le::tel
