#include "live_server.h"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "frame_board.h"
#include "jpeg_encoder.h"
#include "live_figures.h"
#include "live_page.h"
#include "speech_synth.h"
#include "stop_signal.h"

namespace le::tool {

ServeLog::ServeLog(Verbosity v) : log_(v, [this](int level, const char* text) { return note(level, text); }) {}

bool ServeLog::note(int level, const char* text) {
  std::lock_guard<std::mutex> lock(mu_);
  // Warnings stay on show; onnxruntime's allocation notes would bury the
  // library's own lines.
  if (level <= LE_LOG_WARNING) {
    ++warnings_;
    last_ = text;
    lastIsWarning_ = true;
  } else if (!lastIsWarning_ && std::strncmp(text, "[le", 3) == 0) {
    last_ = text;
  }
  return false;  // standard error still gets it, as the verbosity says
}

std::string ServeLog::lastLine() {
  std::lock_guard<std::mutex> lock(mu_);
  return last_;
}

int ServeLog::warnings() {
  std::lock_guard<std::mutex> lock(mu_);
  return warnings_;
}

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr auto kFramePeriod = std::chrono::microseconds(40000);  // 25 fps
// A producer further behind than this starts its schedule afresh rather
// than pulling a burst of frames to catch up.
constexpr auto kMaxBehind = milliseconds(200);
// Speech is pushed in one-second pieces.
constexpr size_t kPushPiece = 16000;
// Enough handler threads for several viewers, each holding a stream and an
// event connection, beside the short requests.
constexpr size_t kHandlerThreads = 32;
constexpr const char* kBoundary = "lelive-frame";
constexpr int kSendBufferBytes = 256 * 1024;

void answer(httplib::Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text + "\n", "text/plain; charset=utf-8");
}

class LiveServer {
 public:
  LiveServer(le_utt* utt, int width, int height, const ServeOptions& o, ServeLog& log)
      : utt_(utt), width_(width), height_(height), o_(o), log_(log), t0_(Clock::now()) {}

  int run() {
    routes();
    const int port = bind();
    std::printf("serving http://%s:%d/\n", urlHost().c_str(), port);
    std::fflush(stdout);
    std::atomic<bool> listenEnded{false};
    std::thread producer([this] { produce(); });
    std::thread listener([&] {
      try {
        svr_.listen_after_bind();
      } catch (...) {
        fail("the server stopped unexpectedly");
      }
      listenEnded = true;
    });
    while (stopSignal() == 0 && !failed_ && !listenEnded) std::this_thread::sleep_for(milliseconds(50));
    // Streams and event connections wake on the closed board and end; the
    // server joins its handler threads before listen returns.
    board_.close();
    {
      std::lock_guard<std::mutex> lock(stopMu_);
      stopping_ = true;
    }
    stopCv_.notify_all();
    while (!svr_.is_running() && !listenEnded) std::this_thread::sleep_for(milliseconds(5));
    svr_.stop();
    listener.join();
    producer.join();
    if (failed_) {
      std::fprintf(stderr, "le-live: %s\n", failure().c_str());
      return 1;
    }
    if (const int sig = stopSignal()) {
      std::fprintf(stderr, "le-live: %s: stopped serving after %llu frames\n", signalName(sig),
                   static_cast<unsigned long long>(figures_.frames()));
      return kInterruptedStatus;
    }
    return 0;
  }

 private:
  std::string urlHost() const {
    return o_.address.host.find(':') != std::string::npos ? "[" + o_.address.host + "]" : o_.address.host;
  }

  int bind() {
    const std::string shown = o_.address.host + ":" + std::to_string(o_.address.port);
    if (o_.address.port == 0) {
      const int port = svr_.bind_to_any_port(o_.address.host);
      if (port <= 0) throw std::runtime_error("cannot listen on " + shown);
      return port;
    }
    if (!svr_.bind_to_port(o_.address.host, o_.address.port))
      throw std::runtime_error("cannot listen on " + shown + " (in use, or not an address of this machine)");
    return o_.address.port;
  }

  void routes() {
    svr_.new_task_queue = [] { return new httplib::ThreadPool(kHandlerThreads); };
    // Not the library's SO_REUSEPORT: a second server on a port in use must
    // fail, not share the port. A small send buffer (accepted sockets inherit
    // it) keeps a slow viewer a few frames behind at most, not seconds.
    svr_.set_socket_options([](auto sock) {
      const int yes = 1, sendBuffer = kSendBufferBytes;
      ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
      ::setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    });
    svr_.set_payload_max_length(kMaxBodyBytes);
    svr_.set_keep_alive_timeout(1);
    svr_.Get("/", [](const httplib::Request&, httplib::Response& res) {
      res.set_header("Cache-Control", "no-store");
      res.set_content(kLivePage, "text/html; charset=utf-8");
    });
    svr_.Get("/stream", [this](const httplib::Request&, httplib::Response& res) { stream(res); });
    svr_.Get("/events", [this](const httplib::Request&, httplib::Response& res) { events(res); });
    svr_.Post("/speak", [this](const httplib::Request& req, httplib::Response& res) { speak(req, res); });
    svr_.Post("/audio", [this](const httplib::Request& req, httplib::Response& res) { audio(req, res); });
    svr_.Post("/interrupt", [this](const httplib::Request&, httplib::Response& res) {
      {
        std::lock_guard<std::mutex> lock(pushMu_);
        le_utt_interrupt(utt_);
      }
      answer(res, 200, "interrupted");
    });
    // Every refusal carries a line of text saying why.
    svr_.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
      if (!res.body.empty()) return;
      if (res.status == 413)
        answer(res, 413, "the body is larger than " + std::to_string(kMaxBodyBytes >> 20) + " MB");
      else if (res.status == 404)
        answer(res, 404, "no such page: " + req.path);
      else
        answer(res, res.status, "request refused (HTTP " + std::to_string(res.status) + ")");
    });
    svr_.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
      std::string why = "unknown failure";
      try {
        if (ep) std::rethrow_exception(ep);
      } catch (const std::exception& e) {
        why = e.what();
      } catch (...) {
      }
      answer(res, 500, why);
    });
  }

  // Pulls one frame per period (or as they come when the pipeline is
  // behind), encodes it once and publishes it.
  void produce() {
    try {
      JpegEncoder jpeg;
      std::vector<uint8_t> frame(static_cast<size_t>(width_) * height_ * 3);
      auto due = Clock::now();
      while (!stopping_) {
        std::this_thread::sleep_until(due);
        le_utt_frame_info info{};
        if (le_utt_pull_frame(utt_, frame.data(), frame.size(), &info) != 1) {
          const char* e = le_utt_last_error();
          if (e && *e) throw std::runtime_error(std::string("pulling a frame: ") + e);
          std::this_thread::sleep_for(milliseconds(1));
          continue;
        }
        const auto encodeStart = Clock::now();
        auto bytes = std::make_shared<const std::string>(jpeg.encode(frame.data(), width_, height_));
        const auto now = Clock::now();
        figures_.onFrame(seconds(now), info.kind,
                         std::chrono::duration<double, std::milli>(now - encodeStart).count());
        board_.publish(std::move(bytes), info.kind);
        due += kFramePeriod;
        if (now - due > kMaxBehind) due = now;
      }
    } catch (const std::exception& e) {
      fail(e.what());
    } catch (...) {
      fail("the frame producer failed");
    }
  }

  void stream(httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    ++viewers_;
    res.set_chunked_content_provider(
        std::string("multipart/x-mixed-replace; boundary=") + kBoundary,
        [this, last = uint64_t(0)](size_t, httplib::DataSink& sink) mutable {
          const auto shot = board_.waitNewer(last, milliseconds(500));
          if (board_.closed()) return false;
          if (!shot) return true;
          last = shot->sequence;
          const std::string head = std::string("--") + kBoundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                   std::to_string(shot->jpeg->size()) + "\r\n\r\n";
          return sink.write(head.data(), head.size()) && sink.write(shot->jpeg->data(), shot->jpeg->size()) &&
                 sink.write("\r\n", 2);
        },
        [this](bool) { --viewers_; });
  }

  void events(httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "text/event-stream", [this, first = true](size_t, httplib::DataSink& sink) mutable {
          // The first figures at once, then once a second.
          if (!first) {
            std::unique_lock<std::mutex> lock(stopMu_);
            stopCv_.wait_for(lock, std::chrono::seconds(1), [&] { return stopping_.load(); });
          }
          first = false;
          if (stopping_) return false;
          const std::string event = "data: " + figuresJson() + "\n\n";
          return sink.write(event.data(), event.size());
        });
  }

  std::string figuresJson() {
    le_utt_stats st{};
    le_utt_get_stats(utt_, &st);
    LibraryStatus lib;
    char msg[512] = {};
    le_utt_render_status(utt_, msg, sizeof msg, &lib.renderFailures);
    lib.renderMessage = msg;
    lib.logLine = log_.lastLine();
    lib.logWarnings = log_.warnings();
    return figures_.json(seconds(Clock::now()), st, lib, viewers_.load());
  }

  void speak(const httplib::Request& req, httplib::Response& res) {
    if (const std::string problem = speakTextProblem(req.body); !problem.empty()) return answer(res, 400, problem);
    std::vector<int16_t> speech;
    try {
      speech = synthesiseSpeech(o_.speaker, req.body);
    } catch (const std::exception& e) {
      return answer(res, 500, e.what());
    }
    push(speech, res);
  }

  void audio(const httplib::Request& req, httplib::Response& res) {
    if (!isWavBody(req.body)) return answer(res, 415, "not a WAV file (the body has no RIFF/WAVE header)");
    std::vector<int16_t> speech;
    try {
      speech = decodeWavBody(req.body);
    } catch (const std::exception& e) {
      return answer(res, 400, e.what());
    }
    push(speech, res);
  }

  // The whole utterance at once, marked ended: the pipeline paces itself
  // by the frames pulled.
  void push(const std::vector<int16_t>& speech, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(pushMu_);
    for (size_t at = 0; at < speech.size(); at += kPushPiece) {
      const int n = static_cast<int>(std::min(kPushPiece, speech.size() - at));
      if (le_utt_push_audio(utt_, speech.data() + at, n) != 1)
        return answer(res, 500, std::string("pushing audio: ") + le_utt_last_error());
    }
    le_utt_end_utterance(utt_);
    char text[64];
    std::snprintf(text, sizeof text, "speaking %.2f s", static_cast<double>(speech.size()) / 16000.0);
    answer(res, 200, text);
  }

  double seconds(Clock::time_point t) const { return std::chrono::duration<double>(t - t0_).count(); }

  void fail(const std::string& why) {
    std::lock_guard<std::mutex> lock(failMu_);
    if (!failed_) failure_ = why;
    failed_ = true;
  }
  std::string failure() {
    std::lock_guard<std::mutex> lock(failMu_);
    return failure_;
  }

  le_utt* const utt_;
  const int width_, height_;
  const ServeOptions& o_;
  ServeLog& log_;
  const Clock::time_point t0_;
  httplib::Server svr_;
  FrameBoard board_;
  LiveFigures figures_;
  std::mutex pushMu_;  // one pusher at a time: one utterance's audio stays together
  std::atomic<int> viewers_{0};
  std::atomic<bool> stopping_{false};
  std::mutex stopMu_;
  std::condition_variable stopCv_;
  std::atomic<bool> failed_{false};
  std::mutex failMu_;
  std::string failure_;
};

}  // namespace

int serveLive(le_utt* utt, int width, int height, const ServeOptions& o, ServeLog& log) {
  LiveServer server(utt, width, height, o, log);
  return server.run();
}

}  // namespace le::tool
