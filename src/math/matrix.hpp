// Dense vectors, row-major owned matrices and read-only strided matrix views.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace ludovec::math {

using Vector = std::vector<double>;

// Read-only view of a caller's matrix of any layout. Strides are in bytes and may be zero,
// negative or unaligned, so entries are loaded with memcpy. Valid while the caller keeps
// the storage alive.
struct MatrixView {
  const std::byte* data = nullptr;
  std::size_t rows = 0, cols = 0;
  std::ptrdiff_t row_stride = 0, col_stride = 0;  // bytes

  double at(std::size_t i, std::size_t j) const noexcept {
    double v;
    std::memcpy(&v,
                data + static_cast<std::ptrdiff_t>(i) * row_stride +
                    static_cast<std::ptrdiff_t>(j) * col_stride,
                sizeof v);
    return v;
  }
};

// rows * cols, or std::bad_alloc when the product cannot be an element count.
inline std::size_t checked_size(std::size_t rows, std::size_t cols) {
  if (cols != 0 && rows > std::numeric_limits<std::ptrdiff_t>::max() / sizeof(double) / cols)
    throw std::bad_alloc();
  return rows * cols;
}

// The standard allocator, except that elements created without a value are left uninitialised.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <class U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// Row-major matrix that owns its entries; rows * cols == data().size() always.
class Matrix {
 public:
  Matrix() = default;
  Matrix(std::size_t rows, std::size_t cols)  // zeros
      : rows_(rows), cols_(cols), data_(checked_size(rows, cols), 0.0) {}
  // Entries left unset, for a writer that sets every one before anything reads it (the
  // histories of a run): zeroing them first would cost as much as the writes.
  static Matrix uninitialised(std::size_t rows, std::size_t cols) {
    Matrix m;
    m.data_.resize(checked_size(rows, cols));
    m.rows_ = rows;
    m.cols_ = cols;
    return m;
  }
  static Matrix copy_of(const MatrixView& v) {
    Matrix m(v.rows, v.cols);
    for (std::size_t i = 0; i < v.rows; ++i)
      for (std::size_t j = 0; j < v.cols; ++j) m(i, j) = v.at(i, j);
    return m;
  }

  std::size_t rows() const noexcept { return rows_; }
  std::size_t cols() const noexcept { return cols_; }
  double& operator()(std::size_t i, std::size_t j) noexcept { return data_[i * cols_ + j]; }
  double operator()(std::size_t i, std::size_t j) const noexcept { return data_[i * cols_ + j]; }
  std::span<double> row(std::size_t i) noexcept { return {data_.data() + i * cols_, cols_}; }
  std::span<const double> row(std::size_t i) const noexcept {
    return {data_.data() + i * cols_, cols_};
  }
  double* data() noexcept { return data_.data(); }
  const double* data() const noexcept { return data_.data(); }
  std::size_t size() const noexcept { return data_.size(); }
  MatrixView view() const noexcept {
    return {reinterpret_cast<const std::byte*>(data_.data()), rows_, cols_,
            static_cast<std::ptrdiff_t>(cols_ * sizeof(double)),
            static_cast<std::ptrdiff_t>(sizeof(double))};
  }
  friend bool operator==(const Matrix&, const Matrix&) = default;

 private:
  std::size_t rows_ = 0, cols_ = 0;
  std::vector<double, UninitialisedAllocator<double>> data_;
};

}  // namespace ludovec::math
