#include "math/simplex.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <limits>

#include "math/lanes.hpp"

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
  SimplexCheck check;
  for (double e : v) check.add(e);
  return check.passed();
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
  out += "], shape=[" + std::to_string(v.size()) + "], strides=[" + (v.empty() ? "0" : "1") +
         "], layout=CFcf (0xf), const ndim=1";
  return out;
}

Result<Vector> S::build(Vector v) {
  if (lies_on_simplex(v)) return Result<Vector>::ok(std::move(v));
  return Result<Vector>::error("v does not belong on the simplex. Last values : " +
                               render_vector(v));
}

namespace {

// theta: the threshold (S_j - z) / j of the last position j whose sorted value exceeds it, every
// position visited; NaN when no position does. A chosen t is never NaN (u > t fails for NaN).
double threshold(std::span<const double> sorted, double z) noexcept {
  double sum = 0.0, position = 0.0;  // position counts exactly, far beyond any length
  double theta = std::numeric_limits<double>::quiet_NaN();
  for (double u : sorted) {
    sum += u;
    position += 1.0;
    const double t = (sum - z) / position;
    theta = u > t ? t : theta;
  }
  return theta;
}

// How a projection ended; the public functions turn the last two into their stops.
enum class Projected { kDone, kNaN, kNoThreshold };

void stop_unless_done(Projected p) {
  if (p == Projected::kNaN) stop("NaN encountered");
  if (p == Projected::kNoThreshold) stop("Issue computing theta");
}

// The projection of the vector whose entry i is entry(i), n entries, sorted from the order kept
// in `scratch`; writes out[i] = max(entry(i) - theta, +0.0), reading entry(i) again.
//
// The entries are gathered in the previous order and each is inserted into place at once, which
// costs one comparison for an entry that kept its rank. Once insertions have moved entries 4 n
// places in all, the input is taken for scrambled and the order is sorted afresh instead.
template <class Entry>
[[gnu::always_inline]] inline Projected project_in_order(const Entry& entry, std::size_t n,
                                                         double z, double* out,
                                                         ProjectionScratch& scratch) noexcept {
  double* sorted = scratch.sorted.data();
  std::size_t* order = scratch.order.data();  // stays a permutation throughout
  double probe = 0.0;  // NaN once an entry is NaN (or when infinities meet: then look closer)
  std::size_t moves_left = 4 * n, k = 0;
  for (; k < n; ++k) {
    const std::size_t index = order[k];
    const double e = entry(index);
    probe += e;
    std::size_t j = k;
    if (j > 0 && sorted[j - 1] < e) {
      do {
        sorted[j] = sorted[j - 1];
        order[j] = order[j - 1];
        --j;
      } while (j > 0 && sorted[j - 1] < e);
      order[j] = index;
      if (k - j > moves_left) break;
      moves_left -= k - j;
    }
    sorted[j] = e;
  }
  const bool scrambled = k < n;
  if (n >= 2 && (scrambled || probe != probe)) {
    // Any sort of two entries or more compares each of them.
    for (std::size_t i = 0; i < n; ++i)
      if (entry(i) != entry(i)) return Projected::kNaN;
  }
  if (scrambled) {
    std::sort(order, order + n, [&](std::size_t a, std::size_t b) { return entry(a) > entry(b); });
    for (std::size_t i = 0; i < n; ++i) sorted[i] = entry(order[i]);
  }
  const double theta = threshold({sorted, n}, z);
  if (theta != theta) return Projected::kNoThreshold;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = entry(i) - theta;
    out[i] = w > 0.0 ? w : 0.0;  // a NaN difference and -0.0 give +0.0
  }
  return Projected::kDone;
}

// The kernels, with plain pointers so that every argument travels in a register.
LUDOVEC_WIDE_VECTORS Projected project_vector(const double* v, std::size_t n, double z, double* out,
                                              ProjectionScratch& scratch) noexcept {
  return project_in_order([v](std::size_t i) { return v[i]; }, n, z, out, scratch);
}

LUDOVEC_WIDE_VECTORS Projected project_difference(const double* v, const double* s, std::size_t n,
                                                  double* out,
                                                  ProjectionScratch& scratch) noexcept {
  return project_in_order([=](std::size_t i) { return v[i] - s[i]; }, n, 1.0, out, scratch);
}

LUDOVEC_WIDE_VECTORS Projected project_gradient_step(const double* v, const double* g, double eta,
                                                     std::size_t n, double* out,
                                                     ProjectionScratch& scratch) noexcept {
  return project_in_order([=](std::size_t i) { return v[i] - g[i] * eta; }, n, 1.0, out, scratch);
}

}  // namespace

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
  const double theta = threshold(sorted.first(n), z);
  if (theta != theta) stop("Issue computing theta");
  for (std::size_t i = 0; i < n; ++i) {
    const double w = v[i] - theta;
    out[i] = w > 0.0 ? w : 0.0;
  }
}

void ProjectionScratch::fit(std::size_t n) {
  if (order.size() == n) return;
  sorted.resize(n);
  order.resize(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
}

void simplex_projection_into(std::span<const double> v, double z, std::span<double> out,
                             ProjectionScratch& scratch) {
  stop_unless_done(project_vector(v.data(), v.size(), z, out.data(), scratch));
}

void projected_step_into(std::span<const double> v, std::span<const double> s,
                         std::span<double> out, ProjectionScratch& scratch) {
  require_same_length(v.size(), s.size(), "an entry-wise difference");
  stop_unless_done(project_difference(v.data(), s.data(), v.size(), out.data(), scratch));
}

void projected_gradient_step_into(std::span<const double> v, std::span<const double> g, double eta,
                                  std::span<double> out, ProjectionScratch& scratch) {
  require_same_length(v.size(), g.size(), "an entry-wise difference");
  stop_unless_done(project_gradient_step(v.data(), g.data(), eta, v.size(), out.data(), scratch));
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
