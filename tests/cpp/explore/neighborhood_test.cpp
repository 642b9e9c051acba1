// One full run per matrix of a given stack.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "explore/neighborhood.hpp"
#include "math/stop.hpp"

namespace ludovec::explore {
namespace {

using domain::GameResult;
using math::Matrix;
using optimizers::Optimizer;

MatrixStackView stack_of(const std::vector<double>& storage, std::size_t count, std::size_t rows,
                         std::size_t cols) {
  const auto d = static_cast<std::ptrdiff_t>(sizeof(double));
  return {reinterpret_cast<const std::byte*>(storage.data()),
          count,
          rows,
          cols,
          static_cast<std::ptrdiff_t>(rows * cols) * d,
          static_cast<std::ptrdiff_t>(cols) * d,
          d};
}

bool same_bits(std::span<const double> a, std::span<const double> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

bool same_result(const GameResult& a, const GameResult& b) {
  return a.x_history.rows() == b.x_history.rows() && a.x_history.cols() == b.x_history.cols() &&
         same_bits({a.x_history.data(), a.x_history.size()},
                   {b.x_history.data(), b.x_history.size()}) &&
         same_bits({a.y_history.data(), a.y_history.size()},
                   {b.y_history.data(), b.y_history.size()}) &&
         same_bits(a.gaps_history, b.gaps_history);
}

// The run the exploration must reproduce: the given matrix, x = y = (0.5, 0.5), a copy of opt.
GameResult single_run(const Matrix& a, const Optimizer& opt, std::uint32_t num_steps) {
  domain::GameState state{{0.5, 0.5}, {0.5, 0.5}, a};
  Optimizer clone = opt;
  return optimizers::run_experiment_until_convergence(domain::Experiment{num_steps}, state, clone);
}

Matrix matrix2(double a, double b, double c, double d) {
  Matrix m(2, 2);
  m(0, 0) = a;
  m(0, 1) = b;
  m(1, 0) = c;
  m(1, 1) = d;
  return m;
}

TEST(Normalize, RescalesToTheUnitRange) {
  struct Case {
    Matrix in;
    std::vector<double> out;
  } cases[] = {
      {matrix2(1, 3, 5, 9), {0, 0.25, 0.5, 1}},
      {matrix2(-2, 0, 2, 6), {0, 0.25, 0.5, 1}},
      {matrix2(NAN, 2, 4, 6), {NAN, 0, 0.5, 1}},  // NaN skipped by both extremes
      {matrix2(3, 3, 3, 3), {NAN, NAN, NAN, NAN}},  // 0 / 0
  };
  for (Case& c : cases) {
    normalize_to_unit_range(c.in);
    for (std::size_t k = 0; k < 4; ++k) {
      if (std::isnan(c.out[k])) {
        EXPECT_TRUE(std::isnan(c.in.data()[k])) << k;
      } else {
        EXPECT_EQ(c.in.data()[k], c.out[k]) << k;
      }
    }
  }
}

// Each rule, advanced beforehand so that a reset (which must not happen) would show. The stack
// holds more games than a worker's lanes, some solved by dominant actions in various numbers
// of steps, the second repeated as the fourth.
TEST(Neighborhood, EachResultIsTheSingleRunOfItsMatrix) {
  std::vector<double> storage = {1, 3, 5, 9, 0, 1, -1, 0, 2, -1, 0.5, 4, 0, 1, -1, 0};
  for (int k = 0; k < 7; ++k) {  // row 0 and column 1 dominant, by margins that vary
    const double margin = 0.05 + 0.3 * k;
    storage.insert(storage.end(), {1.0, 1.0 + margin, 1.0 + 2 * margin, 1.0 + margin / 2});
  }
  const std::size_t count = storage.size() / 4;
  for (int v = 0; v < 3; ++v) {
    Optimizer advanced = v == 0   ? Optimizer{optimizers::make_ogda(0.2, 2)}
                         : v == 1 ? Optimizer{optimizers::make_omwuoomd(2.0, 2)}
                                  : Optimizer{optimizers::make_omwuoftrl(2.0, 2)};
    {
      domain::GameState warmup = domain::GameState::from_matrix(matrix2(3, -1, 0, 2));
      (void)optimizers::run_experiment_until_convergence(domain::Experiment{5}, warmup, advanced);
    }
    const Optimizer before = advanced;
    for (std::size_t workers : {1u, 3u}) {
      runtime::WorkerPool pool(workers);
      for (bool normalize : {false, true}) {
        const auto results =
            neighborhood_exploration(stack_of(storage, count, 2, 2), advanced, 40, normalize,
                                     runtime::BatchExecution{&pool, {}});
        ASSERT_EQ(results.size(), count);
        for (std::size_t i = 0; i < count; ++i) {
          Matrix a(2, 2);
          std::copy_n(storage.begin() + static_cast<std::ptrdiff_t>(4 * i), 4, a.data());
          if (normalize) normalize_to_unit_range(a);
          EXPECT_TRUE(same_result(results[i], single_run(a, advanced, 40))) << v << " " << i;
        }
        EXPECT_TRUE(same_result(results[1], results[3]));
      }
    }
    EXPECT_TRUE(same_result(single_run(matrix2(1, 3, 5, 9), advanced, 40),
                            single_run(matrix2(1, 3, 5, 9), before, 40)))
        << "the caller's optimizer is unchanged";
  }
  const Optimizer advanced = [] {
    Optimizer o{optimizers::make_ogda(0.2, 2)};
    domain::GameState warmup = domain::GameState::from_matrix(matrix2(3, -1, 0, 2));
    (void)optimizers::run_experiment_until_convergence(domain::Experiment{5}, warmup, o);
    return o;
  }();
  const Optimizer fresh{optimizers::make_ogda(0.2, 2)};
  EXPECT_FALSE(same_result(single_run(matrix2(2, -1, 0.5, 4), advanced, 40),
                           single_run(matrix2(2, -1, 0.5, 4), fresh, 40)))
      << "the case tells an advanced optimizer from a fresh one";
}

TEST(Neighborhood, StridedStackReadInItsOwnOrder) {
  // Matrices stored last-first and each transposed: negative and swapped strides.
  const std::vector<double> storage = {/* matrix 1 */ 0, -1, 1, 0,
                                       /* matrix 0 */ 1, 5,  3, 9};
  const auto d = static_cast<std::ptrdiff_t>(sizeof(double));
  const MatrixStackView view{
      reinterpret_cast<const std::byte*>(storage.data() + 4), 2, 2, 2, -4 * d, d, 2 * d};
  const Optimizer opt{optimizers::make_omwuoftrl(0.1, 2)};
  const auto results = neighborhood_exploration(view, opt, 25, false);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_TRUE(same_result(results[0], single_run(matrix2(1, 3, 5, 9), opt, 25)));
  EXPECT_TRUE(same_result(results[1], single_run(matrix2(0, 1, -1, 0), opt, 25)));
}

TEST(Neighborhood, EmptyStacksAndWrongShapes) {
  const Optimizer opt{optimizers::make_ogda(0.1, 2)};
  EXPECT_TRUE(neighborhood_exploration(MatrixStackView{}, opt, 10, true).empty());
  const std::vector<double> threes(2 * 9, 1.0);
  EXPECT_THROW((void)neighborhood_exploration(stack_of(threes, 2, 3, 3), opt, 1, false),
               math::Stop);
  // Without a step nothing checks the shape: empty histories of width 2.
  const auto unstepped = neighborhood_exploration(stack_of(threes, 2, 3, 3), opt, 0, false);
  ASSERT_EQ(unstepped.size(), 2u);
  EXPECT_EQ(unstepped[0].x_history.rows(), 0u);
  EXPECT_EQ(unstepped[0].x_history.cols(), 2u);
}

}  // namespace
}  // namespace ludovec::explore
