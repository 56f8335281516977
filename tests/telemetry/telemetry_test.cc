// The telemetry recorder: snapshot layout and member order, the extra object,
// the queue and its cap, and flushes racing each other, against a fake
// transport and a counting clock so every snapshot is told apart by its ts.
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "le/telemetry/telemetry.h"
#include "telemetry/json_dom.h"
#include "testkit/testkit.h"

namespace {

using le::test::Json;
using le::test::JsonReader;
using le::tel::Recorder;
using Strings = std::vector<std::string>;

const Strings kFixedMembers = {"ts",        "os",        "os_version", "device_model",
                               "arch",      "cpu_cores", "ram_bytes",  "sdk_version"};

Json parsed(const std::string& text) {
  auto doc = JsonReader::parse(text);
  if (!doc) ADD_FAILURE() << "not valid JSON: " << text;
  return doc.value_or(Json{});
}

// A clock that ticks once per snapshot.
struct Ticks {
  std::shared_ptr<std::atomic<int64_t>> n = std::make_shared<std::atomic<int64_t>>(0);
  le::tel::Clock clock() const {
    return [n = n] { return ++*n; };
  }
};

Recorder makeRecorder(Ticks& t) { return Recorder("9.8.7", t.clock()); }

// ts of every snapshot in a request body.
std::vector<int64_t> batchTs(const std::string& body) {
  const Json doc = parsed(body);
  std::vector<int64_t> out;
  const Json* batch = doc.get("batch");
  if (!batch) return out;
  for (const Json& s : batch->items) out.push_back(std::stoll(s.get("ts")->text));
  return out;
}

TEST(TelemetrySnapshot, EmptyRecorderHasOnlyTheFixedMembers) {
  Ticks t;
  Recorder rec = makeRecorder(t);
  const std::string text = rec.snapshot();
  const Json doc = parsed(text);
  EXPECT_EQ(doc.keys(), kFixedMembers);
  EXPECT_EQ(text.find(' '), std::string::npos);
  EXPECT_NE(text.rfind(",\"sdk_version\":\"9.8.7\"}"), std::string::npos) << text;
  EXPECT_EQ(doc.get("ts")->text, "1");
  EXPECT_EQ(doc.get("os")->text, "linux");
  EXPECT_EQ(doc.get("device_model")->text, "");
  struct utsname u {};
  ASSERT_EQ(uname(&u), 0);
  EXPECT_EQ(doc.get("os_version")->text, u.release);
  EXPECT_EQ(doc.get("arch")->text, u.machine);
  EXPECT_EQ(doc.get("cpu_cores")->text, std::to_string(std::thread::hardware_concurrency()));
  EXPECT_GT(std::stoull(doc.get("ram_bytes")->text), 1ull << 20);
}

TEST(TelemetrySnapshot, WallClockTsIsCurrentSeconds) {
  Recorder rec("v");
  const int64_t before = le::tel::wallClockSeconds();
  const int64_t ts = std::stoll(parsed(rec.snapshot()).get("ts")->text);
  EXPECT_GE(ts, before);
  EXPECT_LE(ts, le::tel::wallClockSeconds());
  EXPECT_GT(ts, 1700000000);
}

TEST(TelemetrySnapshot, KnownMembersFollowInFixedOrder) {
  Ticks t;
  Recorder rec = makeRecorder(t);
  // Recorded in reverse order; the snapshot order must not follow it.
  rec.record("thermal_state", 2);
  rec.recordText("model_key", "m4b");
  rec.record("load_ms", 812.25);
  rec.record("session_s", 61);
  rec.record("frames_total", 1200.0);
  rec.record("fps_ema", 24.5);
  const std::string text = rec.snapshot();
  const Json doc = parsed(text);
  Strings want = kFixedMembers;
  for (const char* k : {"fps_ema", "frames_total", "session_s", "load_ms", "thermal_state",
                        "model_key"})
    want.push_back(k);
  EXPECT_EQ(doc.keys(), want);
  EXPECT_NE(text.find("\"frames_total\":1200,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"fps_ema\":24.5,"), std::string::npos) << text;
  EXPECT_EQ(doc.get("load_ms")->text, "812.25");
  EXPECT_EQ(doc.get("model_key")->text, "m4b");
  EXPECT_EQ(doc.get("extra"), nullptr);
}

TEST(TelemetrySnapshot, RecordingAgainReplacesTheValue) {
  Ticks t;
  Recorder rec = makeRecorder(t);
  rec.record("fps_ema", 20);
  rec.record("fps_ema", 25);
  rec.recordText("model_key", "a");
  rec.recordText("model_key", "b");
  rec.record("x", 1);
  rec.record("x", 2);
  const std::string text = rec.snapshot();
  EXPECT_NE(text.find("\"fps_ema\":25,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"model_key\":\"b\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"extra\":{\"x\":2}}"), std::string::npos) << text;
  EXPECT_EQ(le::test::countOf(text, "\"fps_ema\""), 1);
}

TEST(TelemetrySnapshot, ExtraListsNumbersThenTextsEachInByteOrder) {
  Ticks t;
  Recorder rec = makeRecorder(t);
  rec.record("zz", 1);
  rec.recordText("aa", "t");
  rec.record("b", 3);
  rec.record("B", 4);  // 'B' sorts before 'b' byte-wise
  rec.record("ab", 5);
  rec.recordText("Z", "u");
  rec.record("fps_ema", 30);        // known: stays at the top level
  rec.recordText("device_model", "Pi 5");  // known: replaces the description
  const Json doc = parsed(rec.snapshot());
  const Json* extra = doc.get("extra");
  ASSERT_NE(extra, nullptr);
  EXPECT_EQ(extra->keys(), (Strings{"B", "ab", "b", "zz", "Z", "aa"}));
  EXPECT_EQ(doc.keys().back(), "extra");
  EXPECT_EQ(doc.get("device_model")->text, "Pi 5");
  EXPECT_EQ(doc.get("fps_ema")->text, "30");
}

TEST(TelemetrySnapshot, TextIsEscapedAndNonFiniteIsNull) {
  Ticks t;
  Recorder rec = makeRecorder(t);
  rec.recordText("k\r", "v\r\"\\");
  rec.record("nan", std::numeric_limits<double>::quiet_NaN());
  rec.record("inf", -std::numeric_limits<double>::infinity());
  rec.recordText("bad", "\xC3(\xFF");
  rec.recordText("model_key", std::string("a\0b", 3));
  const std::string text = rec.snapshot();
  EXPECT_NE(text.find("\"k\\u000d\":\"v\\u000d\\\"\\\\\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"inf\":null,\"nan\":null"), std::string::npos) << text;
  const Json doc = parsed(text);
  EXPECT_EQ(doc.get("extra")->get("bad")->text, "\xEF\xBF\xBD(\xEF\xBF\xBD");
  EXPECT_EQ(doc.get("model_key")->text, std::string("a\0b", 3));
}

TEST(TelemetrySnapshot, EmptyKeysAreIgnored) {
  Ticks t;
  Recorder rec = makeRecorder(t);
  rec.record("", 1);
  rec.recordText("", "x");
  EXPECT_EQ(parsed(rec.snapshot()).keys(), kFixedMembers);
}

TEST(TelemetryPending, ReportsQueueLengthAndAFreshSnapshot) {
  Ticks t;
  Recorder rec = makeRecorder(t);
  const auto fail = [](const std::string&) { return 503; };
  EXPECT_EQ(rec.flush("tok", fail), -3);
  EXPECT_EQ(rec.flush("tok", fail), -3);
  const Json doc = parsed(rec.pendingJson());
  EXPECT_EQ(doc.keys(), (Strings{"queued", "snapshot"}));
  EXPECT_EQ(doc.get("queued")->text, "2");
  EXPECT_EQ(doc.get("snapshot")->get("ts")->text, "3");
  EXPECT_EQ(rec.queued(), 2u);
}

TEST(TelemetryFlush, WithoutTokenNothingIsSentOrQueued) {
  Ticks t;
  Recorder rec = makeRecorder(t);
  int calls = 0;
  EXPECT_EQ(rec.flush("", [&](const std::string&) { return ++calls, 200; }), -1);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(rec.queued(), 0u);
}

TEST(TelemetryFlush, BodyCarriesTokenAndQueuedSnapshotsOldestFirst) {
  Ticks t;
  Recorder rec = makeRecorder(t);
  std::vector<std::string> bodies;
  int status = 500;
  const auto post = [&](const std::string& b) { return bodies.push_back(b), status; };
  rec.record("fps_ema", 25);
  EXPECT_EQ(rec.flush("t\"k", post), -3);
  EXPECT_EQ(rec.flush("t\"k", post), -3);
  status = 200;
  EXPECT_EQ(rec.flush("t\"k", post), 0);
  EXPECT_EQ(rec.queued(), 0u);
  ASSERT_EQ(bodies.size(), 3u);
  const Json doc = parsed(bodies[2]);
  EXPECT_EQ(doc.keys(), (Strings{"token", "batch"}));
  EXPECT_EQ(doc.get("token")->text, "t\"k");
  EXPECT_EQ(batchTs(bodies[0]), (std::vector<int64_t>{1}));
  EXPECT_EQ(batchTs(bodies[2]), (std::vector<int64_t>{1, 2, 3}));
  EXPECT_EQ(doc.get("batch")->items[0].get("fps_ema")->text, "25");
  // The accepted batch is gone; the next one starts afresh.
  EXPECT_EQ(rec.flush("t\"k", post), 0);
  EXPECT_EQ(batchTs(bodies[3]), (std::vector<int64_t>{4}));
}

TEST(TelemetryFlush, TransportErrorsAreReturnedAndKeepTheQueue) {
  Ticks t;
  Recorder rec = makeRecorder(t);
  EXPECT_EQ(rec.flush("tok", [](const std::string&) { return -2; }), -2);
  EXPECT_EQ(rec.flush("tok", [](const std::string&) { return -7; }), -7);
  EXPECT_EQ(rec.flush("tok", [](const std::string&) { return 204; }), -3);
  EXPECT_EQ(rec.flush("tok", [](const std::string&) { return 301; }), -3);
  EXPECT_EQ(rec.queued(), 4u);
}

TEST(TelemetryFlush, QueueKeepsTheNewest256AfterFailures) {
  Ticks t;
  Recorder rec = makeRecorder(t);
  std::string last;
  for (int i = 0; i < 300; ++i)
    ASSERT_EQ(rec.flush("tok", [&](const std::string& b) { return last = b, 500; }), -3);
  EXPECT_EQ(rec.queued(), 256u);
  const std::vector<int64_t> ts = batchTs(last);
  ASSERT_EQ(ts.size(), 256u);
  EXPECT_EQ(ts.front(), 45);
  EXPECT_EQ(ts.back(), 300);
  // The cap applies after the new snapshot is appended.
  EXPECT_EQ(rec.flush("tok", [&](const std::string& b) { return last = b, 200; }), 0);
  EXPECT_EQ(batchTs(last).front(), 46);
  EXPECT_EQ(batchTs(last).size(), 256u);
}

// Flush A is held on the network while flush B appends a snapshot and fails;
// A's acceptance must not take B's snapshot with it.
TEST(TelemetryConcurrent, AcceptedFlushKeepsSnapshotsItDidNotCarry) {
  Ticks t;
  Recorder rec = makeRecorder(t);
  std::mutex mu;
  std::condition_variable cv;
  bool aSent = false, bDone = false;
  std::thread a([&] {
    EXPECT_EQ(rec.flush("tok",
                        [&](const std::string& body) {
                          EXPECT_EQ(batchTs(body), (std::vector<int64_t>{1}));
                          std::unique_lock<std::mutex> lk(mu);
                          aSent = true;
                          cv.notify_all();
                          cv.wait(lk, [&] { return bDone; });
                          return 200;
                        }),
              0);
  });
  {
    std::unique_lock<std::mutex> lk(mu);
    cv.wait(lk, [&] { return aSent; });
  }
  EXPECT_EQ(rec.flush("tok",
                      [&](const std::string& body) {
                        EXPECT_EQ(batchTs(body), (std::vector<int64_t>{1, 2}));
                        return 500;
                      }),
            -3);
  {
    std::lock_guard<std::mutex> lk(mu);
    bDone = true;
  }
  cv.notify_all();
  a.join();
  EXPECT_EQ(rec.queued(), 1u);
  std::string body;
  EXPECT_EQ(rec.flush("tok", [&](const std::string& b) { return body = b, 200; }), 0);
  EXPECT_EQ(batchTs(body), (std::vector<int64_t>{2, 3}));
}

// Two threads flush while a third records; every snapshot reaches an accepted
// batch, none is dropped by the other thread's acceptance.
TEST(TelemetryConcurrent, TwoFlushingThreadsLoseNoSnapshot) {
  Ticks t;
  Recorder rec = makeRecorder(t);
  constexpr int kPerThread = 150;
  std::mutex mu;
  std::set<int64_t> delivered;
  std::atomic<int> calls{0};
  const auto post = [&](const std::string& body) {
    // Every third request fails, so batches overlap and pile up a little.
    if (calls.fetch_add(1) % 3 == 0) return 500;
    const auto ts = batchTs(body);
    std::lock_guard<std::mutex> lk(mu);
    delivered.insert(ts.begin(), ts.end());
    return 200;
  };
  std::atomic<bool> stop{false};
  std::thread recorder([&] {
    for (int i = 0; !stop; ++i) {
      rec.record("fps_ema", i);
      rec.recordText("model_key", std::to_string(i));
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> flushers;
  for (int k = 0; k < 2; ++k)
    flushers.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) {
        const int r = rec.flush("tok", post);
        EXPECT_TRUE(r == 0 || r == -3) << r;
      }
    });
  for (auto& th : flushers) th.join();
  stop = true;
  recorder.join();
  calls = 1;  // the next request is accepted
  ASSERT_EQ(rec.flush("tok", post), 0);
  EXPECT_EQ(rec.queued(), 0u);
  EXPECT_EQ(delivered.size(), static_cast<size_t>(2 * kPerThread + 1));
  EXPECT_EQ(*delivered.begin(), 1);
  EXPECT_EQ(*delivered.rbegin(), 2 * kPerThread + 1);
}

}  // namespace
