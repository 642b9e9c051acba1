// Argument parsing for constructors (tuple + dict) and fast-call functions (vector + names).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

#include "ffi/guard.hpp"

namespace ludovec::ffi {

// One positional-or-keyword parameter. Optional ones have a default that the binding fills in.
struct Parameter {
  const char* name;
  bool required = true;
};

// The parameters of one callable, in order, and the call name its messages start with:
// "GameState.__new__()" for a constructor, "scattered_exploration()" for a function.
struct Signature {
  const char* call;
  std::span<const Parameter> parameters;
};

inline constexpr std::size_t kMaxParameters = 12;

// Re-raises a pending exception of exactly TypeError as
// TypeError("argument '<name>': <its message>") with the same __cause__; leaves any other
// exception as it is.
void prefix_argument_error(const char* name) noexcept;

// The arguments of one call, matched to the parameters. Values are borrowed from the call.
class Arguments {
 public:
  // Tuple + dict form (tp_new); `kwargs` may be NULL.
  static Arguments parse(const Signature& signature, PyObject* args, PyObject* kwargs);
  // Fast call with keywords; `nargsf` may carry the vectorcall offset flag.
  static Arguments parse(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames);

  bool given(std::size_t i) const noexcept { return values_[i] != nullptr; }
  PyObject* operator[](std::size_t i) const noexcept { return values_[i]; }

  // convert(value) for parameter i, which must be given. A converter signals failure by
  // throwing PyErrAlreadySet; an exact TypeError then gets the parameter's name as prefix.
  template <class Convert>
  decltype(auto) convert(std::size_t i, Convert&& convert) const {
    try {
      return convert(values_[i]);
    } catch (const PyErrAlreadySet&) {
      prefix_argument_error(signature_->parameters[i].name);
      throw;
    }
  }

 private:
  explicit Arguments(const Signature& signature);
  void take_positional(PyObject* const* args, Py_ssize_t nargs);
  void take_keyword(PyObject* name, PyObject* value);
  void require_all_present() const;

  const Signature* signature_;
  std::array<PyObject*, kMaxParameters> values_{};
};

}  // namespace ludovec::ffi
