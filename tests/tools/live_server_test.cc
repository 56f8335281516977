// The live page's pieces that need no browser: what the server accepts
// (address, text; its WAV bodies and synthesiser are with the speech reader's
// tests), the frame board's newest-only hand-out, the figures' arithmetic and
// JSON, and the JPEG encoder against turbojpeg's own decoder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "testkit/testkit.h"
#include "tools/cli.h"
#include "tools/frame_board.h"
#include "tools/live_figures.h"
#include "tools/live_request.h"
#ifdef LE_LIVE_SERVE
#include <turbojpeg.h>

#include "tools/jpeg_encoder.h"
#endif

namespace le::test {
namespace {

using tool::ServeAddress;

// {text, host, port}; an empty host: refused as an address. looksLike: what
// the command line takes for an address rather than a bundle path.
TEST(ServeAddress, ParsesRefusesAndTellsAnAddressFromABundlePath) {
  const struct { const char* text; const char* host; int port; } cases[] = {
      {"127.0.0.1:8080", "127.0.0.1", 8080}, {"0.0.0.0:0", "0.0.0.0", 0}, {"localhost:65535", "localhost", 65535},
      {"[::1]:9000", "::1", 9000}, {"192.168.1.20:00080", "192.168.1.20", 80}, {"127.0.0.1:65536", "", 0},
      {":80", "", 0}, {"127.0.0.1:", "", 0}, {"127.0.0.1:8a", "", 0}, {"my host:80", "", 0}, {"a/b:80", "", 0},
      {"127.0.0.1:-1", "", 0}, {"[]:80", "", 0}, {"127.0.0.1:99999999999", "", 0}, {"8080", "", 0}, {"x\x7f:1", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    if (!*c.host) {
      EXPECT_THROW(tool::parseServeAddress(c.text), tool::UsageError);
      continue;
    }
    const ServeAddress a = tool::parseServeAddress(c.text);
    EXPECT_EQ(std::make_pair(a.host, a.port), std::make_pair(std::string(c.host), c.port));
  }
  for (const auto& [text, address] : {std::pair{"127.0.0.1:0", true}, {"example:12", true}, {"build/demo/demo.imx", false},
                                      {"demo.imx", false}, {"dir:with:colon", false}, {"ends-with-colon:", false},
                                      {":8080", false}, {"weird:12x", false}})
    EXPECT_EQ(tool::looksLikeServeAddress(text), address) << text;
}

TEST(SpeakText, CountsUtf8CodePoints) {
  const struct { std::string text; size_t chars; } cases[] = {
      {"", 0}, {"abc", 3}, {"\xc3\xa9", 1}, {"\xe2\x82\xac 5", 3}, {"\xf0\x9f\x98\x80!", 2},  // é, € 5, an emoji and !
      {"\xff", std::string::npos},       // not a lead byte
      {"\x80", std::string::npos},       // a lone continuation
      {"a\xc3", std::string::npos}, {"\xe2\x82", std::string::npos},  // cut short
      {"\xc0\xaf", std::string::npos},   // overlong '/'
      {"\xe0\x83\xa9", std::string::npos}, {"\xf0\x82\x82\xac", std::string::npos},  // é and € overlong
      {"\xed\xa0\x80", std::string::npos},  // a surrogate
      {"\xf4\x90\x80\x80", std::string::npos},  // past U+10FFFF
      {"\xc3\x28", std::string::npos},   // a continuation that is not one
  };
  for (const auto& c : cases) EXPECT_EQ(tool::utf8Chars(c.text), c.chars) << testing::PrintToString(c.text);
}

TEST(SpeakText, AcceptsSentencesUpToTheLimitInCharacters) {
  const std::string e = "\xc3\xa9";
  std::string e500;
  for (int i = 0; i < 500; ++i) e500 += e;
  const std::string e501 = e500 + e;
  const struct { std::string text; const char* problem; } cases[] = {  // problem: a piece of the reason; "" for none
      {"Hello there.", ""}, {std::string(500, 'a'), ""}, {e500, ""} /* 1000 bytes, 500 characters */, {"a\tb\nc\r\n", ""},
      {"$(touch /tmp/x); rm -rf x `id` | cat > y", ""}, {"-w /tmp/x", ""}, {"", "no text"}, {" \n\t\r ", "no text"},
      {std::string(501, 'a'), "at most 500"}, {e501, "501 characters"}, {std::string("a\0b", 3), "control characters"},
      {"bell\x07", "control characters"}, {"del\x7f", "control characters"}, {"\xff\xfe", "not UTF-8"}};
  for (const auto& c : cases) {
    const std::string problem = tool::speakTextProblem(c.text);
    if (*c.problem == 0) EXPECT_EQ(problem, "") << c.text.size() << " bytes";
    else EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
  }
}

// {sequence, bytes, kind} of a shot; {0, "none", -1} for no shot.
std::tuple<uint64_t, std::string, int> shotOf(const std::optional<tool::FrameShot>& s) {
  return s ? std::make_tuple(s->sequence, *s->jpeg, s->kind) : std::make_tuple(uint64_t(0), std::string("none"), -1);
}

TEST(FrameBoard, HandsOutOnlyTheNewestFrame) {
  tool::FrameBoard board;
  EXPECT_FALSE(board.waitNewer(0, std::chrono::milliseconds(1)));
  for (int i = 1; i <= 3; ++i) board.publish(std::make_shared<const std::string>(std::to_string(i)), i % 3);
  for (const uint64_t seen : {0, 2})
    EXPECT_EQ(shotOf(board.waitNewer(seen, std::chrono::milliseconds(1))), std::make_tuple(uint64_t(3), std::string("3"), 0)) << seen;
  EXPECT_FALSE(board.waitNewer(3, std::chrono::milliseconds(1)));  // nothing newer than the newest
}

// A viewer waiting in waitNewer(after, 1 min) on its own thread, and a wait
// until it sleeps there: whatever wakes it then is the call under test.
std::future<std::optional<tool::FrameShot>> waitingViewer(tool::FrameBoard& board, uint64_t after) {
  std::atomic<pid_t> tid{0};
  auto got = std::async(std::launch::async, [&board, &tid, after] {
    tid = ::gettid();
    return board.waitNewer(after, std::chrono::minutes(1));
  });
  le::test::untilAsleep(tid);
  return got;
}

TEST(FrameBoard, WakesAWaiterOnPublishAndOnClose) {
  tool::FrameBoard board;
  board.publish(std::make_shared<const std::string>("a"), 0);
  auto viewer = waitingViewer(board, 1);
  board.publish(std::make_shared<const std::string>("b"), 1);
  ASSERT_EQ(viewer.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "the publish woke nobody";
  EXPECT_EQ(shotOf(viewer.get()), std::make_tuple(uint64_t(2), std::string("b"), 1));
  viewer = waitingViewer(board, 2);
  board.close();
  ASSERT_EQ(viewer.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "the close woke nobody";
  EXPECT_FALSE(viewer.get());
  EXPECT_TRUE(board.closed());
  board.publish(std::make_shared<const std::string>("c"), 1);
  EXPECT_FALSE(board.waitNewer(0, std::chrono::minutes(1)));  // closed: nothing, at once
}

TEST(Figures, JsonStringsEscape) {
  const struct { std::string in, out; } cases[] = {
      {"", "\"\""}, {"plain", "\"plain\""}, {"a\"b", "\"a\\\"b\""}, {"back\\slash", "\"back\\\\slash\""},
      {"line\nnext", "\"line\\nnext\""}, {std::string("nul\0x", 5), "\"nul\\u0000x\""}, {"tab\t", "\"tab\\u0009\""},
      {"\xc3\xa9", "\"\xc3\xa9\""}, {"del\x7f", "\"del\\u007f\""}};
  for (const auto& c : cases) {
    EXPECT_EQ(tool::jsonString(c.in), c.out);
    EXPECT_EQ(nlohmann::json::parse(tool::jsonString(c.in)).get<std::string>(), c.in);
  }
}

nlohmann::json figuresAt(tool::LiveFigures& f, double now, const le_utt_stats& st, const tool::LibraryStatus& lib = {},
                         int viewers = 0) {
  return nlohmann::json::parse(f.json(now, st, lib, viewers));
}

// Each field of want, as j carries it.
void expectFields(const nlohmann::json& j, const nlohmann::json& want) {
  for (const auto& [key, value] : want.items()) EXPECT_EQ(j[key], value) << key;
}

TEST(Figures, FramesPerSecondCountTheLastSecondOnly) {
  tool::LiveFigures f;
  le_utt_stats st{};
  expectFields(figuresAt(f, 0, st), {{"fps", 0}, {"kind", "none"}});
  for (int i = 0; i < 100; ++i) f.onFrame(i * 0.04, i < 60 ? LE_UTT_IDLE : LE_UTT_SPEECH, 0.0);  // 4 s at 25 fps
  expectFields(figuresAt(f, 3.97, st), {{"fps", 25}, {"frames", 100}, {"speech_frames", 40}, {"kind", "speech"}});
  EXPECT_EQ(figuresAt(f, 4.5, st)["fps"], 12);  // frames after 3.5 s
  EXPECT_EQ(figuresAt(f, 10.0, st)["fps"], 0);   // a stalled producer shows 0
  EXPECT_EQ(f.frames(), 100u);
  f.onFrame(10.0, LE_UTT_IDLE, 0.0);
  EXPECT_EQ(figuresAt(f, 11.0, st)["fps"], 0);  // a frame exactly a second old is out
}

TEST(Figures, SharesSplitOneSecond) {
  const struct { double renderMs, encodeMs; int speech, idle; double render, encode, wait; } cases[] = {
      {20.0, 2.0, 10, 15, 0.200, 0.050, 0.750},  // only rendered frames count for the director
      {0.0, 4.0, 0, 25, 0.000, 0.100, 0.900},
      {100.0, 2.0, 25, 0, 1.000, 0.000, 0.000},  // a director slower than real time
      {30.0, 10.0, 25, 0, 0.750, 0.250, 0.000},
  };
  for (const auto& c : cases) {
    tool::LiveFigures f;
    for (int i = 0; i < c.speech + c.idle; ++i)
      f.onFrame(0.5 + i * 0.01, i < c.speech ? LE_UTT_SPEECH : LE_UTT_IDLE, c.encodeMs);
    le_utt_stats st{};
    st.render_ms = c.renderMs;
    const auto j = figuresAt(f, 1.0, st);
    EXPECT_NEAR(j["share_render"].get<double>(), c.render, 1e-3) << c.renderMs;
    EXPECT_NEAR(j["share_encode"].get<double>(), c.encode, 1e-3) << c.renderMs;
    EXPECT_NEAR(j["share_wait"].get<double>(), c.wait, 1e-3) << c.renderMs;
  }
}

// {number, its state name, its frame kind name}: the page shows both.
TEST(Figures, NameEveryStateAndFrameKind) {
  for (const auto& [n, state, kind] : {std::tuple{0, "idle", "idle"}, {1, "starting", "speech"}, {2, "speaking", "ramp"},
                                       {3, "ramping", "none"}, {-1, "idle", "none"}})
    EXPECT_EQ(std::string(tool::uttStateName(n)) + "/" + tool::frameKindName(n), std::string(state) + "/" + kind) << n;
}

TEST(Figures, CarryTheLibrarysCountersAndLines) {
  tool::LiveFigures f;
  f.onFrame(0.1, LE_UTT_RAMP, 1.0);
  le_utt_stats st{};
  st.frames_delivered = 7;
  st.speech_frames_delivered = 5;
  st.state = 3;
  st.render_ms = std::nan("");
  auto j = figuresAt(f, 0.2, st, {2, "paste \"failed\"", "[le_utt] line\nnext", 4}, 3);
  // No utterance yet: no latency; a NaN render time is null, not a number.
  const nlohmann::json want = {{"first_frame_latency_ms", nullptr}, {"render_ms", nullptr}, {"delivered", 7},
                               {"speech_delivered", 5}, {"state", "ramping"}, {"kind", "ramp"}, {"ramp_frames", 1},
                               {"render_failures", 2}, {"render_status", "paste \"failed\""}, {"log", "[le_utt] line\nnext"},
                               {"log_warnings", 4}, {"viewers", 3}};
  expectFields(j, want);
  st.first_frames = 2;
  st.first_frame_latency_ms = 412.25;
  st.render_ms = 12.346;  // two decimals
  j = figuresAt(f, 0.2, st);
  EXPECT_NEAR(j["first_frame_latency_ms"].get<double>(), 412.2, 0.06);
  EXPECT_EQ(std::make_pair(j["utterances"], j["render_ms"]), std::make_pair(nlohmann::json(2), nlohmann::json(12.35)));
  EXPECT_EQ(j["render_status"], "ok");
}

#ifdef LE_LIVE_SERVE
// Decodes with turbojpeg; the mean squared error against rgb.
double decodedError(const std::string& jpeg, const std::vector<uint8_t>& rgb, int w, int h) {
  tjhandle d = tjInitDecompress();
  int jw = 0, jh = 0, sub = 0, cs = 0;
  const auto* src = reinterpret_cast<const unsigned char*>(jpeg.data());
  EXPECT_EQ(tjDecompressHeader3(d, src, jpeg.size(), &jw, &jh, &sub, &cs), 0);
  EXPECT_EQ(std::make_pair(jw, jh), std::make_pair(w, h));
  std::vector<uint8_t> out(rgb.size());
  EXPECT_EQ(tjDecompress2(d, src, jpeg.size(), out.data(), w, 0, h, TJPF_RGB, 0), 0);
  tjDestroy(d);
  double se = 0;
  for (size_t i = 0; i < rgb.size(); ++i) se += (double(out[i]) - rgb[i]) * (double(out[i]) - rgb[i]);
  return se / rgb.size();
}

std::vector<uint8_t> gradient(int w, int h) {
  std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
      // At most 2.5 levels a pixel: smooth at every size, so 4:2:0 costs little.
      p[0] = static_cast<uint8_t>(40 + 160 * x / std::max(64, w));
      p[1] = static_cast<uint8_t>(60 + 120 * y / std::max(48, h));
      p[2] = 128;
    }
  return rgb;
}

TEST(JpegEncoder, RoundTripsFramesOfAnySize) {
  tool::JpegEncoder enc;
  const int sizes[][2] = {{1, 1}, {2, 2}, {17, 9}, {9, 17}, {64, 48}, {333, 201}, {1280, 720}};
  for (const auto& s : sizes) {
    SCOPED_TRACE(std::to_string(s[0]) + "x" + std::to_string(s[1]));
    const auto rgb = gradient(s[0], s[1]);
    const std::string jpeg = enc.encode(rgb.data(), s[0], s[1]);
    ASSERT_GT(jpeg.size(), 4u);
    EXPECT_EQ(jpeg.substr(0, 2), "\xff\xd8");
    EXPECT_EQ(jpeg.substr(jpeg.size() - 2), "\xff\xd9");
    EXPECT_LT(decodedError(jpeg, rgb, s[0], s[1]), 10.0);  // above 38 dB on a smooth image
  }
}

TEST(JpegEncoder, QualityIsHeldAndChecked) {
  // Noise: every coefficient costs bytes, so quality shows in the size.
  std::vector<uint8_t> noise(64 * 64 * 3);
  uint32_t r = 12345;
  for (auto& v : noise) v = static_cast<uint8_t>((r = r * 1664525u + 1013904223u) >> 24);
  tool::JpegEncoder q85(85), q20(20), q100(100);
  const size_t n85 = q85.encode(noise.data(), 64, 64).size();
  EXPECT_LT(q20.encode(noise.data(), 64, 64).size(), n85);
  EXPECT_GT(q100.encode(noise.data(), 64, 64).size(), n85);
  tool::JpegEncoder stream;  // the stream's default
  EXPECT_EQ(stream.encode(noise.data(), 64, 64), q85.encode(noise.data(), 64, 64));
  for (const int q : {0, 101, -5}) EXPECT_THROW(tool::JpegEncoder{q}, std::invalid_argument) << q;
  EXPECT_THROW(q85.encode(nullptr, 4, 4), std::runtime_error);
  EXPECT_THROW(q85.encode(noise.data(), 0, 4), std::runtime_error);
  EXPECT_THROW(q85.encode(noise.data(), 4, -1), std::runtime_error);
}
#endif

}  // namespace
}  // namespace le::test
