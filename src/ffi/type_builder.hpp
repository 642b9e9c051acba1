// The one shape of every class of the module: PyObject_HEAD, a native record, a borrow flag.
#pragma once

#include <Python.h>

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include "ffi/borrow.hpp"
#include "ffi/ref.hpp"

namespace ludovec::ffi {

template <class Record>
struct Instance {
  PyObject_HEAD
  Record record;
  BorrowFlag borrow_flag;
};

// `self` must be an instance of a class built for Record.
template <class Record>
Instance<Record>* instance_cast(PyObject* self) noexcept {
  return reinterpret_cast<Instance<Record>*>(self);
}

// What a class looks like from Python. Method and getter tables are null-terminated and must
// outlive the process (the type keeps pointers to them).
struct ClassDescription {
  const char* name;      // "builtins.<Name>"
  const char* doc;       // "<Name><signature>\n--\n\n", or nullptr for no doc
  newfunc constructor;   // nullptr: a call raises TypeError "No constructor defined for <Name>"
  PyGetSetDef* getters;  // may be nullptr
  PyMethodDef* methods;  // may be nullptr
};

// Creates a heap type derived from object: not subclassable, immutable, no __dict__, no weak
// references, no cyclic GC.
PyTypeObject* build_type(const ClassDescription& description, Py_ssize_t basic_size,
                         destructor dealloc);

// The class name after the module prefix ("GameState" for "builtins.GameState").
const char* bare_name(const PyTypeObject* type) noexcept;

template <class Record>
void dealloc_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto* instance = instance_cast<Record>(self);
  instance->record.~Record();
  instance->borrow_flag.~BorrowFlag();
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

template <class Record>
PyTypeObject* build_class(const ClassDescription& description) {
  static_assert(alignof(Instance<Record>) <= alignof(std::max_align_t));
  return build_type(description, static_cast<Py_ssize_t>(sizeof(Instance<Record>)),
                    &dealloc_instance<Record>);
}

// A new instance of `type` owning `record`.
template <class Record>
Ref new_instance(PyTypeObject* type, Record&& record) {
  static_assert(std::is_nothrow_move_constructible_v<Record>);
  Ref self = new_ref(type->tp_alloc(type, 0));
  auto* instance = instance_cast<Record>(self.get());
  new (&instance->record) Record(std::move(record));
  new (&instance->borrow_flag) BorrowFlag(0);
  return self;
}

// Method tables store every calling convention as PyCFunction.
template <class Function>
PyCFunction as_cfunction(Function* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace ludovec::ffi
