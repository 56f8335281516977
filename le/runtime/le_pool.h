// Data-parallel loops over an index range. Each calling thread owns a small
// pool of workers (created on its first call that splits, joined at its exit);
// the caller runs the first chunk itself and returns when every chunk is done.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace le::pool {

// Non-owning reference to a callable of (begin, end): the job is referenced,
// never copied, so a parallel call allocates nothing.
class RangeRef {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, RangeRef>>>
  RangeRef(F& fn) noexcept  // NOLINT: implicit by design
      : obj_(const_cast<void*>(static_cast<const void*>(&fn))),
        call_([](void* o, size_t b, size_t e) { (*static_cast<F*>(o))(b, e); }) {}
  void operator()(size_t begin, size_t end) const { call_(obj_, begin, end); }

 private:
  void* obj_;
  void (*call_)(void*, size_t, size_t);
};

// Hard ceiling on any thread count, whatever the environment or a caller
// says: a typo such as 10000 must not start ten thousand threads.
inline constexpr int kMaxThreads = 256;

// Pool size: LE_CORE_THREADS, else LE_PASTE_THREADS, else 4; values below 1
// count as 1; capped by the hardware concurrency. Computed once per process.
int threads();

// Names a started thread as ps, top and gdb show it (at most 15 bytes are
// kept); a failure only leaves the inherited name. Named by the starter, so
// the name is in place before the starter returns.
void nameThread(std::thread& t, const char* name) noexcept;

// The same rule as a pure function of the two variables' texts (null when
// unset) and the hardware concurrency (0 when unknown).
int threadsFrom(const char* coreThreads, const char* pasteThreads, unsigned hardware);

// Chunks a call of n items with the given grain is split into.
int parts(size_t n, size_t grain);
int partsFor(size_t n, size_t grain, int threads);

// Calls fn(begin, end) over disjoint chunks covering [0, n). The first
// exception thrown by any chunk is rethrown here once all chunks finished.
void parallelRangeRef(size_t n, size_t grain, RangeRef fn);

template <class F>
void parallelRange(size_t n, size_t grain, F&& fn) {
  parallelRangeRef(n, grain, RangeRef(fn));
}

bool available();

// Bounds of chunk k when [0, n) is cut into `parts` chunks of ceil(n / parts)
// (the last one shorter or empty). Never overflows, even for n near SIZE_MAX.
struct Chunk {
  size_t begin;
  size_t end;
};
Chunk chunkOf(size_t n, int parts, int k);

// A fixed set of size - 1 workers serving one owning thread. parallelRange
// keeps one per calling thread; tests and benchmarks build their own sizes.
class Pool {
 public:
  explicit Pool(int size);
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  int size() const { return size_; }

  // Runs fn over `parts` chunks of [0, n) (clamped to size()); chunk 0 on the
  // calling thread. Inline as fn(0, n) when parts < 2 or when the calling
  // thread is already inside a parallel call. Only the owning thread may call.
  void run(size_t n, int parts, RangeRef fn);

 private:
  void serve(int index) noexcept;

  int size_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const RangeRef* job_ = nullptr;
  uint64_t n_ = 0;
  int parts_ = 1;
  int pending_ = 0;
  uint64_t generation_ = 0;
  bool stop_ = false;
  std::exception_ptr error_;  // first exception of the current job
};

}  // namespace le::pool
