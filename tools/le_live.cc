// le-live: plays speech into the live utterance pipeline (le_utt) of a bundle,
// in real time or as fast as the pipeline goes, pulls the frames on their own
// thread and writes them to an MP4 with the speech muxed in. Exit status 1 for
// failures, 2 for usage errors, like le-render.
//
// One timeline holds everything: output frame n is at n / 25 s; audio chunk
// pushes happen at their timeline time (the wall clock, or with --fast the
// count of frames pulled). The MP4's sound is built from the frames: a speech
// frame carries the 640 pushed samples it was rendered from, idle and ramp
// frames carry silence, so mouth and sound stay in step whatever the
// pipeline's latency.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cli.h"
#include "contact_sheet.h"
#include "live_options.h"
#include "le/le.h"
#include "le/le_a2x.h"
#include "le/le_utt.h"
#include "live_teeth.h"
#include "mp4_writer.h"
#include "output_file.h"
#include "pushed_audio.h"
#include "stop_signal.h"
#include "tool_log.h"
#include "wav_reader.h"
#ifdef LE_LIVE_SERVE
#include "live_server.h"
#endif

namespace {

using le::tool::onlyModelKey;
using le::tool::UsageError;

using Clock = std::chrono::steady_clock;
constexpr int kFps = 25;
constexpr int kFrameSamples = le::tool::kSpeechRate / kFps;  // 640
// A pipeline that publishes nothing for this long is stuck.
constexpr double kNoFrameSeconds = 20.0;
// --fast: an utterance that published nothing for this long is waiting for
// audio that the pushed timeline has not reached yet.
constexpr double kStarvedMs = 50.0;
// After the tail, a still-running utterance gets this much more timeline.
constexpr double kOverrunSeconds = 10.0;

using Options = le::tool::LiveOptions;

[[noreturn]] void libraryFailure(const std::string& what, const char* err) {
  throw std::runtime_error(what + (err && *err ? std::string(": ") + err : std::string()));
}

// Where the speech comes from: a WAV file read block by block as it is
// pushed, or standard input as it arrives.
class SpeechSource {
 public:
  explicit SpeechSource(const std::string& audio) {
    if (audio != "-") wav_ = std::make_unique<le::tool::SpeechStream>(audio);
  }
  size_t read(int16_t* out, size_t n) {
    return wav_ ? wav_->read(out, n) : le::tool::readRawSamples(stdin, out, n);
  }

 private:
  std::unique_ptr<le::tool::SpeechStream> wav_;
};

// State shared by the pushing (main) thread and the pulling thread.
struct Shared {
  std::mutex mu;
  std::condition_variable cv;
  int64_t pulled = 0;          // frames pulled so far (the --fast clock)
  bool interrupted = false;    // no push after this
  bool pushDone = false;       // the source ended or the interrupt stopped it
  bool stop = false;           // the puller gave up (error): the pusher stops
  bool starved = false;        // --fast: the pipeline waits for audio; push on
  double audioEnd = 0;         // timeline second of the last pushed sample
  le::tool::PushedAudio pushed;  // for muxing; held only until muxed
  double firstPushWall = -1;   // ms since the start, host clock
  std::string error;
  bool outputClosed = false;   // standard output's reader went away
};

struct Counts {
  int64_t frames = 0, idle = 0, speech = 0, ramp = 0;
  double firstSpeechWall = -1;  // ms since the start
  // Frames pulled more than one frame period after their wall-clock due
  // time, and the largest lateness (real-time runs only).
  int64_t late = 0;
  double maxLateMs = 0;
};

double msSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

const char* kindName(int32_t kind) {
  return kind == LE_UTT_SPEECH ? "SPEECH" : kind == LE_UTT_RAMP ? "RAMP" : "IDLE";
}

// The library's lines go to standard error as they come, except its stage
// report (printed when the pipeline goes), which is kept for the run report
// and passed on only when the user asked for it with LE_UTT_STAGE_REPORT.
class LibraryLog {
 public:
  LibraryLog(bool passStage, le::tool::Verbosity v)
      : passStage_(passStage), log_(v, [this](int, const char* text) { return keep(text); }) {}

  std::string stageLine() {
    std::lock_guard<std::mutex> lock(mu_);
    return stage_;
  }

 private:
  bool keep(const char* text) {
    if (std::strncmp(text, "[le_utt-stage]", 14) != 0) return false;
    std::lock_guard<std::mutex> lock(mu_);
    stage_ = text;
    return !passStage_;
  }

  const bool passStage_;
  std::mutex mu_;
  std::string stage_;
  le::tool::ToolLog log_;  // last: installed once the rest exists, removed first
};

// Loads the streaming engine's frontend before the pipeline starts: --w2v,
// else w2v/w2v.onnx of the audio model directory when $W2V_ONNX is unset.
// Nothing for a motion directory without the streaming encoder.
void loadFrontend(const Options& o, const std::string& motion) {
  char path[4096];
  if (le_bundle_resolve_member(motion.c_str(), "a2x_enc_stream.onnx", path, sizeof path) != 1) return;
  std::string w2v = o.w2v;
  if (w2v.empty() && std::getenv("W2V_ONNX") == nullptr) {
    const std::string local = motion + "/w2v/w2v.onnx";
    if (::access(local.c_str(), R_OK) == 0) w2v = local;
  }
  if (!w2v.empty() && le_a2x_preload_w2v(w2v.c_str()) != 1)
    libraryFailure("cannot load the audio frontend " + w2v, le_a2x_last_error());
}

// "key=value" out of the stage report line; nullopt when absent.
std::optional<double> stageValue(const std::string& line, const char* key) {
  const std::string k = std::string(" ") + key + "=";
  const size_t at = line.find(k);
  if (at == std::string::npos) return std::nullopt;
  const char* first = line.data() + at + k.size();
  double v = 0;
  const auto [end, ec] = std::from_chars(first, line.data() + line.size(), v);
  if (ec != std::errc() || end == first || !std::isfinite(v)) return std::nullopt;
  return v;
}

// The bundle directory, its director key and the audio model directory.
struct Bundle {
  std::string dir, key, motion;
};

Bundle resolveBundle(const Options& o) {
  char dirBuf[4096];
  if (le_bundle_resolve_handle(o.bundle.c_str(), dirBuf, sizeof dirBuf) != 1)
    libraryFailure("cannot open the bundle", le_last_error());
  Bundle b;
  b.dir = dirBuf;
  b.key = o.model.empty() ? onlyModelKey(b.dir) : o.model;
  b.motion = o.motion.empty() ? b.dir : o.motion;
  return b;
}

// A session and its live pipeline, warm: speech before the engine is warm
// would only wait, so the timeline starts warm.
struct Live {
  std::unique_ptr<le_ctx, void (*)(le_ctx*)> ctx{nullptr, le_destroy};
  std::unique_ptr<le_utt, void (*)(le_utt*)> utt{nullptr, le_utt_destroy};
  int W = 0, H = 0;
  double warmMs = 0;
};

Live startLive(const Options& o, const Bundle& b) {
  Live live;
  live.ctx.reset(le_create(b.dir.c_str(), b.key.c_str(), o.threads, nullptr));
  if (!live.ctx) libraryFailure("cannot open the bundle", le_last_error());
  live.W = le_width(live.ctx.get());
  live.H = le_height(live.ctx.get());
  le_utt_opts uo{};
  uo.motion_dir = b.motion.c_str();
  uo.threads = o.threads;
  uo.eager = o.eager;
  uo.steady_model = o.steady.empty() ? nullptr : o.steady.c_str();
  live.utt.reset(le_utt_create(live.ctx.get(), &uo));
  if (!live.utt) libraryFailure("cannot start the live pipeline", le_utt_last_error());
  const auto warmStart = Clock::now();
  for (;;) {
    const int r = le_utt_ready(live.utt.get());
    if (r == 1) break;
    if (r < 0) libraryFailure("the audio engine did not start", le_utt_last_error());
    if (msSince(warmStart) > 120e3) throw std::runtime_error("the audio engine did not warm up in 120 s");
    if (le::tool::stopSignal() != 0) break;  // the timeline ends at once
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  live.warmMs = msSince(warmStart);
  return live;
}

// Frames kept for the sheet: frames[i] is frame i x every; `every` doubles as
// the run grows, so at most twice the sheet's frames are held.
struct Stills {
  std::vector<std::vector<uint8_t>> frames;
  int64_t every = 1;

  void offer(int64_t n, const std::vector<uint8_t>& frame, int sheetFrames) {
    if (frames.size() >= static_cast<size_t>(2 * sheetFrames)) {
      every *= 2;
      std::vector<std::vector<uint8_t>> kept;
      for (size_t i = 0; i < frames.size(); i += 2) kept.push_back(std::move(frames[i]));
      frames.swap(kept);
    }
    if (n % every == 0) frames.push_back(frame);
  }
};

// One run's timeline: the pusher (the calling thread) pushes each chunk of
// speech at its timeline time; the puller takes one frame per 40 ms of wall
// clock (or as they come), makes the interrupt fall at its timeline time and
// writes video and each frame's sound into the MP4.
class Timeline {
 public:
  Timeline(const Options& o, le_utt* utt, le::tool::Mp4Writer& mp4, size_t frameBytes)
      : o_(o), utt_(utt), mp4_(mp4), frameBytes_(frameBytes), t0_(Clock::now()),
        tty_(o.verbosity != le::tool::Verbosity::Quiet && isatty(STDERR_FILENO) == 1) {}

  // Plays the whole source; the puller is joined on every path. Throws the
  // first failure of either side.
  void play(SpeechSource& source) {
    std::thread puller([this] { pullAll(); });
    try {
      pushAll(source);
    } catch (...) {
      stop();
      puller.join();
      throw;
    }
    {
      std::lock_guard<std::mutex> lock(sh_.mu);
      sh_.pushDone = true;
    }
    sh_.cv.notify_all();
    puller.join();
    if (!sh_.error.empty()) throw std::runtime_error(sh_.error);
    wallS_ = msSince(t0_) / 1000.0;
  }

  const Shared& shared() const { return sh_; }
  const Counts& counts() const { return counts_; }
  const std::vector<int32_t>& kinds() const { return kinds_; }
  const Stills& stills() const { return stills_; }
  double wallSeconds() const { return wallS_; }

 private:
  void stop() {
    std::lock_guard<std::mutex> lock(sh_.mu);
    sh_.stop = true;
    sh_.cv.notify_all();
  }

  void fail(const std::string& why) {
    std::lock_guard<std::mutex> lock(sh_.mu);
    sh_.error = why;
    sh_.stop = true;
    sh_.cv.notify_all();
  }

  // The interrupt falls at its time of the timeline: the wall clock, or with
  // --fast between the frames before and after it. Under the push lock: no
  // push can land after it.
  void interruptWhenDue(double frameTime) {
    if (!o_.interruptAt) return;
    const double now = o_.fast ? frameTime : msSince(t0_) / 1000.0;
    std::lock_guard<std::mutex> lock(sh_.mu);
    if (sh_.interrupted || now < *o_.interruptAt) return;
    sh_.interrupted = true;
    le_utt_interrupt(utt_);
    sh_.cv.notify_all();
  }

  void pullAll() noexcept {
    try {
      std::vector<uint8_t> frame(frameBytes_);
      for (int64_t n = 0; !pullingDone(n); ++n) {
        const double tl = static_cast<double>(n) / kFps;
        if (!o_.fast) std::this_thread::sleep_until(t0_ + std::chrono::microseconds(n * 1000000 / kFps));
        interruptWhenDue(tl);
        le_utt_frame_info info{};
        if (!waitForFrame(tl, frame, info)) {
          stop();  // a signal: what was written so far is the run
          break;
        }
        noteLateness(tl);
        writeFrame(frame, info);
        progressLine(false);
        if (!o_.sheet.empty()) stills_.offer(n, frame, o_.sheetFrames);
        {
          std::lock_guard<std::mutex> lock(sh_.mu);
          sh_.pulled = n + 1;
          sh_.starved = false;
        }
        sh_.cv.notify_all();
      }
    } catch (const le::tool::OutputClosed&) {
      std::lock_guard<std::mutex> lock(sh_.mu);
      sh_.outputClosed = true;
      sh_.stop = true;
      sh_.cv.notify_all();
    } catch (const std::exception& e) {
      fail(e.what());
    } catch (...) {
      fail("unknown failure");
    }
    progressLine(true);
  }

  void noteLateness(double tl) {
    if (o_.fast) return;
    const double lateMs = msSince(t0_) - tl * 1000.0;
    if (lateMs > 1000.0 / kFps) ++counts_.late;
    counts_.maxLateMs = std::max(counts_.maxLateMs, lateMs);
  }

  // On a terminal, redrawn ten times a second; nothing in a log or with -q.
  void progressLine(bool last) {
    if (!tty_) return;
    const double now = msSince(t0_);
    if (!last && now - lastDrawMs_ < 100) return;
    lastDrawMs_ = now;
    // Lateness means nothing when the run does not follow the clock.
    const std::string late = o_.fast ? "" : "  late " + std::to_string(counts_.late);
    std::fprintf(stderr, "\rle-live: %lld frames (%.1f s)  speech %lld  ramp %lld%s   %s",
                 static_cast<long long>(counts_.frames), static_cast<double>(counts_.frames) / kFps,
                 static_cast<long long>(counts_.speech), static_cast<long long>(counts_.ramp), late.c_str(),
                 last ? "\n" : "");
    std::fflush(stderr);
  }

  // True once the pusher gave up, or the tail after the last push has passed
  // and the pipeline settled (speech that outlasts the pushes, the pipeline's
  // latency, still gets the tail's idle frames after it), or overran.
  bool pullingDone(int64_t n) {
    const double tl = static_cast<double>(n) / kFps;
    std::unique_lock<std::mutex> lock(sh_.mu);
    if (sh_.stop) return true;
    if (!sh_.pushDone) return false;
    le_utt_stats st{};
    le_utt_get_stats(utt_, &st);
    const double end = sh_.audioEnd + o_.tail;
    const bool settled = st.state == 0 && (sawSpeech_ || sh_.interrupted || sh_.pushed.empty()) &&
                         idleRun_ >= std::max<int64_t>(1, std::llround(o_.tail * kFps));
    return tl >= end && (settled || tl >= end + kOverrunSeconds);
  }

  // False when a signal asked to stop first.
  bool waitForFrame(double tl, std::vector<uint8_t>& frame, le_utt_frame_info& info) {
    const auto waitStart = Clock::now();
    while (le_utt_pull_frame(utt_, frame.data(), frame.size(), &info) != 1) {
      if (le::tool::stopSignal() != 0) return false;
      const char* e = le_utt_last_error();
      if (e && *e) throw std::runtime_error(std::string("pulling a frame: ") + e);
      interruptWhenDue(tl);
      // An engine that needs more audio than the pulled timeline has
      // released would wait for it forever (or until the silence gap cuts
      // the utterance): release audio until a frame comes.
      if (o_.fast && msSince(waitStart) > kStarvedMs) releaseAudio();
      if (msSince(waitStart) > kNoFrameSeconds * 1000)
        throw std::runtime_error("the pipeline delivered no frame for " +
                                 std::to_string(static_cast<int>(kNoFrameSeconds)) + " s");
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return le::tool::stopSignal() == 0;
  }

  void releaseAudio() {
    le_utt_stats st{};
    le_utt_get_stats(utt_, &st);
    if (st.state != 1 && st.state != 2) return;
    std::lock_guard<std::mutex> lock(sh_.mu);
    if (!sh_.starved) {
      sh_.starved = true;
      sh_.cv.notify_all();
    }
  }

  // The frame and its sound: a speech frame carries the 640 pushed samples it
  // was rendered from, idle and ramp frames silence.
  void writeFrame(const std::vector<uint8_t>& frame, const le_utt_frame_info& info) {
    std::vector<int16_t> sound(kFrameSamples, 0);
    if (info.kind == LE_UTT_SPEECH && info.speech_number >= 0) {
      if (!sawSpeech_) counts_.firstSpeechWall = msSince(t0_);
      // A new utterance in one pushed stream continues where the last
      // one's frames ended (to within its final partial frame).
      if (info.speech_number == 0 && lastSpeechNo_ >= 0) uttBase_ += (lastSpeechNo_ + 1) * kFrameSamples;
      lastSpeechNo_ = info.speech_number;
      sawSpeech_ = true;
      const int64_t from = uttBase_ + static_cast<int64_t>(info.speech_number) * kFrameSamples;
      std::lock_guard<std::mutex> lock(sh_.mu);
      sh_.pushed.take(from, sound.data(), static_cast<size_t>(kFrameSamples));
    }
    mp4_.write(frame.data());
    mp4_.writeAudio(sound.data(), sound.size());
    ++counts_.frames;
    idleRun_ = info.kind == LE_UTT_IDLE ? idleRun_ + 1 : 0;
    if (info.kind == LE_UTT_SPEECH) ++counts_.speech;
    else if (info.kind == LE_UTT_RAMP) ++counts_.ramp;
    else ++counts_.idle;
    kinds_.push_back(info.kind);
  }

  void pushAll(SpeechSource& source) {
    const size_t chunk = static_cast<size_t>(le::tool::kSpeechRate) * o_.chunkMs / 1000;
    std::vector<int16_t> buf(std::max<size_t>(chunk, 1));
    int64_t samples = 0;
    for (;;) {
      const size_t got = source.read(buf.data(), buf.size());
      std::unique_lock<std::mutex> lock(sh_.mu);
      const double tl = o_.lead + static_cast<double>(samples) / le::tool::kSpeechRate;
      if (got == 0) {
        if (o_.endMarks && samples > 0 && !sh_.interrupted) le_utt_end_utterance(utt_);
        sh_.audioEnd = tl;
        return;
      }
      waitToPush(tl, lock);
      if (sh_.stop) return;
      if (sh_.interrupted) {
        sh_.audioEnd = std::max(o_.lead, *o_.interruptAt);
        return;
      }
      if (le_utt_push_audio(utt_, buf.data(), static_cast<int>(got)) != 1)
        libraryFailure("pushing audio", le_utt_last_error());
      if (sh_.firstPushWall < 0) sh_.firstPushWall = msSince(t0_);
      sh_.pushed.append(buf.data(), got);
      samples += static_cast<int64_t>(got);
    }
  }

  void waitToPush(double tl, std::unique_lock<std::mutex>& lock) {
    if (o_.fast) {
      sh_.cv.wait(lock, [&] {
        return sh_.stop || sh_.interrupted || sh_.starved || static_cast<double>(sh_.pulled) / kFps >= tl;
      });
    } else {
      sh_.cv.wait_until(lock, t0_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(tl)),
                        [&] { return sh_.stop || sh_.interrupted; });
    }
  }

  const Options& o_;
  le_utt* const utt_;
  le::tool::Mp4Writer& mp4_;
  const size_t frameBytes_;
  const Clock::time_point t0_;
  const bool tty_;
  double lastDrawMs_ = -1000;
  Shared sh_;
  Counts counts_;
  std::vector<int32_t> kinds_;
  Stills stills_;
  // The puller's own state.
  int64_t uttBase_ = 0, lastSpeechNo_ = -1;
  int64_t idleRun_ = 0;  // idle frames since the last speech or ramp frame
  bool sawSpeech_ = false;
  double wallS_ = 0;
};

// How the pipeline ended: its counters, its render status, its stage report.
struct Ending {
  le_utt_stats st{};
  std::optional<le::tool::TeethCounts> teeth;
  char msg[1024] = {};
  int failures = 0;
  int status = 0;
  std::string stageLine;
};

// Reads the pipeline's last numbers, then destroys it: the stage report comes
// out of its destruction.
Ending endLive(Live& live, LibraryLog& log, bool teethAttached) {
  Ending e;
  le_utt_get_stats(live.utt.get(), &e.st);
  if (teethAttached) e.teeth = le::tool::teethCounts(live.utt.get());
  e.status = le_utt_render_status(live.utt.get(), e.msg, sizeof e.msg, &e.failures);
  live.utt.reset();
  e.stageLine = log.stageLine();
  return e;
}

// Evenly spaced over the kept frames; each labelled with its index and kind.
void writeSheet(const Options& o, const Timeline& t, int W, int H) {
  const Stills& stills = t.stills();
  const size_t want = std::min(stills.frames.size(), static_cast<size_t>(o.sheetFrames));
  std::vector<int> indices;
  for (size_t k = 0; k < want; ++k)
    indices.push_back(static_cast<int>(k * stills.frames.size() / want * stills.every));
  le::tool::ContactSheet sheet(indices, W, H);
  for (size_t k = 0; k < want; ++k) {
    const size_t s = k * stills.frames.size() / want;
    const int idx = static_cast<int>(s * stills.every);
    sheet.add(idx, stills.frames[s].data(), nullptr, kindName(t.kinds()[static_cast<size_t>(idx)]));
  }
  sheet.write(o.sheet);
}

void printSummary(const Options& o, const Timeline& t, const Live& live, const Ending& e) {
  const Counts& counts = t.counts();
  const Shared& sh = t.shared();
  const double wallS = t.wallSeconds();
  const double fps = wallS > 0 ? counts.frames / wallS : 0.0;
  std::fprintf(stderr,
               "le-live: wrote %s: %lld frames of %dx%d at %d fps (%lld idle, %lld speech, %lld ramp), %.2f s of "
               "speech pushed%s, in %.1f s (%.1f frames/s)\n",
               o.output.c_str(), static_cast<long long>(counts.frames), live.W, live.H, kFps,
               static_cast<long long>(counts.idle), static_cast<long long>(counts.speech),
               static_cast<long long>(counts.ramp), static_cast<double>(sh.pushed.total()) / le::tool::kSpeechRate,
               sh.interrupted ? " (interrupted)" : "", wallS, fps);
  std::fprintf(stderr,
               "le-live: stats: delivered %llu, speech %llu, utterances started %llu, first-frame latency %.1f ms, "
               "render %.1f ms per frame, state %d; render failures %d%s%s; engine warm in %.0f ms\n",
               static_cast<unsigned long long>(e.st.frames_delivered),
               static_cast<unsigned long long>(e.st.speech_frames_delivered),
               static_cast<unsigned long long>(e.st.first_frames), e.st.first_frame_latency_ms, e.st.render_ms,
               e.st.state, e.failures, e.msg[0] ? ": " : "", e.msg, live.warmMs);
  if (e.teeth) std::fprintf(stderr, "le-live: %s\n", le::tool::teethLine(*e.teeth).c_str());
}

// How the run ended, for the report and the last line.
std::string runStatus(const Timeline& t) {
  if (const int sig = le::tool::stopSignal()) return std::string("interrupted (") + le::tool::signalName(sig) + ")";
  if (t.shared().outputClosed) return "output closed by its reader";
  return "complete";
}

void appendf(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string& out, const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n > 0) out.append(buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
}

void writeReport(const Options& o, const Timeline& t, const Ending& e) {
  const Counts& counts = t.counts();
  const Shared& sh = t.shared();
  const double wallS = t.wallSeconds();
  const double fps = wallS > 0 ? counts.frames / wallS : 0.0;
  const double hostLatency =
      counts.firstSpeechWall >= 0 && sh.firstPushWall >= 0 ? counts.firstSpeechWall - sh.firstPushWall : -1;
  std::string r;
  appendf(r, "run_status: %s\n", runStatus(t).c_str());
  appendf(r, "frames: %lld\nidle_frames: %lld\nspeech_frames: %lld\nramp_frames: %lld\n",
          static_cast<long long>(counts.frames), static_cast<long long>(counts.idle),
          static_cast<long long>(counts.speech), static_cast<long long>(counts.ramp));
  appendf(r, "mode: %s\nrun_seconds: %.3f\nframes_per_second: %.2f\n", o.fast ? "fast" : "realtime", wallS, fps);
  if (o.fast) r += "late_frames: not measured\nmax_lateness_ms: not measured\n";
  else appendf(r, "late_frames: %lld\nmax_lateness_ms: %.1f\n", static_cast<long long>(counts.late), counts.maxLateMs);
  appendf(r, "speech_seconds_pushed: %.3f\ninterrupted: %s\n",
          static_cast<double>(sh.pushed.total()) / le::tool::kSpeechRate, sh.interrupted ? "yes" : "no");
  appendf(r, "first_frame_latency_ms: %.1f\nhost_first_frame_latency_ms: %.1f\n",
          e.st.first_frames ? e.st.first_frame_latency_ms : -1.0, hostLatency);
  appendf(r, "render_ms: %.3f\nrender_failures: %d\nrender_status: %s\n", e.st.render_ms, e.failures,
          e.msg[0] ? e.msg : "ok");
  const auto a = stageValue(e.stageLine, "stageA_ms"), b = stageValue(e.stageLine, "stageB_ms"),
             c = stageValue(e.stageLine, "stageC_ms");
  if (a && b && c && *a + *b + *c > 0) {
    const double sum = *a + *b + *c;
    appendf(r, "stage_share_render: %.1f%%\nstage_share_borrow: %.1f%%\nstage_share_paste: %.1f%%\n",
            100 * *a / sum, 100 * *b / sum, 100 * *c / sum);
  } else {
    r += "stage_shares: not measured\n";
  }
  std::string kindDigits;
  for (int32_t k : t.kinds()) kindDigits += static_cast<char>('0' + std::clamp(k, 0, 9));
  r += "kinds: " + kindDigits + "\n";
  if (e.teeth)
    appendf(r, "borrow_ok: %lld\nborrow_failures: %lld\nborrow_status: %s\n", static_cast<long long>(e.teeth->ok),
            static_cast<long long>(e.teeth->failures), e.teeth->state < 0 ? e.teeth->message.c_str() : "ok");
  r += "stage_report: " + (e.stageLine.empty() ? std::string("none") : e.stageLine) + "\n";
  le::tool::writeFileAtomically(o.report, r, "report");
}

// An explicitly named chunk director must be in the bundle; the default one
// is optional (the pipeline says so once when it is absent).
void checkSteady(const Options& o, const Bundle& b) {
  if (o.steady.empty() || o.steady == "-") return;
  const std::string member = "model_" + o.steady + ".onnx";
  char path[4096];
  if (le_bundle_resolve_member(b.dir.c_str(), member.c_str(), path, sizeof path) != 1)
    throw UsageError("--steady " + o.steady + ": no " + member + " in the bundle");
}

// The live page: the pipeline warm, then served until a signal.
int serve(const Options& o) {
#ifdef LE_LIVE_SERVE
  le::tool::ServeLog log(o.verbosity);  // first: outlives the pipeline
  const Bundle b = resolveBundle(o);
  checkSteady(o, b);
  loadFrontend(o, b.motion);
  Live live = startLive(o, b);
  if (o.teeth) le::tool::attachTeeth(live.utt.get(), b.dir);
  if (le::tool::stopSignal() != 0) return le::tool::kInterruptedStatus;
  return le::tool::serveLive(live.utt.get(), live.W, live.H, {*o.serve, "espeak-ng", o.verbosity}, log);
#else
  (void)o;
  throw std::runtime_error("this le-live was built without --serve (cpp-httplib or libturbojpeg was missing)");
#endif
}

int run(const Options& o) {
  if (o.serve) return serve(o);
  le::tool::OutputFile video(o.output, "video");
  if (!o.report.empty()) le::tool::checkOutputPath(o.report, "report");
  if (!o.sheet.empty()) le::tool::checkOutputPath(o.sheet, "contact sheet");
  SpeechSource source(o.audio);
  // The stage report is printed by the pipeline at destruction when asked;
  // no option of le_utt asks for it.
  const bool userStageReport = std::getenv("LE_UTT_STAGE_REPORT") != nullptr;
  if (!o.report.empty() && !userStageReport) ::setenv("LE_UTT_STAGE_REPORT", "1", 1);
  LibraryLog libraryLog(userStageReport, o.verbosity);
  const Bundle b = resolveBundle(o);
  checkSteady(o, b);
  loadFrontend(o, b.motion);
  Live live = startLive(o, b);
  if (o.teeth) le::tool::attachTeeth(live.utt.get(), b.dir);

  le::tool::Mp4Writer mp4(video.writePath(), live.W, live.H, kFps, o.crf, le::tool::AudioFormat{});
  Timeline timeline(o, live.utt.get(), mp4, static_cast<size_t>(live.W) * live.H * 3);
  timeline.play(source);
  if (timeline.shared().outputClosed) {
    std::fprintf(stderr, "le-live: standard output was closed by its reader after %lld frames; stopping\n",
                 static_cast<long long>(timeline.counts().frames));
    return 0;
  }
  const int sig = le::tool::stopSignal();
  if (sig != 0 && timeline.counts().frames == 0) {
    // Nothing to keep: existing outputs stay as they were.
    std::fprintf(stderr, "le-live: %s: stopped before the first frame; nothing was written\n",
                 le::tool::signalName(sig));
    return le::tool::kInterruptedStatus;
  }
  mp4.finish();
  video.commit();
  const Ending e = endLive(live, libraryLog, o.teeth);

  if (!o.sheet.empty() && !timeline.kinds().empty()) writeSheet(o, timeline, live.W, live.H);
  if (o.verbosity != le::tool::Verbosity::Quiet) printSummary(o, timeline, live, e);
  if (!o.report.empty()) writeReport(o, timeline, e);
  if (sig != 0) {
    std::fprintf(stderr, "le-live: %s: stopped after %lld frames; %s holds them\n", le::tool::signalName(sig),
                 static_cast<long long>(timeline.counts().frames), o.output.c_str());
    return le::tool::kInterruptedStatus;
  }
  if (e.teeth && e.teeth->state < 0) {
    std::fprintf(stderr, "le-live: the teeth borrow failed: %s (the video is kept)\n", e.teeth->message.c_str());
    return 1;
  }
  if (e.failures > 0) {
    std::fprintf(stderr, "le-live: %d render failure(s): %s (the video is kept)\n", e.failures, e.msg);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return le::tool::hostMain("le-live", le::tool::kLiveUsage, argc, argv, le::tool::parseLiveOptions, run);
}
