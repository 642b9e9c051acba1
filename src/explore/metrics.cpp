#include "explore/metrics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "explore/lowercase.hpp"
#include "explore/norms.hpp"
#include "math/simplex.hpp"
#include "math/stop.hpp"

namespace ludovec::explore {

namespace {

constexpr double kLargestStart = 4294967295.0;

double max_last(std::span<const double> tail) noexcept {
  double largest = -std::numeric_limits<double>::infinity();
  for (double g : tail) largest = max_ignoring_nan(largest, g);
  return largest;
}

double var_last(std::span<const double> tail) noexcept {
  const double n = static_cast<double>(tail.size());
  double sum = -0.0;
  for (double g : tail) sum += g;
  const double mean = sum / n;
  double variance = 0.0;
  for (double g : tail) {
    const double deviation = g - mean;
    variance += deviation * deviation / n;
  }
  return variance;
}

double total_var(std::span<const double> gaps) noexcept {
  double total = 0.0;
  for (std::size_t k = 1; k < gaps.size(); ++k) total += std::fabs(gaps[k] - gaps[k - 1]);
  return total;
}

[[noreturn]] void stop_beyond_history(std::size_t start, std::size_t length, double cutoff) {
  math::stop("the metric tail would start at gap " + std::to_string(start) +
             ", beyond the history of " + std::to_string(length) + " gaps (cutoff " +
             math::format_double(cutoff) + ")");
}

std::span<const double> tail_of(std::span<const double> gaps, double cutoff) {
  const std::size_t start = tail_start(gaps.size(), cutoff);
  if (start > gaps.size()) stop_beyond_history(start, gaps.size(), cutoff);
  return gaps.subspan(start);
}

}  // namespace

std::size_t tail_start(std::size_t length, double cutoff) noexcept {
  double p = static_cast<double>(length) * (1.0 - cutoff);
  if (std::isnan(p) || p < 0.0) p = 0.0;
  if (p > kLargestStart) p = kLargestStart;
  return static_cast<std::size_t>(p);  // truncates toward zero
}

double metric_of_gaps(std::span<const double> gaps, const MetricMethod& method) {
  struct Visitor {
    std::span<const double> gaps;
    double operator()(const MaxLast& m) const { return max_last(tail_of(gaps, m.cutoff)); }
    double operator()(const VarLast& m) const { return var_last(tail_of(gaps, m.cutoff)); }
    double operator()(const TotalVar&) const { return total_var(gaps); }
  };
  return std::visit(Visitor{gaps}, method);
}

namespace {

// Where a tail-reading metric's tail starts; length itself for TotalVar.
std::size_t reduced_tail_start(std::size_t length, const MetricMethod& method) noexcept {
  if (const auto* m = std::get_if<MaxLast>(&method)) return tail_start(length, m->cutoff);
  if (const auto* v = std::get_if<VarLast>(&method)) return tail_start(length, v->cutoff);
  return length;
}

}  // namespace

GapReducer::GapReducer(std::size_t length, const MetricMethod& method)
    : method_(method),
      length_(length),
      tail_start_(std::min(reduced_tail_start(length, method), length)),
      tail_(held(length, method), 0.0),
      sums_variation_(std::holds_alternative<TotalVar>(method)) {}

std::size_t GapReducer::held(std::size_t length, const MetricMethod& method) noexcept {
  const std::size_t start = reduced_tail_start(length, method);
  return start < length ? length - start : 0;
}

void GapReducer::converged_at(std::size_t t, double gap) noexcept {
  if (t + 1 >= length_) return;
  const std::size_t from = std::max(t + 1, tail_start_);
  std::fill(tail_.begin() + static_cast<std::ptrdiff_t>(from - tail_start_), tail_.end(), gap);
  // Each repeat adds |gap - gap|: +0.0, which changes nothing, or NaN for an infinite gap,
  // which no later addition changes; one addition stands for all of them.
  if (sums_variation_) total_ += std::fabs(gap - gap);
}

double GapReducer::finish() const {
  struct Visitor {
    const GapReducer& r;
    double operator()(const MaxLast& m) const { return max_last(r.checked_tail(m.cutoff)); }
    double operator()(const VarLast& m) const { return var_last(r.checked_tail(m.cutoff)); }
    double operator()(const TotalVar&) const { return r.total_; }
  };
  return std::visit(Visitor{*this}, method_);
}

std::span<const double> GapReducer::checked_tail(double cutoff) const {
  const std::size_t start = tail_start(length_, cutoff);
  if (start > length_) stop_beyond_history(start, length_, cutoff);
  return tail_;
}

math::Vector vec_results_to_metrics(std::vector<domain::GameResult> results,
                                    const MetricMethod& method) {
  math::Vector metrics;
  metrics.reserve(results.size());
  for (domain::GameResult& r : results) {
    metrics.push_back(metric_of_gaps(r.gaps_history, method));
    r = domain::GameResult{};
  }
  return metrics;
}

math::Result<MetricMethod> parse_metric_method(std::string_view name, double cutoff) {
  const std::string lowered = to_lowercase(name);
  if (lowered == "max_last_10" || lowered == "max_last")
    return math::Result<MetricMethod>::ok(MaxLast{cutoff});
  if (lowered == "var_last_10" || lowered == "var_last")
    return math::Result<MetricMethod>::ok(VarLast{cutoff});
  if (lowered == "total_var") return math::Result<MetricMethod>::ok(TotalVar{});
  return math::Result<MetricMethod>::error("Unknown metric method: " + std::string(name));
}

}  // namespace ludovec::explore
