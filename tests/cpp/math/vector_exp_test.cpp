#include "math/vector_exp.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace ludovec::math {
namespace {

using exp_testing::available;

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

// The first index where exp_through(path) (either kernel) and ::exp differ, or v.size().
std::size_t first_difference(ExpPath path, const std::vector<double>& v) {
  for (const bool lanes : {false, true}) {
    std::vector<double> got = v;
    exp_testing::exp_through(path, got.data(), got.size(), lanes);
    for (std::size_t i = 0; i < v.size(); ++i)
      if (bits(got[i]) != bits(::exp(v[i]))) return i;
  }
  return v.size();
}

// Arguments the steps produce (x - max x <= 0) and every other class, over lengths that leave
// every remainder of eight and with special values in every lane position.
std::vector<double> mixed_arguments(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 g(seed);
  std::uniform_real_distribution<double> steps(-800.0, 0.0), small(-1e-3, 0.0), any(-1100, 800);
  // clang-format off
  const double specials[] = {0.0, -0.0, std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN(), 0x1p-60, -0x1p-1074,
                             -745.2, -708.5, 709.8, -512.0, 511.9999};
  // clang-format on
  std::vector<double> v(n);
  for (auto& x : v) {
    switch (g() % 5) {
      case 0: x = steps(g); break;
      case 1: x = small(g); break;
      case 2: x = any(g); break;
      case 3: x = std::bit_cast<double>(g()); break;  // every exponent, NaN payloads
      default: x = specials[g() % std::size(specials)];
    }
  }
  return v;
}

class ExpPaths : public testing::TestWithParam<ExpPath> {
 protected:
  void SetUp() override {
    if (!available(GetParam())) GTEST_SKIP() << "this processor lacks the instructions";
  }
};

TEST_P(ExpPaths, EqualsTheLibraryBitForBit) {
  for (const std::size_t n : {0, 1, 2, 3, 4, 5, 7, 8, 12, 13, 15, 100, 200'003}) {
    const auto v = mixed_arguments(n, n);
    EXPECT_EQ(first_difference(GetParam(), v), n) << "length " << n;
  }
  std::vector<double> check(exp_testing::check_arguments(nullptr));
  exp_testing::check_arguments(check.data());
  EXPECT_EQ(first_difference(GetParam(), check), check.size());
}

TEST_P(ExpPaths, CheckAgreesWithTheLibraryAndCatchesOneFlippedBit) {
  EXPECT_TRUE(exp_testing::path_agrees(GetParam(), &::exp));
  // A library that differs in the last bit of a single check argument, in turn an interior
  // argument, a fused witness and one near a special-case threshold.
  std::vector<double> check(exp_testing::check_arguments(nullptr));
  exp_testing::check_arguments(check.data());
  for (const std::size_t at : {std::size_t{777}, check.size() - 150, check.size() - 20}) {
    static double flipped_at;
    flipped_at = check[at];
    const auto off_by_one = [](double x) {
      const double y = ::exp(x);
      return bits(x) == bits(flipped_at) ? std::bit_cast<double>(bits(y) ^ 1) : y;
    };
    EXPECT_FALSE(exp_testing::path_agrees(GetParam(), +off_by_one)) << check[at];
  }
}

std::string path_name(const testing::TestParamInfo<ExpPath>& info) {
  switch (info.param) {
    case ExpPath::avx512: return "avx512";
    case ExpPath::avx2: return "avx2";
    case ExpPath::scalar: break;
  }
  return "scalar";
}

INSTANTIATE_TEST_SUITE_P(Vector, ExpPaths,
                         testing::Values(ExpPath::scalar, ExpPath::avx2, ExpPath::avx512),
                         path_name);

TEST(ExpPath, DisagreementLeavesTheScalarPathAndResultsUnchanged) {
  const auto v = mixed_arguments(4096, 7);
  const auto run = [&] {
    for (const auto entry : {&exp_in_place, &exp_lanes_in_place}) {
      std::vector<double> got = v;
      entry(got.data(), got.size());
      for (std::size_t i = 0; i < v.size(); ++i)
        if (bits(got[i]) != bits(::exp(v[i]))) return false;
    }
    return true;
  };
  const ExpPath usual = exp_path();
  EXPECT_EQ(usual, available(ExpPath::avx512) ? ExpPath::avx512
                   : available(ExpPath::avx2) ? ExpPath::avx2
                                              : ExpPath::scalar);
  EXPECT_TRUE(run());

  const auto other_library = [](double x) {
    return x == 0.5 ? std::nextafter(::exp(x), 2.0) : ::exp(x);
  };
  EXPECT_EQ(exp_testing::decide_path(+other_library), ExpPath::scalar);
  EXPECT_EQ(exp_path(), ExpPath::scalar);
  EXPECT_TRUE(run());

  EXPECT_EQ(exp_testing::decide_path(&::exp), usual);
  EXPECT_EQ(exp_path(), usual);
}

}  // namespace
}  // namespace ludovec::math
