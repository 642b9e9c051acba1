#include "domain/game_state.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "math/stop.hpp"
#include "support.hpp"

namespace ludovec::domain {
namespace {

using test_support::matrix;
using test_support::stop_message;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(GameState, FromMatrixBuildsUniformStrategies) {
  const GameState s = GameState::from_matrix(Matrix(2, 3));
  EXPECT_EQ(s.x, (Vector{0.5, 0.5}));
  EXPECT_EQ(s.y, Vector(3, 1.0 / 3.0));
  EXPECT_EQ(GameState::from_matrix(Matrix(1, 1)).x, Vector{1.0});
}

TEST(GameState, FromEmptyMatrixStopsOnTheFirstEmptyStrategy) {
  const std::string empty =
      "\"v does not belong on the simplex. Last values : [], shape=[0], strides=[0], "
      "layout=CFcf (0xf), const ndim=1\"";
  EXPECT_EQ(stop_message([] { GameState::from_matrix(Matrix(0, 3)); }),
            "unable to build x: " + empty);
  EXPECT_EQ(stop_message([] { GameState::from_matrix(Matrix(0, 0)); }),
            "unable to build x: " + empty);
  EXPECT_EQ(stop_message([] { GameState::from_matrix(Matrix(3, 0)); }),
            "unable to build y: " + empty);
}

TEST(GameState, GradientsAndGapOfWorkedGames) {
  struct Case {
    Matrix a;
    Vector x, y, gx, gy;
    double gap;
  };
  const Case cases[] = {
      {matrix(2, 2, {1, 0, 0, 1}), {1.0, 0.0}, {0.5, 0.5}, {0.5, 0.5}, {-1.0, -0.0}, 0.5},
      {matrix(2, 2, {1, 0, 0, 1}), {0.5, 0.5}, {0.5, 0.5}, {0.5, 0.5}, {-0.5, -0.5}, 0.0},
      {matrix(2, 2, {0, 1, -1, 0}), {0.5, 0.5}, {0.5, 0.5}, {0.5, -0.5}, {0.5, -0.5}, 1.0},
      {matrix(2, 3, {1, 2, 3, 4, 5, 6}),
       {0.25, 0.75},
       {1.0, 0.0, 0.0},
       {1.0, 4.0},
       {-3.25, -4.25, -5.25},
       4.25},
  };
  for (const auto& c : cases) {
    const GameState s{c.x, c.y, c.a};
    const auto [gx, gy] = compute_gradient(s);
    EXPECT_EQ(gx, c.gx);
    ASSERT_EQ(gy.size(), c.gy.size());
    for (std::size_t j = 0; j < gy.size(); ++j) {
      EXPECT_EQ(gy[j], c.gy[j]);
      EXPECT_EQ(std::signbit(gy[j]), std::signbit(c.gy[j])) << "entry " << j;
    }
    EXPECT_EQ(duality_gap(gx, gy), c.gap);
  }
}

TEST(GameState, GapMinimaFollowTotalOrder) {
  const double neg_nan = -kNaN;
  EXPECT_EQ(duality_gap(Vector{kNaN, 2.0}, Vector{0.0}), -2.0);
  EXPECT_TRUE(std::isnan(duality_gap(Vector{std::copysign(kNaN, -1.0), 2.0}, Vector{0.0})));
  EXPECT_TRUE(std::isnan(duality_gap(Vector{1.0}, Vector{neg_nan, -5.0})));
  // -0.0 sorts below +0.0, so the gap is (+0.0) - (+0.0), not (-0.0) - (+0.0).
  EXPECT_FALSE(std::signbit(duality_gap(Vector{0.0}, Vector{0.0, -0.0})));
  EXPECT_NE(stop_message([] { duality_gap(Vector{}, Vector{1.0}); }), test_support::kNoStop);
}

TEST(GameState, MismatchedShapesStopAtTheGradient) {
  const auto message = [](Vector x, Vector y) {
    return stop_message([&] { compute_gradient(GameState{x, y, Matrix(2, 3)}); });
  };
  EXPECT_EQ(message({0.5, 0.5}, {0.5, 0.5}),
            "inputs 2 × 3 and 2 × 1 are not compatible for matrix multiplication");
  EXPECT_EQ(message({1.0}, {1.0, 0.0, 0.0}),
            "inputs 3 × 2 and 1 × 1 are not compatible for matrix multiplication");
  // Wrong in both: the product with y reports first.
  EXPECT_EQ(message({1.0}, {1.0}),
            "inputs 2 × 3 and 1 × 1 are not compatible for matrix multiplication");
}

}  // namespace
}  // namespace ludovec::domain
