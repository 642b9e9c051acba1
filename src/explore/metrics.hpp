// Convergence metrics that reduce a run's duality-gap history to one number, and their names.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "domain/run_loop.hpp"
#include "math/matrix.hpp"
#include "math/result.hpp"

namespace ludovec::explore {

// Largest gap of the tail; `cutoff` is the fraction of the history the tail covers.
struct MaxLast {
  double cutoff;
};
// Population variance of the tail.
struct VarLast {
  double cutoff;
};
// Total variation of the whole history.
struct TotalVar {};

using MetricMethod = std::variant<MaxLast, VarLast, TotalVar>;

// First index of the tail of a history of `length` gaps: trunc(length * (1 - cutoff)) with
// the product clamped to [0, 4294967295] and NaN taken as 0. May exceed `length` when
// cutoff < 0; metric_of_gaps refuses such a tail.
std::size_t tail_start(std::size_t length, double cutoff) noexcept;

// The metric of one gap history. Sums run in index order: the VarLast mean from -0.0, its
// squared deviations each divided by n before they are added from 0.0; TotalVar from 0.0.
// Empty tails give -inf (MaxLast) and 0.0 (VarLast). Stops when the tail would start beyond
// the end of the history (a negative cutoff).
double metric_of_gaps(std::span<const double> gaps, const MetricMethod& method);

// metric_of_gaps of the gap history of one run of `length` steps, taken while the run makes it
// and holding only what the metric reads: the tail for MaxLast and VarLast, the previous gap
// and a running sum for TotalVar. A run records gap t = 0, 1, ... in order, then either ends
// at the step limit or pads after a converging gap; finish() is bit for bit metric_of_gaps of
// the history so made, and stops as it does for a tail beyond the history.
class GapReducer {
 public:
  GapReducer(std::size_t length, const MetricMethod& method);

  // Doubles held for a run: the tail's length, or 0.
  static std::size_t held(std::size_t length, const MetricMethod& method) noexcept;

  void record(std::size_t t, double gap) noexcept {
    if (t >= tail_start_) tail_[t - tail_start_] = gap;
    if (sums_variation_) {
      if (t > 0) total_ += std::fabs(gap - previous_);
      previous_ = gap;
    }
  }
  // The gaps before this one are not read: record() ignores them.
  std::size_t first_read() const noexcept { return sums_variation_ ? 0 : tail_start_; }
  // Gap t, `gap`, converged: every later gap repeats it.
  void converged_at(std::size_t t, double gap) noexcept;
  double finish() const;
  // Ready for the next run.
  void restart() noexcept { total_ = 0.0; }

 private:
  std::span<const double> checked_tail(double cutoff) const;

  MetricMethod method_;
  std::size_t length_;
  std::size_t tail_start_;  // length_ when nothing is held
  math::Vector tail_;
  bool sums_variation_;
  double previous_ = 0.0;
  double total_ = 0.0;
};

// metric_of_gaps of every result's gaps_history, in order; each result is released as soon as
// its metric is known.
math::Vector vec_results_to_metrics(std::vector<domain::GameResult> results,
                                    const MetricMethod& method);

// "max_last_10"/"max_last", "var_last_10"/"var_last" (both with `cutoff`) or "total_var",
// compared after full Unicode lower-casing; else "Unknown metric method: <name as given>".
math::Result<MetricMethod> parse_metric_method(std::string_view name, double cutoff);

}  // namespace ludovec::explore
