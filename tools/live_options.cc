#include "live_options.h"

#include <charconv>
#include <cmath>
#include <utility>
#include <vector>

#include "cli.h"
#include "le/le.h"

namespace le::tool {

const char kLiveUsage[] =
    "usage: le-live BUNDLE AUDIO -o OUT.mp4 [options]\n"
    "       le-live --serve [ADDRESS:PORT] BUNDLE [options]\n"
    "\n"
    "Plays speech into le_core's live pipeline (le_utt) and writes the frames it\n"
    "delivers, 25 fps at the driver's size, as an H.264 MP4 with the speech as AAC.\n"
    "Frame n is at n/25 s; the sound of each speech frame is the audio it was\n"
    "rendered from, idle and ramp frames are silent.\n"
    "\n"
    "  BUNDLE               bundle directory or IMX container\n"
    "  AUDIO                any audio file FFmpeg reads (resampled to 16 kHz mono), or -\n"
    "                       for raw 16 kHz s16le PCM on standard input\n"
    "  -o, --output FILE    MP4 to write; - streams Matroska (H.264, AAC) to standard output\n"
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
    "  --teeth              borrow teeth from the bundle's teeth members (bank, head) for every\n"
    "                       speech and ramp crop; a failed borrow stops delivery\n"
    "                       (without: the pipeline's silence gap ends it)\n"
    "  --sheet FILE         contact sheet PNG of evenly spaced frames with index and kind\n"
    "  --sheet-frames N     frames on the sheet (default 12)\n"
    "  --report FILE        run report: frames, frames/s, first-frame latency, stage shares\n"
    "  --crf N              H.264 quality, 0 best .. 51 worst (default 18)\n"
    "  -q, --quiet          errors only\n"
    "  -v, --verbose        also the library's info lines\n"
    "  --serve [ADDRESS:PORT]  instead of a video, serve a page showing the pipeline live\n"
    "                       (speak, upload a WAV, interrupt, live figures) on ADDRESS:PORT,\n"
    "                       default 127.0.0.1:8080; port 0 picks a free one\n"
    "  --version            versions of the tool, the library and onnxruntime\n"
    "  -h, --help           this text\n"
    "\n"
    "Outputs are written under a temporary name and renamed when complete. SIGINT or\n"
    "SIGTERM ends the video after the frames delivered so far and writes the report\n"
    "marked interrupted (exit status 130).\n";


namespace {

double parseSeconds(const std::string& text, const char* option) {
  double v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  // An hour bounds every timeline this tool is for.
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v) || v < 0 || v > 3600)
    throw UsageError(std::string(option) + " wants seconds in [0, 3600], got '" + text + "'");
  return v;
}

}  // namespace

std::optional<LiveOptions> parseLiveOptions(int argc, char** argv) {
  LiveOptions o;
  std::vector<std::string> positional;
  for (le::tool::ArgWalk args(argc, argv); args.next();) {
    const std::string& a = args.name();
    auto value = [&] { return args.value(); };
    if (a == "-h" || a == "--help") return std::nullopt;
    if (a == "-o" || a == "--output") o.output = value();
    else if (a == "--motion") o.motion = value();
    else if (a == "--model") o.model = value();
    else if (a == "--w2v") o.w2v = value();
    else if (a == "--threads") o.threads = parseInt(value(), "--threads", 1, LE_MAX_THREADS);
    else if (a == "--eager") o.eager = parseInt(value(), "--eager", -2, 1024);
    else if (a == "--steady") o.steady = value();
    else if (a == "--fast") o.fast = true;
    else if (a == "--serve") {
      o.serve = le::tool::ServeAddress{};
      if (args.remaining() > 0 && le::tool::looksLikeServeAddress(argv[argc - args.remaining()]))
        o.serve = le::tool::parseServeAddress(args.value());
    }
    else if (a == "--chunk-ms") o.chunkMs = parseInt(value(), "--chunk-ms", 1, 1000);
    else if (a == "--lead") o.lead = parseSeconds(value(), "--lead");
    else if (a == "--tail") o.tail = parseSeconds(value(), "--tail");
    else if (a == "--interrupt") o.interruptAt = parseSeconds(value(), "--interrupt");
    else if (a == "--end-marks") o.endMarks = true;
    else if (a == "--teeth") o.teeth = true;
    else if (a == "--sheet") o.sheet = value();
    else if (a == "--sheet-frames") o.sheetFrames = parseInt(value(), "--sheet-frames", 1, 64);
    else if (a == "--report") o.report = value();
    else if (a == "--crf") o.crf = parseInt(value(), "--crf", 0, 51);
    else if (a == "-q" || a == "--quiet") o.verbosity = le::tool::Verbosity::Quiet;
    else if (a == "-v" || a == "--verbose") o.verbosity = le::tool::Verbosity::Verbose;
    else if (args.isOption()) throw UsageError("unknown option " + a);
    else positional.push_back(a);
  }
  if (o.serve) {
    if (positional.size() != 1) throw UsageError("--serve takes one BUNDLE and no AUDIO");
    if (!o.output.empty()) throw UsageError("--serve writes no video; leave out -o");
    o.bundle = positional[0];
    return o;
  }
  if (positional.size() != 2)
    throw UsageError(positional.empty()       ? "no BUNDLE and AUDIO given"
                     : positional.size() == 1 ? "no AUDIO given (a WAV file or - for standard input)"
                                              : "more than one BUNDLE and AUDIO given");
  o.bundle = positional[0];
  o.audio = positional[1];
  if (o.output.empty()) throw UsageError("no output given (-o OUT.mp4)");
  for (const auto& [path, name] : {std::pair{&o.report, "--report"}, {&o.sheet, "--sheet"}})
    if (*path == "-") throw UsageError(std::string(name) + " - : standard output carries only the video");
  return o;
}

}  // namespace le::tool
