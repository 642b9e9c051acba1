// The probability simplex: the membership check with its error text, and Euclidean projection.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "math/matrix.hpp"
#include "math/result.hpp"

namespace ludovec::math {

inline constexpr double kSimplexTolerance = 1e-06;

// lies_on_simplex fed one entry at a time, in index order, so that a pass computing a vector can
// check it on the way.
class SimplexCheck {
 public:
  void add(double e) noexcept {
    sum_ += e;
    lowest_ = e < lowest_ ? e : lowest_;
  }
  // A NaN entry slips past the running minimum but makes the sum NaN, which fails the test.
  bool passed() const noexcept {
    return lowest_ >= 0.0 && std::abs(sum_ + -1.0) < kSimplexTolerance;
  }

 private:
  double sum_ = -0.0;
  double lowest_ = 0.0;
};

// True when every entry is >= 0.0 (NaN fails) and the index-order sum, started at -0.0,
// lies strictly within kSimplexTolerance of 1.0.
bool lies_on_simplex(std::span<const double> v) noexcept;

// Shortest round-trip decimal of `d`, with at least one decimal, exponent form below 1e-4
// and from 1e16 upward ("1e-7", "1.5e16"), "NaN" and "inf".
std::string format_double(double d);

// "[a, b, ...], shape=[n], strides=[1], layout=CFcf (0xf), const ndim=1", eliding the
// middle of vectors of 500 entries or more.
std::string render_vector(std::span<const double> v);

// Builder of simplex vectors.
struct S {
  // Hands `v` back untouched when it lies on the simplex, else the refusal text
  // "v does not belong on the simplex. Last values : <render_vector(v)>".
  static Result<Vector> build(Vector v);
};

// Euclidean projection of `v` onto {w >= 0, sum w = z}, written into `out` (same length as
// v, may alias v); `sorted` is scratch of the same length. Allocates nothing.
// Stops: "NaN encountered" (a NaN among two or more entries), "Issue computing theta"
// (no admissible threshold: empty input, +inf largest entry, all -inf, a lone NaN).
void simplex_projection_into(std::span<const double> v, double z, std::span<double> out,
                             std::span<double> sorted);

// The scratch of one projection site that runs again and again on slowly moving vectors, such as
// a step rule's: the order that sorted the previous input, from which the next sort starts, so
// that a sort usually costs one pass.
struct ProjectionScratch {
  Vector sorted;
  std::vector<std::size_t> order;  // a permutation of 0..n-1, largest entry first last time

  // Sizes the buffers for inputs of length n; a new length starts from the identity order.
  void fit(std::size_t n);
};

// simplex_projection_into sorting from the order kept in `scratch` (fitted to v's length), which
// it then updates. Same results and stops; `out` may alias v.
void simplex_projection_into(std::span<const double> v, double z, std::span<double> out,
                             ProjectionScratch& scratch);

// Projection (z = 1.0) of the entry-wise difference v - s into `out` (which must not overlap v
// or s), sorting from the order kept in `scratch`. Stops as projected_step.
void projected_step_into(std::span<const double> v, std::span<const double> s,
                         std::span<double> out, ProjectionScratch& scratch);

// projected_step_into(v, g scaled by eta, ...), the scaled entries g(i) * eta computed on the way.
void projected_gradient_step_into(std::span<const double> v, std::span<const double> g, double eta,
                                  std::span<double> out, ProjectionScratch& scratch);

// The projection as a new Vector.
Vector simplex_projection(const Vector& v, double z);

// Projection (z = 1.0) of the entry-wise difference v - s. Stops on unequal lengths with
// a shape message, else as the projection.
Vector projected_step(const Vector& v, const Vector& s);

// Stops with a shape message unless the two lengths agree; `what` names the operation.
void require_same_length(std::size_t a, std::size_t b, const char* what);

}  // namespace ludovec::math
