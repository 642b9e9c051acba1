// One full run per matrix of a caller's stack of 2 x 2 games, optionally rescaled to [0, 1].
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "domain/run_loop.hpp"
#include "math/matrix.hpp"
#include "optimizers/core.hpp"
#include "runtime/worker_pool.hpp"

namespace ludovec::explore {

// Read-only view of `count` matrices of equal shape; strides in bytes, of any sign.
struct MatrixStackView {
  const std::byte* data = nullptr;
  std::size_t count = 0, rows = 0, cols = 0;
  std::ptrdiff_t matrix_stride = 0, row_stride = 0, col_stride = 0;

  math::MatrixView matrix(std::size_t i) const noexcept {
    return {data + static_cast<std::ptrdiff_t>(i) * matrix_stride, rows, cols, row_stride,
            col_stride};
  }
};

// Rescales `m` in place to [0, 1]: mx and mn are the largest and smallest entries (NaN
// skipped, folded from -inf and +inf), every entry has mn subtracted, then is divided by
// mx - mn, computed once. A constant matrix becomes all NaN.
void normalize_to_unit_range(math::Matrix& m) noexcept;

// For every matrix i, in parallel on the pool: a private copy (rescaled when `normalize`),
// the strategies x = y = (0.5, 0.5), a clone of `optimizer` as it is (not reset), and a full
// run of num_steps. Entry i of the result belongs to matrix i. A game that is not 2 x 2 stops
// at its first step; the first failure of any run stops the whole call, nothing is returned.
std::vector<domain::GameResult> neighborhood_exploration(
    const MatrixStackView& matrices, const optimizers::Optimizer& optimizer,
    std::uint32_t num_steps, bool normalize, const runtime::BatchExecution& execution = {});

}  // namespace ludovec::explore
