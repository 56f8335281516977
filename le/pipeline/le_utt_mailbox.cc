#include <algorithm>
#include <exception>
#include <functional>
#include <utility>

#include "le/pipeline/mailbox.h"

namespace le::utt {

bool Mailbox::post(Request req) {
  std::lock_guard<std::mutex> lock(mu_);
  if (pending_ || working_ || done_) return false;
  req_ = std::move(req);
  pending_ = true;
  cv_.notify_all();
  return true;
}

bool Mailbox::take(Response& out) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!done_) return false;
  out = std::move(resp_);
  resp_ = Response{};
  done_ = false;
  return true;
}

bool Mailbox::busy() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pending_ || working_ || done_;
}

void Mailbox::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
}

Response Mailbox::run(Engine& engine, Request& req) {
  Response r;
  r.generation = req.generation;
  r.utterance = req.utterance;
  r.finishSent = req.finish;
  try {
    if (req.reset) engine.reset(req.start, req.direction);
    if (req.eager != 0) engine.setEager(req.eager);
    if (!req.audio.empty()) engine.push(req.audio.data(), static_cast<int64_t>(req.audio.size()));
    if (req.finish) engine.finish();
    int32_t avail = engine.avail();
    if (avail < 0) avail = 0;
    if (req.maxPull >= 1 && avail >= 1) {
      const int32_t n = std::min(req.maxPull, avail);
      r.idx.resize(static_cast<size_t>(n));
      r.target.resize(static_cast<size_t>(n) * kKpFloats);
      r.driven.resize(static_cast<size_t>(n) * kKpFloats);
      int32_t got = engine.pull(r.idx.data(), r.target.data(), r.driven.data(), n);
      got = std::clamp(got, int32_t{0}, n);
      r.pulled = got;
      r.idx.resize(static_cast<size_t>(got));
      r.target.resize(static_cast<size_t>(got) * kKpFloats);
      r.driven.resize(static_cast<size_t>(got) * kKpFloats);
    }
    r.avail = std::max(avail - r.pulled, int32_t{0});
    r.total = engine.total();
  } catch (const std::exception& e) {
    r.error = e.what()[0] ? e.what() : "unknown failure";
  } catch (...) {
    r.error = "unknown failure";
  }
  return r;
}

void Mailbox::serve(const std::function<Engine*()>& engine,
                    const std::function<void()>& onDone) noexcept {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [&] { return stop_ || pending_; });
    if (stop_) return;
    Request req = std::move(req_);
    req_ = Request{};
    pending_ = false;
    working_ = true;
    lock.unlock();
    Response r;
    Engine* e = engine ? engine() : nullptr;
    if (e == nullptr) {
      r.generation = req.generation;
      r.utterance = req.utterance;
      r.finishSent = req.finish;
      r.error = "no engine";
    } else {
      r = run(*e, req);
    }
    lock.lock();
    resp_ = std::move(r);
    working_ = false;
    done_ = true;
    lock.unlock();
    try {
      if (onDone) onDone();
    } catch (...) {
    }
    lock.lock();
  }
}

}  // namespace le::utt
