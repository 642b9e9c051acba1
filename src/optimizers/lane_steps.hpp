// The three step rules on games of any size, one run per lane: entry (i, j) of the lanes'
// matrices is one vector, and so is entry i of each strategy and optimizer vector.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "math/lane_simplex.hpp"
#include "math/lanes.hpp"
#include "math/vector_exp.hpp"
#include "optimizers/core.hpp"
#include "optimizers/small_steps.hpp"

namespace ludovec::optimizers {

// n lane vectors on boundaries of their size, zeroed: the code compiled for wide vectors loads
// them with aligned instructions, which std::vector's allocator does not promise for these types
// (nor alignof, which depends on the instruction set the compiler starts from).
template <class T>
class LaneArray {
 public:
  static constexpr std::align_val_t kAlignment{sizeof(T)};

  explicit LaneArray(std::size_t n)
      : data_(static_cast<T*>(::operator new(n * sizeof(T), kAlignment))), size_(n) {
    std::fill_n(data_, n, T{});
  }
  LaneArray(LaneArray&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
  LaneArray& operator=(LaneArray o) noexcept {
    swap(o);
    return *this;
  }
  ~LaneArray() {
    if (data_) ::operator delete(data_, kAlignment);
  }
  void swap(LaneArray& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
  }
  friend void swap(LaneArray& a, LaneArray& b) noexcept { a.swap(b); }
  // swap() for arrays of the same size: the sizes stay where they are.
  void swap_entries(LaneArray& o) noexcept { std::swap(data_, o.data_); }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }

 private:
  T* data_;
  std::size_t size_;
};

// The games of L runs of m x n (rows x columns) with their optimizers' state, and the scratch of
// their steps. Allocated once; a step allocates nothing.
template <std::size_t L>
struct MemoryLanes {
  using T = math::Lanes<L>;
  static constexpr std::size_t kLanes = L, kGroups = 1;

  MemoryLanes(std::size_t m, std::size_t n)
      : m(m),
        n(n),
        a(m * n),
        x(m),
        y(n),
        first(m),
        second(n),
        gx(m),
        gy(n),
        next_x(m),
        next_y(n),
        next_first(m),
        next_second(n),
        exps(m + n),
        work(std::max(m, n)),
        sorted(std::max(m, n)),
        order{math::identity_order<L>(m), math::identity_order<L>(n), math::identity_order<L>(m),
              math::identity_order<L>(n)} {}

  std::size_t m, n;
  LaneArray<T> a;              // row-major
  LaneArray<T> x, y;           // strategies
  LaneArray<T> first, second;  // x_hat and y_hat, or x_grad_sum and y_grad_sum
  T eta{};
  // Scratch: gradients, the next vectors (swapped in once a step is accepted), both players'
  // exponentials side by side, a projection's input and its sorted entries, and the order of
  // each of the four projections of Ogda (math::sort_in_order).
  LaneArray<T> gx, gy, next_x, next_y, next_first, next_second, exps, work, sorted;
  std::vector<std::uint32_t> order[4];
};

// Two groups of L lanes, stepped phase by phase (step_paired): while the long chains of one
// group's step wait (the exponentials, the sums, the divisions), the other's fill the processor.
// Lane l is lane l % L of group l / L.
template <std::size_t L>
struct PairedLanes {
  static constexpr std::size_t kLanes = L, kGroups = 2;
  PairedLanes(std::size_t m, std::size_t n)
      : group{MemoryLanes<L>(m, n), MemoryLanes<L>(m, n)}, exps(2 * (m + n)) {}
  MemoryLanes<L> group[2];
  // Both groups' exponentials, group 0's first, for one pass of the vector exp (the groups' own
  // exps go unused).
  LaneArray<math::Lanes<L>> exps;
};

// Whether the lanes can hold `o`'s state for m x n games: vectors of m and n entries.
template <class Rule>
bool fits_lanes(const Rule& o, std::size_t m, std::size_t n) noexcept {
  const auto& [first, second, eta] = o;
  return m > 0 && n > 0 && first.size() == m && second.size() == n;
}

// Lane l takes the game, the strategies and the optimizer's state of a lone run; sizes must
// match (fits_lanes, and a state of m x n).
template <class Rule, std::size_t L>
void load_lane(MemoryLanes<L>& r, std::size_t l, const GameState& s, const Rule& o) {
  const auto& [first, second, eta] = o;
  const double* a = s.a.data();
  for (std::size_t k = 0; k < r.m * r.n; ++k) math::set_lane<L>(r.a[k], l, a[k]);
  for (std::size_t i = 0; i < r.m; ++i) {
    math::set_lane<L>(r.x[i], l, s.x[i]);
    math::set_lane<L>(r.first[i], l, first[i]);
  }
  for (std::size_t j = 0; j < r.n; ++j) {
    math::set_lane<L>(r.y[j], l, s.y[j]);
    math::set_lane<L>(r.second[j], l, second[j]);
  }
  math::set_lane<L>(r.eta, l, eta);
}

// Lane l's game, strategies and optimizer state written back to a lone run of the same sizes.
template <class Rule, std::size_t L>
void store_lane(const MemoryLanes<L>& r, std::size_t l, GameState& s, Rule& o) {
  auto& [first, second, eta] = o;
  double* a = s.a.data();
  for (std::size_t k = 0; k < r.m * r.n; ++k) a[k] = math::lane<L>(r.a[k], l);
  for (std::size_t i = 0; i < r.m; ++i) {
    s.x[i] = math::lane<L>(r.x[i], l);
    first[i] = math::lane<L>(r.first[i], l);
  }
  for (std::size_t j = 0; j < r.n; ++j) {
    s.y[j] = math::lane<L>(r.y[j], l);
    second[j] = math::lane<L>(r.second[j], l);
  }
  eta = math::lane<L>(r.eta, l);
}

template <class Rule, std::size_t L>
void load_lane(PairedLanes<L>& r, std::size_t l, const GameState& s, const Rule& o) {
  load_lane(r.group[l / L], l % L, s, o);
}

template <class Rule, std::size_t L>
void store_lane(const PairedLanes<L>& r, std::size_t l, GameState& s, Rule& o) {
  store_lane(r.group[l / L], l % L, s, o);
}

namespace lane_detail {

// Rows i .. i + 3 of gx = A y and their terms of A^T x added into gy in order, each sum from
// +0.0 in index order; with kLast, gy's entries are negated as they are stored, once final.
template <bool kLast, std::size_t L>
[[gnu::always_inline]] inline void four_rows(const math::Lanes<L>* a, const math::Lanes<L>* x,
                                             const math::Lanes<L>* y, math::Lanes<L>* gx,
                                             math::Lanes<L>* gy, std::size_t i, std::size_t n) {
  using T = math::Lanes<L>;
  const T* r0 = a + i * n;
  const T* r1 = r0 + n;
  const T* r2 = r1 + n;
  const T* r3 = r2 + n;
  const T x0 = x[i], x1 = x[i + 1], x2 = x[i + 2], x3 = x[i + 3];
  T s0{}, s1{}, s2{}, s3{};
  for (std::size_t j = 0; j < n; ++j) {
    const T yj = y[j];
    const T a0 = r0[j], a1 = r1[j], a2 = r2[j], a3 = r3[j];
    s0 = s0 + a0 * yj;
    s1 = s1 + a1 * yj;
    s2 = s2 + a2 * yj;
    s3 = s3 + a3 * yj;
    T g = gy[j];
    g = g + a0 * x0;
    g = g + a1 * x1;
    g = g + a2 * x2;
    g = g + a3 * x3;
    gy[j] = kLast ? -g : g;
  }
  gx[i] = s0;
  gx[i + 1] = s1;
  gx[i + 2] = s2;
  gx[i + 3] = s3;
}

// Row i of gx = A y and its terms of A^T x added into gy, as four_rows does.
template <bool kLast, std::size_t L>
[[gnu::always_inline]] inline void one_row(const math::Lanes<L>* a, const math::Lanes<L>* x,
                                           const math::Lanes<L>* y, math::Lanes<L>* gx,
                                           math::Lanes<L>* gy, std::size_t i, std::size_t n) {
  using T = math::Lanes<L>;
  const T* row = a + i * n;
  const T xi = x[i];
  T s{};
  for (std::size_t j = 0; j < n; ++j) {
    s = s + row[j] * y[j];
    const T g = gy[j] + row[j] * xi;
    gy[j] = kLast ? -g : g;
  }
  gx[i] = s;
}

// gx = A y and gy = -(A^T x) in every lane, each sum from +0.0 in index order as
// compute_gradient_into adds them: four rows at a time, each row's A y sum in its own register,
// the rows added into gy in order, negated by the last row's pass.
template <std::size_t L, std::size_t N>
[[gnu::always_inline]] inline void gradient(MemoryLanes<L>& r) {
  using T = math::Lanes<L>;
  const std::size_t m = N > 0 ? N : r.m, n = N > 0 ? N : r.n;
  const T* a = r.a.data();
  const T* x = r.x.data();
  const T* y = r.y.data();
  T* gx = r.gx.data();
  T* gy = r.gy.data();
  for (std::size_t j = 0; j < n; ++j) gy[j] = T{};
  const std::size_t blocks = m / 4 * 4;
  std::size_t i = 0;
  if (blocks == m) {
    for (; i + 4 < m; i += 4) four_rows<false, L>(a, x, y, gx, gy, i, n);
    four_rows<true, L>(a, x, y, gx, gy, i, n);
    return;
  }
  for (; i < blocks; i += 4) four_rows<false, L>(a, x, y, gx, gy, i, n);
  for (; i + 1 < m; ++i) one_row<false, L>(a, x, y, gx, gy, i, n);
  one_row<true, L>(a, x, y, gx, gy, i, n);
}

// The smallest of v[0 .. n) under IEEE 754 totalOrder for entries without NaN (a gradient of a
// step that completes has none): the ordinary minimum, -0.0 below +0.0.
template <std::size_t L>
[[gnu::always_inline]] inline math::Lanes<L> total_order_min(const math::Lanes<L>* v,
                                                             std::size_t n) {
  using T = math::Lanes<L>;
  // m < v ? m : v is one minimum instruction; it takes v when the two are equal, so m's sign
  // is put back: that turns +0.0 into -0.0 against a -0.0 and changes no other result (a
  // negative m only loses to a negative v).
  const math::LaneBits<L> sign = math::lane_bits<L>(math::splat<L>(-0.0));
  T m = v[0];
  for (std::size_t i = 1; i < n; ++i) {
    const T smaller = m < v[i] ? m : v[i];
    m = std::bit_cast<T>(math::lane_bits<L>(smaller) | (math::lane_bits<L>(m) & sign));
  }
  return m;
}

// The running maximum of the entries fed in index order, skipping NaN, from -inf: the
// producing loops feed it as they write.
template <std::size_t L>
[[gnu::always_inline]] inline math::Lanes<L> no_max() noexcept {
  return math::splat<L>(-std::numeric_limits<double>::infinity());
}
template <std::size_t L>
[[gnu::always_inline]] inline void raise_max(math::Lanes<L>& m, const math::Lanes<L>& v) noexcept {
  m = v > m ? v : m;
}

// e = g * scale - max(g * scale), the maximum taken in index order as raise_max does. The
// arrays are distinct, so the unshifted products need not be stored.
template <std::size_t L>
[[gnu::always_inline]] inline void shifted_scaled(const math::Lanes<L>* __restrict g,
                                                  const math::Lanes<L>& scale,
                                                  math::Lanes<L>* __restrict e, std::size_t n) {
  math::Lanes<L> max = no_max<L>();
  for (std::size_t i = 0; i < n; ++i) raise_max<L>(max, e[i] = g[i] * scale);
  for (std::size_t i = 0; i < n; ++i) e[i] = e[i] - max;
}

// One player of OmwuOftrl up to its exponents: sums = sums_before + g, and
// e = (sums + g) * scale shifted by its maximum, as shifted_scaled does.
template <std::size_t L>
[[gnu::always_inline]] inline void oftrl_shifted(const math::Lanes<L>* __restrict sums_before,
                                                 const math::Lanes<L>* __restrict g,
                                                 const math::Lanes<L>& scale,
                                                 math::Lanes<L>* __restrict sums,
                                                 math::Lanes<L>* __restrict e, std::size_t n) {
  math::Lanes<L> max = no_max<L>();
  for (std::size_t i = 0; i < n; ++i) {
    const math::Lanes<L> sum = sums_before[i] + g[i];
    sums[i] = sum;
    raise_max<L>(max, e[i] = (sum + g[i]) * scale);
  }
  for (std::size_t i = 0; i < n; ++i) e[i] = e[i] - max;
}

// One player of OmwuOomd from its exponentials: hat_next = N(exps * hat + eps) into h, then
// next = N(exps * hat_next) into p. Returns the lanes where both pass their simplex checks.
// Each sum is taken, and each check fed, in index order by the loop that produces its entries.
// The four arrays are distinct, so entries stay in registers between the loops.
template <std::size_t L>
[[gnu::always_inline]] inline math::LaneMask<L> oomd_player(const math::Lanes<L>* __restrict ex,
                                                            const math::Lanes<L>* __restrict hat,
                                                            math::Lanes<L>* __restrict h,
                                                            math::Lanes<L>* __restrict p,
                                                            std::size_t len) {
  using T = math::Lanes<L>;
  T h_sum{};
  for (std::size_t i = 0; i < len; ++i) {
    const T v = ex[i] * hat[i] + kOomdEpsilon;
    h[i] = v;
    h_sum = h_sum + v;
  }
  math::LaneSimplexCheck<L> h_check, p_check;
  T p_sum{};
  for (std::size_t i = 0; i < len; ++i) {
    const T v = h[i] / h_sum;
    h[i] = v;
    h_check.add(v);
    const T w = ex[i] * v;
    p[i] = w;
    p_sum = p_sum + w;
  }
  for (std::size_t i = 0; i < len; ++i) {
    const T v = p[i] / p_sum;
    p[i] = v;
    p_check.add(v);
  }
  return h_check.passes() & p_check.passes();
}

// out <- N(v), checked as written: the lanes where out passes its simplex check.
template <std::size_t L>
[[gnu::always_inline]] inline math::LaneMask<L> normalise_checked(
    const math::Lanes<L>* __restrict v, math::Lanes<L>* __restrict out, std::size_t n) {
  math::Lanes<L> sum{};
  for (std::size_t i = 0; i < n; ++i) sum = sum + v[i];
  math::LaneSimplexCheck<L> check;
  for (std::size_t i = 0; i < n; ++i) {
    const math::Lanes<L> w = v[i] / sum;
    out[i] = w;
    check.add(w);
  }
  return check.passes();
}

// The multiplicative-weights step of `Rule` up to its exponentials: both players' exponents
// written side by side to e[0 .. m + n) (and OmwuOftrl's new sums to next_first and next_second).
template <class Rule, std::size_t N, std::size_t L>
[[gnu::always_inline]] inline void exponents(MemoryLanes<L>& r, math::Lanes<L>* e) {
  const std::size_t m = N > 0 ? N : r.m, n = N > 0 ? N : r.n;
  const math::Lanes<L> neg_eta = -r.eta;
  if constexpr (std::is_same_v<Rule, OmwuOomd>) {
    shifted_scaled<L>(r.gx.data(), neg_eta, e, m);
    shifted_scaled<L>(r.gy.data(), neg_eta, e + m, n);
  } else {
    static_assert(std::is_same_v<Rule, OmwuOftrl>);
    oftrl_shifted<L>(r.first.data(), r.gx.data(), neg_eta, r.next_first.data(), e, m);
    oftrl_shifted<L>(r.second.data(), r.gy.data(), neg_eta, r.next_second.data(), e + m, n);
  }
}

// The rest of the step from the exponentials in e[0 .. m + n): the next vectors, and the lanes
// where they pass their simplex checks.
template <class Rule, std::size_t N, std::size_t L>
[[gnu::always_inline]] inline math::LaneMask<L> normalised(MemoryLanes<L>& r,
                                                           const math::Lanes<L>* e) {
  const std::size_t m = N > 0 ? N : r.m, n = N > 0 ? N : r.n;
  if constexpr (std::is_same_v<Rule, OmwuOomd>) {
    return oomd_player<L>(e, r.first.data(), r.next_first.data(), r.next_x.data(), m) &
           oomd_player<L>(e + m, r.second.data(), r.next_second.data(), r.next_y.data(), n);
  } else {
    return normalise_checked<L>(e, r.next_x.data(), m) &
           normalise_checked<L>(e + m, r.next_y.data(), n);
  }
}

template <std::size_t L>
[[gnu::always_inline]] inline void install(MemoryLanes<L>& r) {
  r.x.swap_entries(r.next_x);
  r.y.swap_entries(r.next_y);
  r.first.swap_entries(r.next_first);
  r.second.swap_entries(r.next_second);
}

}  // namespace lane_detail

// One step of `Rule` (Ogda, OmwuOomd or OmwuOftrl) in every lane, with the arithmetic of
// `step(Rule&, GameState&, Workspace&)` operation for operation. As step_small: when any lane's
// step would stop, nothing is written in any lane and the caller replays the step lane by lane
// with the general rule; `stops` names those lanes. N is 0, or the games' rows and columns when
// they are N x N, known when compiling: the loops unroll and the sorts stay in registers.
template <class Rule, std::size_t N, std::size_t L>
[[gnu::always_inline]] inline SmallStep<L> step_lanes(MemoryLanes<L>& r) {
  using T = math::Lanes<L>;
  using namespace lane_detail;
  const std::size_t m = N > 0 ? N : r.m, n = N > 0 ? N : r.n;
  gradient<L, N>(r);
  const T gap = -total_order_min<L>(r.gy.data(), n) - total_order_min<L>(r.gx.data(), m);
  const T* gx = r.gx.data();
  const T* gy = r.gy.data();
  T* d = r.work.data();
  math::LaneMask<L> stops = math::no_lane<L>();

  if constexpr (std::is_same_v<Rule, Ogda>) {
    const T eta = r.eta;
    for (std::size_t i = 0; i < m; ++i) d[i] = r.first[i] - gx[i] * eta;
    stops |=
        math::project_lanes<L, N>(d, m, r.next_first.data(), r.sorted.data(), r.order[0].data());
    for (std::size_t j = 0; j < n; ++j) d[j] = r.second[j] - gy[j] * eta;
    stops |=
        math::project_lanes<L, N>(d, n, r.next_second.data(), r.sorted.data(), r.order[1].data());
    for (std::size_t i = 0; i < m; ++i) d[i] = r.next_first[i] - gx[i] * eta;
    stops |= math::project_lanes<L, N>(d, m, r.next_x.data(), r.sorted.data(), r.order[2].data());
    for (std::size_t j = 0; j < n; ++j) d[j] = r.next_second[j] - gy[j] * eta;
    stops |= math::project_lanes<L, N>(d, n, r.next_y.data(), r.sorted.data(), r.order[3].data());
  } else {
    exponents<Rule, N, L>(r, r.exps.data());
    // Both players' exponentials side by side; the vector exp returns exactly what ::exp does.
    math::exp_lanes_in_place(reinterpret_cast<double*>(r.exps.data()), L * (m + n));
    stops = normalised<Rule, N, L>(r, r.exps.data()) == math::no_lane<L>();
  }
  if (math::any_lane<L>(stops)) return {gap, stops};
  install<L>(r);
  return {gap, math::no_lane<L>()};
}

// One step of a multiplicative-weights `Rule` in both groups, phase by phase; each group's result
// is what step_lanes returns for it, and a group writes nothing when any of its lanes would stop.
template <class Rule, std::size_t N, std::size_t L>
[[gnu::always_inline]] inline std::array<SmallStep<L>, 2> step_paired(PairedLanes<L>& r) {
  using namespace lane_detail;
  static_assert(!std::is_same_v<Rule, Ogda>);
  MemoryLanes<L>& a = r.group[0];
  MemoryLanes<L>& b = r.group[1];
  const std::size_t m = N > 0 ? N : a.m, n = N > 0 ? N : a.n;
  gradient<L, N>(a);
  gradient<L, N>(b);
  std::array<SmallStep<L>, 2> out;
  out[0].gap = -total_order_min<L>(a.gy.data(), n) - total_order_min<L>(a.gx.data(), m);
  out[1].gap = -total_order_min<L>(b.gy.data(), n) - total_order_min<L>(b.gx.data(), m);
  // Both groups' exponentials in one array, so that one pass of the vector exp takes them all.
  math::Lanes<L>* e = r.exps.data();
  exponents<Rule, N, L>(a, e);
  exponents<Rule, N, L>(b, e + (m + n));
  math::exp_lanes_in_place(reinterpret_cast<double*>(e), 2 * L * (m + n));
  out[0].stops = normalised<Rule, N, L>(a, e) == math::no_lane<L>();
  out[1].stops = normalised<Rule, N, L>(b, e + (m + n)) == math::no_lane<L>();
  if (!math::any_lane<L>(out[0].stops)) install<L>(a);
  if (!math::any_lane<L>(out[1].stops)) install<L>(b);
  return out;
}

// The lanes for `Rule` on N x N games held in memory (any size when N is 0): the
// multiplicative weights on sizes known when compiling in two groups of four, else one group.
template <class Rule, std::size_t N, std::size_t L>
using MemoryLanesFor = std::conditional_t<N != 0 && L == 4 && !std::is_same_v<Rule, Ogda>,
                                          PairedLanes<L>, MemoryLanes<L>>;

}  // namespace ludovec::optimizers
