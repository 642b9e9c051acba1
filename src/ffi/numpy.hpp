// The NumPy seam: read-only views of caller arrays and new arrays from native buffers.
// Only numpy.cpp includes NumPy; the rest of the module sees these plain views.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

#include "ffi/ref.hpp"
#include "math/matrix.hpp"

namespace ludovec::ffi {

// Loads NumPy's C API on first use (importing numpy then, never at module import).
// Throws PyErrAlreadySet when NumPy cannot be imported.
void ensure_numpy();

// Read-only one-dimensional view; the stride is in bytes and may be zero or negative, and
// the data may be unaligned. Valid while the caller's array is alive and unchanged in shape.
struct VectorView {
  const std::byte* data = nullptr;
  std::size_t size = 0;
  std::ptrdiff_t stride = 0;

  double at(std::size_t i) const noexcept {
    double v;
    std::memcpy(&v, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof v);
    return v;
  }
  math::Vector to_vector() const {
    math::Vector v(size);
    for (std::size_t i = 0; i < size; ++i) v[i] = at(i);
    return v;
  }
};

// Read-only view of a stack of equally shaped matrices (axis 0 picks the matrix).
struct StackView {
  const std::byte* data = nullptr;
  std::size_t count = 0, rows = 0, cols = 0;
  std::ptrdiff_t matrix_stride = 0, row_stride = 0, col_stride = 0;  // bytes

  math::MatrixView matrix(std::size_t k) const noexcept {
    return {data + static_cast<std::ptrdiff_t>(k) * matrix_stride, rows, cols, row_stride,
            col_stride};
  }
};

// Views of an ndarray (or subclass) of exactly that many dimensions whose dtype NumPy deems
// equivalent to native float64; nullopt for anything else (the caller raises the TypeError).
// Loads NumPy first.
std::optional<VectorView> as_vector_view(PyObject* obj);
std::optional<math::MatrixView> as_matrix_view(PyObject* obj);
std::optional<StackView> as_stack_view(PyObject* obj);

// A new writeable C-ordered float64 array of `shape` that takes over `data` (kept alive by a
// capsule that is the array's base). The product of `shape` must equal data.size().
Ref array_from_vector(std::vector<double>&& data, std::initializer_list<std::size_t> shape);

// A new writeable C-ordered float64 array of `shape` holding a copy of `data`.
Ref array_copy(std::span<const double> data, std::initializer_list<std::size_t> shape);

// The same for int64 and for NumPy's bool (one byte per entry, 0 or 1).
Ref int64_array_copy(std::span<const std::int64_t> data, std::initializer_list<std::size_t> shape);
Ref bool_array_copy(std::span<const std::uint8_t> data, std::initializer_list<std::size_t> shape);

}  // namespace ludovec::ffi
