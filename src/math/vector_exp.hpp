// exp over arrays, several arguments at once, returning exactly what the C library's exp returns.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace ludovec::math {

// v[i] <- ::exp(v[i]) for i < n, bit for bit what the process's C library returns (errno
// included: arguments that overflow or underflow are handed to ::exp itself). Allocates nothing;
// safe from any thread.
//
// The vector paths reproduce the table-driven exp of the C library in use on this machine, four
// (AVX2) or eight (AVX-512) arguments at a time, with the same operations on every lane; lanes
// outside the range they reproduce (|x| >= 512, infinities, NaN) call ::exp. The path is decided
// once per process, at first call: the widest one the processor runs (it needs FMA too) whose
// kernels agree with ::exp on a fixed set of arguments that covers every table entry in both
// signs across the main range, the doubles around the edge of each of those reduction intervals,
// the arguments where a variant without fused multiply-adds rounds differently, and the
// thresholds of every special case. With no such path the scalar one serves for the life of the
// process.
inline void exp_in_place(double* v, std::size_t n) noexcept;

// The same, for arguments just written as whole vectors (the lanes): read as vectors, eight at a
// time where the processor has AVX-512.
inline void exp_lanes_in_place(double* v, std::size_t n) noexcept;

enum class ExpPath : std::uint8_t { scalar, avx2, avx512 };

// The path exp_in_place takes in this process (runs the check on the first call).
ExpPath exp_path() noexcept;

// Hooks for the tests of this file; nothing else calls them.
namespace exp_testing {
// Number of arguments the check compares, and writes them to out[0 .. count) when out is set.
std::size_t check_arguments(double* out) noexcept;
// Whether both kernels of `path` (on this processor) give what `reference` gives on every check
// argument.
bool path_agrees(ExpPath path, double (*reference)(double)) noexcept;
// v[i] <- exp(v[i]) through `path` (the scalar one when this processor cannot run it), by the
// kernel of exp_lanes_in_place when `lanes` is set, else by that of exp_in_place.
void exp_through(ExpPath path, double* v, std::size_t n, bool lanes = false) noexcept;
// Whether this processor can run `path`.
bool available(ExpPath path) noexcept;
// Decides the process's path as the first call does, against `reference`, and installs it: the
// widest available path that agrees.
ExpPath decide_path(double (*reference)(double)) noexcept;
}  // namespace exp_testing

namespace exp_detail {
using Kernel = void (*)(double*, std::size_t) noexcept;
// The path's functions; at first they decide the path, install it and run it.
extern std::atomic<Kernel> kernel;
extern std::atomic<Kernel> lanes_kernel;
}  // namespace exp_detail

inline void exp_in_place(double* v, std::size_t n) noexcept {
  exp_detail::kernel.load(std::memory_order_relaxed)(v, n);
}

inline void exp_lanes_in_place(double* v, std::size_t n) noexcept {
  exp_detail::lanes_kernel.load(std::memory_order_relaxed)(v, n);
}

}  // namespace ludovec::math
