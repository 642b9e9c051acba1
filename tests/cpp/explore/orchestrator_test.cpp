// Bands of radii and the scattered and concentric modes of the random exploration.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "explore/orchestrator.hpp"
#include "math/stop.hpp"
#include "support.hpp"

namespace ludovec::explore {
namespace {

using test_support::stop_message;

using math::Matrix;
using optimizers::Optimizer;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool mentions(const std::string& message, const char* word) {
  return message.find(word) != std::string::npos;
}

TEST(Band, RefusedBands) {
  struct Case {
    double lo, hi;
    const char* word;
  } cases[] = {
      {0.2, 0.2, "EmptyRange"},         {0.3, 0.1, "EmptyRange"}, {kNaN, 1.0, "EmptyRange"},
      {0.0, kNaN, "EmptyRange"},        {0.0, kInf, "NonFinite"}, {-kInf, 0.0, "NonFinite"},
      {-DBL_MAX, DBL_MAX, "NonFinite"},  // the width overflows
  };
  for (const Case& c : cases)
    EXPECT_TRUE(mentions(stop_message([&] { (void)make_band(c.lo, c.hi); }), c.word))
        << c.lo << " " << c.hi;
}

TEST(Band, NoDrawExceedsTheUpperEnd) {
  const double pairs[][2] = {{0.1, 0.2},
                             {0.0, 1.0},
                             {-0.1, 0.2},
                             {1e16, 1e16 + 4},
                             {-DBL_MAX / 2, DBL_MAX / 2},
                             {-1.0, 1e-300},
                             {0.3, 0.30000000000000004}};
  for (const auto& p : pairs) {
    const runtime::MagnitudeBand band = make_band(p[0], p[1]);
    EXPECT_EQ(band.low, p[0]);
    EXPECT_LE(band.scale, p[1] - p[0]);
    EXPECT_GT(band.scale, 0.0);
    EXPECT_LE(runtime::magnitude_from_bits(~std::uint64_t{0}, band), p[1]) << p[0] << " " << p[1];
    // The scale is the largest that keeps the largest draw in the band.
    const double wider = std::nextafter(band.scale, kInf);
    EXPECT_TRUE(band.scale == p[1] - p[0] || band.low + wider * 0.9999999999999998 > p[1]);
  }
}

ExplorationConfig config(double inner, double outer, std::uint32_t runs) {
  return ExplorationConfig{MaxLast{0.1}, runs, 20, inner, outer};
}

TEST(Scattered, NormsLieInTheBandTheChosenNormImplies) {
  // 3 rows of 4 entries, magnitudes in [0.1, 0.2]. No optimizer steps a rectangular game, so
  // the runs take no step; the norms are measured all the same.
  const Matrix base(3, 4);
  struct Case {
    NormType norm;
    double low, high;
  } cases[] = {{NormType::Max, 0.1, 0.2},
               {NormType::Infinity, 0.4, 0.8},
               {NormType::Frobenius, std::sqrt(12 * 0.01), std::sqrt(12 * 0.04)}};
  runtime::WorkerPool pool(2);
  for (const Case& c : cases) {
    ExplorationConfig settings = config(0.1, 0.2, 64);
    settings.num_steps = 0;
    const ScatteredOutput scattered =
        scattered_exploration(base.view(), Optimizer{optimizers::make_omwuoftrl(0.1, 3)}, settings,
                              c.norm, runtime::BatchExecution{&pool, {}});
    ASSERT_EQ(scattered.norms.size(), 64u);
    ASSERT_EQ(scattered.metrics.size(), 64u);
    for (double n : scattered.norms) {
      EXPECT_GE(n, c.low * (1 - 1e-12));
      EXPECT_LE(n, c.high * (1 + 1e-12));
    }
  }
}

TEST(Scattered, ZeroRunsAndRefusedBands) {
  const Matrix base(2, 2);
  const Optimizer opt{optimizers::make_ogda(0.1, 2)};
  const ScatteredOutput out =
      scattered_exploration(base.view(), opt, config(0.1, 0.2, 0), NormType::Max);
  EXPECT_TRUE(out.norms.empty());
  EXPECT_TRUE(out.metrics.empty());
  // An empty base would fail its runs: the band check comes first.
  const Matrix empty(0, 0);
  EXPECT_TRUE(mentions(stop_message([&] {
                         (void)scattered_exploration(empty.view(), opt, config(0.2, 0.2, 5),
                                                     NormType::Max);
                       }),
                       "EmptyRange"));
  EXPECT_TRUE(mentions(stop_message([&] {
                         (void)scattered_exploration(empty.view(), opt, config(0.2, kInf, 5),
                                                     NormType::Max);
                       }),
                       "NonFinite"));
}

TEST(Concentric, ShapesAndBoundaries) {
  const Matrix base(2, 2);
  const Optimizer opt{optimizers::make_ogda(0.1, 2)};
  struct Case {
    std::uint32_t runs, slices;
    std::size_t per_slice;
  } cases[] = {{10, 3, 3}, {100, 8, 12}, {5, 10, 0}, {0, 4, 0}, {4, 4, 1}};
  for (const Case& c : cases) {
    const ConcentricOutput concentric =
        concentric_exploration(base.view(), opt, config(0.0, 1.0, c.runs), c.slices);
    ASSERT_EQ(concentric.slice_boundaries.size(), c.slices);
    ASSERT_EQ(concentric.metrics.size(), c.slices);
    for (const math::Vector& m : concentric.metrics) EXPECT_EQ(m.size(), c.per_slice);
  }
  const auto quarters = concentric_exploration(base.view(), opt, config(0.0, 1.0, 8), 4);
  const std::vector<std::pair<double, double>> expected = {
      {0.0, 0.25}, {0.25, 0.5}, {0.5, 0.75}, {0.75, 1.0}};
  EXPECT_EQ(quarters.slice_boundaries, expected);
  // One product and one sum per end: slice t of 3 over [0.1, 0.7].
  const auto thirds = concentric_exploration(base.view(), opt, config(0.1, 0.7, 0), 3);
  const double width = (0.7 - 0.1) / 3.0;
  for (std::size_t t = 0; t < 3; ++t) {
    EXPECT_EQ(thirds.slice_boundaries[t].first, static_cast<double>(t) * width + 0.1);
    EXPECT_EQ(thirds.slice_boundaries[t].second, static_cast<double>(t + 1) * width + 0.1);
  }
}

TEST(Concentric, RefusalsComeBeforeAnyRun) {
  const Matrix empty(0, 0);  // any run, or any non-empty batch, would fail on it
  const Optimizer opt{optimizers::make_ogda(0.1, 2)};
  EXPECT_EQ(stop_message(
                [&] { (void)concentric_exploration(empty.view(), opt, config(0.0, 1.0, 10), 0); }),
            "attempt to divide by zero");
  EXPECT_TRUE(mentions(stop_message([&] {
                         (void)concentric_exploration(empty.view(), opt, config(1.0, 0.0, 10), 2);
                       }),
                       "EmptyRange"));
  // Fewer runs than slices still builds, and checks, every band.
  const Matrix base(2, 2);
  EXPECT_TRUE(mentions(
      stop_message([&] { (void)concentric_exploration(base.view(), opt, config(0.5, 0.5, 3), 4); }),
      "EmptyRange"));
}

// Slices far quicker than the pool's wait for its hook: the hook is asked between them.
TEST(Concentric, CancellationIsAskedBetweenSlices) {
  const Matrix base(2, 2);
  const Optimizer opt{optimizers::make_ogda(0.1, 2)};
  runtime::WorkerPool pool(1);
  int asked = 0;
  const runtime::BatchExecution execution{&pool, [&] { return ++asked == 3; }};
  EXPECT_THROW(
      (void)concentric_exploration(base.view(), opt, config(0.0, 1.0, 1000), 1000, execution),
      runtime::Cancelled);
  EXPECT_EQ(asked, 3);
}

}  // namespace
}  // namespace ludovec::explore
