// Scoped borrows of an instance's native record, tracked by its atomic borrow flag.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <limits>

#include "ffi/guard.hpp"

namespace ludovec::ffi {

// 0: free; n > 0: n shared borrows; -1: one exclusive borrow.
using BorrowFlag = std::atomic<std::int32_t>;
inline constexpr std::int32_t kExclusivelyBorrowed = -1;

// Read access for the guard's lifetime. Fails with RuntimeError "Already mutably borrowed"
// while the record is borrowed exclusively.
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    std::int32_t seen = flag_.load(std::memory_order_relaxed);
    do {
      if (seen == kExclusivelyBorrowed) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        throw PyErrAlreadySet{};
      }
      if (seen == std::numeric_limits<std::int32_t>::max()) {
        raise_panic("Too many shared borrows");
        throw PyErrAlreadySet{};
      }
    } while (!flag_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                          std::memory_order_relaxed));
  }
  ~SharedBorrow() { flag_.fetch_sub(1, std::memory_order_release); }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

// Write access for the guard's lifetime. Any other borrow in force is an internal failure:
// PanicException "Already borrowed".
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    std::int32_t free = 0;
    if (!flag_.compare_exchange_strong(free, kExclusivelyBorrowed, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
      raise_panic("Already borrowed");
      throw PyErrAlreadySet{};
    }
  }
  ~ExclusiveBorrow() { flag_.store(0, std::memory_order_release); }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

}  // namespace ludovec::ffi
