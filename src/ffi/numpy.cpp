#include "ffi/numpy.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL ludovec_ARRAY_API
#include <numpy/arrayobject.h>
#include <numpy/npy_2_compat.h>

#include <stdexcept>

namespace ludovec::ffi {
namespace {

PyArray_Descr* float64_descr_ = nullptr;  // process lifetime, set with the API table

PyArrayObject* float64_array(PyObject* obj, int ndim) {
  ensure_numpy();
  if (!PyArray_Check(obj)) return nullptr;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  // EquivTypes refuses a byte-swapped float64 as well as every other dtype.
  if (PyArray_NDIM(array) != ndim || !PyArray_EquivTypes(PyArray_DESCR(array), float64_descr_))
    return nullptr;
  return array;
}

const std::byte* bytes_of(PyArrayObject* array) {
  return reinterpret_cast<const std::byte*>(PyArray_BYTES(array));
}

std::size_t dim(PyArrayObject* array, int axis) {
  return static_cast<std::size_t>(PyArray_DIM(array, axis));
}

const char* const kCapsuleName = "ludovec.vector";

void free_vector_capsule(PyObject* capsule) noexcept {
  delete static_cast<std::vector<double>*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// Dimensions as NumPy wants them; checks that they describe `size` entries.
std::vector<npy_intp> dims_of(std::initializer_list<std::size_t> shape, std::size_t size) {
  std::vector<npy_intp> dims;
  std::size_t count = 1;
  for (std::size_t d : shape) {
    dims.push_back(static_cast<npy_intp>(d));
    count *= d;
  }
  if (count != size) throw std::logic_error("array shape does not match its data");
  return dims;
}

}  // namespace

void ensure_numpy() {
  if (float64_descr_ != nullptr) return;
  if (PyArray_ImportNumPyAPI() < 0) throw PyErrAlreadySet{};
  float64_descr_ = PyArray_DescrFromType(NPY_DOUBLE);  // a new reference, kept for good
  if (float64_descr_ == nullptr) throw PyErrAlreadySet{};
}

std::optional<VectorView> as_vector_view(PyObject* obj) {
  PyArrayObject* a = float64_array(obj, 1);
  if (a == nullptr) return std::nullopt;
  return VectorView{bytes_of(a), dim(a, 0), PyArray_STRIDE(a, 0)};
}

std::optional<math::MatrixView> as_matrix_view(PyObject* obj) {
  PyArrayObject* a = float64_array(obj, 2);
  if (a == nullptr) return std::nullopt;
  return math::MatrixView{bytes_of(a), dim(a, 0), dim(a, 1), PyArray_STRIDE(a, 0),
                          PyArray_STRIDE(a, 1)};
}

std::optional<StackView> as_stack_view(PyObject* obj) {
  PyArrayObject* a = float64_array(obj, 3);
  if (a == nullptr) return std::nullopt;
  return StackView{
      bytes_of(a),          dim(a, 0),           dim(a, 1), dim(a, 2), PyArray_STRIDE(a, 0),
      PyArray_STRIDE(a, 1), PyArray_STRIDE(a, 2)};
}

Ref array_from_vector(std::vector<double>&& data, std::initializer_list<std::size_t> shape) {
  if (data.empty()) return array_copy({}, shape);  // no buffer worth handing over
  std::vector<npy_intp> dims = dims_of(shape, data.size());
  ensure_numpy();
  auto* owned = new std::vector<double>(std::move(data));
  PyObject* capsule_ptr = PyCapsule_New(owned, kCapsuleName, free_vector_capsule);
  if (capsule_ptr == nullptr) {
    delete owned;
    throw PyErrAlreadySet{};
  }
  Ref capsule = Ref::steal(capsule_ptr);
  Ref array = new_ref(PyArray_SimpleNewFromData(static_cast<int>(dims.size()), dims.data(),
                                                NPY_DOUBLE, owned->data()));
  // Steals the capsule even when it fails.
  check_status(
      PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()));
  return array;
}

namespace {

// A new C-ordered array of NumPy type `type` holding a copy of `data`.
template <class T>
Ref typed_copy(std::span<const T> data, std::initializer_list<std::size_t> shape, int type) {
  std::vector<npy_intp> dims = dims_of(shape, data.size());
  ensure_numpy();
  Ref array = new_ref(PyArray_SimpleNew(static_cast<int>(dims.size()), dims.data(), type));
  if (!data.empty())
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), data.data(),
                data.size_bytes());
  return array;
}

}  // namespace

Ref array_copy(std::span<const double> data, std::initializer_list<std::size_t> shape) {
  return typed_copy(data, shape, NPY_DOUBLE);
}

Ref int64_array_copy(std::span<const std::int64_t> data, std::initializer_list<std::size_t> shape) {
  static_assert(sizeof(npy_int64) == sizeof(std::int64_t));
  return typed_copy(data, shape, NPY_INT64);
}

Ref bool_array_copy(std::span<const std::uint8_t> data, std::initializer_list<std::size_t> shape) {
  static_assert(sizeof(npy_bool) == sizeof(std::uint8_t));
  return typed_copy(data, shape, NPY_BOOL);
}

}  // namespace ludovec::ffi
