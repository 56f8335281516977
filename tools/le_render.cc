// le-render: renders a bundle's drive table (or keypoint rows from a file)
// through le_core into an H.264 MP4, with optional PNG stills and a contact
// sheet. One-line errors carry the library's last-error text; exit status 1
// for failures, 2 for usage errors.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "contact_sheet.h"
#include "input_file.h"
#include "le/le.h"
#include "le/le_stream.h"
#include "mp4_writer.h"
#include "output_file.h"
#include "progress.h"
#include "stop_signal.h"
#include "wav_reader.h"

namespace {

using le::tool::onlyModelKey;
using le::tool::parseInt;
using le::tool::UsageError;

using Clock = std::chrono::steady_clock;
constexpr int kFps = 25;
constexpr int kKpFloats = 63;
constexpr int kSheetDefault = 9;
constexpr int64_t kFrameSamples = 640;  // one frame of speech at 25 fps

const char kUsage[] =
    "usage: le-render BUNDLE -o OUT.mp4 [options]\n"
    "\n"
    "Renders a bundle's own drive table (or driving keypoints from a file) with\n"
    "le_core and writes an H.264 MP4 of the driver's size at 25 fps.\n"
    "\n"
    "  BUNDLE              bundle directory or IMX container\n"
    "  -o, --output FILE   MP4 to write; - streams Matroska to standard output\n"
    "  --model KEY         director member model_KEY.onnx (default: the bundle's only one)\n"
    "  --threads N         director threads (default: chosen by the library)\n"
    "  --frames N          render only the first N frames\n"
    "  --keypoints FILE    driving keypoints, N rows of 63 float32 (21 x, y, z), frame k\n"
    "                      on driver frame k mod NT, instead of the drive table\n"
    "  --png-every K DIR   also write every K-th frame as DIR/frame_NNNNNN.png\n"
    "  --sheet FILE        contact sheet PNG: chosen frames in a grid with their indices\n"
    "  --sheet-frames LIST comma-separated frame indices (default: 9 evenly spaced)\n"
    "  --crf N             H.264 quality, 0 best .. 51 worst (default 18)\n"
    "  --audio FILE        speak FILE (any audio file FFmpeg reads) instead: the whole clip\n"
    "                      is rendered with the bundle's model_render.onnx and fca_stream.onnx\n"
    "                      and muxed into the MP4 as AAC\n"
    "  --frontend FILE     speech frontend model for --audio (default: the bundle's\n"
    "                      frontend.onnx)\n"
    "  --gain G            --audio: scale of every expression delta (default 1)\n"
    "  --skip N            --audio: leading frames (and their audio) left out (default 0)\n"
    "  -q, --quiet         errors only\n"
    "  -v, --verbose       also the library's info lines\n"
    "  --version           versions of the tool, the library and onnxruntime\n"
    "  -h, --help          this text\n"
    "\n"
    "Outputs are written under a temporary name and renamed when complete. SIGINT or\n"
    "SIGTERM ends the video after the frames encoded so far (exit status 130).\n";

struct Options {
  std::string bundle, output, model, keypoints, pngDir, sheet, audio, frontend;
  float gain = 1.0f;
  int skip = 0;
  int threads = 0;
  std::optional<int> frames;
  int pngEvery = 0;
  std::vector<int> sheetFrames;
  int crf = 18;
  le::tool::Verbosity verbosity = le::tool::Verbosity::Normal;
};

float parseGain(std::string_view text) {
  double v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v) || std::fabs(v) > 1e6)
    throw UsageError("--gain wants a finite number, got '" + std::string(text) + "'");
  return static_cast<float>(v);
}

std::vector<int> parseList(std::string_view text) {
  std::vector<int> out;
  while (!text.empty()) {
    const size_t comma = text.find(',');
    out.push_back(parseInt(text.substr(0, comma), "--sheet-frames", 0, 1 << 30));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  if (out.empty()) throw UsageError("--sheet-frames wants a list such as 0,10,20");
  return out;
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
    else if (a == "--model") o.model = value();
    else if (a == "--threads") o.threads = parseInt(value(), "--threads", 1, LE_MAX_THREADS);
    else if (a == "--frames") o.frames = parseInt(value(), "--frames", 1, 1 << 30);
    else if (a == "--keypoints") o.keypoints = value();
    else if (a == "--png-every") {
      if (args.remaining() < 2) throw UsageError("--png-every wants two values (K DIR)");
      o.pngEvery = parseInt(value(), "--png-every", 1, 1 << 30);
      o.pngDir = value();
    } else if (a == "--sheet") o.sheet = value();
    else if (a == "--sheet-frames") o.sheetFrames = parseList(value());
    else if (a == "--crf") o.crf = parseInt(value(), "--crf", 0, 51);
    else if (a == "--audio") o.audio = value();
    else if (a == "--frontend") o.frontend = value();
    else if (a == "--gain") o.gain = parseGain(value());
    else if (a == "--skip") o.skip = parseInt(value(), "--skip", 0, 1 << 30);
    else if (a == "-q" || a == "--quiet") o.verbosity = le::tool::Verbosity::Quiet;
    else if (a == "-v" || a == "--verbose") o.verbosity = le::tool::Verbosity::Verbose;
    else if (args.isOption()) throw UsageError("unknown option " + a);
    else positional.push_back(a);
  }
  if (positional.size() != 1) throw UsageError(positional.empty() ? "no BUNDLE given" : "more than one BUNDLE given");
  o.bundle = positional[0];
  if (o.output.empty()) throw UsageError("no output given (-o OUT.mp4)");
  for (const auto& [path, name] : {std::pair{&o.sheet, "--sheet"}, {&o.pngDir, "--png-every"}})
    if (*path == "-") throw UsageError(std::string(name) + " - : standard output carries only the video");
  if (!o.audio.empty()) {
    // The stream renders every frame of the clip with its own model key and
    // never shows the driver frame alone.
    for (const auto& [set, name] : {std::pair{!o.keypoints.empty(), "--keypoints"}, {!o.model.empty(), "--model"},
                                    {o.frames.has_value(), "--frames"}, {!o.sheet.empty(), "--sheet"}})
      if (set) throw UsageError(std::string(name) + " does not go with --audio");
  } else if (!o.frontend.empty() || o.skip != 0 || o.gain != 1.0f) {
    throw UsageError("--frontend, --gain and --skip need --audio");
  }
  return o;
}

[[noreturn]] void libraryFailure(const char* what) {
  const char* e = le_last_error();
  throw std::runtime_error(std::string(what) + (e && *e ? std::string(": ") + e : std::string()));
}

// A file of exactly `bytes` bytes, checked before it is read.
std::string readExact(const std::string& path, uint64_t bytes, const char* what) {
  le::tool::InputFile f(path, ~uint64_t{0}, what);
  if (f.size() != bytes)
    throw std::runtime_error(std::string(what) + " " + path + " holds " + std::to_string(f.size()) +
                             " bytes, expected " + std::to_string(bytes));
  return f.readAll();
}

std::string resolveMember(const std::string& dir, const char* member) {
  char out[4096];
  if (le_bundle_resolve_member(dir.c_str(), member, out, sizeof out) != 1) libraryFailure(member);
  return out;
}

// What frame k renders: the drive entry, or the file's row k on driver frame
// k mod NT. The file's rows are read one per frame as the run reaches them.
struct Plan {
  int total = 0;
  std::vector<int32_t> si;      // driver frame per output frame
  std::vector<float> ks;        // keypoint mode: target rows (NT x 63)
  std::unique_ptr<le::tool::InputFile> kd;  // keypoint mode: the driving rows
  bool keypoints = false;
  // Keypoint mode: the driving row of frame k, frames asked for in order.
  const float* drivingRow(int k) {
    if (k != nextRow_) throw std::logic_error("driving rows are read in order");
    kd->read(row_.data(), sizeof(float) * row_.size());
    ++nextRow_;
    return row_.data();
  }

 private:
  std::array<float, kKpFloats> row_{};
  int nextRow_ = 0;
};

Plan planDrive(le_ctx* ctx, const std::string& dir) {
  Plan p;
  p.total = le_drive_frames(ctx);
  const int nt = le_nt(ctx);
  const std::string path = resolveMember(dir, "drive/si.i32");
  const std::string bytes = readExact(path, static_cast<uint64_t>(p.total) * 4, "drive table");
  p.si.resize(p.total);
  std::memcpy(p.si.data(), bytes.data(), bytes.size());
  for (int32_t s : p.si)
    if (s < 0 || s >= nt) throw std::runtime_error("drive table " + path + ": frame index out of range");
  return p;
}

Plan planKeypoints(le_ctx* ctx, const std::string& dir, const std::string& file) {
  Plan p;
  p.keypoints = true;
  const int nt = le_nt(ctx);
  const size_t row = kKpFloats * sizeof(float);
  // Only its size is looked at here; the rows are read as frames need them.
  p.kd = std::make_unique<le::tool::InputFile>(file, ~uint64_t{0}, "keypoints");
  const uint64_t bytes = p.kd->size();
  if (bytes == 0 || bytes % row)
    throw std::runtime_error("keypoints " + file + ": " + std::to_string(bytes) +
                             " bytes is not a whole number of rows of 63 float32");
  if (bytes / row > uint64_t(1) << 30) throw std::runtime_error("keypoints " + file + ": too many rows");
  p.total = static_cast<int>(bytes / row);
  const std::string target = resolveMember(dir, "xs_target.bin");
  const std::string t = readExact(target, static_cast<uint64_t>(nt) * row, "target keypoints");
  p.ks.resize(t.size() / sizeof(float));
  std::memcpy(p.ks.data(), t.data(), t.size());
  p.si.resize(p.total);
  for (int k = 0; k < p.total; ++k) p.si[k] = k % nt;
  return p;
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Every output is checked before the bundle is opened: a bad path costs no
// render. The stills directory is made here.
void checkOutputs(const Options& o) {
  if (!o.sheet.empty()) le::tool::checkOutputPath(o.sheet, "contact sheet");
  if (o.pngEvery > 0) le::tool::makeOutputDir(o.pngDir, "stills directory");
}

void writeStill(const Options& o, int k, const uint8_t* rgb, int w, int h) {
  if (o.pngEvery <= 0 || k % o.pngEvery != 0) return;
  char name[32];
  std::snprintf(name, sizeof name, "/frame_%06d.png", k);
  le::tool::writePng(o.pngDir + name, rgb, w, h);
}

// What the last lines say about a run that a signal stopped.
int stopped(const Options& o, int done, int total) {
  const char* sig = le::tool::signalName(le::tool::stopSignal());
  if (done == 0)
    std::fprintf(stderr, "le-render: %s: stopped before the first frame; %s was not written\n", sig, o.output.c_str());
  else
    std::fprintf(stderr, "le-render: %s: stopped after %d of %d frames; %s holds them\n", sig, done, total,
                 o.output.c_str());
  return le::tool::kInterruptedStatus;
}

// A run that a signal stopped before its first frame leaves the old file be.
void commitUnlessEmpty(le::tool::OutputFile& video, int frames) {
  if (frames > 0 || le::tool::stopSignal() == 0) video.commit();
}

struct Times {
  Clock::duration render{}, driver{}, paste{}, encode{};
  double firstRenderMs = 0;
};

void printSummary(const Options& o, const Times& t, int frames, int W, int H, double wall, double openMs) {
  if (o.verbosity == le::tool::Verbosity::Quiet) return;
  const int steady = frames > 1 ? frames - 1 : 1;
  const double r = ms(t.render) / steady, d = ms(t.driver) / frames, p = ms(t.paste) / frames,
               e = ms(t.encode) / frames;
  const double sum = r + d + p + e > 0 ? r + d + p + e : 1;
  std::fprintf(stderr, "le-render: wrote %s: %d frames of %dx%d at %d fps in %.1f s (%.1f frames/s)\n",
               o.output.c_str(), frames, W, H, kFps, wall, wall > 0 ? frames / wall : 0.0);
  std::fprintf(stderr,
               "le-render: %.1f ms per frame: render %.1f (%.0f%%), driver %.1f (%.0f%%), paste %.1f (%.0f%%), "
               "encode %.1f (%.0f%%); bundle opened in %.0f ms, director built on the first frame in %.0f ms\n",
               sum, r, 100 * r / sum, d, 100 * d / sum, p, 100 * p / sum, e, 100 * e / sum, openMs, t.firstRenderMs);
}

int run(const Options& o) {
  le::tool::ToolLog log(o.verbosity);
  le::tool::OutputFile video(o.output, "video");
  checkOutputs(o);
  char dirBuf[4096];
  if (le_bundle_resolve_handle(o.bundle.c_str(), dirBuf, sizeof dirBuf) != 1) libraryFailure("cannot open the bundle");
  const std::string dir = dirBuf;
  const std::string key = o.model.empty() ? onlyModelKey(dir) : o.model;

  const auto tOpen = Clock::now();
  std::unique_ptr<le_ctx, void (*)(le_ctx*)> ctx(le_create(dir.c_str(), key.c_str(), o.threads, nullptr), le_destroy);
  if (!ctx) libraryFailure("cannot open the bundle");
  const double openMs = ms(Clock::now() - tOpen);
  const int W = le_width(ctx.get()), H = le_height(ctx.get());

  Plan plan = o.keypoints.empty() ? planDrive(ctx.get(), dir) : planKeypoints(ctx.get(), dir, o.keypoints);
  if (plan.total < 1) throw std::runtime_error("the bundle's drive table is empty");
  if (o.frames) {
    if (*o.frames > plan.total)
      throw std::runtime_error("--frames " + std::to_string(*o.frames) + " but " +
                               (plan.keypoints ? "the keypoint file has " : "the drive table has ") +
                               std::to_string(plan.total) + " frames");
    plan.total = *o.frames;
  }
  std::vector<int> sheetFrames = o.sheetFrames;
  if (!o.sheet.empty() && sheetFrames.empty())
    for (int k = 0; k < std::min(kSheetDefault, plan.total); ++k)
      sheetFrames.push_back(static_cast<int>(static_cast<int64_t>(k) * plan.total / std::min(kSheetDefault, plan.total)));
  for (int f : sheetFrames)
    if (f >= plan.total)
      throw std::runtime_error("--sheet-frames " + std::to_string(f) + " is past the last frame " +
                               std::to_string(plan.total - 1));
  le::tool::ContactSheet sheet(sheetFrames, W, H);

  const size_t frameBytes = static_cast<size_t>(W) * H * 3;
  std::vector<uint8_t> driverCopy;
  le::tool::Progress progress("le-render", plan.total, o.verbosity == le::tool::Verbosity::Quiet);
  Times t;
  const auto tStart = Clock::now();
  int done = 0;
  {
    le::tool::Mp4Writer mp4(video.writePath(), W, H, kFps, o.crf);
    try {
      for (int k = 0; k < plan.total && le::tool::stopSignal() == 0; ++k) {
        const int si = plan.si[k];
        const auto t0 = Clock::now();
        const float* crop = plan.keypoints
                                ? le_render_kp_crop(ctx.get(), si, &plan.ks[static_cast<size_t>(si) * kKpFloats],
                                                    plan.drivingRow(k))
                                : le_render_drive_crop(ctx.get(), k);
        if (!crop) libraryFailure(("frame " + std::to_string(k)).c_str());
        const auto t1 = Clock::now();
        const uint8_t* drv = le_target_frame(ctx.get(), si);
        if (!drv) libraryFailure(("frame " + std::to_string(k)).c_str());
        const bool forSheet = sheet.wants(k);
        if (forSheet) driverCopy.assign(drv, drv + frameBytes);
        const auto t2 = Clock::now();
        const uint8_t* out = le_paste_last(ctx.get(), si);
        if (!out) libraryFailure(("frame " + std::to_string(k)).c_str());
        const auto t3 = Clock::now();
        mp4.write(out);
        const auto t4 = Clock::now();
        writeStill(o, k, out, W, H);
        if (forSheet) sheet.add(k, out, driverCopy.data());
        // The first render builds the director; it is reported on its own.
        if (k == 0 && plan.total > 1) t.firstRenderMs = ms(t1 - t0);
        else t.render += t1 - t0;
        t.driver += t2 - t1;
        t.paste += t3 - t2;
        t.encode += t4 - t3;
        done = k + 1;
        progress.update(done);
      }
      mp4.finish();
    } catch (...) {
      progress.finish();
      throw;
    }
    progress.finish();
  }
  commitUnlessEmpty(video, done);
  if (le::tool::stopSignal() != 0) return stopped(o, done, plan.total);
  if (!o.sheet.empty()) sheet.write(o.sheet);
  const double wall = std::chrono::duration<double>(Clock::now() - tStart).count();
  printSummary(o, t, plan.total, W, H, wall, openMs);
  return 0;
}

// --audio: the whole clip through le_stream, frames muxed with the speech
// they were rendered from.
struct AudioSink {
  const Options& o;
  le::tool::Mp4Writer& mp4;
  le::tool::Progress& progress;
  const int16_t* pcm;
  size_t pcmCount, pcmDone;
  std::string error;  // the first failure ends the run
  int written = 0;
  void audioUpTo(size_t end) {
    end = std::min(end, pcmCount);
    if (end > pcmDone) mp4.writeAudio(pcm + pcmDone, end - pcmDone);
    pcmDone = std::max(pcmDone, end);
  }
  // C callback: nothing may be thrown back through the library; non-zero stops.
  static int onFrame(void* user, int index, const uint8_t* rgb, int w, int h) {
    auto* s = static_cast<AudioSink*>(user);
    try {
      s->audioUpTo((size_t(index) + 1) * kFrameSamples);
      s->mp4.write(rgb);
      writeStill(s->o, index, rgb, w, h);
      ++s->written;
      s->progress.update(s->written);
    } catch (const std::exception& e) {
      s->error = std::string("frame ") + std::to_string(index) + ": " + e.what();
      return 1;
    }
    return le::tool::stopSignal() != 0 ? 1 : 0;
  }
};

int runAudio(const Options& o) {
  le::tool::ToolLog log(o.verbosity);
  le::tool::OutputFile video(o.output, "video");
  checkOutputs(o);
  const std::vector<int16_t> pcm = le::tool::readSpeech(o.audio);
  if (pcm.empty()) throw std::runtime_error("audio " + o.audio + " holds no samples");
  char dirBuf[4096];
  if (le_bundle_resolve_handle(o.bundle.c_str(), dirBuf, sizeof dirBuf) != 1) libraryFailure("cannot open the bundle");
  const std::string dir = dirBuf;
  const std::string frontend = o.frontend.empty() ? resolveMember(dir, "frontend.onnx") : o.frontend;

  const auto tOpen = Clock::now();
  std::unique_ptr<le_stream, void (*)(le_stream*)> stream(
      le_stream_create(dir.c_str(), frontend.c_str(), o.threads, o.skip, o.gain), le_stream_destroy);
  if (!stream) throw std::runtime_error(std::string("cannot open the bundle: ") + le_stream_last_error());
  const double openMs = ms(Clock::now() - tOpen);
  const int W = le_stream_width(stream.get()), H = le_stream_height(stream.get());
  const int64_t clip = (int64_t(pcm.size()) + kFrameSamples - 1) / kFrameSamples;
  if (clip <= o.skip)
    throw std::runtime_error("--skip " + std::to_string(o.skip) + " leaves none of the clip's " +
                             std::to_string(clip) + " frames");
  const int total = int(clip - o.skip);

  std::vector<float> samples(pcm.size());
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = float(pcm[i]) / 32768.0f;

  le::tool::Progress progress("le-render", total, o.verbosity == le::tool::Verbosity::Quiet);
  const auto tStart = Clock::now();
  int n = 0;
  {
    le::tool::Mp4Writer mp4(video.writePath(), W, H, kFps, o.crf,
                            le::tool::AudioFormat{le::tool::kSpeechRate, 1, 64000});
    // The skipped frames' speech is left out with them; each frame's 640
    // samples go in beside it so the muxer interleaves as it goes.
    const size_t first = std::min(pcm.size(), size_t(o.skip) * kFrameSamples);
    AudioSink sink{o, mp4, progress, pcm.data() + first, pcm.size() - first, 0, {}, 0};
    n = le_stream_run(stream.get(), samples.data(), int(samples.size()), &AudioSink::onFrame, &sink);
    progress.finish();
    if (!sink.error.empty()) throw std::runtime_error(sink.error);
    if (n < 0) throw std::runtime_error(le_stream_last_error());
    if (le::tool::stopSignal() == 0) {
      if (n != total)
        throw std::runtime_error("the stream delivered " + std::to_string(n) + " of " + std::to_string(total) +
                                 " frames");
      sink.audioUpTo(sink.pcmCount);  // the last frame's partial share
    }
    mp4.finish();
  }
  commitUnlessEmpty(video, n);
  if (le::tool::stopSignal() != 0) return stopped(o, n, total);
  const double wall = std::chrono::duration<double>(Clock::now() - tStart).count();
  if (o.verbosity != le::tool::Verbosity::Quiet)
    std::fprintf(stderr, "le-render: wrote %s: %d frames of %dx%d at %d fps with %.2f s of speech in %.1f s "
                 "(%.1f frames/s); bundle opened in %.0f ms\n",
                 o.output.c_str(), total, W, H, kFps, double(pcm.size()) / le::tool::kSpeechRate, wall,
                 wall > 0 ? total / wall : 0.0, openMs);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return le::tool::hostMain("le-render", kUsage, argc, argv, parse,
                            [](const Options& o) { return o.audio.empty() ? run(o) : runAudio(o); });
}
