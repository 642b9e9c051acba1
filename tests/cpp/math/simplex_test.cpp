#include "math/simplex.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace ludovec::math {
namespace {

using test_support::stop_message;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(SimplexCheck, AcceptsWithinToleranceAndNonNegative) {
  struct Case {
    Vector v;
    bool accepted;
  };
  const Case cases[] = {
      {{0.5, 0.5}, true},       {{0.5, 0.5000009}, true},
      {{0.5, 0.500001}, false}, {Vector(10, 0.1), true},
      {{1.0, -0.0}, true},      {{1.5, -0.5}, false},
      {{kNaN, 1.0}, false},     {{}, false},
      {{kInf, -kInf}, false},
  };
  for (const auto& c : cases) {
    auto r = S::build(c.v);
    EXPECT_EQ(r.has_value(), c.accepted) << render_vector(c.v);
    if (r.has_value()) {
      EXPECT_EQ(std::move(r).value(), c.v);
    }
  }
}

TEST(SimplexCheck, ErrorTextRendersTheVector) {
  EXPECT_EQ(S::build({0.5, 0.6}).error(),
            "v does not belong on the simplex. Last values : [0.5, 0.6], shape=[2], strides=[1], "
            "layout=CFcf (0xf), const ndim=1");
  EXPECT_EQ(S::build({}).error(),
            "v does not belong on the simplex. Last values : [], shape=[0], strides=[0], "
            "layout=CFcf (0xf), const ndim=1");
}

TEST(SimplexCheck, FormatsShortestRoundTripDecimals) {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1.0"},
      {0.5, "0.5"},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {1e-7, "1e-7"},
      {1.5e16, "1.5e16"},
      {1e16, "1e16"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e-4, "0.0001"},
      {9.9e-5, "9.9e-5"},
      {kNaN, "NaN"},
      {kInf, "inf"},
      {-kInf, "-inf"},
      {0.1 + 0.2, "0.30000000000000004"},
      {-2.5e-300, "-2.5e-300"},
      {1.0 / 3.0, "0.3333333333333333"},
      {123.0, "123.0"},
      {5e-324, "5e-324"},
  };
  for (auto [d, text] : cases) EXPECT_EQ(format_double(d), text);
}

TEST(SimplexCheck, LongVectorsAreElided) {
  Vector v(500);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<double>(i);
  EXPECT_EQ(render_vector(v),
            "[0.0, 1.0, 2.0, 3.0, 4.0, ..., 495.0, 496.0, 497.0, 498.0, 499.0], shape=[500], "
            "strides=[1], layout=CFcf (0xf), const ndim=1");
  v.pop_back();
  EXPECT_NE(render_vector(v).find("250.0, 251.0"), std::string::npos);
}

TEST(Projection, MatchesWorkedValues) {
  struct Case {
    Vector v, expected;
  };
  const Case cases[] = {
      {{0.5, 0.5}, {0.5, 0.5}},
      {{2.0, 0.0}, {1.0, 0.0}},
      {{-1.0, -1.0}, {0.5, 0.5}},
      {{0.4, 0.9, 0.1}, {0.25, 0.75, 0.0}},
      {{3.0, 1.0, -2.0}, {1.0, 0.0, 0.0}},
      {{5.0}, {1.0}},
      {{1.0}, {1.0}},
      {{0.1, 0.9}, {0.1, 0.9}},
      {{0.0, 0.0, 0.0}, {1.0 / 3.0, 1.0 / 3.0, 1.0 / 3.0}},
  };
  for (const auto& c : cases) {
    const Vector w = simplex_projection(c.v, 1.0);
    ASSERT_EQ(w.size(), c.expected.size());
    for (std::size_t i = 0; i < w.size(); ++i) EXPECT_NEAR(w[i], c.expected[i], 1e-15);
  }
}

TEST(Projection, ZeroEntriesArePositiveZero) {
  const Vector w = simplex_projection({3.0, 1.0, -2.0}, 1.0);
  EXPECT_FALSE(std::signbit(w[1]));
  EXPECT_FALSE(std::signbit(w[2]));
}

TEST(Projection, LongInputsMatchShortSortPath) {
  // The threshold depends only on the sorted multiset, whatever sort produced it.
  Vector v(100);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = std::sin(static_cast<double>(i) * 1.7);
  const Vector w = simplex_projection(v, 1.0);
  double sum = 0.0;
  for (double e : w) {
    EXPECT_GE(e, 0.0);
    sum += e;
  }
  EXPECT_NEAR(sum, 1.0, 1e-12);
  // The largest input keeps the largest share, and every positive share is v_i - theta.
  const std::size_t top = std::max_element(v.begin(), v.end()) - v.begin();
  const double theta = v[top] - w[top];
  for (std::size_t i = 0; i < v.size(); ++i)
    EXPECT_EQ(w[i], v[i] - theta > 0.0 ? v[i] - theta : 0.0);
}

TEST(Projection, StopsWithFixedMessages) {
  const std::pair<Vector, const char*> cases[] = {
      {{}, "Issue computing theta"},
      {{kInf, 0.0}, "Issue computing theta"},
      {{-kInf, -kInf}, "Issue computing theta"},
      {{kNaN}, "Issue computing theta"},
      {{kNaN, 1.0}, "NaN encountered"},
      {{1.0, 2.0, kNaN}, "NaN encountered"},
  };
  for (const auto& [v, message] : cases)
    EXPECT_EQ(stop_message([&] { (void)simplex_projection(v, 1.0); }), message);
}

TEST(Projection, ProjectedStepChecksLengths) {
  EXPECT_EQ(projected_step({1.0, 0.0}, {0.5, -0.5}), (Vector{0.5, 0.5}));
  EXPECT_NE(stop_message([] { (void)projected_step({0.5, 0.5}, {1.0}); }).find("shape mismatch"),
            std::string::npos);
}

}  // namespace
}  // namespace ludovec::math
