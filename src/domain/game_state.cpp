#include "domain/game_state.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>

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

// Maps a double to an integer whose order is IEEE 754 totalOrder.
std::int64_t total_order_key(double d) {
  const auto bits = std::bit_cast<std::int64_t>(d);
  return bits < 0 ? bits ^ INT64_MAX : bits;
}

double total_order_min(std::span<const double> v) {
  if (v.empty()) math::stop("duality gap of an empty gradient");
  return *std::min_element(v.begin(), v.end(), [](double a, double b) {
    return total_order_key(a) < total_order_key(b);
  });
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
  // One pass over the rows computes both products: A y row by row, and A^T x accumulated.
  std::fill(gy.begin(), gy.end(), 0.0);
  for (std::size_t i = 0; i < m; ++i) {
    const double* row = s.a.row(i).data();
    const double xi = s.x[i];
    double acc = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
      acc += row[j] * s.y[j];
      gy[j] += row[j] * xi;
    }
    gx[i] = acc;
  }
  for (double& g : gy) g = -g;
}

std::pair<Vector, Vector> compute_gradient(const GameState& s) {
  Vector gx(s.x.size()), gy(s.y.size());
  compute_gradient_into(s, gx, gy);
  return {std::move(gx), std::move(gy)};
}

double duality_gap(std::span<const double> gx, std::span<const double> gy) {
  const double min_gy = total_order_min(gy);
  const double min_gx = total_order_min(gx);
  return (-min_gy) - min_gx;
}

}  // namespace ludovec::domain
