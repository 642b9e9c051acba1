// The exploration functions and their output classes.
#pragma once

#include <Python.h>

#include "ffi/ref.hpp"

namespace ludovec::ffi {

// Records of the output classes: the arrays handed out as they are stored.
struct PyScatteredOutput {
  Ref norms;
  Ref metrics;
};
struct PyConcentricOutput {
  Ref slice_boundaries;
  Ref metrics;
};

// The classes, created on first call and kept for the process. Throw PyErrAlreadySet.
PyTypeObject* scattered_output_type();
PyTypeObject* concentric_output_type();

// Method definitions of the module functions (fast call with keywords).
PyMethodDef* scattered_exploration_definition();
PyMethodDef* concentric_exploration_definition();
PyMethodDef* neighborhood_exploration_definition();

}  // namespace ludovec::ffi
