#include "ffi/type_builder.hpp"

#include <vector>

namespace ludovec::ffi {
namespace {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", bare_name(type));
  return nullptr;
}

}  // namespace

const char* bare_name(const PyTypeObject* type) noexcept {
  const char* name = type->tp_name;
  for (const char* p = name; *p != '\0'; ++p)
    if (*p == '.') name = p + 1;
  return name;
}

PyTypeObject* build_type(const ClassDescription& description, Py_ssize_t basic_size,
                         destructor dealloc) {
  newfunc constructor = description.constructor ? description.constructor : &no_constructor;
  std::vector<PyType_Slot> slots{
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
      {Py_tp_new, reinterpret_cast<void*>(constructor)},
  };
  if (description.doc) slots.push_back({Py_tp_doc, const_cast<char*>(description.doc)});
  if (description.getters) slots.push_back({Py_tp_getset, description.getters});
  if (description.methods) slots.push_back({Py_tp_methods, description.methods});
  slots.push_back({0, nullptr});
  // Immutable, so that no Python code can swap in a __new__ that skips the native record.
  PyType_Spec spec{description.name, static_cast<int>(basic_size), 0,
                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots.data()};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) throw PyErrAlreadySet{};
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace ludovec::ffi
