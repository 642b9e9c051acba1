#include "runtime/worker_pool.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "runtime/pool_size.hpp"

namespace ludovec::runtime {

namespace {

// How long the submitter sleeps between two looks at its cancellation hook.
constexpr std::chrono::milliseconds kCancelPoll{100};

// A worker takes 1 / (kSharesPerWorker * workers) of the indices not yet taken: large chunks
// while much is left, so that building a chunk's context stays cheap beside its runs, and
// smaller ones towards the end, so that a slow worker (a long run, or a processor the host
// lends elsewhere for a while) holds up little once the others run out of work.
constexpr std::size_t kSharesPerWorker = 2;

}  // namespace

struct WorkerPool::Batch {
  std::size_t count;
  std::size_t shares;  // of what is left, one chunk's
  std::size_t grain;   // chunks but the last are multiples of it
  void* body;
  ChunkFn fn;
  std::atomic<std::size_t> cursor{0};
  std::atomic<bool> stop{false};
  std::atomic_flag failed{};        // set by the first failing chunk, which alone writes error
  std::exception_ptr error{};

  // Where the chunk from `begin` (< count) ends.
  std::size_t chunk_end(std::size_t begin) const noexcept {
    const std::size_t left = count - begin;
    const std::size_t share = (left + shares - 1) / shares;
    return begin + std::min(left, (share + grain - 1) / grain * grain);
  }

  // Takes chunks until none is left or the batch is abandoned. Never throws.
  void work() noexcept {
    const BatchStop signal(stop);
    while (!signal.requested()) {
      std::size_t begin = cursor.load(std::memory_order_relaxed);
      std::size_t end;
      do {
        if (begin >= count) return;
        end = chunk_end(begin);
      } while (!cursor.compare_exchange_weak(begin, end, std::memory_order_relaxed));
      try {
        fn(body, begin, end, signal);
      } catch (...) {
        if (!failed.test_and_set(std::memory_order_acq_rel)) error = std::current_exception();
        stop.store(true, std::memory_order_release);
      }
    }
  }
};

WorkerPool::WorkerPool(std::size_t workers) {
  workers = std::max<std::size_t>(1, workers);
  threads_.reserve(workers);
  // Workers block every asynchronous signal, so that Ctrl-C reaches the submitting thread.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { serve(); });
  } catch (const std::system_error& e) {
    if (threads_.empty()) {
      pthread_sigmask(SIG_SETMASK, &previous, nullptr);
      throw PoolStartError("the worker pool could not start a single thread (" +
                           e.code().message() + ")");
    }
  } catch (...) {
    if (threads_.empty()) {
      pthread_sigmask(SIG_SETMASK, &previous, nullptr);
      throw;
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    shutdown_ = true;
  }
  work_.notify_all();
  for (std::thread& t : threads_) t.join();
}

// Only the batch's chunks can fail, and Batch::work catches them; the locking left here throws
// only on misuse of the mutex.
void WorkerPool::serve() noexcept {
  std::uint64_t seen = 0;  // no batch can be published before the constructor returns
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [&] { return shutdown_ || generation_ != seen; });
    if (shutdown_) return;
    seen = generation_;
    Batch* batch = batch_;
    lock.unlock();
    batch->work();
    lock.lock();
    // Notified under the lock: the batch lives on the submitter's stack, which cannot return
    // before it reacquires the mutex.
    if (--workers_in_batch_ == 0) done_.notify_all();
  }
}

void WorkerPool::run(std::size_t count, std::size_t grain, void* body, ChunkFn fn,
                     const CancelHook& cancel) {
  std::lock_guard serial(submit_);
  Batch batch{count, threads_.size() * kSharesPerWorker, std::max<std::size_t>(1, grain), body, fn};
  {
    std::lock_guard lock(mutex_);
    batch_ = &batch;
    workers_in_batch_ = threads_.size();
    ++generation_;
  }
  work_.notify_all();

  std::exception_ptr cancellation;
  bool cancelled = false;
  const pid_t submitter = getpid();
  {
    std::unique_lock lock(mutex_);
    const auto drained = [&] { return workers_in_batch_ == 0; };
    if (!cancel) done_.wait(lock, drained);
    while (!done_.wait_for(lock, kCancelPoll, drained)) {
      if (cancelled) continue;
      lock.unlock();  // the hook may take its time; workers must be able to check in
      try {
        cancelled = cancel();
      } catch (...) {
        cancelled = true;
        cancellation = std::current_exception();
      }
      if (cancelled) batch.stop.store(true, std::memory_order_release);
      // The hook runs Python code, which may fork. The child has no workers to wait for, and
      // may have inherited the pool's mutex locked by one of them: leave without touching it.
      if (getpid() != submitter) {
        if (cancellation) std::rethrow_exception(cancellation);
        throw std::runtime_error(
            "the process forked while an exploration was running; "
            "the child cannot finish it");
      }
      lock.lock();
    }
    batch_ = nullptr;
  }
  if (cancellation) std::rethrow_exception(cancellation);
  if (cancelled) throw Cancelled();
  if (batch.error) std::rethrow_exception(batch.error);
}

namespace {

// Guards the process-wide pool pointer. Held across fork() (prepare/parent handlers) so that a
// child never inherits it locked by a thread that did not survive.
std::mutex pool_creation;
WorkerPool* shared_pool = nullptr;
std::optional<std::string> pool_size_notice;  // guarded by pool_creation

void lock_before_fork() noexcept { pool_creation.lock(); }
void unlock_in_parent() noexcept { pool_creation.unlock(); }
void forget_pool_in_child() noexcept {
  shared_pool = nullptr;  // leaked: its threads are gone and its locks may be held
  pool_creation.unlock();
}

}  // namespace

WorkerPool& process_pool() {
  static const bool fork_handlers = [] {
    if (int rc = pthread_atfork(&lock_before_fork, &unlock_in_parent, &forget_pool_in_child);
        rc != 0) {
      if (rc == ENOMEM) throw std::bad_alloc();
      throw std::system_error(rc, std::generic_category(), "pthread_atfork");
    }
    return true;
  }();
  (void)fork_handlers;
  std::lock_guard lock(pool_creation);
  if (shared_pool) return *shared_pool;
  const PoolSizeChoice choice = default_pool_size();
  auto pool = std::make_unique<WorkerPool>(choice.threads);
  if (choice.variable != nullptr) {
    const std::string setting = std::string(choice.variable) + "=" + std::to_string(choice.asked);
    if (pool->size() < choice.threads)
      throw PoolStartError(setting + " asks for " + std::to_string(choice.threads) +
                           " worker threads, but the system started only " +
                           std::to_string(pool->size()));
    if (choice.threads < choice.asked)
      pool_size_notice = setting + " asks for more worker threads than the pool starts: " +
                         std::to_string(choice.threads) + " (eight per processor, at least 64)";
  }
  shared_pool = pool.release();
  return *shared_pool;
}

std::optional<std::string> take_pool_size_notice() {
  std::lock_guard lock(pool_creation);
  return std::exchange(pool_size_notice, std::nullopt);
}

}  // namespace ludovec::runtime
