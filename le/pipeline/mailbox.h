// The dispatch mailbox: one request at a time from the run thread to the
// dispatch thread, the only thread that calls the engine. Requests and
// responses carry the generation they were made for, so the run thread can
// recognise a response that an interrupt made stale.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "le/pipeline/engine.h"

namespace le::utt {

struct Request {
  std::vector<float> audio;
  bool reset = false;
  int32_t start = 0;
  int32_t direction = 1;
  bool finish = false;
  int32_t eager = 0;  // 0: leave unchanged
  int32_t maxPull = 0;
  uint64_t generation = 0;
  uint64_t utterance = 0;  // run-thread serial: a closed utterance's response is stale too
};

struct Response {
  int32_t pulled = 0;
  std::vector<int32_t> idx;
  std::vector<float> target;  // pulled x 63
  std::vector<float> driven;  // pulled x 63
  int32_t avail = 0;          // frames the engine still holds
  int32_t total = -1;
  bool finishSent = false;    // the request carried the finish
  std::string error;          // non-empty: an engine call threw
  uint64_t generation = 0;
  uint64_t utterance = 0;
};

class Mailbox {
 public:
  // Run thread: posts a request; false when one is still pending or in work.
  bool post(Request req);
  // Run thread: takes the completed response, if any.
  bool take(Response& out);
  // True between post and the take of its response.
  bool busy() const;

  // Dispatch thread body: serves requests on the engine `engine()` returns
  // (installed by the warm-up before the first request) until stop(). Every
  // engine call runs outside the lock; nothing escapes.
  void serve(const std::function<Engine*()>& engine, const std::function<void()>& onDone) noexcept;
  void stop();

 private:
  static Response run(Engine& engine, Request& req);

  mutable std::mutex mu_;
  std::condition_variable cv_;
  Request req_;
  Response resp_;
  bool pending_ = false;  // posted, not yet taken by the dispatch thread
  bool working_ = false;  // taken, response not yet stored
  bool done_ = false;     // response stored, not yet taken by the run thread
  bool stop_ = false;
};

}  // namespace le::utt
