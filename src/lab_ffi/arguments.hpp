// Keyword-only arguments of the study layer's entry, each converted with its name in the error.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ludovec::lab_ffi {

// The keyword arguments of one fast call, matched to `names`; values are borrowed from the call.
// Positional arguments, unknown and repeated keywords raise TypeError naming `call`.
class Keywords {
 public:
  Keywords(const char* call, std::span<const char* const> names, PyObject* const* args,
           Py_ssize_t nargsf, PyObject* kwnames);

  // The value given for `name` (one of the names), or nullptr; None counts as not given.
  PyObject* operator[](const char* name) const;

 private:
  std::span<const char* const> names_;
  std::vector<PyObject*> values_;
};

// Each raises (and throws ffi::PyErrAlreadySet) a TypeError for a value of the wrong type and a
// ValueError for one out of range, the message starting with `name`.
std::uint64_t to_integer(PyObject* obj, const char* name, std::uint64_t limit);  // [0, limit]
double to_double(PyObject* obj, const char* name);
std::string to_text(PyObject* obj, const char* name);
bool to_flag(PyObject* obj, const char* name);
std::vector<std::uint64_t> to_integers(PyObject* obj, const char* name, std::uint64_t limit);
std::vector<double> to_doubles(PyObject* obj, const char* name);

// Sets `type` with the message and throws ffi::PyErrAlreadySet.
[[noreturn]] void raise(PyObject* type, const std::string& message);

}  // namespace ludovec::lab_ffi
