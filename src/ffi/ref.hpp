// Owned references to Python objects.
#pragma once

#include <Python.h>

#include <utility>

#include "ffi/guard.hpp"

namespace ludovec::ffi {

// Owns one strong reference, or none.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {  // the old value is dropped last, via t
    Ref t(std::move(o));
    std::swap(p_, t.p_);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// For calls returning a new reference, or NULL with an error set.
inline Ref new_ref(PyObject* p) {
  if (p == nullptr) throw PyErrAlreadySet{};
  return Ref::steal(p);
}

// For calls returning 0 on success and -1 with an error set.
inline void check_status(int status) {
  if (status < 0) throw PyErrAlreadySet{};
}

}  // namespace ludovec::ffi
