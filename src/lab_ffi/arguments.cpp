#include "lab_ffi/arguments.hpp"

#include <cmath>
#include <cstring>

#include "ffi/guard.hpp"
#include "ffi/ref.hpp"

namespace ludovec::lab_ffi {

using ffi::PyErrAlreadySet;
using ffi::Ref;

namespace {

std::string type_name(PyObject* obj) {
  Ref name = ffi::new_ref(PyType_GetQualName(Py_TYPE(obj)));
  const char* utf8 = PyUnicode_AsUTF8(name.get());
  if (utf8 == nullptr) throw PyErrAlreadySet{};
  return utf8;
}

[[noreturn]] void wrong_type(PyObject* obj, const char* name, const char* wanted) {
  raise(PyExc_TypeError, std::string(name) + " must be " + wanted + ", not " + type_name(obj));
}

}  // namespace

void raise(PyObject* type, const std::string& message) {
  Ref text = ffi::new_ref(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  PyErr_SetObject(type, text.get());
  throw PyErrAlreadySet{};
}

Keywords::Keywords(const char* call, std::span<const char* const> names, PyObject* const* args,
                   Py_ssize_t nargsf, PyObject* kwnames)
    : names_(names), values_(names.size(), nullptr) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs > 0)
    raise(PyExc_TypeError, std::string(call) + " takes keyword arguments only (" +
                               std::to_string(nargs) + " positional given)");
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::size_t i = 0;
    while (i < names.size() && !PyUnicode_EqualToUTF8(key, names[i])) ++i;
    if (i == names.size()) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", call, key);
      throw PyErrAlreadySet{};
    }
    values_[i] = args[nargs + k] == Py_None ? nullptr : args[nargs + k];
  }
}

PyObject* Keywords::operator[](const char* name) const {
  for (std::size_t i = 0; i < names_.size(); ++i)
    if (std::strcmp(names_[i], name) == 0) return values_[i];
  return nullptr;
}

std::uint64_t to_integer(PyObject* obj, const char* name, std::uint64_t limit) {
  if (PyBool_Check(obj) || !PyIndex_Check(obj)) wrong_type(obj, name, "an int");
  Ref index = ffi::new_ref(PyNumber_Index(obj));
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (small == -1 && PyErr_Occurred()) throw PyErrAlreadySet{};
  std::uint64_t value = 0;
  bool fits = overflow == 0 && small >= 0;
  if (fits) {
    value = static_cast<std::uint64_t>(small);
  } else if (overflow > 0) {
    value = PyLong_AsUnsignedLongLong(index.get());
    fits = !(value == static_cast<unsigned long long>(-1) && PyErr_Occurred());
    PyErr_Clear();
  }
  if (!fits || value > limit) {
    Ref text = ffi::new_ref(PyObject_Repr(index.get()));
    raise(PyExc_ValueError, std::string(name) + " must lie in [0, " + std::to_string(limit) +
                                "], got " + PyUnicode_AsUTF8(text.get()));
  }
  return value;
}

double to_double(PyObject* obj, const char* name) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  if (PyBool_Check(obj) ||
      !(PyFloat_Check(obj) || PyIndex_Check(obj) || Py_TYPE(obj)->tp_as_number != nullptr))
    wrong_type(obj, name, "a float");
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrAlreadySet{};
    PyErr_Clear();
    wrong_type(obj, name, "a float");
  }
  return value;
}

std::string to_text(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) wrong_type(obj, name, "a str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) throw PyErrAlreadySet{};
  return std::string(utf8, static_cast<std::size_t>(size));
}

bool to_flag(PyObject* obj, const char* name) {
  if (PyBool_Check(obj)) return obj == Py_True;
  const std::string type = type_name(obj);
  if (type != "bool" && type != "bool_") wrong_type(obj, name, "a bool");
  const int truth = PyObject_IsTrue(obj);  // NumPy's boolean scalar
  if (truth < 0) throw PyErrAlreadySet{};
  return truth != 0;
}

std::vector<std::uint64_t> to_integers(PyObject* obj, const char* name, std::uint64_t limit) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || !PySequence_Check(obj))
    wrong_type(obj, name, "a sequence of ints");
  Ref items = ffi::new_ref(PySequence_Fast(obj, name));
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  std::vector<std::uint64_t> out(static_cast<std::size_t>(n));
  const std::string entry = std::string(name) + " entries";
  for (Py_ssize_t i = 0; i < n; ++i)
    out[static_cast<std::size_t>(i)] =
        to_integer(PySequence_Fast_GET_ITEM(items.get(), i), entry.c_str(), limit);
  return out;
}

std::vector<double> to_doubles(PyObject* obj, const char* name) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || !PySequence_Check(obj))
    wrong_type(obj, name, "a sequence of floats");
  Ref items = ffi::new_ref(PySequence_Fast(obj, name));
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  std::vector<double> out(static_cast<std::size_t>(n));
  const std::string entry = std::string(name) + " entries";
  for (Py_ssize_t i = 0; i < n; ++i)
    out[static_cast<std::size_t>(i)] =
        to_double(PySequence_Fast_GET_ITEM(items.get(), i), entry.c_str());
  return out;
}

}  // namespace ludovec::lab_ffi
