// PyInit_ludovec: single-phase module creation and the registration table in its fixed order.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "ffi/experiment.hpp"
#include "ffi/exploration.hpp"
#include "ffi/game.hpp"
#include "ffi/guard.hpp"
#include "ffi/optimizer.hpp"
#include "ffi/ref.hpp"

namespace ludovec::ffi {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "ludovec",
    "Learning dynamics and neighbourhood explorations of two-player zero-sum matrix games.",
    0,        // no per-module state
    nullptr,  // functions are added one by one, in table order
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module holds process-wide types and a worker pool, so only the first interpreter that
// imports it may use it. -1 until then.
std::atomic<std::int64_t> first_interpreter{-1};

PyObject* module_ = nullptr;  // process lifetime once an initialisation succeeded

// One line of the registration table: a class, by the getter of its type object, or a module
// function, by the getter of its static method definition (fast call with keywords, doc
// "<name><signature>\n--\n\n").
struct Registration {
  PyTypeObject* (*make_class)();
  PyMethodDef* (*function_definition)();
};

// The order of __all__.
const Registration kRegistrations[] = {
    {game_result_type, nullptr},
    {game_state_type, nullptr},
    {nullptr, neighborhood_exploration_definition},
    {nullptr, concentric_exploration_definition},
    {nullptr, scattered_exploration_definition},
    {experiment_type, nullptr},
    {concentric_output_type, nullptr},
    {scattered_output_type, nullptr},
    {ogda_type, nullptr},
    {omwuoftrl_type, nullptr},
    {omwuoomd_type, nullptr},
    {optimizer_type, nullptr},
};

// Appends `name` to __all__ (created empty when missing), then sets the attribute.
void add_name(PyObject* module, PyObject* name, PyObject* value) {
  PyObject* all_ptr = nullptr;
  const int found = PyObject_GetOptionalAttrString(module, "__all__", &all_ptr);
  if (found < 0) throw PyErrAlreadySet{};
  Ref all = Ref::steal(all_ptr);
  if (found == 0) {
    all = new_ref(PyList_New(0));
    check_status(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "the module's __all__ is not a list");
    throw PyErrAlreadySet{};
  }
  check_status(PyList_Append(all.get(), name));
  check_status(PyObject_SetAttr(module, name, value));
}

void register_entry(PyObject* module, const Registration& entry) {
  if (entry.make_class != nullptr) {
    auto* type = reinterpret_cast<PyObject*>(entry.make_class());
    Ref name = new_ref(PyType_GetName(reinterpret_cast<PyTypeObject*>(type)));
    add_name(module, name.get(), type);
    return;
  }
  Ref module_name = new_ref(PyModule_GetNameObject(module));
  Ref function = new_ref(PyCFunction_NewEx(entry.function_definition(), module, module_name.get()));
  Ref name = new_ref(PyObject_GetAttrString(function.get(), "__name__"));
  add_name(module, name.get(), function.get());
}

void refuse_other_interpreters() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw PyErrAlreadySet{};
  std::int64_t first = -1;
  if (first_interpreter.compare_exchange_strong(first, id) || first == id) return;
  PyErr_SetString(PyExc_ImportError,
                  "ludovec does not support sub-interpreters: it can only be imported in the "
                  "interpreter that imported it first");
  throw PyErrAlreadySet{};
}

Ref init_module() {
  refuse_other_interpreters();
  if (module_ != nullptr) return Ref::borrow(module_);  // a re-import gets the same object
  // A failed registration drops the half-built module and leaves nothing cached.
  Ref module = new_ref(PyModule_Create2(&module_definition, 1013));
  for (const Registration& entry : kRegistrations) register_entry(module.get(), entry);
  module_ = Py_NewRef(module.get());
  return module;
}

}  // namespace
}  // namespace ludovec::ffi

PyMODINIT_FUNC PyInit_ludovec() {
  return ludovec::ffi::guarded([] { return ludovec::ffi::init_module(); });
}
