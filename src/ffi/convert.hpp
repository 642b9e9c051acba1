// Converters from Python argument values to native values. Each throws PyErrAlreadySet with
// the error set; the argument parser adds the parameter name to a TypeError.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "ffi/numpy.hpp"
#include "math/matrix.hpp"

namespace ludovec::ffi {

// An int, or anything with __index__, within 0..2**32-1. Negative values and values from
// 2**64 up raise the interpreter's OverflowError; 2**32..2**64-1 raise OverflowError
// "out of range integral type conversion attempted".
std::uint32_t to_u32(PyObject* obj);

// Exactly float read directly, else whatever PyFloat_AsDouble accepts (not None).
double to_f64(PyObject* obj);

// Exactly bool, or NumPy's boolean scalar through its truth slot; 0 and 1 are refused.
bool to_bool(PyObject* obj);

// A str (or subclass) as UTF-8; lone surrogates raise the interpreter's UnicodeEncodeError.
std::string to_str(PyObject* obj);

// Views of native float64 ndarrays of exactly 1, 2 or 3 dimensions, any strides; anything
// else raises TypeError "'<type>' object cannot be converted to 'PyArray<T, D>'".
VectorView to_vector_view(PyObject* obj);
math::MatrixView to_matrix_view(PyObject* obj);
StackView to_stack_view(PyObject* obj);

// `obj` itself when it is an instance of `type`, else TypeError
// "'<type of obj>' object cannot be converted to '<bare name of type>'".
PyObject* to_instance(PyObject* obj, PyTypeObject* type);

// Sets TypeError "'<__qualname__ of obj's type>' object cannot be converted to '<target>'"
// and throws.
[[noreturn]] void throw_conversion_error(PyObject* obj, const char* target);

}  // namespace ludovec::ffi
