#include "ffi/optimizer.hpp"

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

#include "ffi/args.hpp"
#include "ffi/borrow.hpp"
#include "ffi/convert.hpp"
#include "ffi/memory_budget.hpp"

namespace ludovec::ffi {
namespace {

// Vectors of length dim held at once while a variant is built: OmwuOftrl's two zero vectors;
// for Ogda and OmwuOomd, the first projected vector beside the second projection's zero input,
// working copy and result.
template <auto make>
void require_optimizer_memory(std::uint32_t dim) {
  using Variant = decltype(make(0.0, 0u));
  constexpr std::uint64_t vectors = std::is_same_v<Variant, optimizers::OmwuOftrl> ? 2 : 4;
  require_memory(Bytes::doubles(dim) * vectors, "an optimizer of dimension " + std::to_string(dim));
}

constexpr Parameter kOptimizerParameters[] = {{"eta"}, {"dim"}};
constexpr Signature kOgdaNew{"Ogda.__new__()", kOptimizerParameters};
constexpr Signature kOmwuOomdNew{"OmwuOomd.__new__()", kOptimizerParameters};
constexpr Signature kOmwuOftrlNew{"OmwuOftrl.__new__()", kOptimizerParameters};
constexpr Signature kOgdaFactory{"Optimizer.ogda()", kOptimizerParameters};
constexpr Signature kOmwuOomdFactory{"Optimizer.omwuoomd()", kOptimizerParameters};
constexpr Signature kOmwuOftrlFactory{"Optimizer.omwuoftrl()", kOptimizerParameters};

// Constructor of a variant class: the record is the bare variant.
template <const Signature& signature, auto make>
PyObject* new_variant(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments in = Arguments::parse(signature, args, kwargs);
    const double eta = in.convert(0, to_f64);
    const std::uint32_t dim = in.convert(1, to_u32);
    require_optimizer_memory<make>(dim);
    return new_instance(type, make(eta, dim));
  });
}

// Static factory of Optimizer: the variant wrapped in the one type the rest of the module takes.
template <const Signature& signature, auto make>
PyObject* make_optimizer(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) noexcept {
  return guarded([&] {
    const Arguments in = Arguments::parse(signature, args, nargsf, kwnames);
    const double eta = in.convert(0, to_f64);
    const std::uint32_t dim = in.convert(1, to_u32);
    require_optimizer_memory<make>(dim);
    return new_instance(optimizer_type(), optimizers::Optimizer{make(eta, dim)});
  });
}

constexpr int kFactoryFlags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef optimizer_methods[] = {
    {"ogda", as_cfunction(make_optimizer<kOgdaFactory, optimizers::make_ogda>), kFactoryFlags,
     "ogda(eta, dim)\n--\n\n"},
    {"omwuoomd", as_cfunction(make_optimizer<kOmwuOomdFactory, optimizers::make_omwuoomd>),
     kFactoryFlags, "omwuoomd(eta, dim)\n--\n\n"},
    {"omwuoftrl", as_cfunction(make_optimizer<kOmwuOftrlFactory, optimizers::make_omwuoftrl>),
     kFactoryFlags, "omwuoftrl(eta, dim)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* ogda_type_ = nullptr;  // process lifetime, like the three below
PyTypeObject* omwuoomd_type_ = nullptr;
PyTypeObject* omwuoftrl_type_ = nullptr;
PyTypeObject* optimizer_type_ = nullptr;

}  // namespace

PyTypeObject* ogda_type() {
  if (ogda_type_ == nullptr)
    ogda_type_ = build_class<optimizers::Ogda>({"builtins.Ogda", "Ogda(eta, dim)\n--\n\n",
                                                new_variant<kOgdaNew, optimizers::make_ogda>,
                                                nullptr, nullptr});
  return ogda_type_;
}

PyTypeObject* omwuoomd_type() {
  if (omwuoomd_type_ == nullptr)
    omwuoomd_type_ = build_class<optimizers::OmwuOomd>(
        {"builtins.OmwuOomd", "OmwuOomd(eta, dim)\n--\n\n",
         new_variant<kOmwuOomdNew, optimizers::make_omwuoomd>, nullptr, nullptr});
  return omwuoomd_type_;
}

PyTypeObject* omwuoftrl_type() {
  if (omwuoftrl_type_ == nullptr)
    omwuoftrl_type_ = build_class<optimizers::OmwuOftrl>(
        {"builtins.OmwuOftrl", "OmwuOftrl(eta, dim)\n--\n\n",
         new_variant<kOmwuOftrlNew, optimizers::make_omwuoftrl>, nullptr, nullptr});
  return omwuoftrl_type_;
}

PyTypeObject* optimizer_type() {
  if (optimizer_type_ == nullptr)
    optimizer_type_ = build_class<optimizers::Optimizer>(
        {"builtins.Optimizer", nullptr, nullptr, nullptr, optimizer_methods});
  return optimizer_type_;
}

optimizers::Optimizer clone_optimizer_arg(PyObject* obj) {
  auto* optimizer = instance_cast<optimizers::Optimizer>(to_instance(obj, optimizer_type()));
  SharedBorrow borrow{optimizer->borrow_flag};
  return optimizer->record;  // copying the record is the deep clone
}

}  // namespace ludovec::ffi
