#include "ffi/guard.hpp"

#include <cstring>

namespace ludovec::ffi {
namespace {

PyObject* panic_exception = nullptr;  // process lifetime, created under the GIL

// BaseException subclass, so that `except Exception` does not swallow a broken invariant.
PyObject* panic_exception_class() noexcept {
  if (panic_exception == nullptr) {
    panic_exception = PyErr_NewExceptionWithDoc(
        "ludovec.PanicException",
        "Raised when the native code stops on a broken invariant; the message says which.",
        PyExc_BaseException, nullptr);
  }
  return panic_exception;
}

}  // namespace

void raise_panic(const char* message) noexcept {
  PyObject* type = panic_exception_class();
  if (type == nullptr) return;  // creating the class failed and set that error
  PyObject* text =
      PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace");
  if (text == nullptr) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

}  // namespace ludovec::ffi
