// Matrix norms over views of any layout, and the norm-name parser.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "explore/norms.hpp"

namespace ludovec::explore {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

math::MatrixView row_major(const std::vector<double>& v, std::size_t rows, std::size_t cols) {
  return {reinterpret_cast<const std::byte*>(v.data()), rows, cols,
          static_cast<std::ptrdiff_t>(cols * sizeof(double)), sizeof(double)};
}

bool same_bits(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b));
}

TEST(Norms, ValuesAndEmptyCases) {
  const std::vector<double> m = {1, -3, 2, 0};
  const std::vector<double> nan_rows = {kNaN, 1, 5, -5};
  const std::vector<double> all_nan = {kNaN, kNaN};
  const std::vector<double> tiny = {1e-300, -1e-300, 1e-300, -1e-300};  // squares underflow
  const std::vector<double> huge = {1e200, -1e200, 1e200, 1e200};       // squares overflow
  const std::vector<double> huge_inf = {1e200, kInf};
  const std::vector<double> huge_nan = {1e200, kNaN};
  const std::vector<double> zeros = {0.0, -0.0};
  struct Case {
    const char* name;
    math::MatrixView a;
    double max, infinity, frobenius;
  } cases[] = {
      {"2x2", row_major(m, 2, 2), 3.0, 4.0, std::sqrt(14.0)},
      {"0x0", row_major(m, 0, 0), -kInf, -kInf, 0.0},
      {"2x0", row_major(m, 2, 0), -kInf, -0.0, 0.0},
      {"0x3", row_major(m, 0, 3), -kInf, -kInf, 0.0},
      {"NaN ignored by the maxima", row_major(nan_rows, 2, 2), 5.0, 10.0, kNaN},
      {"all NaN", row_major(all_nan, 1, 2), -kInf, -kInf, kNaN},
      {"tiny entries", row_major(tiny, 2, 2), 1e-300, 2e-300, 2 * 1e-300},
      {"huge entries", row_major(huge, 2, 2), 1e200, 2e200, 2 * 1e200},
      {"an infinite entry", row_major(huge_inf, 1, 2), kInf, kInf, kInf},
      {"a NaN entry beside a huge one", row_major(huge_nan, 1, 2), 1e200, -kInf, kNaN},
      {"zeros", row_major(zeros, 1, 2), 0.0, 0.0, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(same_bits(max_norm(c.a), c.max)) << max_norm(c.a);
    EXPECT_TRUE(same_bits(infinity_norm(c.a), c.infinity)) << infinity_norm(c.a);
    EXPECT_TRUE(same_bits(frobenius_norm(c.a), c.frobenius)) << frobenius_norm(c.a);
  }
}

TEST(Norms, ReadStridedAndReversedViews) {
  // Column-major storage of [[1, -3], [2, 0]], then the same read backwards through negative
  // strides: both must give the norms of the row-major matrix.
  const std::vector<double> column_major = {1, 2, -3, 0};
  const auto* base = reinterpret_cast<const std::byte*>(column_major.data());
  const math::MatrixView transposed{base, 2, 2, sizeof(double), 2 * sizeof(double)};
  const std::vector<double> reversed_storage = {0, 2, -3, 1};
  const math::MatrixView reversed{reinterpret_cast<const std::byte*>(&reversed_storage[3]), 2, 2,
                                  -2 * static_cast<std::ptrdiff_t>(sizeof(double)),
                                  -static_cast<std::ptrdiff_t>(sizeof(double))};
  for (const math::MatrixView& v : {transposed, reversed}) {
    EXPECT_EQ(max_norm(v), 3.0);
    EXPECT_EQ(infinity_norm(v), 4.0);  // row sums 4 and 2, not the column sums 3 and 3
    EXPECT_EQ(frobenius_norm(v), std::sqrt(14.0));
  }
}

TEST(NormNames, AcceptedAfterFullLowerCasing) {
  struct Case {
    const char* text;
    NormType expected;
  } cases[] = {
      {"max", NormType::Max},
      {"MAX", NormType::Max},
      {"Infinity", NormType::Infinity},
      {"FROBENIUS", NormType::Frobenius},
      {"fRoBeNiUs", NormType::Frobenius},
  };
  for (const Case& c : cases) {
    auto parsed = parse_norm_type(c.text);
    ASSERT_TRUE(parsed.has_value()) << c.text;
    EXPECT_EQ(parsed.value(), c.expected) << c.text;
    EXPECT_EQ(norm_function(c.expected), c.expected == NormType::Max        ? &max_norm
                                         : c.expected == NormType::Infinity ? &infinity_norm
                                                                            : &frobenius_norm);
  }
}

TEST(NormNames, RefusedWithTheFixedText) {
  // U+0130 lowers to "i" + U+0307, so "MAX" spelled with it nowhere matches.
  for (const char* text :
       {"inf", "", "max ", " max", "l2", "Ma\xC3\x97", "\xC4\xB0nfinity", "frobenius\xC3\x9F"}) {
    auto parsed = parse_norm_type(text);
    ASSERT_FALSE(parsed.has_value()) << text;
    EXPECT_EQ(parsed.error(), "Unknown norm type. Use 'max', 'infinity', or 'frobenius'");
  }
}

}  // namespace
}  // namespace ludovec::explore
