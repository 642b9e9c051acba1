// Lanes: several independent runs stepped together, one double per run in a vector register.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

// Hot functions compiled for AVX2 and for the baseline; the loader picks one on the running
// processor. Results are the same bit for bit: the vector instructions perform the same IEEE
// operations, and contraction into fused multiply-adds is off.
//
// Such a function must never let an exception out: GCC 12 takes callers in the same file to be
// unable to receive one, and the unwinder then ends the program. Functions that can stop are
// noexcept kernels that return a status, or catch and hand the exception back to their caller.
// Defining it empty on the command line builds the baseline alone, to test that on any machine.
// ThreadSanitizer builds have the baseline alone too: the loader runs the clones' resolvers
// before the sanitizer's runtime is ready, and its instrumentation there crashes.
//
// LUDOVEC_WIDEST_VECTORS, where defined, compiles a function for AVX-512 alone: call it only
// where widest_lanes_available() says so.
#ifndef LUDOVEC_WIDE_VECTORS
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define LUDOVEC_WIDE_VECTORS [[gnu::target_clones("avx2", "default")]]
#define LUDOVEC_WIDEST_VECTORS [[gnu::target("avx512f,avx512dq,avx512vl,avx2,fma")]]
#else
#define LUDOVEC_WIDE_VECTORS
#endif
#endif

namespace ludovec::math {

// Whether functions compiled with LUDOVEC_WIDEST_VECTORS run here: the build has them and the
// processor (with its operating system) runs AVX-512. Decided once.
bool widest_lanes_available() noexcept;

// Hooks for the tests; nothing else calls them.
namespace lanes_testing {
// While `allowed` is false, widest_lanes_available() says no, so the 4-lane kernels run.
void allow_widest_lanes(bool allowed) noexcept;
}  // namespace lanes_testing

// GCC vector types: every operator acts lane by lane with the IEEE operation of one double, so
// a lane computes exactly what a lone run computes. A comparison yields a mask with all bits
// set in the lanes where it holds, and `mask ? a : b` picks lane by lane.
template <std::size_t L>
struct LaneTypes {
  static_assert(L > 1 && (L & (L - 1)) == 0, "a lane vector holds a power of two of doubles");
  typedef double Values __attribute__((vector_size(L * sizeof(double))));
  typedef std::int64_t Bits __attribute__((vector_size(L * sizeof(double))));
};
// One lane is a plain double, so the single-run code is ordinary scalar code.
template <>
struct LaneTypes<1> {
  using Values = double;
  using Bits = std::int64_t;
};

template <std::size_t L>
using Lanes = typename LaneTypes<L>::Values;
template <std::size_t L>
using LaneBits = typename LaneTypes<L>::Bits;
// What a comparison of two lane vectors yields: bool for one lane. The helpers below are
// always inlined, so that they take the instruction set of the function using them.
template <std::size_t L>
using LaneMask = decltype(Lanes<L>() < Lanes<L>());

template <std::size_t L>
[[gnu::always_inline]] inline double lane(const Lanes<L>& v, std::size_t l) noexcept {
  if constexpr (L == 1) {
    (void)l;
    return v;
  } else {
    return v[l];
  }
}

template <std::size_t L>
[[gnu::always_inline]] inline void set_lane(Lanes<L>& v, std::size_t l, double d) noexcept {
  if constexpr (L == 1) {
    (void)l;
    v = d;
  } else {
    v[l] = d;
  }
}

// Every lane equal to d, bit for bit (an addition would turn -0.0 into +0.0).
template <std::size_t L>
[[gnu::always_inline]] inline Lanes<L> splat(double d) noexcept {
  Lanes<L> v{};
  for (std::size_t l = 0; l < L; ++l) set_lane<L>(v, l, d);
  return v;
}

template <std::size_t L>
[[gnu::always_inline]] inline bool any_lane(const LaneMask<L>& m) noexcept {
  if constexpr (L == 1) {
    return m;
  } else if constexpr (L == 4) {
    // Halves folded together in one vector operation: fewer moves out of the vector unit.
    const LaneMask<L> folded = m | __builtin_shufflevector(m, m, 2, 3, 0, 1);
    return (folded[0] | folded[1]) != 0;
  } else {
    std::int64_t r = 0;
    for (std::size_t l = 0; l < L; ++l) r |= m[l];
    return r != 0;
  }
}

template <std::size_t L>
[[gnu::always_inline]] inline bool lane_set(const LaneMask<L>& m, std::size_t l) noexcept {
  if constexpr (L == 1) {
    (void)l;
    return m;
  } else {
    return m[l] != 0;
  }
}

// A mask that holds in no lane.
template <std::size_t L>
[[gnu::always_inline]] inline LaneMask<L> no_lane() noexcept {
  return Lanes<L>() != Lanes<L>();
}

// |v| in every lane: the sign bit cleared.
template <std::size_t L>
[[gnu::always_inline]] inline Lanes<L> magnitude(const Lanes<L>& v) noexcept {
  return std::bit_cast<Lanes<L>>(std::bit_cast<LaneBits<L>>(v) & INT64_MAX);
}

// The bit pattern of every lane, as signed 64-bit integers.
template <std::size_t L>
[[gnu::always_inline]] inline LaneBits<L> lane_bits(const Lanes<L>& v) noexcept {
  return std::bit_cast<LaneBits<L>>(v);
}

}  // namespace ludovec::math
