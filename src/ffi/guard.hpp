// The one boundary between C++ and the interpreter: every entry point returns guarded(body).
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>
#include <utility>

#include "ffi/memory_budget.hpp"

namespace ludovec::ffi {

// Thrown after a C-API call failed; the Python error is already set.
struct PyErrAlreadySet {};

// Sets PanicException(message) as the current error. The class is created on first need
// and lives for the process. `message` is UTF-8; invalid bytes are replaced.
void raise_panic(const char* message) noexcept;

// Message of a PanicException raised for a failure that carries no text.
inline constexpr const char* kGenericPanicMessage = "internal failure without a text message";

// Runs `body` (returning a Ref) and hands its new reference to the interpreter, or NULL with
// an error set: Stop and any other std::exception become raise_failure(what()), memory
// exhaustion (bad_alloc, or a length_error from an impossible container size) MemoryError,
// with the refusal's text when the up-front check refused the request (MemoryRefused),
// PyErrAlreadySet keeps the error already set. Each native entry passes its own failure class.
template <class Body>
PyObject* guarded_with(void (*raise_failure)(const char*) noexcept, Body&& body) noexcept {
  try {
    PyObject* result = body().release();
    if (result == nullptr && !PyErr_Occurred()) raise_failure(kGenericPanicMessage);
    return result;
  } catch (const PyErrAlreadySet&) {
    if (!PyErr_Occurred()) raise_failure(kGenericPanicMessage);
  } catch (const MemoryRefused& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_failure(e.what());
  } catch (...) {
    raise_failure(kGenericPanicMessage);
  }
  return nullptr;
}

// guarded_with PanicException: the module's boundary.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  return guarded_with(&raise_panic, std::forward<Body>(body));
}

}  // namespace ludovec::ffi
