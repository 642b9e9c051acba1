#include "explore/norms.hpp"

#include <cmath>
#include <limits>

#include "explore/lowercase.hpp"

namespace ludovec::explore {

namespace {
constexpr double kNegInf = -std::numeric_limits<double>::infinity();
}

double max_norm(const math::MatrixView& a) noexcept {
  double largest = kNegInf;
  for (std::size_t i = 0; i < a.rows; ++i)
    for (std::size_t j = 0; j < a.cols; ++j)
      largest = max_ignoring_nan(largest, std::fabs(a.at(i, j)));
  return largest;
}

double infinity_norm(const math::MatrixView& a) noexcept {
  double largest = kNegInf;
  for (std::size_t i = 0; i < a.rows; ++i) {
    double row_sum = -0.0;
    for (std::size_t j = 0; j < a.cols; ++j) row_sum += std::fabs(a.at(i, j));
    largest = max_ignoring_nan(largest, row_sum);
  }
  return largest;
}

double frobenius_norm(const math::MatrixView& a) noexcept {
  double sum = 0.0;
  for (std::size_t i = 0; i < a.rows; ++i)
    for (std::size_t j = 0; j < a.cols; ++j) {
      const double v = a.at(i, j);
      sum += v * v;
    }
  const double plain = std::sqrt(sum);
  // The plain sum of squares underflows to 0 for entries below about 1e-162 and overflows to
  // infinity above about 1e154. Only then is it redone on entries scaled by the largest one,
  // so that every other result stays the plain formula's, bit for bit. (NaN entries make the
  // plain result NaN, which is neither.)
  if (plain != 0.0 && !std::isinf(plain)) return plain;
  double largest = 0.0;  // of the absolute values
  for (std::size_t i = 0; i < a.rows; ++i)
    for (std::size_t j = 0; j < a.cols; ++j) largest = std::fmax(largest, std::fabs(a.at(i, j)));
  const bool underflowed = plain == 0.0 && largest > 0.0;
  const bool overflowed = std::isinf(plain) && std::isfinite(largest);
  if (!underflowed && !overflowed) return plain;
  double scaled = 0.0;
  for (std::size_t i = 0; i < a.rows; ++i)
    for (std::size_t j = 0; j < a.cols; ++j) {
      const double v = a.at(i, j) / largest;
      scaled += v * v;
    }
  return largest * std::sqrt(scaled);
}

NormFunction norm_function(NormType type) noexcept {
  switch (type) {
    case NormType::Max: return &max_norm;
    case NormType::Infinity: return &infinity_norm;
    case NormType::Frobenius: return &frobenius_norm;
  }
  return &max_norm;  // unreachable: every enumerator is handled above
}

math::Result<NormType> parse_norm_type(std::string_view name) {
  const std::string lowered = to_lowercase(name);
  if (lowered == "max") return math::Result<NormType>::ok(NormType::Max);
  if (lowered == "infinity") return math::Result<NormType>::ok(NormType::Infinity);
  if (lowered == "frobenius") return math::Result<NormType>::ok(NormType::Frobenius);
  return math::Result<NormType>::error("Unknown norm type. Use 'max', 'infinity', or 'frobenius'");
}

}  // namespace ludovec::explore
