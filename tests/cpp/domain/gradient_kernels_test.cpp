// The blocked gradient pass, the duality gap and their register versions against a plain
// rendering of the definitions, bit for bit, over shapes that leave every kind of remainder.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "domain/game_state.hpp"
#include "domain/small_game.hpp"

namespace ludovec::domain {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Same bits, except that any two NaN count as equal: which NaN an operation with two NaN
// operands returns depends on the order the compiler gives the operands, which no code fixes.
bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (a != a && b != b);
}
bool same_bits(const Vector& a, const Vector& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!same_bits(a[i], b[i])) return false;
  return true;
}

// gx = A y and gy = -(A^T x), each sum from +0.0 in index order.
std::pair<Vector, Vector> reference_gradient(const GameState& s) {
  Vector gx(s.a.rows()), gy(s.a.cols());
  for (std::size_t i = 0; i < s.a.rows(); ++i) {
    double acc = 0.0;
    for (std::size_t j = 0; j < s.a.cols(); ++j) acc += s.a(i, j) * s.y[j];
    gx[i] = acc;
  }
  for (std::size_t j = 0; j < s.a.cols(); ++j) {
    double acc = 0.0;
    for (std::size_t i = 0; i < s.a.rows(); ++i) acc += s.a(i, j) * s.x[i];
    gy[j] = -acc;
  }
  return {gx, gy};
}

// The smallest entry under totalOrder, by comparing keys pairwise.
double reference_min(const Vector& v) {
  const auto key = [](double d) {
    const auto b = std::bit_cast<std::int64_t>(d);
    return b < 0 ? b ^ INT64_MAX : b;
  };
  double m = v[0];
  for (double d : v)
    if (key(d) < key(m)) m = d;
  return m;
}

// Entries that make signed zeros, infinities and NaN appear in the sums now and then.
double entry(std::mt19937_64& rng, double awkward_rate) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  if (unit(rng) >= awkward_rate) return std::uniform_real_distribution<double>(-3.0, 3.0)(rng);
  const double awkward[] = {0.0, -0.0, -0.0, 1e300, -kInf, kNaN, -kNaN};
  return awkward[rng() % std::size(awkward)];
}

GameState random_state(std::size_t m, std::size_t n, std::mt19937_64& rng, double awkward) {
  GameState s{Vector(m), Vector(n), Matrix(m, n)};
  for (double& e : s.x) e = entry(rng, awkward);
  for (double& e : s.y) e = entry(rng, awkward);
  for (std::size_t k = 0; k < s.a.size(); ++k) s.a.data()[k] = entry(rng, awkward);
  return s;
}

TEST(GradientPass, EveryShapeMatchesTheIndexOrderSums) {
  std::mt19937_64 rng(7);
  for (std::size_t m : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 13u, 100u})
    for (std::size_t n : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 9u, 10u, 37u})
      for (double awkward : {0.0, 0.05, 0.5}) {
        SCOPED_TRACE(std::to_string(m) + " x " + std::to_string(n) + " awkward " +
                     std::to_string(awkward));
        const GameState s = random_state(m, n, rng, awkward);
        const auto [want_x, want_y] = reference_gradient(s);
        const auto [gx, gy] = compute_gradient(s);
        EXPECT_TRUE(same_bits(gx, want_x));
        EXPECT_TRUE(same_bits(gy, want_y));
      }
}

TEST(DualityGap, TotalOrderMinimaWithNaNAndSignedZeros) {
  std::mt19937_64 rng(11);
  const Vector cases[] = {{0.0, -0.0},         {-0.0, 0.0},      {kNaN, 2.0},
                          {2.0, -kNaN},        {kNaN, kNaN},     {-kInf, kInf},
                          {kInf, -kInf, kNaN}, {3.0, 3.0, -1.0}, {1e-300, 0.0}};
  for (const Vector& v : cases) {
    EXPECT_TRUE(same_bits(duality_gap(v, Vector{1.0}), -1.0 - reference_min(v)));
    EXPECT_TRUE(same_bits(duality_gap(Vector{1.0}, v), -reference_min(v) - 1.0));
  }
  for (int round = 0; round < 2000; ++round) {
    Vector gx(1 + round % 13), gy(1 + round % 7);
    for (double& e : gx) e = entry(rng, 0.3);
    for (double& e : gy) e = entry(rng, 0.3);
    EXPECT_TRUE(same_bits(duality_gap(gx, gy), -reference_min(gy) - reference_min(gx)));
  }
}

// small_gradient and small_duality_gap in every lane against the general functions. The small
// gap is defined for gradients without NaN only.
template <std::size_t N, std::size_t L>
void check_small_game(std::mt19937_64& rng, double awkward) {
  for (int round = 0; round < 300; ++round) {
    SmallGame<N, L> g;
    GameState states[L];
    for (std::size_t l = 0; l < L; ++l) {
      states[l] = random_state(N, N, rng, awkward);
      for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = 0; j < N; ++j) math::set_lane<L>(g.a[i][j], l, states[l].a(i, j));
        math::set_lane<L>(g.x[i], l, states[l].x[i]);
        math::set_lane<L>(g.y[i], l, states[l].y[i]);
      }
    }
    math::Lanes<L> gx[N], gy[N];
    small_gradient<N, L>(g, gx, gy);
    const math::Lanes<L> gap = small_duality_gap<N, L>(gx, gy);
    for (std::size_t l = 0; l < L; ++l) {
      const auto [want_x, want_y] = compute_gradient(states[l]);
      Vector got_x(N), got_y(N);
      for (std::size_t i = 0; i < N; ++i) {
        got_x[i] = math::lane<L>(gx[i], l);
        got_y[i] = math::lane<L>(gy[i], l);
      }
      EXPECT_TRUE(same_bits(got_x, want_x));
      EXPECT_TRUE(same_bits(got_y, want_y));
      const auto nan = [](double d) { return d != d; };
      const bool has_nan = std::any_of(want_x.begin(), want_x.end(), nan) ||
                           std::any_of(want_y.begin(), want_y.end(), nan);
      if (!has_nan) {
        EXPECT_TRUE(same_bits(math::lane<L>(gap, l), duality_gap(want_x, want_y)));
      }
    }
  }
}

TEST(SmallGame, GradientsAndGapMatchTheGeneralFunctionsInEveryLane) {
  std::mt19937_64 rng(13);
  for (double awkward : {0.0, 0.2, 0.6}) {
    check_small_game<2, 1>(rng, awkward);
    check_small_game<3, 1>(rng, awkward);
    check_small_game<4, 1>(rng, awkward);
    check_small_game<2, 4>(rng, awkward);
    check_small_game<3, 2>(rng, awkward);
    check_small_game<4, 4>(rng, awkward);
  }
}

}  // namespace
}  // namespace ludovec::domain
