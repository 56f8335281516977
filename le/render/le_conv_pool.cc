// The fp16 engine's own workers: threads - 1 threads beside the caller, woken
// once per batch of jobs, jobs handed out through one atomic counter.
#include <stdexcept>

#include "le/render/conv_engine.h"

namespace le::conv {

Pool::Pool(int32_t threads, const Spawn& spawn) : size_(threads < 1 ? 1 : threads) {
  try {
    for (int32_t i = 1; i < size_; ++i) {
      std::function<void()> body = [this, i] { serve(i); };
      threads_.push_back(spawn ? spawn(std::move(body)) : std::thread(std::move(body)));
    }
  } catch (const std::exception& e) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
    throw std::runtime_error(std::string("le_conv: cannot start a worker thread: ") + e.what());
  }
}

Pool::~Pool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void Pool::work(int32_t worker) {
  for (;;) {
    const size_t job = next_.fetch_add(1, std::memory_order_relaxed);
    if (job >= jobs_) return;
    try {
      (*fn_)(job, worker);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!error_) error_ = std::current_exception();
      next_.store(jobs_, std::memory_order_relaxed);  // the rest is skipped
    }
  }
}

void Pool::serve(int32_t worker) noexcept {
  uint64_t seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
      if (stop_) return;
      seen = generation_;
    }
    work(worker);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (--busy_ == 0) done_.notify_all();
    }
  }
}

void Pool::run(size_t jobs, const std::function<void(size_t, int32_t)>& fn) {
  if (jobs == 0) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fn_ = &fn;
    jobs_ = jobs;
    next_.store(0, std::memory_order_relaxed);
    error_ = nullptr;
    busy_ = static_cast<int32_t>(threads_.size());
    ++generation_;
  }
  wake_.notify_all();
  work(0);
  std::exception_ptr error;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return busy_ == 0; });
    fn_ = nullptr;
    error = error_;
    error_ = nullptr;
  }
  if (error) std::rethrow_exception(error);
}

}  // namespace le::conv
