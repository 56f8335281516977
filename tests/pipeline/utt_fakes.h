// Fakes behind the live pipeline's seams: an engine, a director and a frame
// side that encode what they were given into their outputs, with switches
// that make each of them fail, and a harness that builds an le_utt on them.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "le/pipeline/utt_handle.h"  // the pipeline and its seams
#include "testkit/testkit.h"

namespace le::test {

using namespace std::chrono_literals;

// xs_target row i: i * 100 + j, so every row is recognisable.
inline std::vector<float> fakeXs(int nt) {
  std::vector<float> xs(size_t(nt) * 63);
  for (int i = 0; i < nt; ++i)
    for (int j = 0; j < 63; ++j) xs[size_t(i) * 63 + size_t(j)] = float(i * 100 + j);
  return xs;
}

inline constexpr float kDelta = 0.5f;  // driven = target + kDelta

struct EngineKnobs {
  int nt = 10;
  int reportNt = -1;                 // engine NT; -1: nt
  std::atomic<int> failPullAt{-1};   // pull throws at this frame of an utterance
  std::atomic<int> stallAt{-1};      // no frame past this one, finished or not
  std::atomic<int> badIndexAt{-1};   // this frame gets driver index nt
  // When set, avail() during an utterance (audio pushed) announces itself and
  // waits until released: the test knows a request is inside the engine.
  std::atomic<bool> hold{false};
  std::mutex holdMu;
  std::condition_variable holdCv;
  bool held = false, released = false;
  std::atomic<int> eager{0};
  std::atomic<bool> createThrows{false};
  std::mutex heardMu;
  std::vector<float> heard;  // the first samples pushed, as the engine got them
  std::vector<float> xs;     // target rows; empty: fakeXs(nt)
  float delta = kDelta;      // driven = target + delta
  bool fromZero = false;     // every utterance walks from driver row 0, whatever the start asked
};

class FakeEngine : public le::utt::Engine {
 public:
  explicit FakeEngine(EngineKnobs& k) : k_(k), xs_(k.xs.empty() ? fakeXs(k.nt) : k.xs) {}
  void reset(int32_t start, int32_t direction) override {
    samples_ = 0, finished_ = false, pulled_ = 0, start_ = k_.fromZero ? 0 : start, dir_ = direction;
  }
  void setEager(int32_t v) override { k_.eager = v; }
  void push(const float* x, int64_t n) override {
    samples_ += n;
    std::lock_guard<std::mutex> lock(k_.heardMu);
    for (int64_t i = 0; i < n && k_.heard.size() < 8; ++i) k_.heard.push_back(x[i]);
  }
  void finish() override { finished_ = true; }
  int32_t ready() const {
    int64_t r = finished_ ? (samples_ + 639) / 640 : samples_ / 640;
    if (k_.stallAt >= 0) r = std::min<int64_t>(r, k_.stallAt);
    return int32_t(r);
  }
  int32_t avail() override {
    if (k_.hold && samples_ > 0) {
      std::unique_lock<std::mutex> lk(k_.holdMu);
      k_.held = true;
      k_.holdCv.notify_all();
      k_.holdCv.wait(lk, [&] { return k_.released; });
    }
    return ready() - pulled_;
  }
  int32_t pull(int32_t* idx, float* t, float* d, int32_t n) override {
    int32_t w = 0;
    while (w < n && pulled_ < ready()) {
      // Frames before the failure are handed out; the next call fails.
      if (pulled_ == k_.failPullAt) {
        if (w > 0) break;
        throw std::runtime_error("fake engine failed at frame " + std::to_string(pulled_));
      }
      const int32_t i = int32_t(((start_ + int64_t(dir_) * pulled_) % k_.nt + k_.nt) % k_.nt);
      idx[w] = pulled_ == k_.badIndexAt ? k_.nt : i;
      for (int j = 0; j < 63; ++j) {
        t[size_t(w) * 63 + size_t(j)] = xs_[size_t(i) * 63 + size_t(j)];
        d[size_t(w) * 63 + size_t(j)] = xs_[size_t(i) * 63 + size_t(j)] + k_.delta;
      }
      ++w;
      ++pulled_;
    }
    return w;
  }
  int32_t total() override { return finished_ ? int32_t((samples_ + 639) / 640) : -1; }
  int32_t nt() override { return k_.reportNt >= 0 ? k_.reportNt : k_.nt; }

 private:
  EngineKnobs& k_;
  std::vector<float> xs_;
  int64_t samples_ = 0;
  bool finished_ = false;
  int32_t pulled_ = 0, start_ = 0, dir_ = 1;
};

// Crop of 2 x 2 x 3 floats: [0] = kd[0], [1] = ks[0], [2] = si.
inline constexpr int kCrop = 2;

struct DirectorKnobs {
  int batch = 1;
  std::string ep = "cpu";
  std::atomic<int> throwAtSpeech{-1};  // throw on this speech frame render (0-based, over the handle)
  std::atomic<int> speechRenders{0};
  std::atomic<int> calls{0};
  std::atomic<int> maxN{0};
};

class FakeDirector : public le::utt::Director {
 public:
  explicit FakeDirector(DirectorKnobs& k) : k_(k), out_(size_t(k.batch) * kCrop * kCrop * 3) {}
  const float* render(const int32_t* si, const float* ks, const float* kd, int32_t n) override {
    ++k_.calls;
    if (n > k_.maxN) k_.maxN = n;
    if (n < 1 || n > k_.batch) throw std::runtime_error("render: bad n");
    for (int32_t i = 0; i < n; ++i) {
      const float kd0 = kd[size_t(i) * 63];
      if (kd0 - std::floor(kd0) == kDelta && k_.speechRenders++ == k_.throwAtSpeech) throw std::runtime_error("boom");
      float* o = out_.data() + size_t(i) * kCrop * kCrop * 3;
      o[0] = kd[size_t(i) * 63], o[1] = ks[size_t(i) * 63], o[2] = float(si[i]);
    }
    return out_.data();
  }
  int32_t batch() const override { return k_.batch; }
  std::string ep() const override { return k_.ep; }

 private:
  DirectorKnobs& k_;
  std::vector<float> out_;
};

inline constexpr int kW = 4, kH = 2;
inline constexpr size_t kFrameBytes = size_t(kW) * kH * 3;

struct FrameKnobs {
  std::atomic<int> failIdx{-1};
  std::mutex walkMu;
  std::vector<int32_t> walked;  // the driver index of every idle frame made
};

// Frame bytes: [0..3] driver index, [4] 1 when a crop was pasted, [8..11]
// the crop's kd[0], [12..15] its source index, [16..19] its second value
// (ks[0] as rendered; a borrow writes there).
class FakeFrames : public le::utt::FrameSide {
 public:
  explicit FakeFrames(FrameKnobs& k) : k_(k) {}
  void pullDriver(int32_t idx, uint8_t* rgb) override {
    if (idx == k_.failIdx) throw std::runtime_error("driver failed at " + std::to_string(idx));
    std::memset(rgb, 0, kFrameBytes);
    std::memcpy(rgb, &idx, 4);
  }
  void composite(const float* crop, int32_t, uint8_t* rgb) override {
    rgb[4] = 1;
    std::memcpy(rgb + 8, &crop[0], 4);
    std::memcpy(rgb + 12, &crop[2], 4);
    std::memcpy(rgb + 16, &crop[1], 4);
  }
  void walkPrior(int32_t idx) override { std::lock_guard<std::mutex> lock(k_.walkMu); k_.walked.push_back(idx); }

 private:
  FrameKnobs& k_;
};

struct Frame {
  le_utt_frame_info info{};
  int32_t idx = -1;
  bool pasted = false;
  float kd0 = 0, si = 0, ks0 = 0;
};

struct Rig {
  EngineKnobs engine;
  DirectorKnobs director;
  DirectorKnobs chunk;
  FrameKnobs frames;
  bool withXs = true;
  bool chunkThrows = false;
  std::atomic<int> chunkMade{0};
  le::utt::Options opts;
  int pipelinePaste;  // -1: the engine decides, 0 inline, 1 pipelined

  explicit Rig(int paste = -1) : pipelinePaste(paste) { opts.motionDir = "fake", opts.steadyModel = "-", opts.gapS = -1; }

  le_utt* make() {
    auto u = std::make_unique<le_utt>();
    u->director = std::make_unique<FakeDirector>(director);
    u->frames = std::make_unique<FakeFrames>(frames);
    le::utt::Stages st;
    st.nt = engine.nt, st.width = kW, st.height = kH, st.crop = kCrop;
    st.main = u->director.get(), st.frames = u->frames.get();
    st.warmKp = fakeXs(1);
    if (withXs) st.xsTarget = fakeXs(engine.nt);
    st.makeEngine = [this]() -> std::unique_ptr<le::utt::Engine> {
      if (engine.createThrows) throw std::runtime_error("le_a2x_create: fake refused");
      return std::make_unique<FakeEngine>(engine);
    };
    st.makeChunk = [this](const std::string&) -> std::unique_ptr<le::utt::Director> {
      ++chunkMade;
      if (chunkThrows) throw std::runtime_error("cannot open model_b24_fp32.onnx");
      return std::make_unique<FakeDirector>(chunk);
    };
    le::utt::Settings s = le::utt::resolveSettings(opts, 2, [](const char*) -> std::optional<std::string> { return std::nullopt; });
    s.pipelinePaste = pipelinePaste;
    u->pipeline = std::make_unique<le::utt::Pipeline>(std::move(st), std::move(s));
    return u.release();
  }
};

inline bool waitReady(le_utt* u) { return le::test::uttReadyWithin(u, 2000) == 1; }

// Next frame within `wait`, or nothing.
inline std::optional<Frame> nextFrame(le_utt* u, std::chrono::milliseconds wait = 3000ms) {
  uint8_t buf[kFrameBytes];
  const auto until = std::chrono::steady_clock::now() + wait;
  Frame f;
  while (std::chrono::steady_clock::now() < until) {
    if (le_utt_pull_frame(u, buf, sizeof buf, &f.info) == 1) {
      std::memcpy(&f.idx, buf, 4);
      f.pasted = buf[4] == 1;
      std::memcpy(&f.kd0, buf + 8, 4);
      std::memcpy(&f.si, buf + 12, 4);
      std::memcpy(&f.ks0, buf + 16, 4);
      return f;
    }
    std::this_thread::sleep_for(200us);
  }
  return std::nullopt;
}

// A sine that starts with both int16 extremes, so scaling is seen at its ends.
inline std::vector<int16_t> speech(int frames) {
  std::vector<int16_t> s(size_t(frames) * 640);
  for (size_t i = 0; i < s.size(); ++i) s[i] = int16_t(1000 * std::sin(double(i) * 0.05));
  s[0] = -32768, s[1] = 32767;
  return s;
}

// The kinds of the frames: I idle, S speech, R ramp.
inline std::string kindsOf(const std::vector<Frame>& fs) {
  std::string s;
  for (const Frame& f : fs) s += f.info.kind == LE_UTT_SPEECH ? 'S' : f.info.kind == LE_UTT_RAMP ? 'R' : 'I';
  return s;
}

// Plays the script: w (ready), pN (pull N), sN (push N frames of speech),
// e (end of utterance), x (interrupt), rN (pull until the N-th ramp frame),
// nN (pull until speech number N), fN (until N frames wait), q (nothing comes).
inline std::vector<Frame> play(le_utt* u, const std::string& script) {
  std::vector<Frame> fs;
  std::istringstream in(script);
  for (std::string t; in >> t;) {
    const int n = t.size() > 1 ? std::stoi(t.substr(1)) : 0;
    int ramps = 0;
    const auto until = [&](auto done) {
      for (int i = 0; i < 400; ++i) {
        auto f = nextFrame(u);
        if (!f) return ADD_FAILURE() << "no frame during " << t;
        fs.push_back(*f);
        if (done(*f)) return;
      }
      ADD_FAILURE() << "400 frames during " << t;
    };
    switch (t[0]) {
      case 'w': EXPECT_TRUE(waitReady(u)) << le_utt_last_error(); break;
      case 'p': until([&, k = 0](const Frame&) mutable { return ++k == n; }); break;
      case 's': EXPECT_EQ(le_utt_push_audio(u, speech(n).data(), n * 640), 1); break;
      case 'e': le_utt_end_utterance(u); break;
      case 'x': le_utt_interrupt(u); break;
      case 'r': until([&](const Frame& f) { return f.info.kind == LE_UTT_RAMP && ++ramps == n; }); break;
      case 'n': until([&](const Frame& f) { return f.info.speech_number == n; }); break;
      case 'f':
        for (int i = 0; i < 2000 && le_utt_frames_available(u) < n; ++i) std::this_thread::sleep_for(1ms);
        break;
      case 'q': EXPECT_FALSE(nextFrame(u, 300ms).has_value()) << "a frame came"; break;
    }
  }
  return fs;
}

// What each kind carries, whatever the scenario: speech frames the engine's
// driven row in order within their utterance; ramp frame k of a complete ramp
// of R keeps (1 - k/R) of the last speech frame's offset; idle frames nothing.
inline void expectKindsCarryTheirRows(const std::vector<Frame>& fs) {
  for (size_t i = 0; i < fs.size(); ++i) {
    const Frame& f = fs[i];
    if (f.info.kind == LE_UTT_SPEECH) {
      EXPECT_TRUE(f.pasted && f.kd0 == float(f.idx * 100) + kDelta) << i;
      if (f.info.speech_number > 0) {
        EXPECT_TRUE(i > 0 && fs[i - 1].info.kind == LE_UTT_SPEECH && fs[i - 1].info.speech_number == f.info.speech_number - 1) << i;
      }
    } else {
      EXPECT_EQ(f.info.speech_number, -1) << i;
      EXPECT_EQ(f.pasted, f.info.kind == LE_UTT_RAMP) << i;
    }
    if (f.info.kind != LE_UTT_RAMP || (i > 0 && fs[i - 1].info.kind == LE_UTT_RAMP)) continue;
    size_t R = 0;
    while (i + R < fs.size() && fs[i + R].info.kind == LE_UTT_RAMP) ++R;
    if (i + R == fs.size()) continue;  // pulled part way
    for (size_t k = 1; k <= R; ++k) {
      const Frame& r = fs[i + k - 1];
      EXPECT_NEAR(r.kd0, float(r.idx * 100) + (1.f - float(k) / float(R)) * kDelta, 1e-4f) << "ramp frame " << k << " of " << R;
      EXPECT_EQ(r.si, float(r.idx));
    }
  }
}

struct Destroy { le_utt* u; ~Destroy() { le_utt_destroy(u); } };

}  // namespace le::test
