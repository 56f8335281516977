// The borrow stage on fake seams, inline and pipelined. The fake borrow's
// result for a crop carries that crop's kd[0]; the write-back puts it in the
// crop's second value, so a delivered frame shows whether it got its own
// result (ks0 == kd0), none (ks0 == kd0 - kDelta) or another crop's.
#include <algorithm>
#include <random>
#include <regex>

#include "pipeline/utt_fakes.h"

namespace le::test {
namespace {

struct BorrowKnobs {
  std::atomic<int> pushes{0}, flushes{0}, writes{0};
  std::atomic<int> throwAtPush{-1};   // this push (0-based) throws
  std::atomic<int> silentAtPush{-1};  // this push returns nothing although a frame was pending
  std::atomic<int> badWindowAt{-1};   // this write-back gets a window of the wrong size
  std::atomic<bool> flushSilent{false};
  std::atomic<int> passEvery{0};      // every n-th result passes the crop through
  std::atomic<bool> tagPushes{false};  // a result also carries 1000 x its push number
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};  // two threads called at once
};

class FakeBorrow : public utt::Borrow {
 public:
  explicit FakeBorrow(BorrowKnobs& k) : k_(k) {}
  bool push(const float* planes, const float*, tessera::FrameResult* out) override {
    Enter e(k_);
    const int n = k_.pushes++;
    if (n == k_.throwAtPush) throw std::runtime_error("fake pass broke");
    const bool had = pending_;
    if (had) fill(out);
    pending_ = true;
    value_ = planes[0] + (k_.tagPushes ? 1000.f * float(n) : 0.f);
    return had && n != k_.silentAtPush;
  }
  bool flush(tessera::FrameResult* out) override {
    Enter e(k_);
    ++k_.flushes;
    if (k_.flushSilent || !pending_) return false;
    fill(out);
    pending_ = false;
    return true;
  }
  void writeBack(float* planes, const tessera::FrameResult& r) override {
    Enter e(k_);
    if (k_.writes++ == k_.badWindowAt) throw std::runtime_error("window 3 bytes does not match");
    if (r.passthrough) return;
    std::memcpy(&planes[1], r.window.data(), 4);
  }

 private:
  struct Enter {
    BorrowKnobs& k;
    explicit Enter(BorrowKnobs& kk) : k(kk) { if (k.inside++ != 0) k.overlapped = true; }
    ~Enter() { --k.inside; }
  };
  void fill(tessera::FrameResult* out) {
    const int every = k_.passEvery;
    out->passthrough = every > 0 && ++results_ % every == 0;
    out->window.assign(4, 0);
    if (!out->passthrough) std::memcpy(out->window.data(), &value_, 4);
  }
  BorrowKnobs& k_;
  bool pending_ = false;
  float value_ = 0;
  int results_ = 0;
};

void attach(le_utt* u, BorrowKnobs& k, const std::string& geometry = "{fake}") {
  u->pipeline->attachBorrow(std::make_shared<FakeBorrow>(k), geometry);
}

// Rendered frames that did not get their own borrowed window, by position.
std::vector<size_t> unborrowed(const std::vector<Frame>& fs) {
  std::vector<size_t> bad;
  for (size_t i = 0; i < fs.size(); ++i)
    if (fs[i].info.kind != LE_UTT_IDLE && fs[i].ks0 != fs[i].kd0) bad.push_back(i);
  return bad;
}

struct Stats { int state; int64_t ok, failures; std::string msg; };
Stats statsOf(le_utt* u) {
  Stats s{};
  char msg[256] = "untouched";
  s.state = le_utt_tessera_stats(u, &s.ok, &s.failures, msg, sizeof msg);
  s.msg = msg;
  return s;
}

class BorrowModes : public testing::TestWithParam<int> {};

// Speech, its ramp and the idle frames after it: every crop leaves with its
// own window, the last one released by the idle frame that follows it; the
// interrupt drops the held crop and flushes the pass.
TEST_P(BorrowModes, EveryRenderedCropGetsItsOwnWindow) {
  struct Case {
    const char* script;
    const char* kinds;
    int passEvery;
    int64_t ok;  // -1: not counted
  };
  for (const Case& c : {Case{"w p3 s12 e r6 p4", "I{3}I*S{12}R{6}I{4}", 0, 18},
                        Case{"w p3 s12 e r6 p4", "I{3}I*S{12}R{6}I{4}", 3, 18},
                        Case{"w s200 e n5 f8 x p8", "I*S{6}R{4}I{4}", 0, -1}}) {
    SCOPED_TRACE(c.script + std::string(" passEvery ") + std::to_string(c.passEvery));
    Rig rig(GetParam());
    BorrowKnobs k;
    k.passEvery = c.passEvery;
    k.tagPushes = c.ok >= 0;
    Destroy d{rig.make()};
    attach(d.u, k, "{canvas_w=2}");
    const std::vector<Frame> fs = play(d.u, c.script);
    const std::string kinds = kindsOf(fs);
    EXPECT_TRUE(std::regex_match(kinds, std::regex(c.kinds))) << kinds;
    expectKindsCarryTheirRows(fs);
    int rendered = 0;
    for (size_t i = 0; i < fs.size(); ++i) {
      if (i > 0) {
        EXPECT_EQ(fs[i].idx, (fs[i - 1].idx + 1) % 10) << i;
      }
      if (fs[i].info.kind == LE_UTT_IDLE) continue;
      EXPECT_EQ(fs[i].si, float(fs[i].idx)) << i;
      // A pass-through result leaves the crop as rendered; a tagged one also
      // carries its push number: every crop is pushed once, in order.
      const int n = rendered++;
      const bool through = c.passEvery > 0 && (n + 1) % c.passEvery == 0;
      const float own = fs[i].kd0 + (k.tagPushes ? 1000.f * float(n) : 0.f);
      EXPECT_EQ(fs[i].ks0, through ? float(fs[i].idx * 100) : own) << i << " " << kinds;
    }
    const Stats s = statsOf(d.u);
    EXPECT_EQ(std::make_tuple(s.state, s.failures, s.msg), std::make_tuple(1, int64_t(0), std::string()));
    if (c.ok >= 0) {
      EXPECT_EQ(s.ok, c.ok);
    } else {
      EXPECT_EQ(k.flushes.load(), 2);  // the interrupt's and the first idle frame's
    }
    EXPECT_FALSE(k.overlapped.load());
    char geo[32];
    EXPECT_EQ(le_utt_tessera_geometry(d.u, geo, sizeof geo), 1);
    EXPECT_STREQ(geo, "{canvas_w=2}");
    const utt::StageTimes t = d.u->pipeline->stageTimes();
    EXPECT_EQ(std::make_pair(t.pipe, t.jobsB > 0), std::make_pair(GetParam() == 1, GetParam() == 1));
  }
}

// A failure stops delivery, idle frames included, until a new attach.
TEST_P(BorrowModes, AFailureStopsDeliveryUntilANewAttach) {
  const std::string held = " while a crop was held \xe2\x80\x94 refusing to deliver it uncomposed";
  struct Case { std::function<void(BorrowKnobs&)> arm; const char* script; std::string msg; };
  const Case cases[] = {
      {[](BorrowKnobs& k) { k.throwAtPush = 3; }, "w s12", "push: fake pass broke"},
      {[](BorrowKnobs& k) { k.silentAtPush = 3; }, "w s12", "push: the pass returned no frame" + held},
      {[](BorrowKnobs& k) { k.badWindowAt = 2; }, "w s12", "write-back: window 3 bytes does not match"},
      {[](BorrowKnobs& k) { k.flushSilent = true; }, "w s3 e", "flush: the pass held no pending frame" + held},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.msg);
    Rig rig(GetParam());
    BorrowKnobs bad, good;
    c.arm(bad);
    Destroy d{rig.make()};
    attach(d.u, bad);
    std::vector<Frame> fs = play(d.u, c.script);
    for (int quiet = 0; quiet < 3;) {  // drain what was delivered before the failure
      if (auto f = nextFrame(d.u, 100ms)) fs.push_back(*f), quiet = 0;
      else ++quiet;
    }
    for (int i = 0; i < 20; ++i) {
      ASSERT_EQ(le_utt_frames_available(d.u), 0) << i;
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(unborrowed(fs).empty()) << kindsOf(fs);
    const Stats s = statsOf(d.u);
    EXPECT_EQ(std::make_tuple(s.state, s.failures, s.msg), std::make_tuple(-1, int64_t(1), c.msg));
    attach(d.u, good);  // the recovery
    const std::vector<Frame> after = play(d.u, "p3 s4 e n3 r6");
    // The ramp the failure stopped goes on first.
    EXPECT_TRUE(std::regex_match(kindsOf(after), std::regex("[IR]*S{4}R{6}"))) << kindsOf(after);
    EXPECT_TRUE(unborrowed(after).empty()) << kindsOf(after);
    const Stats r = statsOf(d.u);
    EXPECT_EQ(std::make_tuple(r.state, r.failures, r.msg), std::make_tuple(1, int64_t(0), std::string()));
    EXPECT_GE(r.ok, 9);
  }
}

// A new borrow mid-speech: the old one finishes the crop it holds; inline
// nothing is lost, pipelined the old attach's queued jobs may be.
TEST_P(BorrowModes, ReattachMidSpeechFinishesTheHeldCrop) {
  Rig rig(GetParam());
  BorrowKnobs a, b;
  Destroy d{rig.make()};
  attach(d.u, a);
  std::vector<Frame> fs = play(d.u, "w s40 e n6");
  attach(d.u, b);
  for (const Frame& f : play(d.u, "r6")) fs.push_back(f);
  EXPECT_TRUE(unborrowed(fs).empty()) << kindsOf(fs);
  EXPECT_GE(a.flushes.load(), 1);
  EXPECT_GT(b.pushes.load(), 0);
  EXPECT_FALSE(a.overlapped.load() || b.overlapped.load());
  if (GetParam() == 0) {
    EXPECT_TRUE(std::regex_match(kindsOf(fs), std::regex("I*S{40}R{6}"))) << kindsOf(fs);
  }
}

// Interrupts, re-attaches and destruction during speech, at random moments:
// every delivered crop carries its own window, the borrow is never called
// by two threads at once, and nothing of an interrupted utterance follows
// the interrupt's ramp.
TEST_P(BorrowModes, InterruptsReattachesAndDestroyDuringSpeech) {
  std::mt19937 rng(GetParam() + 5);
  for (int round = 0; round < 12; ++round) {
    Rig rig(GetParam());
    std::vector<std::unique_ptr<BorrowKnobs>> knobs;
    knobs.push_back(std::make_unique<BorrowKnobs>());
    le_utt* u = rig.make();
    attach(u, *knobs.back());
    const auto audio = speech(30);
    le_utt_push_audio(u, audio.data(), int(audio.size()));
    std::vector<Frame> fs;
    const int steps = 10 + int(rng() % 30);  // drawn once: a bound drawn per step ends most rounds early
    for (int step = 0; step < steps; ++step) {
      if (auto f = nextFrame(u, 50ms)) fs.push_back(*f);
      switch (rng() % 9) {
        case 0:
          le_utt_interrupt(u);
          fs.clear();  // frames before the interrupt are not compared
          break;
        case 1:
          knobs.push_back(std::make_unique<BorrowKnobs>());
          attach(u, *knobs.back());
          break;
        case 2: le_utt_push_audio(u, audio.data(), int(audio.size())); break;
      }
    }
    le_utt_destroy(u);
    EXPECT_TRUE(unborrowed(fs).empty()) << round << " " << kindsOf(fs);
    for (const auto& k : knobs) EXPECT_FALSE(k->overlapped.load()) << round;
  }
}

INSTANTIATE_TEST_SUITE_P(Paste, BorrowModes, testing::Values(0, 1),
                         [](const auto& i) { return i.param ? std::string("Pipelined") : std::string("Inline"); });

// The entry points on a handle of the fake rig (render crop 2).
TEST(BorrowCapi, AttachRefusalsAndTheQueries) {
  std::vector<uint8_t> track(64, 7);
  double cent[2] = {1, 1}, canon[2] = {1, 1}, aperture[1] = {0.5};
  uint8_t pt[4] = {};
  struct Args {
    bool session = true, xs = true;
    const uint8_t* track;
    int n = 1;
    const double *cent, *canon, *aperture;
    std::array<int32_t, 12> stamp{2, 2, 0, 0, 1, 1, 0, 0, 1, 0, 1, 0};
    const uint8_t* pt;
    int ptLen = 4;
    const char *head = "{}", *manifest = "{}";
  };
  const Args base{true, true, track.data(), 1, cent, canon, aperture, {2, 2, 0, 0, 1, 1, 0, 0, 1, 0, 1, 0}, pt};
  const std::string pre = "le_utt_tessera_attach: ";
  const std::string null = pre + "a required member is null \xe2\x80\x94 this ABI has no partial-attach state";
  const std::pair<std::function<void(Args&)>, std::string> table[] = {
      {[](Args& a) { a.session = false; }, pre + "null session"},
      {[](Args& a) { a.track = nullptr; }, null},
      {[](Args& a) { a.cent = nullptr; }, null},
      {[](Args& a) { a.canon = nullptr; }, null},
      {[](Args& a) { a.aperture = nullptr; }, null},
      {[](Args& a) { a.pt = nullptr; }, null},
      {[](Args& a) { a.head = nullptr; }, null},
      {[](Args& a) { a.manifest = nullptr; }, null},
      {[](Args& a) { a.n = 0; }, pre + "n_donors <= 0"},
      {[](Args& a) { a.n = INT32_MIN; }, pre + "n_donors <= 0"},
      {[](Args& a) { a.n = 1025; }, pre + "n_donors above the limit of 1024"},
      {[](Args& a) { a.stamp[0] = 512; }, pre + "bank canvas 512 != this bundle's render crop 2"},
      {[](Args& a) { a.xs = false; },
       pre + "xs_target.bin is absent or the wrong length, so this bundle's corpus pi frame cannot be identified "
             "\xe2\x80\x94 refusing to arm the borrow against the manifest's compose-field geometry"},
      // A band far past the canvas with the most donors: refused by the stamp
      // check before any size is computed from it (the track is 64 bytes).
      {[](Args& a) { a.n = 1024, a.stamp[8] = INT32_MAX, a.stamp[10] = INT32_MAX; },
       pre + "teeth: GeometryStamp incoherent:"},
  };
  for (const auto& [mutate, want] : table) {
    Args a = base;
    mutate(a);
    Rig rig;
    rig.withXs = a.xs;
    Destroy d{rig.make()};
    char err[400] = "untouched";
    // The stamp is passed as a null pointer in its own row below.
    const int r = le_utt_tessera_attach(a.session ? d.u : nullptr, a.track, a.n, a.cent, a.canon, a.aperture,
                                        a.stamp.data(), a.pt, a.ptLen, a.head, a.manifest, err, sizeof err);
    EXPECT_EQ(r, 1) << want;
    EXPECT_EQ(std::string(err).substr(0, want.size()), want);
    // Nothing was installed.
    EXPECT_EQ(statsOf(d.u).state, 0) << want;
    char geo[8] = "x";
    EXPECT_EQ(le_utt_tessera_geometry(d.u, geo, sizeof geo), 0);
    EXPECT_STREQ(geo, "");
  }
  Rig rig;
  Destroy d{rig.make()};
  char err[8] = "x";
  EXPECT_EQ(le_utt_tessera_attach(d.u, track.data(), 1, cent, canon, aperture, nullptr, pt, 4, "{}", "{}", err, sizeof err), 1);
  EXPECT_STREQ(err, "le_utt_");  // truncated to the buffer, terminated
  char untouched[4] = "abc";
  EXPECT_EQ(le_utt_tessera_attach(nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                  untouched, 0), 1);
  EXPECT_STREQ(untouched, "abc");

  // Queries: nothing attached, then attached.
  int64_t ok = -1, failures = -1;
  EXPECT_EQ(le_utt_tessera_stats(nullptr, &ok, &failures, nullptr, 0), 0);
  EXPECT_EQ(le_utt_tessera_stats(d.u, nullptr, nullptr, nullptr, 0), 0);
  double mean = -1, last = -1;
  int64_t count = -1;
  EXPECT_EQ(le_utt_tessera_synth_w(d.u, &mean, &last, &count), 0);
  BorrowKnobs k;
  attach(d.u, k, "{canvas_w=2, canvas_h=2}");
  EXPECT_EQ(le_utt_tessera_synth_w(d.u, &mean, &last, &count), 0);  // no width is ever measured
  EXPECT_EQ(std::make_tuple(mean, last, count), std::make_tuple(-1.0, -1.0, int64_t(-1)));
  char one[1] = {'x'}, four[4] = "abc";
  EXPECT_EQ(le_utt_tessera_geometry(d.u, one, 1), 1);  // only the terminator
  EXPECT_EQ(one[0], '\0');
  EXPECT_EQ(le_utt_tessera_geometry(d.u, four, 0), 0);
  EXPECT_EQ(le_utt_tessera_geometry(d.u, nullptr, 10), 0);
  EXPECT_STREQ(four, "abc");
  EXPECT_EQ(le_utt_tessera_geometry(d.u, four, 4), 1);
  EXPECT_STREQ(four, "{ca");
  EXPECT_EQ(le_utt_tessera_geometry(nullptr, four, 4), 0);
  EXPECT_EQ(le_utt_tessera_stats(d.u, &ok, &failures, nullptr, 0), 1);
  EXPECT_EQ(std::make_pair(ok, failures), std::make_pair(int64_t(0), int64_t(0)));
}

// Attaches from many threads at once start one borrow thread. Threads are
// told apart by name (set by the starter): the warm-up thread may end while
// this runs.
TEST(BorrowThreads, ConcurrentAttachesStartOneThread) {
  Rig rig(1);
  Destroy d{rig.make()};
  ASSERT_TRUE(waitReady(d.u));
  std::vector<std::unique_ptr<BorrowKnobs>> knobs;
  for (int i = 0; i < 8; ++i) knobs.push_back(std::make_unique<BorrowKnobs>());
  const auto named = [](const std::string& want) { return std::ranges::count(le::test::threadNames(), want); };
  EXPECT_EQ(std::make_pair(named("le-borrow"), named("le-run")), std::make_pair(0l, 1l));
  std::vector<std::thread> ts;
  for (int i = 0; i < 8; ++i) ts.emplace_back([&, i] { attach(d.u, *knobs[size_t(i)]); });
  for (auto& t : ts) t.join();
  EXPECT_EQ(named("le-borrow"), 1);
  EXPECT_TRUE(unborrowed(play(d.u, "s4 e r6")).empty());
}

}  // namespace
}  // namespace le::test
