#include "ffi/experiment.hpp"

#include <string>
#include <utility>

#include "ffi/args.hpp"
#include "ffi/borrow.hpp"
#include "ffi/convert.hpp"
#include "ffi/game.hpp"
#include "ffi/memory_budget.hpp"
#include "ffi/optimizer.hpp"
#include "ffi/type_builder.hpp"

namespace ludovec::ffi {
namespace {

constexpr Parameter kExperimentParameters[] = {{"state"}, {"optimizer"}, {"num_steps"}};
constexpr Signature kExperimentSignature{"Experiment.__new__()", kExperimentParameters};

PyObject* new_experiment(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments in = Arguments::parse(kExperimentSignature, args, kwargs);
    PyObject* state = in.convert(0, [](PyObject* o) { return to_instance(o, game_state_type()); });
    PyObject* optimizer =
        in.convert(1, [](PyObject* o) { return to_instance(o, optimizer_type()); });
    const std::uint32_t num_steps = in.convert(2, to_u32);
    return new_instance(type, PyExperiment{Ref::borrow(state), Ref::borrow(optimizer), num_steps});
  });
}

// Whether a signal handler raised (Ctrl-C's KeyboardInterrupt, say); the error stays set. Asked
// every few thousand steps on the interpreter thread, which holds the lock throughout.
bool signal_raised(const void*) { return PyErr_CheckSignals() < 0; }

// Steps the held optimizer on the held state; both keep what the run (or a stop inside it, or
// an exception from a signal handler) left. The exclusive borrows are released, optimizer
// first, before the result is wrapped.
PyObject* run_in_place(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    auto* experiment = instance_cast<PyExperiment>(self);
    SharedBorrow experiment_borrow{experiment->borrow_flag};
    const PyExperiment& record = experiment->record;
    auto* state = instance_cast<domain::GameState>(record.state.get());
    auto* optimizer = instance_cast<optimizers::Optimizer>(record.optimizer.get());
    domain::GameResult result = [&] {
      ExclusiveBorrow state_borrow{state->borrow_flag};
      ExclusiveBorrow optimizer_borrow{optimizer->borrow_flag};
      // The histories are allocated at full length before the first step.
      const domain::GameState& s = state->record;
      require_memory(Bytes::doubles(record.num_steps) * (s.x.size() + s.y.size() + 1),
                     "the histories of a run of " + std::to_string(record.num_steps) +
                         " steps with strategies of " + std::to_string(s.x.size()) + " and " +
                         std::to_string(s.y.size()) + " entries");
      try {
        return optimizers::run_experiment_until_convergence(
            domain::Experiment{record.num_steps}, state->record, optimizer->record,
            domain::Interruption{&signal_raised, nullptr});
      } catch (const domain::RunInterrupted&) {
        throw PyErrAlreadySet{};
      }
    }();
    return wrap_game_result(std::move(result));
  });
}

PyMethodDef experiment_methods[] = {
    {"run_experiment_until_convergence_in_place", run_in_place, METH_NOARGS,
     "run_experiment_until_convergence_in_place($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* experiment_type_ = nullptr;  // process lifetime

}  // namespace

PyTypeObject* experiment_type() {
  if (experiment_type_ == nullptr)
    experiment_type_ = build_class<PyExperiment>({"builtins.Experiment",
                                                  "Experiment(state, optimizer, num_steps)\n--\n\n",
                                                  new_experiment, nullptr, experiment_methods});
  return experiment_type_;
}

}  // namespace ludovec::ffi
