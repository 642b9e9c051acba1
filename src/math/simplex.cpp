#include "math/simplex.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>

namespace ludovec::math {

namespace {

// Vectors this long show only their first and last few entries.
constexpr std::size_t kElideFrom = 500;
constexpr std::size_t kElidedEdge = 5;
// Stability is moot: entries that compare equal are equal doubles (or ±0.0, which add
// alike into the running sum), so any order of ties gives the same threshold.
// Below this length an insertion sort wins, and consecutive projections of a run see
// nearly the same order, which insertion sort finishes in one pass.
constexpr std::size_t kInsertionSortMax = 32;

void sort_descending(std::span<double> v) {
  if (v.size() > kInsertionSortMax) {
    std::sort(v.begin(), v.end(), std::greater<>());  // equal keys are equal values here
    return;
  }
  for (std::size_t i = 1; i < v.size(); ++i) {
    const double e = v[i];
    std::size_t j = i;
    for (; j > 0 && v[j - 1] < e; --j) v[j] = v[j - 1];
    v[j] = e;
  }
}

}  // namespace

bool lies_on_simplex(std::span<const double> v) noexcept {
  double sum = -0.0;
  bool non_negative = true;
  for (double e : v) {
    sum += e;
    non_negative &= e >= 0.0;
  }
  return non_negative && std::abs(sum + -1.0) < kSimplexTolerance;
}

std::string format_double(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  char buf[64];
  const double mag = std::abs(d);
  if (mag != 0.0 && (mag < 1e-4 || mag >= 1e16)) {
    // to_chars writes "1.5e+16" / "1e-07"; the rendering wants "1.5e16" / "1e-7".
    const auto end = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific).ptr;
    std::string text(buf, end);
    const std::size_t e = text.find('e');
    std::string exponent = text.substr(e + 1);
    const bool negative = exponent[0] == '-';
    exponent.erase(0, exponent.find_first_not_of("+-"));
    exponent.erase(0, std::min(exponent.find_first_not_of('0'), exponent.size() - 1));
    return text.substr(0, e) + "e" + (negative ? "-" : "") + exponent;
  }
  const auto end = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed).ptr;
  std::string text(buf, end);
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

std::string render_vector(std::span<const double> v) {
  std::string out = "[";
  auto append = [&](std::size_t i) {
    if (out.size() > 1) out += ", ";
    out += format_double(v[i]);
  };
  if (v.size() >= kElideFrom) {
    for (std::size_t i = 0; i < kElidedEdge; ++i) append(i);
    out += ", ...";
    for (std::size_t i = v.size() - kElidedEdge; i < v.size(); ++i) append(i);
  } else {
    for (std::size_t i = 0; i < v.size(); ++i) append(i);
  }
  out += "], shape=[" + std::to_string(v.size()) + "], strides=[" +
         (v.empty() ? "0" : "1") + "], layout=CFcf (0xf), const ndim=1";
  return out;
}

Result<Vector> S::build(Vector v) {
  if (lies_on_simplex(v)) return Result<Vector>::ok(std::move(v));
  return Result<Vector>::error("v does not belong on the simplex. Last values : " +
                               render_vector(v));
}

void simplex_projection_into(std::span<const double> v, double z, std::span<double> out,
                             std::span<double> sorted) {
  const std::size_t n = v.size();
  std::copy(v.begin(), v.end(), sorted.begin());
  if (n >= 2) {
    // Any sort of two or more entries compares every entry at least once.
    if (std::any_of(sorted.begin(), sorted.begin() + n, [](double e) { return std::isnan(e); }))
      stop("NaN encountered");
    sort_descending(sorted.first(n));
  }
  // theta is the threshold of the last position j whose value exceeds (S_j - z) / j.
  double sum = 0.0, theta = 0.0;
  bool admissible = false;
  for (std::size_t j = 0; j < n; ++j) {
    sum += sorted[j];
    const double t = (sum - z) / static_cast<double>(j + 1);
    if (sorted[j] > t) {
      theta = t;
      admissible = true;
    }
  }
  if (!admissible) stop("Issue computing theta");
  for (std::size_t i = 0; i < n; ++i) {
    const double w = v[i] - theta;
    out[i] = w > 0.0 ? w : 0.0;
  }
}

Vector simplex_projection(const Vector& v, double z) {
  Vector out(v.size()), sorted(v.size());
  simplex_projection_into(v, z, out, sorted);
  return out;
}

void require_same_length(std::size_t a, std::size_t b, const char* what) {
  if (a != b)
    stop(std::string("shape mismatch in ") + what + ": lengths " + std::to_string(a) + " and " +
         std::to_string(b));
}

Vector projected_step(const Vector& v, const Vector& s) {
  require_same_length(v.size(), s.size(), "an entry-wise difference");
  Vector diff(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) diff[i] = v[i] - s[i];
  return simplex_projection(diff, 1.0);
}

}  // namespace ludovec::math
