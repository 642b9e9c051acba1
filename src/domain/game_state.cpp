#include "domain/game_state.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "math/lanes.hpp"
#include "math/simplex.hpp"

namespace ludovec::domain {

namespace {

Vector uniform_strategy(std::size_t n, const char* message) {
  const double u = 1.0 / static_cast<double>(n);
  return math::S::build(Vector(n, u)).expect(message);
}

[[noreturn]] void incompatible(std::size_t rows, std::size_t cols, std::size_t len) {
  math::stop("inputs " + std::to_string(rows) + " × " + std::to_string(cols) + " and " +
             std::to_string(len) + " × 1 are not compatible for matrix multiplication");
}

// Maps a double to an integer whose order is IEEE 754 totalOrder; its own inverse (on bits).
std::int64_t total_order_key(double d) {
  const auto bits = std::bit_cast<std::int64_t>(d);
  return bits < 0 ? bits ^ INT64_MAX : bits;
}

// Requires v non-empty.
LUDOVEC_WIDE_VECTORS double total_order_min(std::span<const double> v) noexcept {
  // Without NaN, totalOrder agrees with < except between zeros of either sign. So the plain
  // minimum stands unless the pass met a NaN (the probe sum turns NaN; infinities of both signs
  // also do, harmlessly) or ended on a zero; those cases take the exact route.
  double least = v[0], probe = 0.0;
#pragma GCC unroll 4
  for (double d : v) {
    least = d < least ? d : least;
    probe += d;
  }
  if (probe == probe && least != 0.0) return least;
  std::int64_t key = INT64_MAX;  // the key of NaN with every bit set: the largest there is
  for (double d : v) key = std::min(key, total_order_key(d));
  return std::bit_cast<double>(total_order_key(std::bit_cast<double>(key)));
}

using Quad = math::Lanes<4>;
using Pair = math::Lanes<2>;

template <class V>
[[gnu::always_inline]] inline V load(const double* p) noexcept {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class V>
[[gnu::always_inline]] inline void store(double* p, const V& v) noexcept {
  std::memcpy(p, &v, sizeof v);
}

// The gy update of rows r[0..R) over the columns of one vector V starting at j: gy from +0.0
// for the first rows, negated after the last ones, the rows added in order.
template <bool kFirst, bool kLast, class V, std::size_t R>
[[gnu::always_inline]] inline void add_rows(const V (&a)[R], const double (&x)[R],
                                            double* gy) noexcept {
  V g = kFirst ? V{} : load<V>(gy);
  for (std::size_t k = 0; k < R; ++k) g = g + a[k] * x[k];
  store<V>(gy, kLast ? -g : g);
}

// Adds rows i to i + 3 into gy (from +0.0 for the first rows, negated for the last ones) and
// writes their A y sums to gx[i..i+3], side by side in the lanes of one vector, fed by blocks
// transposed in registers: 4 x 4, then 4 x 2, then a last column on its own.
template <bool kFirst, bool kLast>
[[gnu::always_inline]] inline void four_rows(const double* r0, std::size_t n, const double* x,
                                             const double* y, double* gx, double* gy) noexcept {
  const double* r[4] = {r0, r0 + n, r0 + 2 * n, r0 + 3 * n};
  const double xs[4] = {x[0], x[1], x[2], x[3]};  // locals: stores to gy cannot change them
  Quad rows{};  // lane k: the A y sum of row k
  std::size_t j = 0;
  for (; j + 4 <= n; j += 4) {
    const Quad a[4] = {load<Quad>(r[0] + j), load<Quad>(r[1] + j), load<Quad>(r[2] + j),
                       load<Quad>(r[3] + j)};
    add_rows<kFirst, kLast>(a, xs, gy + j);
    const Quad low01 = __builtin_shufflevector(a[0], a[1], 0, 4, 2, 6);
    const Quad high01 = __builtin_shufflevector(a[0], a[1], 1, 5, 3, 7);
    const Quad low23 = __builtin_shufflevector(a[2], a[3], 0, 4, 2, 6);
    const Quad high23 = __builtin_shufflevector(a[2], a[3], 1, 5, 3, 7);
    rows = rows + __builtin_shufflevector(low01, low23, 0, 1, 4, 5) * y[j];  // column j
    rows = rows + __builtin_shufflevector(high01, high23, 0, 1, 4, 5) * y[j + 1];
    rows = rows + __builtin_shufflevector(low01, low23, 2, 3, 6, 7) * y[j + 2];
    rows = rows + __builtin_shufflevector(high01, high23, 2, 3, 6, 7) * y[j + 3];
  }
  if (j + 2 <= n) {
    const Pair a[4] = {load<Pair>(r[0] + j), load<Pair>(r[1] + j), load<Pair>(r[2] + j),
                       load<Pair>(r[3] + j)};
    add_rows<kFirst, kLast>(a, xs, gy + j);
    const Pair low01 = __builtin_shufflevector(a[0], a[1], 0, 2);
    const Pair high01 = __builtin_shufflevector(a[0], a[1], 1, 3);
    const Pair low23 = __builtin_shufflevector(a[2], a[3], 0, 2);
    const Pair high23 = __builtin_shufflevector(a[2], a[3], 1, 3);
    rows = rows + __builtin_shufflevector(low01, low23, 0, 1, 2, 3) * y[j];
    rows = rows + __builtin_shufflevector(high01, high23, 0, 1, 2, 3) * y[j + 1];
    j += 2;
  }
  if (j < n) {
    const double a[4] = {r[0][j], r[1][j], r[2][j], r[3][j]};
    add_rows<kFirst, kLast>(a, xs, gy + j);
    rows = rows + Quad{a[0], a[1], a[2], a[3]} * y[j];
  }
  store<Quad>(gx, rows);
}

// The same for the two rows i and i + 1.
template <bool kFirst, bool kLast>
[[gnu::always_inline]] inline void two_rows(const double* r0, std::size_t n, const double* x,
                                            const double* y, double* gx, double* gy) noexcept {
  const double* r1 = r0 + n;
  const double xs[2] = {x[0], x[1]};
  Pair rows{};
  std::size_t j = 0;
  for (; j + 4 <= n; j += 4) {
    const Quad a[2] = {load<Quad>(r0 + j), load<Quad>(r1 + j)};
    add_rows<kFirst, kLast>(a, xs, gy + j);
    const Quad low = __builtin_shufflevector(a[0], a[1], 0, 4, 2, 6);
    const Quad high = __builtin_shufflevector(a[0], a[1], 1, 5, 3, 7);
    rows = rows + __builtin_shufflevector(low, low, 0, 1) * y[j];
    rows = rows + __builtin_shufflevector(high, high, 0, 1) * y[j + 1];
    rows = rows + __builtin_shufflevector(low, low, 2, 3) * y[j + 2];
    rows = rows + __builtin_shufflevector(high, high, 2, 3) * y[j + 3];
  }
  for (; j < n; ++j) {
    const double a[2] = {r0[j], r1[j]};
    add_rows<kFirst, kLast>(a, xs, gy + j);
    rows = rows + Pair{a[0], a[1]} * y[j];
  }
  store<Pair>(gx, rows);
}

// The same for the one row i.
template <bool kFirst, bool kLast>
[[gnu::always_inline]] inline void one_row(const double* row, std::size_t n, const double* x,
                                           const double* y, double* gx, double* gy) noexcept {
  const double xs[1] = {x[0]};
  double acc = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    acc += row[j] * y[j];
    const double a[1] = {row[j]};
    add_rows<kFirst, kLast>(a, xs, gy + j);
  }
  *gx = acc;
}

template <std::size_t R, bool kFirst, bool kLast>
[[gnu::always_inline]] inline void rows_kernel(const double* r, std::size_t n, const double* x,
                                               const double* y, double* gx, double* gy) noexcept {
  if constexpr (R == 4) four_rows<kFirst, kLast>(r, n, x, y, gx, gy);
  if constexpr (R == 2) two_rows<kFirst, kLast>(r, n, x, y, gx, gy);
  if constexpr (R == 1) one_row<kFirst, kLast>(r, n, x, y, gx, gy);
}

// Rows i to i + R - 1 with the kernel for R rows, told whether they are the first and the last.
// (Function templates, not lambdas: a lambda would be compiled apart from the wide-vector clone.)
template <std::size_t R>
[[gnu::always_inline]] inline void row_group(const double* a, std::size_t m, std::size_t n,
                                             std::size_t i, const double* x, const double* y,
                                             double* gx, double* gy) noexcept {
  const double* r = a + i * n;
  const bool first = i == 0, last = i + R == m;
  if (first && last)
    rows_kernel<R, true, true>(r, n, x + i, y, gx + i, gy);
  else if (first)
    rows_kernel<R, true, false>(r, n, x + i, y, gx + i, gy);
  else if (last)
    rows_kernel<R, false, true>(r, n, x + i, y, gx + i, gy);
  else
    rows_kernel<R, false, false>(r, n, x + i, y, gx + i, gy);
}

// gx = A y and gy = -(A^T x) in one pass over the row-major matrix, every sum from +0.0 in index
// order: four rows at a time, then two, then one. The first rows start the gy sums and the last
// ones negate them, so gy is never filled or flipped on its own.
LUDOVEC_WIDE_VECTORS void gradient_pass(const double* a, std::size_t m, std::size_t n,
                                        const double* x, const double* y, double* gx,
                                        double* gy) noexcept {
  if (m == 0) {
    std::fill(gy, gy + n, -0.0);  // -(+0.0): the empty sums, negated
    return;
  }
  std::size_t i = 0;
  for (; i + 4 <= m; i += 4) row_group<4>(a, m, n, i, x, y, gx, gy);
  if (i + 2 <= m) {
    row_group<2>(a, m, n, i, x, y, gx, gy);
    i += 2;
  }
  if (i < m) row_group<1>(a, m, n, i, x, y, gx, gy);
}

}  // namespace

GameState GameState::from_matrix(Matrix a) {
  Vector x = uniform_strategy(a.rows(), "unable to build x");
  Vector y = uniform_strategy(a.cols(), "unable to build y");
  return GameState{std::move(x), std::move(y), std::move(a)};
}

void compute_gradient_into(const GameState& s, std::span<double> gx, std::span<double> gy) {
  const std::size_t m = s.a.rows(), n = s.a.cols();
  if (s.y.size() != n) incompatible(m, n, s.y.size());
  if (s.x.size() != m) incompatible(n, m, s.x.size());
  gradient_pass(s.a.data(), m, n, s.x.data(), s.y.data(), gx.data(), gy.data());
}

std::pair<Vector, Vector> compute_gradient(const GameState& s) {
  Vector gx(s.x.size()), gy(s.y.size());
  compute_gradient_into(s, gx, gy);
  return {std::move(gx), std::move(gy)};
}

double duality_gap(std::span<const double> gx, std::span<const double> gy) {
  if (gx.empty() || gy.empty()) math::stop("duality gap of an empty gradient");
  const double min_gy = total_order_min(gy);
  const double min_gx = total_order_min(gx);
  return (-min_gy) - min_gx;
}

}  // namespace ludovec::domain
