// The simplex projection and check of vectors of any length, one run per lane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "math/lanes.hpp"
#include "math/simplex.hpp"

namespace ludovec::math {

// Compare-exchange pairs (i < j) that sort n entries largest first: Batcher's odd-even merge
// sort for the next power of two, less the pairs that reach beyond n. Those pairs would only
// ever meet entries below every real one, which stay where they are, so dropping them sorts n.
inline std::vector<std::pair<std::uint32_t, std::uint32_t>> sorting_network(std::size_t n) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
  for (std::size_t p = 1; p < n; p <<= 1)
    for (std::size_t k = p; k >= 1; k >>= 1)
      for (std::size_t j = k % p; j + k < n; j += 2 * k)
        for (std::size_t i = 0; i < k && i + j + k < n; ++i)
          if ((i + j) / (2 * p) == (i + j + k) / (2 * p))
            pairs.emplace_back(static_cast<std::uint32_t>(i + j),
                               static_cast<std::uint32_t>(i + j + k));
  return pairs;
}

// In every lane, out = simplex_projection(d, 1.0) for the n entries d[0 .. n), computed as it
// does: the entries sorted largest first (here by `network`, sorting_network(n)), running sums
// from +0.0 and positions counted in doubles, the threshold (S_j - 1) / j of the last position
// j whose entry exceeds it, then max(d_i - theta, +0.0). `sorted` is scratch of n entries.
// Returns the lanes whose projection stops instead ("NaN encountered" when an entry is NaN and
// n >= 2, "Issue computing theta" when no position qualifies); their `out` is meaningless.
//
// Equal entries may leave the network in either order: they are equal doubles or zeros of either
// sign, and a sum from +0.0 takes zeros of either sign alike, so the threshold is the same.
template <std::size_t L>
[[gnu::always_inline]] inline LaneMask<L> project_lanes(
    const Lanes<L>* d, std::size_t n, Lanes<L>* out, Lanes<L>* sorted,
    const std::vector<std::pair<std::uint32_t, std::uint32_t>>& network) {
  using T = Lanes<L>;
  LaneMask<L> nan = no_lane<L>();
  for (std::size_t i = 0; i < n; ++i) {
    sorted[i] = d[i];
    nan |= d[i] != d[i];
  }
  if (n < 2) nan = no_lane<L>();  // a lone entry is never compared
  for (const auto& [i, j] : network) {  // a permutation whatever the values
    const T ui = sorted[i], uj = sorted[j];
    const auto swap = ui < uj;
    sorted[i] = swap ? uj : ui;
    sorted[j] = swap ? ui : uj;
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
  for (std::size_t i = 0; i < n; ++i) {
    const T w = d[i] - theta;
    out[i] = w > 0.0 ? w : T{};
  }
  return nan | (theta != theta);
}

// In every lane, whether v[0 .. n) passes lies_on_simplex: all entries >= 0.0 and the
// index-order sum from -0.0 within kSimplexTolerance of 1.0.
template <std::size_t L>
[[gnu::always_inline]] inline LaneMask<L> on_simplex_lanes(const Lanes<L>* v, std::size_t n) {
  Lanes<L> sum = splat<L>(-0.0);
  LaneMask<L> non_negative = ~no_lane<L>();
  for (std::size_t i = 0; i < n; ++i) {
    sum = sum + v[i];
    non_negative &= v[i] >= 0.0;
  }
  const Lanes<L> distance = sum + -1.0;  // |distance| < tolerance, NaN failing
  return non_negative & (distance < kSimplexTolerance) & (distance > -kSimplexTolerance);
}

}  // namespace ludovec::math
