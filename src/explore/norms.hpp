// Matrix norms that measure a perturbation, and the parsing of their user-facing names.
#pragma once

#include <string_view>

#include "math/matrix.hpp"
#include "math/result.hpp"

namespace ludovec::explore {

// The perturbation norm a user may choose, in this order.
enum class NormType { Max, Infinity, Frobenius };

// The explorations carry the chosen norm as a plain function.
using NormFunction = double (*)(const math::MatrixView&);

// Largest absolute entry, folded from -inf; NaN entries are ignored (all-NaN or no entries: -inf).
double max_norm(const math::MatrixView& a) noexcept;

// Largest absolute row sum; each row sum starts at -0.0 and runs in column order, the sums
// are folded from -inf ignoring NaN. No rows: -inf; rows without columns: -0.0.
double infinity_norm(const math::MatrixView& a) noexcept;

// Square root of the sum of squares taken in storage order from 0.0; NaN propagates. Where
// that sum underflows to 0 although an entry is non-zero, or overflows to infinity although
// every entry is finite, the result is recomputed on the entries divided by the largest
// absolute value: largest * sqrt(sum of (entry / largest)^2).
double frobenius_norm(const math::MatrixView& a) noexcept;

NormFunction norm_function(NormType type) noexcept;

// "max", "infinity" or "frobenius" after full Unicode lower-casing; anything else is refused
// with "Unknown norm type. Use 'max', 'infinity', or 'frobenius'".
math::Result<NormType> parse_norm_type(std::string_view name);

// Running maximum that passes over NaN candidates: the fold shared by the norms and metrics.
inline double max_ignoring_nan(double running, double candidate) noexcept {
  return candidate > running ? candidate : running;
}

}  // namespace ludovec::explore
