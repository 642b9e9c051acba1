#include "ffi/convert.hpp"

#include <limits>

#include "ffi/ref.hpp"
#include "ffi/type_builder.hpp"

namespace ludovec::ffi {
namespace {

bool is_str_equal(PyObject* obj, const char* text) {
  return PyUnicode_Check(obj) && PyUnicode_EqualToUTF8(obj, text);
}

// NumPy's boolean scalar type ("bool" since NumPy 2, "bool_" before), recognised by name so
// that NumPy need not be loaded. A class without __module__ is simply not it.
bool is_numpy_bool_type(PyTypeObject* type) {
  PyObject* module = PyType_GetModuleName(type);
  if (module == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrAlreadySet{};
    PyErr_Clear();
    return false;
  }
  Ref module_ref = Ref::steal(module);
  if (!is_str_equal(module, "numpy")) return false;
  Ref name = new_ref(PyType_GetName(type));
  return is_str_equal(name.get(), "bool_") || is_str_equal(name.get(), "bool");
}

}  // namespace

void throw_conversion_error(PyObject* obj, const char* target) {
  Ref type_name = new_ref(PyType_GetQualName(Py_TYPE(obj)));
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), target);
  throw PyErrAlreadySet{};
}

std::uint32_t to_u32(PyObject* obj) {
  Ref index = new_ref(PyNumber_Index(obj));
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrAlreadySet{};
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    throw PyErrAlreadySet{};
  }
  return static_cast<std::uint32_t>(value);
}

double to_f64(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) throw PyErrAlreadySet{};
  return value;
}

bool to_bool(PyObject* obj) {
  if (PyBool_Check(obj)) return obj == Py_True;
  PyTypeObject* type = Py_TYPE(obj);
  if (!is_numpy_bool_type(type)) throw_conversion_error(obj, "PyBool");
  inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
  if (truth == nullptr) {
    Ref type_name = new_ref(PyType_GetQualName(type));
    PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                 type_name.get());
    throw PyErrAlreadySet{};
  }
  const int value = truth(obj);
  if (value < 0) throw PyErrAlreadySet{};
  return value != 0;
}

std::string to_str(PyObject* obj) {
  if (!PyUnicode_Check(obj)) throw_conversion_error(obj, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) throw PyErrAlreadySet{};
  return std::string(utf8, static_cast<std::size_t>(size));
}

VectorView to_vector_view(PyObject* obj) {
  if (auto view = as_vector_view(obj)) return *view;
  throw_conversion_error(obj, "PyArray<T, D>");
}

math::MatrixView to_matrix_view(PyObject* obj) {
  if (auto view = as_matrix_view(obj)) return *view;
  throw_conversion_error(obj, "PyArray<T, D>");
}

StackView to_stack_view(PyObject* obj) {
  if (auto view = as_stack_view(obj)) return *view;
  throw_conversion_error(obj, "PyArray<T, D>");
}

PyObject* to_instance(PyObject* obj, PyTypeObject* type) {
  if (PyObject_TypeCheck(obj, type)) return obj;
  throw_conversion_error(obj, bare_name(type));
}

}  // namespace ludovec::ffi
