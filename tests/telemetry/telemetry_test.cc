// Telemetry: the JSON number format and escaping, the recorder's snapshot
// layout, queue and cap against a fake transport and a counting clock, flushes
// racing each other, and le_tel_* against a real HTTP server on 127.0.0.1
// (Python's http.server). Documents are checked with nlohmann::json.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/utsname.h>

#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <tuple>

#include "le/le_tel.h"
#include "le/telemetry/tel_json.h"
#include "le/telemetry/telemetry.h"
#include "testkit/testkit.h"

namespace {

using Json = nlohmann::ordered_json;  // keeps the members in document order
using le::tel::Recorder;
using le::test::ScopedEnv;
using Strings = std::vector<std::string>;

Json parsed(const std::string& text) {
  Json doc = Json::parse(text, nullptr, false);
  if (doc.is_discarded()) ADD_FAILURE() << "not valid JSON: " << text;
  return doc;
}
Strings keys(const Json& j) { Strings k; for (const auto& [key, v] : j.items()) k.push_back(key); return k; }
std::string num(double v) { std::string s; le::tel::appendNumber(s, v); return s; }
std::string str(std::string_view v) { std::string s; le::tel::appendString(s, v); return s; }

TEST(TelJson, NumbersAreIntegersOrSixSignificantDigits) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, const char*> cases[] = {
      {1200.0, "1200"}, {0.0, "0"}, {-0.0, "0"}, {-3.0, "-3"}, {1e15, "1000000000000000"},
      {4611686018427387904.0, "4611686018427387904"}, {-9223372036854775808.0, "-9223372036854775808"},
      {9223372036854775808.0, "9.22337e+18"},  // 2^63 does not fit the integer and is not cast
      {24.5, "24.5"}, {0.1, "0.1"}, {1.0 / 3.0, "0.333333"}, {-2.5, "-2.5"}, {123456789.5, "1.23457e+08"},
      {1e-7, "1e-07"}, {1e300, "1e+300"}, {-1e300, "-1e+300"},
      {std::numeric_limits<double>::denorm_min(), "4.94066e-324"}, {NAN, "null"}, {inf, "null"}, {-inf, "null"}};
  for (const auto& [v, want] : cases) EXPECT_EQ(num(v), want) << want;
}

TEST(TelJson, StringsAreEscapedAndIllFormedUtf8Replaced) {
  const std::string R = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"}, {"", ""}, {"a\"b\\c", "a\\\"b\\\\c"}, {"l1\nl2\tx", "l1\\nl2\\tx"}, {"a\rb", "a\\u000db"},
      {std::string("\x01\x1f\x08\x0c", 4), "\\u0001\\u001f\\u0008\\u000c"}, {std::string("a\0b", 3), "a\\u0000b"},
      {"/ \x7f", "/ \x7f"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF \xED\x9F\xBF",
       "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF \xED\x9F\xBF"},
      {"\x80", R}, {"a\xFFz", "a" + R + "z"}, {"\xC0\xAF", R + R},  // overlong '/'
      {"\xE0\x80\xAF", R + R + R}, {"\xED\xA0\x80", R + R + R},        // overlong, surrogate D800
      {"\xF4\x90\x80\x80", R + R + R + R}, {"\xF5\x80\x80\x80", R + R + R + R},  // above U+10FFFF
      {"\xE2\x82" "A", R + "A"}, {"\xF0\x9F\x98", R}, {"\xF0\x9F\x98\"", R + "\\\""}};  // one per truncated sequence
  for (const auto& [in, want] : cases) EXPECT_EQ(str(in), "\"" + want + "\"") << testing::PrintToString(in);
  // Every one- and two-byte input, and three and four bytes around the lead
  // bytes whose second byte range is narrowed, is strict JSON that reads back
  // (valid UTF-8 unchanged).
  const auto check = [&](const std::string& s) {
    const Json doc = Json::parse(str(s), nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << testing::PrintToString(s);
    if (str(s).find(R) == std::string::npos) {
      ASSERT_EQ(doc.get<std::string>(), s) << testing::PrintToString(s);
    }
  };
  for (int a = 0; a < 256; ++a) {
    check(std::string(1, char(a)));
    for (int b = 0; b < 256; ++b) check(std::string{char(a), char(b)});
  }
  for (int lead : {0xE0, 0xED, 0xF0, 0xF4})
    for (int b = 0x70; b < 0xD0; ++b)
      for (int c : {0x41, 0x80, 0xBF, 0xC0}) check(std::string{char(lead), char(b), char(c)}), check(std::string{char(lead), char(b), char(0x80), char(c)});
}

// A clock that ticks once per snapshot, so every snapshot is told apart.
le::tel::Clock ticks() { return [n = std::make_shared<std::atomic<int64_t>>(0)] { return ++*n; }; }
const Strings kFixed = {"ts", "os", "os_version", "device_model", "arch", "cpu_cores", "ram_bytes", "sdk_version"};

std::vector<int64_t> batchTs(const std::string& body) {
  std::vector<int64_t> out;
  for (const Json& s : parsed(body).value("batch", Json::array())) out.push_back(s["ts"].get<int64_t>());
  return out;
}

TEST(TelemetrySnapshot, FixedMembersThenKnownOnesThenExtra) {
  Recorder rec("9.8.7", ticks());
  std::string text = rec.snapshot();
  Json doc = parsed(text);
  EXPECT_EQ(std::make_pair(keys(doc), text.find(' ')), std::make_pair(kFixed, std::string::npos));
  struct utsname u {};
  ASSERT_EQ(uname(&u), 0);
  EXPECT_EQ(std::make_tuple(doc["ts"], doc["os"], doc["os_version"], doc["device_model"], doc["arch"], doc["sdk_version"]),
            std::make_tuple(Json(1), Json("linux"), Json(u.release), Json(""), Json(u.machine), Json("9.8.7")));
  EXPECT_EQ(doc["cpu_cores"].get<unsigned>(), std::thread::hardware_concurrency());
  EXPECT_GT(doc["ram_bytes"].get<uint64_t>(), 1ull << 20);
  // Recorded in reverse, replaced, extra keys mixed in: known members keep
  // their order, extra lists numbers then texts, each in byte order.
  rec.record("", 1), rec.recordText("", "x");
  rec.record("thermal_state", 2), rec.recordText("model_key", "a"), rec.recordText("model_key", "m4b");
  rec.record("load_ms", 812.25), rec.record("session_s", 61), rec.record("frames_total", 1200.0);
  rec.record("fps_ema", 20), rec.record("fps_ema", 24.5);
  for (const char* k : {"zz", "b", "B", "ab"}) rec.record(k, 3);
  for (const char* k : {"aa", "Z"}) rec.recordText(k, "t");
  rec.recordText("device_model", "Pi 5");  // replaces the description
  rec.recordText("k\r", "v\r\"\\"), rec.recordText("bad", "\xC3(\xFF");
  rec.record("nan", NAN), rec.record("inf", -INFINITY);
  text = rec.snapshot();
  doc = parsed(text);
  Strings want = kFixed;
  want.insert(want.end(), {"fps_ema", "frames_total", "session_s", "load_ms", "thermal_state", "model_key", "extra"});
  EXPECT_EQ(keys(doc), want);
  EXPECT_EQ(keys(doc["extra"]), (Strings{"B", "ab", "b", "inf", "nan", "zz", "Z", "aa", "bad", "k\r"}));
  EXPECT_NE(text.find("\"fps_ema\":24.5,\"frames_total\":1200,\"session_s\":61,\"load_ms\":812.25,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"k\\u000d\":\"v\\u000d\\\"\\\\\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"inf\":null,\"nan\":null"), std::string::npos) << text;
  EXPECT_EQ(std::make_tuple(doc["device_model"], doc["model_key"], doc["extra"]["bad"]),
            std::make_tuple(Json("Pi 5"), Json("m4b"), Json("\xEF\xBF\xBD(\xEF\xBF\xBD")));
  Recorder wall("v");
  const int64_t before = le::tel::wallClockSeconds(), ts = parsed(wall.snapshot())["ts"].get<int64_t>();
  EXPECT_TRUE(ts >= before && ts <= le::tel::wallClockSeconds() && ts > 1700000000) << ts;
}

TEST(TelemetryFlush, QueueStatusesAndTheCap) {
  Recorder rec("9.8.7", ticks());
  std::vector<std::string> bodies;
  int status = 500;
  const auto post = [&](const std::string& b) { return bodies.push_back(b), status; };
  // No token (nothing sent or queued): the HTTP test's unset and empty tokens.
  rec.record("fps_ema", 25);
  EXPECT_EQ(rec.flush("t\"k", post), -3);
  EXPECT_EQ(rec.flush("t\"k", post), -3);
  const Json pending = parsed(rec.pendingJson());
  EXPECT_EQ(keys(pending), (Strings{"queued", "snapshot"}));
  EXPECT_EQ(std::make_pair(pending["queued"], pending["snapshot"]["ts"]), std::make_pair(Json(2), Json(3)));
  status = 200;
  EXPECT_EQ(rec.flush("t\"k", post), 0);
  EXPECT_EQ(rec.queued(), 0u);
  const Json doc = parsed(bodies[2]);
  EXPECT_EQ(keys(doc), (Strings{"token", "batch"}));
  EXPECT_EQ(std::make_pair(doc["token"], doc["batch"][0]["fps_ema"]), std::make_pair(Json("t\"k"), Json(25)));
  EXPECT_EQ(batchTs(bodies[0]), (std::vector<int64_t>{1}));
  EXPECT_EQ(batchTs(bodies[2]), (std::vector<int64_t>{1, 2, 4}));  // oldest first
  EXPECT_EQ(rec.flush("t\"k", post), 0);
  EXPECT_EQ(batchTs(bodies[3]), (std::vector<int64_t>{5}));
  // Transport failures come back as they are, other statuses as -3; both keep the queue.
  for (const auto& [answer, want] : {std::pair{-2, -2}, {-7, -7}, {204, -3}, {301, -3}})
    EXPECT_EQ(rec.flush("tok", [&](const std::string&) { return answer; }), want) << answer;
  EXPECT_EQ(rec.queued(), 4u);
  std::string last;
  for (int i = 0; i < 300; ++i) ASSERT_EQ(rec.flush("tok", [&](const std::string& b) { return last = b, 500; }), -3);
  EXPECT_EQ(rec.queued(), 256u);  // the newest 256; the cap applies after appending
  const std::vector<int64_t> ts = batchTs(last);
  EXPECT_EQ(std::make_tuple(ts.size(), ts.front(), ts.back()), std::make_tuple(size_t(256), int64_t(54), int64_t(309)));
}

// Flush A is held on the network while flush B appends a snapshot and fails;
// A's acceptance must not take B's snapshot with it.
TEST(TelemetryConcurrent, AcceptedFlushKeepsSnapshotsItDidNotCarry) {
  Recorder rec("9.8.7", ticks());
  std::mutex mu;
  std::condition_variable cv;
  bool aSent = false, bDone = false;
  std::thread a([&] {
    EXPECT_EQ(rec.flush("tok", [&](const std::string& body) {
      EXPECT_EQ(batchTs(body), (std::vector<int64_t>{1}));
      std::unique_lock<std::mutex> lk(mu);
      aSent = true;
      cv.notify_all();
      EXPECT_TRUE(cv.wait_for(lk, std::chrono::seconds(5), [&] { return bDone; })) << "B's flush waited on A's network call";
      return 200;
    }), 0);
  });
  {
    std::unique_lock<std::mutex> lk(mu);
    EXPECT_TRUE(cv.wait_for(lk, std::chrono::seconds(5), [&] { return aSent; }));
  }
  std::vector<int64_t> carried;
  EXPECT_EQ(rec.flush("tok", [&](const std::string& body) { return carried = batchTs(body), 500; }), -3);
  EXPECT_EQ(carried, (std::vector<int64_t>{1, 2}));
  {
    std::lock_guard<std::mutex> lk(mu);
    bDone = true;
  }
  cv.notify_all();
  a.join();
  std::string body;
  EXPECT_EQ(rec.flush("tok", [&](const std::string& b) { return body = b, 200; }), 0);
  EXPECT_EQ(batchTs(body), (std::vector<int64_t>{2, 3}));
}

// Two threads flush while a third records; every snapshot reaches an accepted
// batch, none is dropped by the other thread's acceptance.
TEST(TelemetryConcurrent, TwoFlushingThreadsLoseNoSnapshot) {
  Recorder rec("9.8.7", ticks());
  std::mutex mu;
  std::set<int64_t> delivered;
  std::atomic<int> calls{0};
  const auto post = [&](const std::string& body) {
    if (calls.fetch_add(1) % 3 == 0) return 500;  // batches overlap and pile up a little
    const auto ts = batchTs(body);
    std::lock_guard<std::mutex> lk(mu);
    delivered.insert(ts.begin(), ts.end());
    return 200;
  };
  std::atomic<bool> stop{false};
  std::thread recorder([&] {
    for (int i = 0; !stop; ++i) rec.record("fps_ema", i), rec.recordText("model_key", std::to_string(i)), std::this_thread::yield();
  });
  std::vector<std::thread> flushers;
  for (int k = 0; k < 2; ++k)
    flushers.emplace_back([&] {
      for (int i = 0; i < 150; ++i) {
        const int r = rec.flush("tok", post);
        EXPECT_TRUE(r == 0 || r == -3) << r;
      }
    });
  for (auto& th : flushers) th.join();
  stop = true;
  recorder.join();
  calls = 1;  // the next request is accepted
  ASSERT_EQ(rec.flush("tok", post), 0);
  EXPECT_EQ(std::make_tuple(rec.queued(), delivered.size(), *delivered.begin(), *delivered.rbegin()),
            std::make_tuple(size_t(0), size_t(301), int64_t(1), int64_t(301)));
}

// `python3 -m lefix httpd` on 127.0.0.1, stopped with the test.
class HttpServer {
 public:
  HttpServer() {
    const std::string cmd = "echo $$; PYTHONPATH='" LE_FIXTURES_DIR "' exec " LE_PYTHON " -m lefix httpd --dir '" + dir_.path() + "'";
    out_ = ::popen(cmd.c_str(), "r");
    if (!out_ || std::fscanf(out_, "%d %d %d", &pid_, &port_, &closed_) != 3) ADD_FAILURE() << "httpd did not start";
  }
  ~HttpServer() { if (pid_ > 0) ::kill(pid_, SIGTERM); if (out_) ::pclose(out_); }
  std::string url(bool closed = false) const { return "http://127.0.0.1:" + std::to_string(closed ? closed_ : port_); }
  void setStatus(int s) { le::test::writeFile(dir_ / "status", std::to_string(s)); }
  std::vector<Json> requests() const {
    std::vector<Json> out;
    std::ifstream in(dir_ / "requests");
    for (std::string line; std::getline(in, line);) out.push_back(parsed(line));
    return out;
  }

 private:
  le::test::TempDir dir_;
  FILE* out_ = nullptr;
  int pid_ = -1, port_ = 0, closed_ = 0;
};

int queued() { return parsed(le_tel_pending_json())["queued"].get<int>(); }

class TelemetryHttp : public testing::Test {
 protected:
  void SetUp() override {  // the recorder is process-wide: start with an empty queue
    ASSERT_EQ(le_tel_flush(), 0);
    ASSERT_EQ(queued(), 0);
  }
  Json lastBody() { return parsed(server.requests().back()["body"].get<std::string>()); }
  ScopedEnv noProxy{"no_proxy", "127.0.0.1"}, noProxyUpper{"NO_PROXY", "127.0.0.1"};  // no host proxy in between
  HttpServer server;
  ScopedEnv url{"LE_TEL_URL", server.url()}, token{"LE_TEL_TOKEN", "tok"};
};

TEST_F(TelemetryHttp, PostedAsJsonRejectedOrRefusedBatchesStayQueued) {
  {
    ScopedEnv slash("LE_TEL_URL", server.url() + "/");
    ScopedEnv tok("LE_TEL_TOKEN", "t\"\r");
    le_tel_record("frames_total", 1200.0), le_tel_record_str("model_key", "m4b");
    le_tel_record_str("http_test_note", "line\nbreak \xFF");
    ASSERT_EQ(le_tel_flush(), 0);
  }
  const Json req = server.requests().back();
  EXPECT_EQ(std::make_pair(req["method"], req["path"]), std::make_pair(Json("POST"), Json("/v1/telemetry/ingest")));
  EXPECT_NE(req["head"].get<std::string>().find("Content-Type: application/json"), std::string::npos) << req["head"];
  EXPECT_NE(req["body"].get<std::string>().find("\"token\":\"t\\\"\\u000d\""), std::string::npos) << req["body"];
  const Json snap = lastBody()["batch"][0];
  EXPECT_EQ(std::make_tuple(snap["frames_total"], snap["model_key"], snap["extra"]["http_test_note"]),
            std::make_tuple(Json(1200), Json("m4b"), Json("line\nbreak \xEF\xBF\xBD")));
  const std::string version = snap["sdk_version"];  // the library's own, e.g. "0.1.0"
  EXPECT_TRUE(!version.empty() && version.find_first_not_of("0123456789.") == std::string::npos) << version;
  // {LE_TEL_URL, LE_TEL_TOKEN, server status, result}
  const struct {
    std::optional<std::string> url, token;
    int status, result;
  } steps[] = {{server.url(), "tok", 500, -3},       {server.url(), "tok", 404, -3},
               {server.url(true), "tok", 200, -2},   {"ftp://127.0.0.1:1", "tok", 200, -2},
               {"http://127.0.0.1:99999", "tok", 200, -2}, {server.url(), std::nullopt, 200, -1},
               {server.url(), "", 200, -1},          {std::nullopt, "tok", 200, -1}};
  const size_t posted = server.requests().size();
  for (const auto& s : steps) {
    ScopedEnv u("LE_TEL_URL", s.url), t("LE_TEL_TOKEN", s.token);
    server.setStatus(s.status);
    EXPECT_EQ(le_tel_flush(), s.result) << s.url.value_or("(unset)") << " " << s.status;
  }
  EXPECT_EQ(std::make_pair(queued(), server.requests().size()), std::make_pair(5, posted + 2));
  server.setStatus(200);
  EXPECT_EQ(le_tel_flush(), 0);
  EXPECT_EQ(std::make_pair(lastBody()["batch"].size(), queued()), std::make_pair(size_t(6), 0));
  // Null and empty arguments are ignored.
  le_tel_record(nullptr, 1), le_tel_record("", 2);
  le_tel_record_str(nullptr, "v"), le_tel_record_str("", "v"), le_tel_record_str("http_null_value", nullptr);
  const std::string text = le_tel_pending_json();
  EXPECT_FALSE(parsed(text).is_discarded());
  EXPECT_EQ(std::make_pair(text.find("http_null_value"), text.find("\"\":")), std::make_pair(std::string::npos, std::string::npos));
}

TEST(TelemetryPendingText, BelongsToTheCallingThread) {
  le_tel_record_str("pending_thread_key", "main");
  const char* mine = le_tel_pending_json();
  const std::string copy = mine;
  std::string other;
  std::thread([&] {
    le_tel_record_str("pending_thread_key", "other");
    other = le_tel_pending_json();
  }).join();
  EXPECT_EQ(std::string(mine), copy);
  EXPECT_EQ(parsed(copy)["snapshot"]["extra"]["pending_thread_key"], "main");
  EXPECT_EQ(parsed(other)["snapshot"]["extra"]["pending_thread_key"], "other");
}

}  // namespace
