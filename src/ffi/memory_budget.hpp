// Refusal, before anything is allocated, of calls whose sizes cannot fit in this process.
#pragma once

#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <utility>

namespace ludovec::ffi {

// A byte count built from caller-controlled sizes; it saturates instead of wrapping.
class Bytes {
 public:
  constexpr Bytes() noexcept = default;
  constexpr explicit Bytes(std::uint64_t n) noexcept : n_(n) {}
  static constexpr Bytes doubles(std::uint64_t n) noexcept { return Bytes(n) * sizeof(double); }

  constexpr std::uint64_t count() const noexcept { return n_; }
  friend constexpr Bytes operator+(Bytes a, Bytes b) noexcept {
    std::uint64_t r = 0;
    return Bytes(__builtin_add_overflow(a.n_, b.n_, &r) ? kSaturated : r);
  }
  friend constexpr Bytes operator*(Bytes a, std::uint64_t k) noexcept {
    std::uint64_t r = 0;
    return Bytes(__builtin_mul_overflow(a.n_, k, &r) ? kSaturated : r);
  }

 private:
  static constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t n_ = 0;
};

// The most memory this process could still obtain: physical memory plus swap, what is left
// of its address-space limit, its data-segment limit and its cgroup's memory limit, whichever
// is least. Limits that cannot be read count as absent.
std::uint64_t memory_ceiling() noexcept;

// A request refused before anything was allocated; what() says what was refused and how much
// it needed against what was available. MemoryError with that text at the boundary.
class MemoryRefused final : public std::bad_alloc {
 public:
  explicit MemoryRefused(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// A byte count for people: "512 bytes", "1.5 KiB", ..., "16.0 EiB".
std::string describe_bytes(std::uint64_t bytes);

// Throws MemoryRefused when `needed`, the least memory a call must hold at one time, exceeds
// memory_ceiling(); `what` names the request ("a run of 5 steps on a 2 x 2 game"). Linux overcommit
// grants single allocations up to the size of physical memory without backing them, so a call
// holding several such blocks would otherwise be killed by the OOM killer while filling them with
// zeros, instead of raising; and sanitizer runtimes abort on a failed operator new instead of
// throwing. Requests below 64 MiB are let through without looking.
void require_memory(Bytes needed, const std::string& what);

}  // namespace ludovec::ffi
