// The Experiment class: one run of an Optimizer object on a GameState object, in place.
#pragma once

#include <Python.h>

#include <cstdint>

#include "ffi/ref.hpp"

namespace ludovec::ffi {

// The native record of an Experiment: the Python objects themselves, not copies.
struct PyExperiment {
  Ref state;      // a GameState instance
  Ref optimizer;  // an Optimizer instance
  std::uint32_t num_steps = 0;
};

// The class, created on first call and kept for the process. Throws PyErrAlreadySet.
PyTypeObject* experiment_type();

}  // namespace ludovec::ffi
