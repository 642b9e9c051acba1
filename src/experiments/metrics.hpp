// Convergence metrics that reduce a run's duality-gap history to one number, and their names.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "domain/game_result.hpp"
#include "math/matrix.hpp"
#include "math/result.hpp"

namespace ludovec::experiments {

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

// metric_of_gaps of every result's gaps_history, in order; each result is released as soon as
// its metric is known.
math::Vector vec_results_to_metrics(std::vector<domain::GameResult> results,
                                    const MetricMethod& method);

// "max_last_10"/"max_last", "var_last_10"/"var_last" (both with `cutoff`) or "total_var",
// compared after full Unicode lower-casing; else "Unknown metric method: <name as given>".
math::Result<MetricMethod> parse_metric_method(std::string_view name, double cutoff);

}  // namespace ludovec::experiments
