// The simplex projection and check of vectors of any length, one run per lane.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "math/lanes.hpp"
#include "math/simplex.hpp"

namespace ludovec::math {

using NetworkPair = std::pair<std::uint32_t, std::uint32_t>;

// Calls f(i, j) for the compare-exchange pairs (i < j) that sort n entries largest first:
// Batcher's odd-even merge sort for the next power of two, less the pairs that reach beyond n.
// Those pairs would only ever meet entries below every real one, which stay where they are, so
// dropping them sorts n.
template <class F>
constexpr void for_each_network_pair(std::size_t n, F&& f) {
  for (std::size_t p = 1; p < n; p <<= 1)
    for (std::size_t k = p; k >= 1; k >>= 1)
      for (std::size_t j = k % p; j + k < n; j += 2 * k)
        for (std::size_t i = 0; i < k && i + j + k < n; ++i)
          if ((i + j) / (2 * p) == (i + j + k) / (2 * p))
            f(static_cast<std::uint32_t>(i + j), static_cast<std::uint32_t>(i + j + k));
}

// The same pairs for n = N known when compiling, so that a sort unrolls into registers.
template <std::size_t N>
inline constexpr std::size_t kNetworkSize = [] {
  std::size_t count = 0;
  for_each_network_pair(N, [&](std::uint32_t, std::uint32_t) { ++count; });
  return count;
}();
template <std::size_t N>
inline constexpr auto kNetwork = [] {
  std::array<NetworkPair, kNetworkSize<N>> pairs{};
  std::size_t count = 0;
  for_each_network_pair(N, [&](std::uint32_t i, std::uint32_t j) { pairs[count++] = {i, j}; });
  return pairs;
}();

// Entries i < j of v, larger first in every lane: a permutation whatever the values.
template <std::size_t L>
[[gnu::always_inline]] inline void exchange(Lanes<L>* v, std::uint32_t i, std::uint32_t j) {
  const Lanes<L> vi = v[i], vj = v[j];
  const auto swap = vi < vj;
  v[i] = swap ? vj : vi;
  v[j] = swap ? vi : vj;
}

// The order in which a projection site's previous input sorted, in every lane: entry k * L + l
// is the position, in doubles from the input's start, of lane l's k-th largest entry last time
// (i * L + l for entry i). Starts as the identity; any permutation of each lane's entries will do.
template <std::size_t L>
std::vector<std::uint32_t> identity_order(std::size_t n) {
  std::vector<std::uint32_t> order(n * L);
  for (std::size_t k = 0; k < n * L; ++k) order[k] = static_cast<std::uint32_t>(k);
  return order;
}

// sorted <- the n entries of d largest first in every lane, gathered in `order`, which a lane
// keeps when it still sorts its entries (the common case: a run's inputs move slowly) and
// otherwise repairs by insertion, as the single-run projection does. NaN entries leave the lane
// in some order; the caller stops such a lane anyway.
template <std::size_t L>
[[gnu::always_inline]] inline void sort_in_order(const Lanes<L>* d, std::size_t n, Lanes<L>* sorted,
                                                 std::uint32_t* __restrict order) {
  const double* __restrict in = reinterpret_cast<const double*>(d);
  double* __restrict out = reinterpret_cast<double*>(sorted);
  for (std::size_t k = 0; k < n * L; k += L)
    for (std::size_t l = 0; l < L; ++l) out[k + l] = in[order[k + l]];
  // A lane is out of order where an entry exceeds the one before it (NaN never does).
  LaneMask<L> unsorted = no_lane<L>();
  Lanes<L> before = sorted[0];
  for (std::size_t k = 1; k < n; ++k) {
    const Lanes<L> at = sorted[k];
    unsorted |= before < at;
    before = at;
  }
  if (!any_lane<L>(unsorted)) return;
  for (std::size_t l = 0; l < L; ++l) {
    if (!lane_set<L>(unsorted, l)) continue;
    // Insertion, with the last entry of the sorted prefix kept in a register: an entry that
    // does not exceed it stays where it is, and becomes the prefix's last; one that moves left
    // leaves the prefix's last as it was, shifted onto its old place. The lane's entries lie
    // L doubles apart.
    double* const first = out + l;
    double* p = first;
    double last = *first;
    for (std::size_t k = 1; k < n; ++k) {
      p += L;
      const double e = *p;
      if (!(last < e)) {
        last = e;
        continue;
      }
      std::uint32_t* q = order + (p - out);
      const std::uint32_t at = *q;
      double* to = p;
      do {
        to[0] = to[-static_cast<std::ptrdiff_t>(L)];
        q[0] = q[-static_cast<std::ptrdiff_t>(L)];
        to -= L;
        q -= L;
      } while (to != first && to[-static_cast<std::ptrdiff_t>(L)] < e);
      *to = e;
      *q = at;
    }
  }
}

// In every lane, out = simplex_projection(d, 1.0) for the n entries d[0 .. n), computed as it
// does: the entries sorted largest first (by kNetwork<N> when N is not 0, and then n is N; else
// from `order` by sort_in_order, in `scratch` of n entries), running sums from +0.0 and
// positions counted in doubles, the threshold (S_j - 1) / j of the last position j whose entry
// exceeds it, then max(d_i - theta, +0.0). Returns the lanes whose projection stops instead
// ("NaN encountered" when an entry is NaN and n >= 2, "Issue computing theta" when no position
// qualifies); their `out` is meaningless.
//
// Equal entries may leave the network in either order: they are equal doubles or zeros of either
// sign, and a sum from +0.0 takes zeros of either sign alike, so the threshold is the same.
template <std::size_t L, std::size_t N>
[[gnu::always_inline]] inline LaneMask<L> project_lanes(const Lanes<L>* d, std::size_t n,
                                                        Lanes<L>* out, Lanes<L>* scratch,
                                                        std::uint32_t* order) {
  using T = Lanes<L>;
  if constexpr (N > 0) n = N;
  T local[N > 0 ? N : 1];
  T* sorted = N > 0 ? local : scratch;
  if constexpr (N > 0) {
    (void)order;
    for (std::size_t i = 0; i < n; ++i) sorted[i] = d[i];
#pragma GCC unroll 128
    for (const auto& [i, j] : kNetwork<N>) exchange<L>(sorted, i, j);
  } else {
    sort_in_order<L>(d, n, sorted, order);
  }
  T sum{}, position{};
  T theta = splat<L>(std::numeric_limits<double>::quiet_NaN());
  for (std::size_t k = 0; k < n; ++k) {
    const T u = sorted[k];
    sum = sum + u;
    position = position + 1.0;
    const T t = (sum - 1.0) / position;
    theta = u > t ? t : theta;
  }
  // The NaN entries are found by the pass that reads d last.
  LaneMask<L> nan = no_lane<L>();
  for (std::size_t i = 0; i < n; ++i) {
    const T di = d[i];
    nan |= di != di;
    const T w = di - theta;
    out[i] = w > 0.0 ? w : T{};
  }
  if (n < 2) nan = no_lane<L>();  // a lone entry is never compared
  return nan | (theta != theta);
}

// lies_on_simplex in every lane, fed entry by entry in index order (so that a loop producing
// the entries checks them as it goes): all entries >= 0.0 and the index-order sum from -0.0
// within kSimplexTolerance of 1.0.
template <std::size_t L>
struct LaneSimplexCheck {
  Lanes<L> sum = splat<L>(-0.0);
  LaneMask<L> non_negative = ~no_lane<L>();

  [[gnu::always_inline]] void add(const Lanes<L>& v) noexcept {
    sum = sum + v;
    non_negative &= v >= 0.0;
  }
  [[gnu::always_inline]] LaneMask<L> passes() const noexcept {
    const Lanes<L> distance = sum + -1.0;  // |distance| < tolerance, NaN failing
    return non_negative & (distance < kSimplexTolerance) & (distance > -kSimplexTolerance);
  }
};

// In every lane, whether v[0 .. n) passes lies_on_simplex.
template <std::size_t L>
[[gnu::always_inline]] inline LaneMask<L> on_simplex_lanes(const Lanes<L>* v, std::size_t n) {
  LaneSimplexCheck<L> check;
  for (std::size_t i = 0; i < n; ++i) check.add(v[i]);
  return check.passes();
}

}  // namespace ludovec::math
