// Convergence metrics of gap histories, the tail-start rule, and the metric-name parser.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "explore/lowercase.hpp"
#include "explore/metrics.hpp"
#include "math/stop.hpp"
#include "support.hpp"

namespace ludovec::explore {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(TailStart, TruncatesTheClampedProduct) {
  struct Case {
    std::size_t length;
    double cutoff;
    std::size_t start;
  } cases[] = {
      {1000, 0.1, 900},         {7, 0.1, 6},       // trunc(6.3)
      {100, 0.0, 100},          {100, 1.0, 0}, {100, 2.5, 0}, {100, kNaN, 0}, {100, kInf, 0},
      {100, -0.5, 150},         {0, 0.1, 0},   {0, -3.0, 0},  {10, 0.25, 7},    // 7.5
      {100, -kInf, 4294967295},            // clamped from +inf
      {3, 1.0 / 3.0, 2},        {5, 0.8, 0},  // 5 * 0.19999999999999996 rounds below 1
  };
  for (const Case& c : cases)
    EXPECT_EQ(tail_start(c.length, c.cutoff), c.start) << c.length << " " << c.cutoff;
}

TEST(Metrics, ValuesOfTheThreeMethods) {
  struct Case {
    const char* name;
    std::vector<double> gaps;
    MetricMethod method;
    double expected;
  } cases[] = {
      {"var of [1,2,3,4] is the population variance", {1, 2, 3, 4}, VarLast{1.0}, 1.25},
      {"var of the tail only", {100, 1, 2, 3, 4}, VarLast{0.75}, 1.25},
      {"max of the tail", {9, 1, 3, 2}, MaxLast{0.75}, 3.0},
      {"max skips NaN", {kNaN, 2, kNaN}, MaxLast{1.0}, 2.0},
      {"max of all-NaN tail", {kNaN, kNaN}, MaxLast{1.0}, -kInf},
      {"cutoff 0 empties the tail (max)", {1, 2, 3}, MaxLast{0.0}, -kInf},
      {"cutoff 0 empties the tail (var)", {1, 2, 3}, VarLast{0.0}, 0.0},
      {"NaN cutoff takes the whole history", {5, 1, 2}, MaxLast{kNaN}, 5.0},
      {"cutoff above 1 takes the whole history", {5, 1, 2}, MaxLast{3.0}, 5.0},
      {"total variation ignores cutoff", {1, 3, 2}, TotalVar{}, 3.0},
      {"total variation of one entry", {7}, TotalVar{}, 0.0},
      {"total variation of nothing", {}, TotalVar{}, 0.0},
      {"empty history, max", {}, MaxLast{0.1}, -kInf},
      {"empty history, var", {}, VarLast{0.1}, 0.0},
      {"last entry only of 7", {1, 1, 1, 1, 1, 1, 4}, MaxLast{0.1}, 4.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(metric_of_gaps(c.gaps, c.method), c.expected);
  }
}

TEST(Metrics, VarianceDividesEachDeviationBeforeSumming) {
  // The two orders of operation differ in the last bits for this tail; the per-term division
  // is the one that fixes the result.
  const std::vector<double> tail = {0.1, 0.7, 0.3};
  const double n = 3.0;
  const double mean = (((-0.0 + 0.1) + 0.7) + 0.3) / n;
  double per_term = 0.0, summed_then_divided = 0.0;
  for (double t : tail) {
    per_term += (t - mean) * (t - mean) / n;
    summed_then_divided += (t - mean) * (t - mean);
  }
  summed_then_divided /= n;
  ASSERT_NE(per_term, summed_then_divided);  // the case distinguishes the two
  EXPECT_EQ(metric_of_gaps(tail, VarLast{1.0}), per_term);
}

TEST(Metrics, TailBeyondTheHistoryStops) {
  const std::vector<double> gaps(100, 1.0);
  for (const MetricMethod& method : {MetricMethod{MaxLast{-0.5}}, MetricMethod{VarLast{-kInf}}}) {
    try {
      (void)metric_of_gaps(gaps, method);
      ADD_FAILURE() << "a negative cutoff must stop";
    } catch (const math::Stop& s) {
      EXPECT_NE(std::string(s.what()).find("beyond the history of 100 gaps"), std::string::npos)
          << s.what();
    }
  }
  // TotalVar has no tail, and a start exactly at the end is an empty tail, not an error.
  EXPECT_EQ(metric_of_gaps(gaps, TotalVar{}), 0.0);
  EXPECT_EQ(metric_of_gaps(gaps, VarLast{0.0}), 0.0);
}

// A run's gaps reduced while they come, then padded after the converging one, against the
// metric of the whole padded history: the same bits, and the same stop for a tail beyond it.
TEST(GapReducer, EqualsTheMetricOfTheWholeHistory) {
  struct Run {
    const char* name;
    std::vector<double> recorded;  // up to and including the converging gap, if any
    std::size_t length;
  } runs[] = {
      {"no convergence", {0.3, 0.1, 0.7, 0.2, 0.4, 0.05, 0.6, 0.3}, 8},
      {"convergence before the tail", {0.3, 5e-9}, 9},
      {"convergence inside the tail", {0.3, 0.2, 0.5, 0.1, 0.4, 0.3, -1e-3}, 10},
      {"converging at the last step", {0.3, 0.2, 1e-9}, 3},
      {"an infinite converging gap", {0.3, -kInf}, 6},
      {"NaN gaps", {kNaN, 0.2, kNaN, 0.1}, 4},
      {"one step", {0.5}, 1},
  };
  const MetricMethod methods[] = {MaxLast{0.1}, MaxLast{0.5}, VarLast{0.3},  VarLast{1.0},
                                  VarLast{0.0}, TotalVar{},   MaxLast{-0.5}, VarLast{kNaN}};
  for (const Run& r : runs)
    for (const MetricMethod& method : methods) {
      SCOPED_TRACE(std::string(r.name) + ", method " + std::to_string(method.index()));
      std::vector<double> whole(r.recorded);
      whole.resize(r.length, r.recorded.back());
      const std::string want = test_support::stop_message([&] {
        const double m = metric_of_gaps(whole, method);
        throw math::Stop(std::to_string(std::bit_cast<std::uint64_t>(m)));
      });
      GapReducer reducer(r.length, method);
      for (int again = 0; again < 2; ++again) {  // a reused reducer starts clean
        for (std::size_t t = 0; t < r.recorded.size(); ++t) reducer.record(t, r.recorded[t]);
        if (r.recorded.back() < domain::kConvergenceThreshold)
          reducer.converged_at(r.recorded.size() - 1, r.recorded.back());
        EXPECT_EQ(test_support::stop_message([&] {
                    const double m = reducer.finish();
                    throw math::Stop(std::to_string(std::bit_cast<std::uint64_t>(m)));
                  }),
                  want);
        reducer.restart();
      }
      EXPECT_LE(GapReducer::held(r.length, method), r.length);
    }
  EXPECT_EQ(GapReducer::held(1000, MaxLast{0.1}), 100u);  // the tail, not the history
  EXPECT_EQ(GapReducer::held(1000, TotalVar{}), 0u);
  EXPECT_EQ(GapReducer::held(100, MaxLast{-0.5}), 0u);
}

TEST(Metrics, OneValuePerResultInOrder) {
  std::vector<domain::GameResult> results(3);
  results[0].gaps_history = {1, 3, 2};
  results[1].gaps_history = {};
  results[2].gaps_history = {4, 4};
  EXPECT_EQ(vec_results_to_metrics(results, TotalVar{}), (math::Vector{3.0, 0.0, 0.0}));
  EXPECT_EQ(vec_results_to_metrics(results, MaxLast{1.0}), (math::Vector{3.0, -kInf, 4.0}));
  EXPECT_TRUE(vec_results_to_metrics({}, TotalVar{}).empty());
}

TEST(MetricNames, AcceptedNames) {
  struct Case {
    const char* text;
    std::size_t variant;
  } cases[] = {
      {"max_last_10", 0}, {"MAX_LAST_10", 0}, {"Max_Last", 0},  {"var_last_10", 1},
      {"Var_Last", 1},    {"TOTAL_VAR", 2},   {"total_var", 2},
  };
  for (const Case& c : cases) {
    auto parsed = parse_metric_method(c.text, 0.25);
    ASSERT_TRUE(parsed.has_value()) << c.text;
    EXPECT_EQ(parsed.value().index(), c.variant) << c.text;
    if (const auto* m = std::get_if<MaxLast>(&parsed.value())) {
      EXPECT_EQ(m->cutoff, 0.25);
    } else if (const auto* v = std::get_if<VarLast>(&parsed.value())) {
      EXPECT_EQ(v->cutoff, 0.25);
    }
  }
}

TEST(MetricNames, RefusalQuotesTheNameAsGiven) {
  for (const std::string name : {"Foo", "max_last_5", "var", "", "MAX_LAST_10 ",
                                 "\xEF\xBC\xAD"
                                 "ax_last" /* fullwidth M */,
                                 "T\xC3\x96TAL_VAR", "\xC4\xB0"}) {
    auto parsed = parse_metric_method(name, 0.1);
    ASSERT_FALSE(parsed.has_value()) << name;
    EXPECT_EQ(parsed.error(), "Unknown metric method: " + name);
  }
}

TEST(Lowercase, FullUnicodeMappings) {
  struct Case {
    const char* text;
    const char* lowered;
  } cases[] = {
      {"ABC xyz_09", "abc xyz_09"},
      {"\xE2\x84\xAA", "k"},                               // KELVIN SIGN
      {"\xC4\xB0", "i\xCC\x87"},                           // U+0130 -> i + U+0307
      {"\xC3\x80\xC3\x9E\xC3\x9F", "\xC3\xA0\xC3\xBE\xC3\x9F"},  // A grave, THORN, sharp s kept
      {"\xC4\x80\xC5\xB8", "\xC4\x81\xC3\xBF"},            // A macron, Y diaeresis
      {"\xCE\x91\xCE\xA9", "\xCE\xB1\xCF\x89"},            // ALPHA OMEGA
      {"\xD0\x96\xD0\x81", "\xD0\xB6\xD1\x91"},            // ZHE, IO
      {"\xCE\x9F\xCE\xA3", "\xCE\xBF\xCF\x82"},            // final sigma after a letter
      {"\xCE\xA3\xCE\x9F", "\xCF\x83\xCE\xBF"},            // sigma inside a word
      {"\xCE\xA3", "\xCF\x83"},                            // lone sigma
      {"\xE2\x84\xA6", "\xCF\x89"},                        // OHM SIGN -> omega
      {"\xEF\xBC\xA1", "\xEF\xBD\x81"},                    // fullwidth A
      {"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"},            // DESERET LONG I (4 bytes)
      {"A\xFF"
       "B\xC3",
       "a\xFF"
       "b\xC3"},                  // malformed bytes pass through
      {"\xE2\x82", "\xE2\x82"},                            // truncated sequence
      {"\xC0\x81", "\xC0\x81"},                            // overlong encoding
  };
  for (const Case& c : cases) EXPECT_EQ(to_lowercase(c.text), c.lowered) << c.text;
}

}  // namespace
}  // namespace ludovec::explore
