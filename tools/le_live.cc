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
#include "le/le.h"
#include "le/le_a2x.h"
#include "le/le_utt.h"
#include "mp4_writer.h"
#include "wav_reader.h"

namespace {

using le::tool::onlyModelKey;
using le::tool::parseInt;
using le::tool::UsageError;

using Clock = std::chrono::steady_clock;
constexpr int kFps = 25;
constexpr int kFrameSamples = le::tool::kSpeechRate / kFps;  // 640
constexpr int kSheetDefault = 12;
// A pipeline that publishes nothing for this long is stuck.
constexpr double kNoFrameSeconds = 20.0;
// --fast: an utterance that published nothing for this long is waiting for
// audio that the pushed timeline has not reached yet.
constexpr double kStarvedMs = 50.0;
// After the tail, a still-running utterance gets this much more timeline.
constexpr double kOverrunSeconds = 10.0;

const char kUsage[] =
    "usage: le-live BUNDLE AUDIO -o OUT.mp4 [options]\n"
    "\n"
    "Plays speech into le_core's live pipeline (le_utt) and writes the frames it\n"
    "delivers, 25 fps at the driver's size, as an H.264 MP4 with the speech as AAC.\n"
    "Frame n is at n/25 s; the sound of each speech frame is the audio it was\n"
    "rendered from, idle and ramp frames are silent.\n"
    "\n"
    "  BUNDLE               bundle directory or IMX container\n"
    "  AUDIO                WAV file, 16 kHz mono 16-bit PCM, or - for raw 16 kHz\n"
    "                       s16le PCM on standard input\n"
    "  -o, --output FILE    MP4 to write\n"
    "  --motion DIR         audio model directory (default: the bundle directory)\n"
    "  --w2v FILE           audio frontend of the streaming engine (default: $W2V_ONNX,\n"
    "                       else w2v/w2v.onnx in the audio model directory)\n"
    "  --model KEY          director member model_KEY.onnx (default: the bundle's only one)\n"
    "  --threads N          director and engine threads (default: chosen by the library)\n"
    "  --eager N            engine eager frames: -2 hybrid, 1 or more fixed (default: the library's)\n"
    "  --steady NAME        chunk director model_NAME.onnx, - for none (default: the library's)\n"
    "  --fast               as fast as the pipeline goes instead of the wall clock\n"
    "  --chunk-ms N         audio pushed per call, 1 .. 1000 ms (default 20)\n"
    "  --lead SECONDS       idle before the first push (default 0.4)\n"
    "  --tail SECONDS       idle after the last push (default 1.0)\n"
    "  --interrupt SECONDS  interrupt at this time of the timeline; no audio is pushed after it\n"
    "  --end-marks          mark the end of the utterance right after the last push\n"
    "                       (without: the pipeline's silence gap ends it)\n"
    "  --sheet FILE         contact sheet PNG of evenly spaced frames with index and kind\n"
    "  --sheet-frames N     frames on the sheet (default 12)\n"
    "  --report FILE        run report: frames, frames/s, first-frame latency, stage shares\n"
    "  --crf N              H.264 quality, 0 best .. 51 worst (default 18)\n"
    "  -h, --help           this text\n";

struct Options {
  std::string bundle, audio, output, motion, w2v, model, sheet, report, steady;
  int threads = 0;
  int eager = 0;
  bool fast = false;
  int chunkMs = 20;
  double lead = 0.4, tail = 1.0;
  std::optional<double> interruptAt;
  bool endMarks = false;
  int sheetFrames = kSheetDefault;
  int crf = 18;
};

double parseSeconds(const std::string& text, const char* option) {
  double v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  // An hour bounds every timeline this tool is for.
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v) || v < 0 || v > 3600)
    throw UsageError(std::string(option) + " wants seconds in [0, 3600], got '" + text + "'");
  return v;
}

// Returns nullopt when --help was asked for.
std::optional<Options> parse(int argc, char** argv) {
  Options o;
  std::vector<std::string> positional;
  for (le::tool::ArgWalk args(argc, argv); args.next();) {
    const std::string& a = args.name();
    auto value = [&] { return args.value(); };
    if (a == "-h" || a == "--help") return std::nullopt;
    if (a == "-o" || a == "--output") o.output = value();
    else if (a == "--motion") o.motion = value();
    else if (a == "--model") o.model = value();
    else if (a == "--w2v") o.w2v = value();
    else if (a == "--threads") o.threads = parseInt(value(), "--threads", 1, 1024);
    else if (a == "--eager") o.eager = parseInt(value(), "--eager", -2, 1024);
    else if (a == "--steady") o.steady = value();
    else if (a == "--fast") o.fast = true;
    else if (a == "--chunk-ms") o.chunkMs = parseInt(value(), "--chunk-ms", 1, 1000);
    else if (a == "--lead") o.lead = parseSeconds(value(), "--lead");
    else if (a == "--tail") o.tail = parseSeconds(value(), "--tail");
    else if (a == "--interrupt") o.interruptAt = parseSeconds(value(), "--interrupt");
    else if (a == "--end-marks") o.endMarks = true;
    else if (a == "--sheet") o.sheet = value();
    else if (a == "--sheet-frames") o.sheetFrames = parseInt(value(), "--sheet-frames", 1, 64);
    else if (a == "--report") o.report = value();
    else if (a == "--crf") o.crf = parseInt(value(), "--crf", 0, 51);
    else if (args.isOption()) throw UsageError("unknown option " + a);
    else positional.push_back(a);
  }
  if (positional.size() != 2)
    throw UsageError(positional.empty()       ? "no BUNDLE and AUDIO given"
                     : positional.size() == 1 ? "no AUDIO given (a WAV file or - for standard input)"
                                              : "more than one BUNDLE and AUDIO given");
  o.bundle = positional[0];
  o.audio = positional[1];
  if (o.output.empty()) throw UsageError("no output given (-o OUT.mp4)");
  return o;
}

[[noreturn]] void libraryFailure(const std::string& what, const char* err) {
  throw std::runtime_error(what + (err && *err ? std::string(": ") + err : std::string()));
}

// Where the speech comes from: a whole WAV in memory, or standard input as it
// arrives.
class SpeechSource {
 public:
  explicit SpeechSource(const std::string& audio) : stdin_(audio == "-") {
    if (!stdin_) wav_ = le::tool::readWav(audio);
  }
  size_t read(int16_t* out, size_t n) {
    if (stdin_) return le::tool::readRawSamples(stdin, out, n);
    const size_t k = std::min(n, wav_.size() - at_);
    std::copy_n(wav_.begin() + static_cast<std::ptrdiff_t>(at_), k, out);
    at_ += k;
    return k;
  }

 private:
  bool stdin_;
  std::vector<int16_t> wav_;
  size_t at_ = 0;
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
  std::vector<int16_t> pushed;
  double firstPushWall = -1;   // ms since the start, host clock
  std::string error;
};

struct Counts {
  int64_t frames = 0, idle = 0, speech = 0, ramp = 0;
  double firstSpeechWall = -1;  // ms since the start
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
  explicit LibraryLog(bool passStage) : passStage_(passStage) { le_log_set(&LibraryLog::line, this); }
  ~LibraryLog() { le_log_set(nullptr, nullptr); }
  LibraryLog(const LibraryLog&) = delete;
  LibraryLog& operator=(const LibraryLog&) = delete;

  std::string stageLine() {
    std::lock_guard<std::mutex> lock(mu_);
    return stage_;
  }

 private:
  static void line(int, const char* text, void* user) {
    auto* self = static_cast<LibraryLog*>(user);
    const bool stage = std::strncmp(text, "[le_utt-stage]", 14) == 0;
    if (stage) {
      std::lock_guard<std::mutex> lock(self->mu_);
      self->stage_ = text;
    }
    if (!stage || self->passStage_) std::fprintf(stderr, "%s\n", text);
  }

  const bool passStage_;
  std::mutex mu_;
  std::string stage_;
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

int run(const Options& o, bool& created) {
  SpeechSource source(o.audio);
  char dirBuf[4096];
  if (le_bundle_resolve_handle(o.bundle.c_str(), dirBuf, sizeof dirBuf) != 1)
    libraryFailure("cannot open the bundle", le_last_error());
  const std::string dir = dirBuf;
  const std::string key = o.model.empty() ? onlyModelKey(dir) : o.model;
  const std::string motion = o.motion.empty() ? dir : o.motion;

  // The stage report is printed by the pipeline at destruction when asked;
  // no option of le_utt asks for it.
  const bool userStageReport = std::getenv("LE_UTT_STAGE_REPORT") != nullptr;
  if (!o.report.empty() && !userStageReport) ::setenv("LE_UTT_STAGE_REPORT", "1", 1);
  LibraryLog libraryLog(userStageReport);
  loadFrontend(o, motion);

  std::unique_ptr<le_ctx, void (*)(le_ctx*)> ctx(le_create(dir.c_str(), key.c_str(), o.threads, nullptr), le_destroy);
  if (!ctx) libraryFailure("cannot open the bundle", le_last_error());
  const int W = le_width(ctx.get()), H = le_height(ctx.get());
  const size_t frameBytes = static_cast<size_t>(W) * H * 3;

  le_utt_opts uo{};
  uo.motion_dir = motion.c_str();
  uo.threads = o.threads;
  uo.eager = o.eager;
  uo.steady_model = o.steady.empty() ? nullptr : o.steady.c_str();
  le_utt* rawUtt = le_utt_create(ctx.get(), &uo);
  if (!rawUtt) libraryFailure("cannot start the live pipeline", le_utt_last_error());
  std::unique_ptr<le_utt, void (*)(le_utt*)> utt(rawUtt, le_utt_destroy);

  // Speech before the engine is warm would only wait; the timeline starts warm.
  const auto warmStart = Clock::now();
  for (;;) {
    const int r = le_utt_ready(utt.get());
    if (r == 1) break;
    if (r < 0) libraryFailure("the audio engine did not start", le_utt_last_error());
    if (msSince(warmStart) > 120e3) throw std::runtime_error("the audio engine did not warm up in 120 s");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const double warmMs = msSince(warmStart);

  le::tool::Mp4Writer mp4(o.output, W, H, kFps, o.crf, le::tool::AudioFormat{});
  created = true;

  Shared sh;
  Counts counts;
  std::vector<int32_t> kinds;
  // Frames kept for the sheet: stills[i] is frame i x keepEvery; keepEvery
  // doubles as the run grows, so at most twice the sheet's frames are held.
  std::vector<std::vector<uint8_t>> stills;
  int64_t keepEvery = 1;
  const auto t0 = Clock::now();

  // The interrupt falls at its time of the timeline: the wall clock, or with
  // --fast between the frames before and after it. Under the push lock: no
  // push can land after it.
  auto interruptWhenDue = [&](double frameTime) {
    if (!o.interruptAt) return;
    const double now = o.fast ? frameTime : msSince(t0) / 1000.0;
    std::lock_guard<std::mutex> lock(sh.mu);
    if (sh.interrupted || now < *o.interruptAt) return;
    sh.interrupted = true;
    le_utt_interrupt(utt.get());
    sh.cv.notify_all();
  };

  // The puller: one frame per 40 ms of wall clock (or as they come), the
  // interrupt at its timeline time, video and the frame's sound into the MP4.
  std::thread puller([&] {
    try {
      std::vector<uint8_t> frame(frameBytes);
      std::vector<int16_t> sound(kFrameSamples);
      int64_t uttBase = 0, lastSpeechNo = -1;
      int64_t idleRun = 0;  // idle frames since the last speech or ramp frame
      bool sawSpeech = false;
      for (int64_t n = 0;; ++n) {
        const double tl = static_cast<double>(n) / kFps;
        {
          std::unique_lock<std::mutex> lock(sh.mu);
          if (sh.stop) return;
          if (sh.pushDone) {
            le_utt_stats st{};
            le_utt_get_stats(utt.get(), &st);
            const double end = sh.audioEnd + o.tail;
            // Speech that outlasts the pushes (the pipeline's latency) still
            // gets the tail's idle frames after it.
            const bool settled = st.state == 0 && (sawSpeech || sh.interrupted || sh.pushed.empty()) &&
                                 idleRun >= std::max<int64_t>(1, std::llround(o.tail * kFps));
            if (tl >= end && (settled || tl >= end + kOverrunSeconds)) return;
          }
        }
        if (!o.fast) std::this_thread::sleep_until(t0 + std::chrono::microseconds(n * 1000000 / kFps));
        interruptWhenDue(tl);
        le_utt_frame_info info{};
        const auto waitStart = Clock::now();
        while (le_utt_pull_frame(utt.get(), frame.data(), frame.size(), &info) != 1) {
          const char* e = le_utt_last_error();
          if (e && *e) throw std::runtime_error(std::string("pulling a frame: ") + e);
          interruptWhenDue(tl);
          // An engine that needs more audio than the pulled timeline has
          // released would wait for it forever (or until the silence gap cuts
          // the utterance): release audio until a frame comes.
          if (o.fast && msSince(waitStart) > kStarvedMs) {
            le_utt_stats st{};
            le_utt_get_stats(utt.get(), &st);
            if (st.state == 1 || st.state == 2) {
              std::lock_guard<std::mutex> lock(sh.mu);
              if (!sh.starved) {
                sh.starved = true;
                sh.cv.notify_all();
              }
            }
          }
          if (msSince(waitStart) > kNoFrameSeconds * 1000)
            throw std::runtime_error("the pipeline delivered no frame for " +
                                     std::to_string(static_cast<int>(kNoFrameSeconds)) + " s");
          std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        std::fill(sound.begin(), sound.end(), int16_t{0});
        if (info.kind == LE_UTT_SPEECH && info.speech_number >= 0) {
          if (!sawSpeech) counts.firstSpeechWall = msSince(t0);
          // A new utterance in one pushed stream continues where the last
          // one's frames ended (to within its final partial frame).
          if (info.speech_number == 0 && lastSpeechNo >= 0) uttBase += (lastSpeechNo + 1) * kFrameSamples;
          lastSpeechNo = info.speech_number;
          sawSpeech = true;
          const int64_t from = uttBase + static_cast<int64_t>(info.speech_number) * kFrameSamples;
          std::lock_guard<std::mutex> lock(sh.mu);
          const auto size = static_cast<int64_t>(sh.pushed.size());
          for (int64_t i = 0; i < kFrameSamples && from + i < size; ++i)
            sound[static_cast<size_t>(i)] = sh.pushed[static_cast<size_t>(from + i)];
        }
        mp4.write(frame.data());
        mp4.writeAudio(sound.data(), sound.size());
        ++counts.frames;
        idleRun = info.kind == LE_UTT_IDLE ? idleRun + 1 : 0;
        if (info.kind == LE_UTT_SPEECH) ++counts.speech;
        else if (info.kind == LE_UTT_RAMP) ++counts.ramp;
        else ++counts.idle;
        kinds.push_back(info.kind);
        if (!o.sheet.empty()) {
          if (stills.size() >= static_cast<size_t>(2 * o.sheetFrames)) {
            keepEvery *= 2;
            std::vector<std::vector<uint8_t>> kept;
            for (size_t i = 0; i < stills.size(); i += 2) kept.push_back(std::move(stills[i]));
            stills.swap(kept);
          }
          if (n % keepEvery == 0) stills.push_back(frame);
        }
        {
          std::lock_guard<std::mutex> lock(sh.mu);
          sh.pulled = n + 1;
          sh.starved = false;
        }
        sh.cv.notify_all();
      }
    } catch (const std::exception& e) {
      std::lock_guard<std::mutex> lock(sh.mu);
      sh.error = e.what();
      sh.stop = true;
      sh.cv.notify_all();
    } catch (...) {
      std::lock_guard<std::mutex> lock(sh.mu);
      sh.error = "unknown failure";
      sh.stop = true;
      sh.cv.notify_all();
    }
  });

  // The pusher: each chunk at its timeline time.
  try {
    const size_t chunk = static_cast<size_t>(le::tool::kSpeechRate) * o.chunkMs / 1000;
    std::vector<int16_t> buf(std::max<size_t>(chunk, 1));
    auto waitFor = [&](double tl, std::unique_lock<std::mutex>& lock) {
      if (o.fast) {
        sh.cv.wait(lock, [&] {
          return sh.stop || sh.interrupted || sh.starved || static_cast<double>(sh.pulled) / kFps >= tl;
        });
      } else {
        sh.cv.wait_until(lock, t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(tl)),
                         [&] { return sh.stop || sh.interrupted; });
      }
    };
    int64_t samples = 0;
    for (;;) {
      const size_t got = source.read(buf.data(), buf.size());
      std::unique_lock<std::mutex> lock(sh.mu);
      const double tl = o.lead + static_cast<double>(samples) / le::tool::kSpeechRate;
      if (got == 0) {
        if (o.endMarks && samples > 0 && !sh.interrupted) le_utt_end_utterance(utt.get());
        sh.audioEnd = tl;
        break;
      }
      waitFor(tl, lock);
      if (sh.stop) break;
      if (sh.interrupted) {
        sh.audioEnd = std::max(o.lead, *o.interruptAt);
        break;
      }
      if (le_utt_push_audio(utt.get(), buf.data(), static_cast<int>(got)) != 1)
        libraryFailure("pushing audio", le_utt_last_error());
      if (sh.firstPushWall < 0) sh.firstPushWall = msSince(t0);
      sh.pushed.insert(sh.pushed.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(got));
      samples += static_cast<int64_t>(got);
    }
  } catch (...) {
    {
      std::lock_guard<std::mutex> lock(sh.mu);
      sh.stop = true;
      sh.cv.notify_all();
    }
    puller.join();
    throw;
  }
  {
    std::lock_guard<std::mutex> lock(sh.mu);
    sh.pushDone = true;
  }
  sh.cv.notify_all();
  puller.join();
  if (!sh.error.empty()) throw std::runtime_error(sh.error);
  const double wallS = msSince(t0) / 1000.0;

  mp4.finish();

  le_utt_stats st{};
  le_utt_get_stats(utt.get(), &st);
  char msg[1024] = {};
  int failures = 0;
  const int status = le_utt_render_status(utt.get(), msg, sizeof msg, &failures);
  utt.reset();
  const std::string stageLine = libraryLog.stageLine();

  if (!o.sheet.empty()) {
    // Evenly spaced over the kept frames; each labelled with its index and kind.
    const size_t want = std::min(stills.size(), static_cast<size_t>(o.sheetFrames));
    std::vector<int> indices;
    for (size_t k = 0; k < want; ++k) indices.push_back(static_cast<int>(k * stills.size() / want * keepEvery));
    le::tool::ContactSheet sheet(indices, W, H);
    for (size_t k = 0; k < want; ++k) {
      const size_t s = k * stills.size() / want;
      const int idx = static_cast<int>(s * keepEvery);
      sheet.add(idx, stills[s].data(), nullptr, kindName(kinds[static_cast<size_t>(idx)]));
    }
    sheet.write(o.sheet);
  }

  const double fps = wallS > 0 ? counts.frames / wallS : 0.0;
  const double hostLatency =
      counts.firstSpeechWall >= 0 && sh.firstPushWall >= 0 ? counts.firstSpeechWall - sh.firstPushWall : -1;
  std::fprintf(stderr,
               "le-live: wrote %s: %lld frames of %dx%d at %d fps (%lld idle, %lld speech, %lld ramp), %.2f s of "
               "speech pushed%s, in %.1f s (%.1f frames/s)\n",
               o.output.c_str(), static_cast<long long>(counts.frames), W, H, kFps,
               static_cast<long long>(counts.idle), static_cast<long long>(counts.speech),
               static_cast<long long>(counts.ramp), static_cast<double>(sh.pushed.size()) / le::tool::kSpeechRate,
               sh.interrupted ? " (interrupted)" : "", wallS, fps);
  std::fprintf(stderr,
               "le-live: stats: delivered %llu, speech %llu, utterances started %llu, first-frame latency %.1f ms, "
               "render %.1f ms per frame, state %d; render failures %d%s%s; engine warm in %.0f ms\n",
               static_cast<unsigned long long>(st.frames_delivered),
               static_cast<unsigned long long>(st.speech_frames_delivered),
               static_cast<unsigned long long>(st.first_frames), st.first_frame_latency_ms, st.render_ms, st.state,
               failures, msg[0] ? ": " : "", msg, warmMs);

  if (!o.report.empty()) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(o.report.c_str(), "w"), std::fclose);
    if (!f) throw std::runtime_error("cannot write " + o.report);
    std::fprintf(f.get(), "frames: %lld\nidle_frames: %lld\nspeech_frames: %lld\nramp_frames: %lld\n",
                 static_cast<long long>(counts.frames), static_cast<long long>(counts.idle),
                 static_cast<long long>(counts.speech), static_cast<long long>(counts.ramp));
    std::fprintf(f.get(), "mode: %s\nrun_seconds: %.3f\nframes_per_second: %.2f\n", o.fast ? "fast" : "realtime",
                 wallS, fps);
    std::fprintf(f.get(), "speech_seconds_pushed: %.3f\ninterrupted: %s\n",
                 static_cast<double>(sh.pushed.size()) / le::tool::kSpeechRate, sh.interrupted ? "yes" : "no");
    std::fprintf(f.get(), "first_frame_latency_ms: %.1f\nhost_first_frame_latency_ms: %.1f\n",
                 st.first_frames ? st.first_frame_latency_ms : -1.0, hostLatency);
    std::fprintf(f.get(), "render_ms: %.3f\nrender_failures: %d\nrender_status: %s\n", st.render_ms, failures,
                 msg[0] ? msg : "ok");
    const auto a = stageValue(stageLine, "stageA_ms"), b = stageValue(stageLine, "stageB_ms"),
               c = stageValue(stageLine, "stageC_ms");
    if (a && b && c && *a + *b + *c > 0) {
      const double sum = *a + *b + *c;
      std::fprintf(f.get(), "stage_share_render: %.1f%%\nstage_share_borrow: %.1f%%\nstage_share_paste: %.1f%%\n",
                   100 * *a / sum, 100 * *b / sum, 100 * *c / sum);
    } else {
      std::fprintf(f.get(), "stage_shares: not measured\n");
    }
    std::string kindDigits;
    for (int32_t k : kinds) kindDigits += static_cast<char>('0' + std::clamp(k, 0, 9));
    std::fprintf(f.get(), "kinds: %s\n", kindDigits.c_str());
    std::fprintf(f.get(), "stage_report: %s\n", stageLine.empty() ? "none" : stageLine.c_str());
    if (std::ferror(f.get())) throw std::runtime_error("cannot write " + o.report);
  }
  if (status < 0) {
    std::fprintf(stderr, "le-live: rendering failed: %s (the video is kept)\n", msg);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return le::tool::hostMain("le-live", kUsage, argc, argv, parse, run);
}
