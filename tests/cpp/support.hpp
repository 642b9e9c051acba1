// Helpers shared by the C++ tests.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <string>

#include "math/matrix.hpp"
#include "math/stop.hpp"

namespace ludovec::test_support {

inline constexpr const char* kNoStop = "<no stop>";

// The message `f` stops with, or kNoStop when it returns.
template <class F>
std::string stop_message(F&& f) {
  try {
    f();
  } catch (const math::Stop& s) {
    return s.what();
  }
  return kNoStop;
}

// A rows x cols matrix filled row by row from `entries`.
inline math::Matrix matrix(std::size_t rows, std::size_t cols,
                           std::initializer_list<double> entries) {
  math::Matrix m(rows, cols);
  std::copy(entries.begin(), entries.end(), m.data());
  return m;
}

}  // namespace ludovec::test_support
