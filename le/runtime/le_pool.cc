#include "le/runtime/le_pool.h"

#include <pthread.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "le/runtime/env.h"
#include "le/runtime/log.h"

namespace le::pool {

void nameThread(std::thread& t, const char* name) noexcept {
  char shortName[16] = {};
  for (size_t i = 0; i + 1 < sizeof shortName && name[i]; ++i) shortName[i] = name[i];
  ::pthread_setname_np(t.native_handle(), shortName);
}

namespace {

// Set while this thread runs a chunk of its own parallel call; a nested call
// then runs inline instead of posting to the pool it is already waiting on.
thread_local bool tInside = false;

struct InsideScope {
  InsideScope() { tInside = true; }
  ~InsideScope() { tInside = false; }
  InsideScope(const InsideScope&) = delete;
  InsideScope& operator=(const InsideScope&) = delete;
};

// Decimal value of a set, non-empty variable, clamped to [1, kMaxThreads];
// false when unset, empty or not a whole decimal number (which is reported
// and ignored).
bool parseThreads(const char* name, const char* text, int64_t& out) {
  if (text == nullptr || *text == '\0') return false;
  const std::optional<env::Whole> v = env::parseWhole(text);
  if (!v) {
    log::linef(log::Level::Warning, "[le] %s=\"%s\" is not a whole number; ignored", name, text);
    return false;
  }
  out = std::clamp<int64_t>(v->value, 1, kMaxThreads);
  return true;
}

}  // namespace

int threadsFrom(const char* coreThreads, const char* pasteThreads, unsigned hardware) {
  int64_t v = 4;
  if (!parseThreads("LE_CORE_THREADS", coreThreads, v))
    if (!parseThreads("LE_PASTE_THREADS", pasteThreads, v)) v = 4;
  if (hardware > 0 && v > static_cast<int64_t>(hardware)) v = hardware;
  return static_cast<int>(v);
}

int threads() {
  static const int n = [] {
    const std::optional<std::string> core = env::text("LE_CORE_THREADS");
    const std::optional<std::string> paste = env::text("LE_PASTE_THREADS");
    return threadsFrom(core ? core->c_str() : nullptr, paste ? paste->c_str() : nullptr,
                       std::thread::hardware_concurrency());
  }();
  return n;
}

int partsFor(size_t n, size_t grain, int threads) {
  if (threads < 2) return 1;
  const size_t q = n / std::max<size_t>(grain, 1);
  return q > 1 ? static_cast<int>(std::min<size_t>(q, static_cast<size_t>(threads))) : 1;
}

int parts(size_t n, size_t grain) { return partsFor(n, grain, threads()); }

bool available() { return true; }

Chunk chunkOf(size_t n, int parts, int k) {
  const size_t p = static_cast<size_t>(std::max(parts, 1));
  const size_t chunk = n / p + (n % p != 0);  // ceil without the n - 1 + p overflow
  const size_t kk = static_cast<size_t>(std::max(k, 0));
  if (chunk == 0 || kk >= p) return {n, n};
  // kk * chunk <= n + p - 1 - chunk, which stays below n for every kk < p
  // whose chunk is non-empty; clamp the rest to an empty chunk at n.
  if (kk > (n - 1) / chunk) return {n, n};
  const size_t begin = kk * chunk;
  return {begin, chunk > n - begin ? n : begin + chunk};
}

Pool::Pool(int size) : size_(std::max(size, 1)) {
  workers_.reserve(static_cast<size_t>(size_ - 1));
  try {
    for (int i = 1; i < size_; ++i) workers_.emplace_back([this, i] { serve(i); });
  } catch (...) {
    // Starting a thread failed: stop and join the ones already running.
    {
      std::lock_guard<std::mutex> lk(mutex_);
      stop_ = true;
      ++generation_;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
    throw;
  }
}

Pool::~Pool() {
  {
    std::lock_guard<std::mutex> lk(mutex_);
    stop_ = true;
    ++generation_;
  }
  wake_.notify_all();
  for (std::thread& t : workers_) t.join();
}

// noexcept: chunk exceptions are caught below; a failing mutex is not
// recoverable and must not unwind out of the thread.
void Pool::serve(int index) noexcept {
  uint64_t seen = 0;
  for (;;) {
    std::unique_lock<std::mutex> lk(mutex_);
    wake_.wait(lk, [&] { return generation_ != seen; });
    if (stop_) return;
    seen = generation_;
    const RangeRef* job = job_;
    const uint64_t n = n_;
    const int p = parts_;
    lk.unlock();

    // Every worker takes part in every generation, with or without a chunk,
    // so the caller's wait for pending == 0 covers all of them.
    std::exception_ptr err;
    if (index < p && job != nullptr) {
      const Chunk c = chunkOf(n, p, index);
      if (c.begin < c.end) {
        try {
          (*job)(c.begin, c.end);
        } catch (...) {
          err = std::current_exception();
        }
      }
    }

    lk.lock();
    if (err && !error_) error_ = err;
    if (--pending_ == 0) done_.notify_one();
  }
}

void Pool::run(size_t n, int parts, RangeRef fn) {
  parts = std::min(parts, size_);
  if (tInside || parts < 2) {
    fn(0, n);
    return;
  }
  InsideScope inside;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    job_ = &fn;
    n_ = n;
    parts_ = parts;
    pending_ = static_cast<int>(workers_.size());
    error_ = nullptr;
    ++generation_;
  }
  wake_.notify_all();

  // Chunk 0 here; its exception waits like the others, since the workers
  // still reference fn until pending reaches 0.
  std::exception_ptr mine;
  try {
    const Chunk c = chunkOf(n, parts, 0);
    fn(c.begin, c.end);
  } catch (...) {
    mine = std::current_exception();
  }

  std::exception_ptr first;
  {
    std::unique_lock<std::mutex> lk(mutex_);
    if (mine && !error_) error_ = mine;
    done_.wait(lk, [&] { return pending_ == 0; });
    job_ = nullptr;
    first = std::move(error_);
    error_ = nullptr;
  }
  if (first) std::rethrow_exception(first);
}

void parallelRangeRef(size_t n, size_t grain, RangeRef fn) {
  if (tInside) {
    fn(0, n);
    return;
  }
  const int p = parts(n, grain);
  if (p < 2) {
    fn(0, n);
    return;
  }
  thread_local std::unique_ptr<Pool> pool;
  if (!pool) pool = std::make_unique<Pool>(threads());
  pool->run(n, p, fn);
}

}  // namespace le::pool
