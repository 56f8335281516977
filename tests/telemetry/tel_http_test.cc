// le_tel_* against a real HTTP server on 127.0.0.1: accepted, rejected and
// refused batches, the configuration rules, the cap, and the per-thread
// pending text. The recorder is process-wide, so each test first drains the
// queue through an accepting server.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "le/le_tel.h"
#include "telemetry/json_dom.h"
#include "telemetry/loopback_http.h"
#include "testkit/testkit.h"

namespace {

using le::test::Json;
using le::test::JsonReader;
using le::test::LoopbackHttp;
using le::test::ScopedEnv;

int queued() {
  const auto doc = JsonReader::parse(le_tel_pending_json());
  if (!doc || !doc->get("queued")) return -100;
  return std::stoi(doc->get("queued")->text);
}

class TelemetryHttp : public testing::Test {
 protected:
  TelemetryHttp()
      : noProxy("no_proxy", "127.0.0.1"),
        noProxyUpper("NO_PROXY", "127.0.0.1"),
        server(200),
        url("LE_TEL_URL", server.url()),
        token("LE_TEL_TOKEN", "tok") {}
  void SetUp() override {
    ASSERT_EQ(le_tel_flush(), 0);
    ASSERT_EQ(queued(), 0);
  }
  Json lastBody() {
    const auto reqs = server.requests();
    if (reqs.empty()) return Json{};
    auto doc = JsonReader::parse(reqs.back().body);
    EXPECT_TRUE(doc.has_value()) << reqs.back().body;
    return doc.value_or(Json{});
  }

  // A host proxy must not stand between the test and its server.
  ScopedEnv noProxy, noProxyUpper;
  LoopbackHttp server;
  ScopedEnv url, token;
};

TEST_F(TelemetryHttp, AcceptedBatchIsPostedAsJsonAndEmptiesTheQueue) {
  ScopedEnv slash("LE_TEL_URL", server.url() + "/");
  ScopedEnv tok("LE_TEL_TOKEN", "t\"\r");
  le_tel_record("frames_total", 1200.0);
  le_tel_record("fps_ema", 24.5);
  le_tel_record_str("model_key", "m4b");
  le_tel_record_str("http_test_note", "line\nbreak \xFF");
  ASSERT_EQ(le_tel_flush(), 0);
  EXPECT_EQ(queued(), 0);
  const auto req = server.requests().back();
  EXPECT_EQ(req.method, "POST");
  EXPECT_EQ(req.path, "/v1/telemetry/ingest");
  EXPECT_NE(req.head.find("Content-Type: application/json"), std::string::npos) << req.head;
  EXPECT_NE(req.body.find("\"token\":\"t\\\"\\u000d\""), std::string::npos) << req.body;
  const Json body = lastBody();
  EXPECT_EQ(body.keys(), (std::vector<std::string>{"token", "batch"}));
  ASSERT_EQ(body.get("batch")->items.size(), 1u);
  const Json& snap = body.get("batch")->items[0];
  EXPECT_EQ(snap.get("frames_total")->text, "1200");
  EXPECT_EQ(snap.get("fps_ema")->text, "24.5");
  EXPECT_EQ(snap.get("model_key")->text, "m4b");
  EXPECT_EQ(snap.get("extra")->get("http_test_note")->text, "line\nbreak \xEF\xBF\xBD");
  // The library's own version text, e.g. "0.1.0".
  const std::string version = snap.get("sdk_version")->text;
  EXPECT_FALSE(version.empty());
  EXPECT_EQ(version.find_first_not_of("0123456789."), std::string::npos) << version;
}

TEST_F(TelemetryHttp, RejectedBatchesStayQueuedAndAreResent) {
  server.setStatus(500);
  EXPECT_EQ(le_tel_flush(), -3);
  EXPECT_EQ(le_tel_flush(), -3);
  EXPECT_EQ(queued(), 2);
  server.setStatus(404);
  EXPECT_EQ(le_tel_flush(), -3);
  server.setStatus(200);
  EXPECT_EQ(le_tel_flush(), 0);
  EXPECT_EQ(lastBody().get("batch")->items.size(), 4u);
  EXPECT_EQ(queued(), 0);
}

TEST_F(TelemetryHttp, RefusedConnectionReturnsTransportErrorAndKeepsQueue) {
  {
    ScopedEnv refused("LE_TEL_URL", "http://127.0.0.1:" + std::to_string(LoopbackHttp::closedPort()));
    EXPECT_EQ(le_tel_flush(), -2);
    EXPECT_EQ(queued(), 1);
  }
  {
    ScopedEnv odd("LE_TEL_URL", "ftp://127.0.0.1:1");
    EXPECT_EQ(le_tel_flush(), -2);
  }
  {
    ScopedEnv junk("LE_TEL_URL", "http://127.0.0.1:99999");
    EXPECT_EQ(le_tel_flush(), -2);
  }
  EXPECT_EQ(queued(), 3);
  EXPECT_EQ(le_tel_flush(), 0);
  EXPECT_EQ(lastBody().get("batch")->items.size(), 4u);
}

TEST_F(TelemetryHttp, WithoutTokenOrUrlFlushReturnsMinusOneAndQueuesNothing) {
  const size_t before = server.requests().size();
  {
    ScopedEnv none("LE_TEL_TOKEN", std::nullopt);
    EXPECT_EQ(le_tel_flush(), -1);
  }
  {
    ScopedEnv empty("LE_TEL_TOKEN", "");
    EXPECT_EQ(le_tel_flush(), -1);
  }
  {
    ScopedEnv none("LE_TEL_URL", std::nullopt);
    EXPECT_EQ(le_tel_flush(), -1);
  }
  EXPECT_EQ(queued(), 0);
  EXPECT_EQ(server.requests().size(), before);
}

TEST_F(TelemetryHttp, QueueHoldsAtMost256AfterFailedFlushes) {
  {
    ScopedEnv refused("LE_TEL_URL", "http://127.0.0.1:" + std::to_string(LoopbackHttp::closedPort()));
    for (int i = 0; i < 300; ++i) ASSERT_EQ(le_tel_flush(), -2);
  }
  EXPECT_EQ(queued(), 256);
  EXPECT_EQ(le_tel_flush(), 0);
  EXPECT_EQ(lastBody().get("batch")->items.size(), 256u);
  EXPECT_EQ(queued(), 0);
}

TEST_F(TelemetryHttp, NullArgumentsAreIgnored) {
  le_tel_record(nullptr, 1);
  le_tel_record("", 2);
  le_tel_record_str(nullptr, "v");
  le_tel_record_str("", "v");
  le_tel_record_str("http_null_value", nullptr);
  const std::string text = le_tel_pending_json();
  EXPECT_TRUE(JsonReader::parse(text).has_value()) << text;
  EXPECT_EQ(text.find("http_null_value"), std::string::npos);
  EXPECT_EQ(text.find("\"\":"), std::string::npos);
}

TEST(TelemetryPendingText, BelongsToTheCallingThread) {
  le_tel_record_str("pending_thread_key", "main");
  const char* mine = le_tel_pending_json();
  const std::string copy = mine;
  std::string other;
  std::thread([&] {
    le_tel_record_str("pending_thread_key", "other");
    const char* theirs = le_tel_pending_json();
    EXPECT_NE(theirs, mine);
    other = theirs;
  }).join();
  EXPECT_EQ(std::string(mine), copy);
  EXPECT_NE(copy.find("\"pending_thread_key\":\"main\""), std::string::npos);
  EXPECT_NE(other.find("\"pending_thread_key\":\"other\""), std::string::npos);
}

// Two threads flush over HTTP while the server alternates answers; whatever
// interleaving happens, one accepted flush afterwards leaves the queue empty
// and every request body is valid JSON.
TEST_F(TelemetryHttp, ConcurrentFlushesOverHttp) {
  std::atomic<int> failures{0};
  std::vector<std::thread> th;
  for (int k = 0; k < 2; ++k)
    th.emplace_back([&, k] {
      for (int i = 0; i < 15; ++i) {
        le_tel_record("http_concurrent", k * 100 + i);
        const int r = le_tel_flush();
        if (r != 0 && r != -3) ++failures;
      }
    });
  for (int i = 0; i < 15; ++i) {
    server.setStatus(i % 2 ? 200 : 500);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  for (auto& t : th) t.join();
  EXPECT_EQ(failures.load(), 0);
  server.setStatus(200);
  EXPECT_EQ(le_tel_flush(), 0);
  EXPECT_EQ(queued(), 0);
  for (const auto& r : server.requests())
    EXPECT_TRUE(JsonReader::parse(r.body).has_value()) << r.body;
}

}  // namespace
