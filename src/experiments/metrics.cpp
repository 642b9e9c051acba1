#include "experiments/metrics.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "experiments/lowercase.hpp"
#include "experiments/norms.hpp"
#include "math/simplex.hpp"
#include "math/stop.hpp"

namespace ludovec::experiments {

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

std::span<const double> tail_of(std::span<const double> gaps, double cutoff) {
  const std::size_t start = tail_start(gaps.size(), cutoff);
  if (start > gaps.size())
    math::stop("the metric tail would start at gap " + std::to_string(start) +
               ", beyond the history of " + std::to_string(gaps.size()) +
               " gaps (cutoff " + math::format_double(cutoff) + ")");
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

}  // namespace ludovec::experiments
