// The fast projections (remembered order, register kernels) and the streamed simplex check
// against a plain rendering of the definitions: same bits, same stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>

#include "math/lanes.hpp"
#include "math/simplex.hpp"
#include "math/small_simplex.hpp"

namespace ludovec::math {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

bool same_bits(const Vector& a, const Vector& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * 8) == 0);
}

// The projection as defined: stable sort, largest first, threshold of the last qualifying
// position, max(v_i - theta, +0.0). Returns the stop message instead when there is one.
std::string reference_projection(const Vector& v, Vector& out) {
  Vector u = v;
  if (u.size() >= 2) {
    if (std::any_of(u.begin(), u.end(), [](double e) { return std::isnan(e); }))
      return "NaN encountered";
    std::stable_sort(u.begin(), u.end(), std::greater<>());
  }
  double sum = 0.0, theta = 0.0;
  bool admissible = false;
  for (std::size_t j = 0; j < u.size(); ++j) {
    sum += u[j];
    const double t = (sum - 1.0) / static_cast<double>(j + 1);
    if (u[j] > t) theta = t, admissible = true;
  }
  if (!admissible) return "Issue computing theta";
  out.resize(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) out[i] = v[i] - theta > 0.0 ? v[i] - theta : 0.0;
  return "";
}

// The simplex check as defined: every entry >= 0.0 (NaN fails), index-order sum from -0.0
// strictly within the tolerance of 1.0.
bool reference_on_simplex(const Vector& v) {
  double sum = -0.0;
  bool non_negative = true;
  for (double e : v) {
    sum += e;
    non_negative = non_negative && e >= 0.0;
  }
  return non_negative && std::abs(sum + -1.0) < kSimplexTolerance;
}

template <class F>
std::string stop_of(F&& f) {
  try {
    f();
  } catch (const Stop& s) {
    return s.what();
  }
  return "";
}

// Mostly ordinary entries, with ties, zeros of both signs, huge values, infinities and NaN
// mixed in at the given rate.
struct Entries {
  std::mt19937_64 rng{20250611};
  double awkward_rate = 0.1;

  double operator()() {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    if (unit(rng) >= awkward_rate) return std::uniform_real_distribution<double>(-2.0, 2.0)(rng);
    const double awkward[] = {0.0, -0.0, 0.5, 1.0, 1e20, -1e20, 0x1p52, kInf, -kInf, kNaN};
    return awkward[rng() % std::size(awkward)];
  }
  Vector vector(std::size_t n) {
    Vector v(n);
    for (double& e : v) e = (*this)();
    return v;
  }
};

TEST(RememberedOrder, ProjectionsOfDriftingAndScrambledInputsMatchTheDefinition) {
  Entries draw;
  std::uniform_real_distribution<double> drift(-0.05, 0.05);
  for (std::size_t n : {0u, 1u, 2u, 3u, 5u, 10u, 33u, 100u})
    for (double awkward_rate : {0.0, 0.02, 0.3}) {
      draw.awkward_rate = awkward_rate;
      ProjectionScratch scratch;
      scratch.fit(n);
      Vector v = draw.vector(n);
      for (int call = 0; call < 60; ++call) {
        SCOPED_TRACE("n " + std::to_string(n) + ", call " + std::to_string(call));
        // Mostly small moves (the order survives), now and then a fresh scramble.
        if (call % 20 == 19) v = draw.vector(n);
        for (double& e : v) e = std::isfinite(e) ? e + drift(draw.rng) : e;
        Vector want, plain(n), remembered(n), in_place = v;
        const std::string stop = reference_projection(v, want);
        EXPECT_EQ(stop_of([&] { plain = simplex_projection(v, 1.0); }), stop);
        EXPECT_EQ(stop_of([&] { simplex_projection_into(v, 1.0, remembered, scratch); }), stop);
        EXPECT_EQ(stop_of([&] { simplex_projection_into(in_place, 1.0, in_place, scratch); }),
                  stop);
        if (!stop.empty()) continue;
        EXPECT_TRUE(same_bits(plain, want));
        EXPECT_TRUE(same_bits(remembered, want));
        EXPECT_TRUE(same_bits(in_place, want));
      }
    }
}

TEST(RememberedOrder, ProjectedStepsOfDifferencesAndScaledGradients) {
  Entries draw;
  for (std::size_t n : {1u, 2u, 4u, 9u, 40u}) {
    ProjectionScratch a, b;
    a.fit(n);
    b.fit(n);
    for (int call = 0; call < 30; ++call) {
      const Vector v = draw.vector(n), g = draw.vector(n);
      const double eta = call % 3 == 0 ? 0.0 : 0.37 * call;
      Vector scaled(n), want, by_difference(n), by_gradient(n);
      for (std::size_t i = 0; i < n; ++i) scaled[i] = g[i] * eta;
      const std::string stop = stop_of([&] { want = projected_step(v, scaled); });
      EXPECT_EQ(stop_of([&] { projected_step_into(v, scaled, by_difference, a); }), stop);
      EXPECT_EQ(stop_of([&] { projected_gradient_step_into(v, g, eta, by_gradient, b); }), stop);
      if (stop.empty()) {
        EXPECT_TRUE(same_bits(by_difference, want)) << n << " " << call;
        EXPECT_TRUE(same_bits(by_gradient, want)) << n << " " << call;
      }
    }
  }
  ProjectionScratch scratch;
  scratch.fit(2);
  Vector out(2);
  EXPECT_EQ(stop_of([&] {
              projected_step_into(Vector{1, 2}, Vector{1, 2, 3}, out, scratch);
            }).rfind("shape mismatch", 0),
            0u);
}

// project_small and on_simplex_small in every lane against the general functions.
template <std::size_t N, std::size_t L>
void check_small_kernels(Entries& draw) {
  for (int round = 0; round < 400; ++round) {
    Lanes<L> d[N], out[N];
    Vector inputs[L];
    for (std::size_t l = 0; l < L; ++l) {
      inputs[l] = draw.vector(N);
      for (std::size_t i = 0; i < N; ++i) set_lane<L>(d[i], l, inputs[l][i]);
    }
    const Lanes<L> extent = project_small<N, L>(d, out);
    const LaneMask<L> on_simplex = on_simplex_small<N, L>(d);
    for (std::size_t l = 0; l < L; ++l) {
      Vector want, got(N);
      for (std::size_t i = 0; i < N; ++i) got[i] = lane<L>(out[i], l);
      const std::string stop = reference_projection(inputs[l], want);
      if (lane<L>(extent, l) < kSafeProjectionExtent) {
        EXPECT_EQ(stop, "") << "a vouched-for lane would stop";
        EXPECT_TRUE(same_bits(got, want)) << "N " << N << " lane " << l;
      } else {
        // Not vouched for: only the general projection may decide, so the inputs must be odd.
        EXPECT_FALSE(std::all_of(inputs[l].begin(), inputs[l].end(),
                                 [](double e) { return std::abs(e) < 1e6; }));
      }
      EXPECT_EQ(lane_set<L>(on_simplex, l), reference_on_simplex(inputs[l]));
    }
  }
}

TEST(SmallKernels, ProjectionAndCheckMatchTheGeneralFunctionsInEveryLane) {
  Entries draw;
  for (double awkward_rate : {0.0, 0.1, 0.5}) {
    draw.awkward_rate = awkward_rate;
    check_small_kernels<2, 1>(draw);
    check_small_kernels<3, 1>(draw);
    check_small_kernels<4, 1>(draw);
    check_small_kernels<2, 4>(draw);
    check_small_kernels<3, 4>(draw);
    check_small_kernels<4, 2>(draw);
  }
  // Vectors that sit on the simplex, or just off it, exercise the check's tolerance.
  Lanes<1> v[2] = {0.5, 0.5 + 1e-6};
  EXPECT_EQ((on_simplex_small<2, 1>(v)), reference_on_simplex(Vector{0.5, 0.5 + 1e-6}));
  v[1] = 0.5000009;
  EXPECT_TRUE((on_simplex_small<2, 1>(v)));
}

TEST(SimplexCheck, StreamedCheckMatchesTheDefinition) {
  Entries draw;
  draw.awkward_rate = 0.2;
  for (int round = 0; round < 500; ++round) {
    Vector v = draw.vector(1 + round % 6);
    const double sum = [&] {
      double s = 0;
      for (double e : v) s += std::abs(e);
      return s;
    }();
    if (round % 2 == 0 && sum > 0 && std::isfinite(sum))  // often on the simplex, or near it
      for (double& e : v) e = std::abs(e) / sum + (round % 4 == 0 ? 1e-7 : 0.0);
    SimplexCheck check;
    for (double e : v) check.add(e);
    EXPECT_EQ(check.passed(), reference_on_simplex(v)) << render_vector(v);
    EXPECT_EQ(lies_on_simplex(v), reference_on_simplex(v)) << render_vector(v);
  }
}

}  // namespace
}  // namespace ludovec::math
