// A zero-sum matrix game at one moment of a run: payoff matrix, both strategies, gradients, gap.
#pragma once

#include <span>
#include <utility>

#include "math/matrix.hpp"

namespace ludovec::domain {

using math::Matrix;
using math::Vector;

// The row player (strategy x, one entry per row of a) pays x^T a y to the column player (y).
struct GameState {
  Vector x;
  Vector y;
  Matrix a;

  // Uniform strategies for `a`, which is moved in. Stops with "unable to build x: ..." when
  // `a` has no rows, else "unable to build y: ..." when it has no columns.
  static GameState from_matrix(Matrix a);
};

// Loss gradients gx = A y (length rows) and gy = -(A^T x) (length cols), written into the
// spans, which must have those lengths. Reads the matrix once. Stops with a shape message
// when y's length differs from the columns (checked first) or x's from the rows.
void compute_gradient_into(const GameState& s, std::span<double> gx, std::span<double> gy);

// The same into new Vectors: (gx, gy).
std::pair<Vector, Vector> compute_gradient(const GameState& s);

// (-min gy) - min gx, both minima under IEEE 754 totalOrder. Stops when either is empty.
double duality_gap(std::span<const double> gx, std::span<const double> gy);

}  // namespace ludovec::domain
