#include "ffi/args.hpp"

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ffi/ref.hpp"

namespace ludovec::ffi {
namespace {

// Interned parameter names, keyed by the address of the literal in the parameter table.
// Keywords written in a call are interned too, so most lookups end at a pointer compare.
// Process lifetime, used under the GIL.
PyObject* interned_name(const char* name) {
  static std::vector<std::pair<const char*, PyObject*>> names;
  for (const auto& [literal, object] : names)
    if (literal == name) return object;
  PyObject* object = PyUnicode_InternFromString(name);
  if (object == nullptr) throw PyErrAlreadySet{};
  names.emplace_back(name, object);
  return object;
}

[[noreturn]] void throw_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw PyErrAlreadySet{};
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

}  // namespace

void prefix_argument_error(const char* name) noexcept {
  Ref original = Ref::steal(PyErr_GetRaisedException());
  if (!original) return;
  if (!Py_IS_TYPE(original.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(original.release());
    return;
  }
  // On any failure below, that failure is the pending error and the original is dropped.
  Ref text = Ref::steal(PyObject_Str(original.get()));
  if (!text) return;
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(original.get()))  // new reference, stolen below
    PyException_SetCause(replacement.get(), cause);
  PyErr_SetRaisedException(replacement.release());
}

Arguments::Arguments(const Signature& signature) : signature_(&signature) {
  if (signature.parameters.size() > kMaxParameters)
    throw std::logic_error("a signature has more parameters than the parser holds");
}

Arguments Arguments::parse(const Signature& signature, PyObject* args, PyObject* kwargs) {
  Arguments out(signature);
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  out.take_positional(&PyTuple_GET_ITEM(args, 0), nargs);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) out.take_keyword(name, value);
  }
  out.require_all_present();
  return out;
}

Arguments Arguments::parse(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) {
  Arguments out(signature);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  out.take_positional(args, nargs);
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k)
      out.take_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
  }
  out.require_all_present();
  return out;
}

void Arguments::take_positional(PyObject* const* args, Py_ssize_t nargs) {
  const auto& params = signature_->parameters;
  const std::size_t total = params.size();
  if (static_cast<std::size_t>(nargs) > total) {
    std::size_t required = 0;
    for (const Parameter& p : params) required += p.required ? 1 : 0;
    std::string message = std::string(signature_->call) + " takes ";
    if (required != total) message += "from " + std::to_string(required) + " to ";
    message += std::to_string(total) + " positional arguments but " + std::to_string(nargs) +
               (nargs == 1 ? " was" : " were") + " given";
    throw_type_error(message);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) values_[static_cast<std::size_t>(i)] = args[i];
}

void Arguments::take_keyword(PyObject* name, PyObject* value) {
  if (!PyUnicode_Check(name)) throw_type_error("keywords must be strings");
  const auto& params = signature_->parameters;
  std::size_t index = params.size();
  for (std::size_t i = 0; i < params.size() && index == params.size(); ++i)
    if (name == interned_name(params[i].name)) index = i;
  for (std::size_t i = 0; i < params.size() && index == params.size(); ++i)
    if (PyUnicode_EqualToUTF8(name, params[i].name)) index = i;
  if (index == params.size()) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", signature_->call,
                 name);
    throw PyErrAlreadySet{};
  }
  if (values_[index] != nullptr) {  // filled by position
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", signature_->call,
                 params[index].name);
    throw PyErrAlreadySet{};
  }
  values_[index] = value;
}

void Arguments::require_all_present() const {
  std::vector<const char*> missing;
  const auto& params = signature_->parameters;
  for (std::size_t i = 0; i < params.size(); ++i)
    if (params[i].required && values_[i] == nullptr) missing.push_back(params[i].name);
  if (missing.empty()) return;
  throw_type_error(std::string(signature_->call) + " missing " + std::to_string(missing.size()) +
                   " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                   quoted_list(missing));
}

}  // namespace ludovec::ffi
