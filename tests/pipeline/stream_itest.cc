// le_stream on the demo identity over espeak-ng speech: delivered frames
// equal the session's own render and paste of the planned rows (order, wrap,
// skip, gain); failures of the render thread, of the paste and of a host
// callback end the run with -1 and the failing side's message, never a hang;
// create and run refusals.
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "le/le.h"
#include "le/le_fca.h"
#include "le/le_stream.h"
#include "pipeline/stream_fixture.h"

namespace {

using le::test::kSpeechFrames;
using le::test::kStreamNT;
using le::test::streamSpeech;
using le::test::streamBundle;

std::string frontend() { return streamBundle() + "/frontend.onnx"; }

// The failure tests also run under the thread sanitizer: one onnxruntime
// thread each keeps its uninstrumented pool out of the way, the stream's own
// two threads stay.
struct Stream {
  le_stream* s;
  explicit Stream(int skip = 0, float gain = 1.0f, const std::string& bundle = streamBundle(),
                  int threads = 2)
      : s(le_stream_create(bundle.c_str(), frontend().c_str(), threads, skip, gain)) {}
  ~Stream() { le_stream_destroy(s); }
};

struct Seen {
  std::vector<int> order;
  std::vector<std::vector<uint8_t>> frames;  // kept for indices in `keep`
  std::vector<int> keep;
  int width = 0, height = 0;
};

int record(void* user, int index, const uint8_t* rgb, int w, int h) {
  auto* seen = static_cast<Seen*>(user);
  seen->order.push_back(index);
  seen->width = w, seen->height = h;
  for (int k : seen->keep)
    if (k == index) seen->frames.emplace_back(rgb, rgb + size_t(w) * size_t(h) * 3);
  return 0;
}

// What the stream must deliver as frame i: the planned row rendered and
// pasted on a session of its own.
struct Reference {
  Reference()
      : ctx(le_create(streamBundle().c_str(), "render", 2, "")),
        fca(le_fca_create(frontend().c_str(), (streamBundle() + "/fca_stream.onnx").c_str(), 2)),
        xs(le::test::readF32(streamBundle() + "/xs_target.bin")) {
    deltas.resize(size_t(kSpeechFrames) * 63);
    ok = ctx && fca &&
         le_fca_deltas(fca, streamSpeech().data(), int(streamSpeech().size()), deltas.data(), kSpeechFrames) == kSpeechFrames;
  }
  ~Reference() { le_fca_destroy(fca); le_destroy(ctx); }
  std::vector<uint8_t> frame(int j, float gain) {
    const int d = j % kStreamNT;
    std::vector<float> kd(63);
    for (int k = 0; k < 63; ++k) kd[size_t(k)] = xs[size_t(d) * 63 + size_t(k)] + gain * deltas[size_t(j) * 63 + size_t(k)];
    std::vector<uint8_t> out(size_t(le_width(ctx)) * size_t(le_height(ctx)) * 3);
    const float* crop = le_render_kp_crop(ctx, d, &xs[size_t(d) * 63], kd.data());
    EXPECT_TRUE(crop && le_paste_crop(ctx, d, crop, out.data(), out.size()) == 1) << le_last_error();
    return out;
  }
  le_ctx* ctx;
  le_fca* fca;
  std::vector<float> xs, deltas;
  bool ok = false;
};

int maxDiff(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size()) return 256;
  int m = 0;
  for (size_t i = 0; i < a.size(); ++i) m = std::max(m, std::abs(int(a[i]) - int(b[i])));
  return m;
}

std::vector<int> iota(int n) { std::vector<int> v(static_cast<size_t>(n)); std::iota(v.begin(), v.end(), 0); return v; }

// The fixture's delta model saturates at +-1 in head space, which would move
// the lips out of the crop; small gains keep them where the director shows
// them.
constexpr float kGain = 0.04f;

// Kept frames against the reference: 0 and 20 share driver frame 0 with
// different deltas (the plan wraps); skip drops leading frames; the gain
// scales the deltas (the fixture's move the face visibly, so a lost gain shows).
TEST(StreamRun, DeliversEveryPlannedFrameInOrder) {
  ASSERT_EQ(int(streamSpeech().size() + 639) / 640, kSpeechFrames);
  Reference ref;
  ASSERT_TRUE(ref.ok) << le_last_error() << le_fca_last_error();
  EXPECT_GT(maxDiff(ref.frame(20, kGain), ref.frame(20, 0.0f)), 8);
  const struct {
    int skip;
    float gain;
    std::vector<int> keep;  // delivered indices
  } runs[] = {{0, kGain, {0, 9, 19, 20, 29}}, {7, 1.5f * kGain, {0, 13}}};
  for (const auto& r : runs) {
    Stream st(r.skip, r.gain);
    ASSERT_NE(st.s, nullptr) << le_stream_last_error();
    EXPECT_EQ(std::make_pair(le_stream_width(st.s), le_stream_height(st.s)), std::make_pair(1280, 720));
    Seen seen;
    seen.keep = r.keep;
    ASSERT_EQ(le_stream_run(st.s, streamSpeech().data(), int(streamSpeech().size()), record, &seen), kSpeechFrames - r.skip)
        << le_stream_last_error();
    EXPECT_STREQ(le_stream_last_error(), "");
    EXPECT_EQ(seen.order, iota(kSpeechFrames - r.skip));
    EXPECT_EQ(seen.width * 10000 + seen.height, 1280 * 10000 + 720);
    ASSERT_EQ(seen.frames.size(), r.keep.size());
    for (size_t k = 0; k < r.keep.size(); ++k)
      EXPECT_LE(maxDiff(seen.frames[k], ref.frame(r.keep[k] + r.skip, r.gain)), 1) << "frame " << r.keep[k] << " skip " << r.skip;
    if (r.skip) continue;
    EXPECT_GT(maxDiff(seen.frames[0], seen.frames[3]), 8) << "frames 0 and 20 should differ";
    // Each run starts again at driver frame 0; a null callback still renders.
    EXPECT_EQ(le_stream_run(st.s, streamSpeech().data(), int(streamSpeech().size()), nullptr, nullptr), kSpeechFrames);
    Seen again;
    ASSERT_EQ(le_stream_run(st.s, streamSpeech().data(), 640 * 3, record, &again), 3);
    EXPECT_EQ(again.order, iota(3));
    // A callback that says stop ends the run after its frame, for every frame
    // it may say it on; the handle runs again afterwards.
    for (const int stopAt : {0, 4, kSpeechFrames - 1}) {
      struct Stopper {
        int at, calls = 0;
      } stopper{stopAt};
      auto stopping = [](void* user, int index, const uint8_t*, int, int) {
        auto* s = static_cast<Stopper*>(user);
        ++s->calls;
        return index == s->at ? 1 : 0;
      };
      EXPECT_EQ(le_stream_run(st.s, streamSpeech().data(), int(streamSpeech().size()), stopping, &stopper), stopAt + 1);
      EXPECT_EQ(stopper.calls, stopAt + 1);
      EXPECT_STREQ(le_stream_last_error(), "");
    }
    EXPECT_EQ(le_stream_run(st.s, streamSpeech().data(), 640 * 2, nullptr, nullptr), 2);
  }
}

// Runs with nothing to deliver, one sample, and bad arguments.
TEST(StreamRun, FrameCountsAndRefusals) {
  Stream all(kSpeechFrames), none;
  ASSERT_NE(all.s, nullptr) << le_stream_last_error();
  const float* speech = streamSpeech().data();
  const int n = int(streamSpeech().size());
  // Samples that are not finite are refused before any frame, naming the first.
  std::vector<float> nan0(1920, 0.0f), inf1500(1920, 0.0f);
  nan0[0] = NAN, inf1500[1500] = INFINITY;
  const struct {
    le_stream* s;
    const float* samples;
    int count, frames;
    const char* message;
  } runs[] = {
      {all.s, nullptr, 0, 0, ""},      // empty clip
      {all.s, speech, n, 0, ""},       // skip == F
      {all.s, speech, 640, 0, ""},     // skip > F
      {none.s, speech, 1, 1, ""},      // one sample is one frame
      {none.s, nullptr, 640, -1, "le_stream_run: bad args"},
      {none.s, speech, -1, -1, "le_stream_run: bad args"},
      {nullptr, speech, 1, -1, "le_stream_run: bad args"},
      {none.s, nan0.data(), 1920, -1, "le_stream_run: sample 0 is nan, not a finite value"},
      {none.s, inf1500.data(), 1920, -1, "le_stream_run: sample 1500 is inf, not a finite value"},
  };
  for (const auto& r : runs) {
    Seen seen;
    EXPECT_EQ(le_stream_run(r.s, r.samples, r.count, record, &seen), r.frames) << r.count;
    EXPECT_STREQ(le_stream_last_error(), r.message);
    EXPECT_EQ(seen.order, iota(std::max(r.frames, 0)));
  }
  EXPECT_EQ(le_stream_width(nullptr) + le_stream_height(nullptr), 0);
  le_stream_destroy(nullptr);
}

TEST(StreamCreate, RefusalsNameTheFailingStep) {
  const std::string b = streamBundle(), fe = frontend();

  le::test::TempDir t;
  le::test::linkBundle(b, t / "nofca", {"fca_stream.onnx"});
  le::test::linkBundle(b, t / "shortxs", {"xs_target.bin"});
  le::test::writeFile(t / "shortxs/xs_target.bin", std::string(size_t(kStreamNT) * 63 * 4 - 4, '\0'));
  const struct {
    std::string bundle;
    int threads, skip;
    float gain;
    std::string message;  // or its start, ending in ": "
  } rows[] = {
      {b, 1, -1, 1.0f, "le_stream_create: skip < 0"},
      {b, 1, 0, NAN, "le_stream_create: gain not finite"},
      {b, 300, 0, 1.0f, "le_stream_create: threads 300 above the limit of 256"},
      {t / "none", 1, 0, 1.0f, "le_stream_create: le_create: le_create: "},
      {t / "nofca", 1, 0, 1.0f, "le_stream_create: le_fca_create: le_fca_create: "},
      {t / "shortxs", 1, 0, 1.0f, "le_stream_create: cannot read xs_target.bin (NT*63 f32)"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(le_stream_create(r.bundle.c_str(), fe.c_str(), r.threads, r.skip, r.gain), nullptr);
    const std::string e = le_stream_last_error();
    EXPECT_EQ(r.message.back() == ' ' ? e.substr(0, r.message.size()) : e, r.message);
  }
}

// A director that is no model fails at the first render (it is built then);
// a driver JPEG gone after create (one file read per pull) fails frame 12,
// the frames before it delivered in order.
TEST(StreamFailure, RenderAndPasteFailuresEndTheRunWithTheirMessages) {
  const struct {
    std::string member, contents, message;
    size_t minFrames, maxFrames;
  } cases[] = {{"model_render.onnx", "not a model", "le_stream_run: render/paste failed: le_render_kp_crop: ", 0, 0},
               {"target_frames/frame_000012.jpg", "", "le_stream_run: render/paste failed: le_paste_crop: ", 8, 12}};
  for (const auto& c : cases) {
    le::test::TempDir t;
    const std::string b = t / "b";
    le::test::linkBundle(streamBundle(), b, {c.member});
    if (!c.contents.empty()) le::test::writeFile(b + "/" + c.member, c.contents);
    Stream st(0, 1.0f, b, 1);
    ASSERT_NE(st.s, nullptr) << le_stream_last_error();
    Seen seen;
    EXPECT_EQ(le_stream_run(st.s, streamSpeech().data(), int(streamSpeech().size()), record, &seen), -1);
    EXPECT_EQ(std::string(le_stream_last_error()).rfind(c.message, 0), 0u) << le_stream_last_error();
    EXPECT_TRUE(seen.order.size() >= c.minFrames && seen.order.size() <= c.maxFrames) << seen.order.size();
    EXPECT_EQ(seen.order, iota(int(seen.order.size())));
  }
}

int throwAt5(void* user, int index, const uint8_t*, int, int) {
  ++*static_cast<int*>(user);
  if (index == 5) throw std::runtime_error("host callback failed");
  return 0;
}

TEST(StreamFailure, ThrowingCallbackJoinsAndTheStreamRunsAgain) {
  Stream st(0, 1.0f, streamBundle(), 1);
  ASSERT_NE(st.s, nullptr);
  int calls = 0;
  // The exception becomes the run's message. The render thread is ahead of
  // the callback, possibly waiting on a full ring, and is joined.
  EXPECT_EQ(le_stream_run(st.s, streamSpeech().data(), 640 * 12, throwAt5, &calls), -1);
  EXPECT_STREQ(le_stream_last_error(), "le_stream_run: host callback failed");
  EXPECT_EQ(calls, 6);
  Seen seen;
  EXPECT_EQ(le_stream_run(st.s, streamSpeech().data(), 640 * 8, record, &seen), 8);
  EXPECT_EQ(seen.order, iota(8));
}

struct Nested { le_stream* s; int inner = 0; std::string message; };

int runAgain(void* user, int index, const uint8_t*, int, int) {
  auto* n = static_cast<Nested*>(user);
  if (index == 1) {
    const float x = 0.1f;
    n->inner = le_stream_run(n->s, &x, 1, nullptr, nullptr);
    n->message = le_stream_last_error();
  }
  return 0;
}

TEST(StreamFailure, ARunFromTheCallbackIsRefused) {
  Stream st(0, 1.0f, streamBundle(), 1);
  ASSERT_NE(st.s, nullptr);
  Nested n{st.s, 0, {}};
  EXPECT_EQ(le_stream_run(st.s, streamSpeech().data(), 640 * 3, runAgain, &n), 3);
  EXPECT_EQ(n.inner, -1);
  EXPECT_EQ(n.message, "le_stream_run: already running");
}

}  // namespace
