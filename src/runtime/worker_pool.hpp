// The process-wide pool of worker threads that runs batches of independent, indexed tasks.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace ludovec::runtime {

// Reaches the submitting thread when its cancellation hook asked to call a batch off.
class Cancelled final : public std::exception {
 public:
  const char* what() const noexcept override { return "the batch was cancelled"; }
};

// The pool could not start the threads it was asked for; what() says how many it was asked
// for, why, and how many the system started.
class PoolStartError final : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Asked on the submitting thread about every 100 ms while a batch runs. Returning true cancels
// the batch (Cancelled follows); an exception it throws cancels it too and is rethrown instead.
using CancelHook = std::function<bool()>;

// What a chunk consults between two runs: true once the batch is being abandoned because a
// run failed or the caller cancelled.
class BatchStop {
 public:
  explicit BatchStop(const std::atomic<bool>& flag) noexcept : flag_(flag) {}
  bool requested() const noexcept { return flag_.load(std::memory_order_acquire); }

  // The same question in the shape of a C callback, for runs that ask between blocks of steps
  // (a long run is then abandoned within a few thousand steps instead of at its end); `self` is
  // a BatchStop that outlives the run.
  static bool requested_by(const void* self) noexcept {
    return static_cast<const BatchStop*>(self)->requested();
  }

 private:
  const std::atomic<bool>& flag_;
};

// A fixed set of threads that wait for batches. A batch is the index range [0, count), cut
// into chunks of consecutive indices that the workers take from an atomic cursor; the
// submitting thread only waits. Batches from several threads are served one after the other.
class WorkerPool {
 public:
  // Starts `workers` threads (at least one). If the system refuses some of them the pool keeps
  // those that started; it throws PoolStartError only when none did.
  explicit WorkerPool(std::size_t workers);
  // Stops and joins the workers; no batch may be running. The process-wide pool never dies.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t size() const noexcept { return threads_.size(); }

  // Calls body(begin, end, stop) on the workers for chunks covering [0, count) and returns
  // once every worker has left the batch. Chunks shrink as the batch nears its end; all but
  // the last hold a multiple of `grain` indices (the runs a worker steps together, say). The first
  // exception a chunk throws is rethrown here after that, and the chunks not yet taken are skipped.
  // `cancel` is consulted while waiting (see CancelHook); the cancellation outcome wins over a
  // failure of a run. Must not be called from a worker of the same pool.
  template <class Body>
  void for_each_chunk(std::size_t count, Body& body, const CancelHook& cancel = {},
                      std::size_t grain = 1) {
    run(
        count, grain, &body,
        [](void* b, std::size_t begin, std::size_t end, const BatchStop& stop) {
          (*static_cast<Body*>(b))(begin, end, stop);
        },
        cancel);
  }

 private:
  using ChunkFn = void (*)(void* body, std::size_t begin, std::size_t end, const BatchStop&);
  struct Batch;

  void run(std::size_t count, std::size_t grain, void* body, ChunkFn fn, const CancelHook& cancel);
  void serve() noexcept;  // a worker's whole life

  std::mutex submit_;  // one batch at a time
  std::mutex mutex_;  // guards everything below
  std::condition_variable work_;  // workers: a new batch or shutdown
  std::condition_variable done_;  // submitter: the last worker left the batch
  std::uint64_t generation_ = 0;  // counts published batches
  Batch* batch_ = nullptr;
  std::size_t workers_in_batch_ = 0;
  bool shutdown_ = false;
  std::vector<std::thread> threads_;
};

// The process-wide pool, built on first use with default_pool_size() workers and never
// destroyed. In a child process after fork() the first use builds a new pool: the parent's
// workers did not survive the fork, and its pool is deliberately leaked. When the size comes
// from an environment variable and the system starts fewer threads than it asks for, throws
// PoolStartError naming the variable, its value and how many started, and keeps no pool (the
// next use tries again).
WorkerPool& process_pool();

// A one-line notice, once, when the process-wide pool was built with fewer threads than its
// environment variable asked for (pool_thread_cap); nullopt otherwise and afterwards.
std::optional<std::string> take_pool_size_notice();

// Where a batch runs and how the thread that waits for it may call it off.
struct BatchExecution {
  WorkerPool* pool = nullptr;  // nullptr: the process-wide pool
  CancelHook cancel;
  // Where a batch that reports its progress adds the run-steps it did (relaxed increments from
  // the workers, read by `cancel` for instance); nullptr: not told.
  std::atomic<std::uint64_t>* progress = nullptr;

  WorkerPool& resolve() const { return pool ? *pool : process_pool(); }
};

// out[i] = run_one(context, i) for every i, on the pool (or run_one(context, i, stop), for runs
// that look at the batch's BatchStop themselves). Each chunk builds one context with
// make_context() on its worker and reuses it for its indices, in increasing order. Between two
// indices a chunk stops when the batch is abandoned. Failures and cancellation as
// WorkerPool::for_each_chunk; on any of them `out` holds partial results the caller discards.
template <class T, class MakeContext, class RunOne>
void fill_by_index(const BatchExecution& execution, std::span<T> out,
                   const MakeContext& make_context, const RunOne& run_one) {
  auto body = [&](std::size_t begin, std::size_t end, const BatchStop& stop) {
    auto context = make_context();
    for (std::size_t i = begin; i < end && !stop.requested(); ++i) {
      if constexpr (std::is_invocable_v<const RunOne&, decltype(context)&, std::size_t,
                                        const BatchStop&>)
        out[i] = run_one(context, i, stop);
      else
        out[i] = run_one(context, i);
    }
  };
  execution.resolve().for_each_chunk(out.size(), body, execution.cancel);
}

}  // namespace ludovec::runtime
