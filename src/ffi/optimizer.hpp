// The optimizer classes: Ogda, OmwuOomd, OmwuOftrl, and Optimizer with its factory methods.
#pragma once

#include <Python.h>

#include "ffi/type_builder.hpp"
#include "optimizers/core.hpp"

namespace ludovec::ffi {

using OptimizerObject = Instance<optimizers::Optimizer>;

// The classes, created on first call and kept for the process. Throw PyErrAlreadySet.
PyTypeObject* ogda_type();
PyTypeObject* omwuoomd_type();
PyTypeObject* omwuoftrl_type();
PyTypeObject* optimizer_type();

// Converter for an Optimizer argument taken by value: a deep copy of the wrapped record, made
// under a shared borrow, so the caller's object is never changed. TypeError
// "'<type>' object cannot be converted to 'Optimizer'" for anything but an Optimizer;
// RuntimeError "Already mutably borrowed" while it is being stepped.
optimizers::Optimizer clone_optimizer_arg(PyObject* obj);

}  // namespace ludovec::ffi
