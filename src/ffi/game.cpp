#include "ffi/game.hpp"

#include <string>
#include <utility>

#include "ffi/args.hpp"
#include "ffi/borrow.hpp"
#include "ffi/convert.hpp"
#include "ffi/memory_budget.hpp"
#include "ffi/numpy.hpp"
#include "math/simplex.hpp"

namespace ludovec::ffi {
namespace {

constexpr Parameter kGameStateParameters[] = {{"x"}, {"y"}, {"a"}};
constexpr Signature kGameStateSignature{"GameState.__new__()", kGameStateParameters};

// Both strategies are projected onto the simplex, even when they already lie on it; shapes are
// not checked here: a mismatch stops the first gradient computation.
PyObject* new_game_state(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments in = Arguments::parse(kGameStateSignature, args, kwargs);
    const VectorView x = in.convert(0, to_vector_view);
    const VectorView y = in.convert(1, to_vector_view);
    const math::MatrixView a = in.convert(2, to_matrix_view);
    // Zero-strided arrays can describe far more entries than they store. Each strategy is
    // copied, then projected through a working copy into its result.
    require_memory(
        Bytes::doubles(x.size) * 3 + Bytes::doubles(y.size) * 3 + Bytes::doubles(a.rows) * a.cols,
        "a GameState with strategies of " + std::to_string(x.size) + " and " +
            std::to_string(y.size) + " entries and a " + std::to_string(a.rows) + " x " +
            std::to_string(a.cols) + " matrix");
    domain::GameState state{math::simplex_projection(x.to_vector(), 1.0),
                            math::simplex_projection(y.to_vector(), 1.0), math::Matrix::copy_of(a)};
    return new_instance(type, std::move(state));
  });
}

Ref copy_matrix(const math::Matrix& m) {
  return array_copy({m.data(), m.size()}, {m.rows(), m.cols()});
}
Ref copy_vector(const math::Vector& v) { return array_copy(v, {v.size()}); }

// Attribute reads copy under a shared borrow, so the record cannot move underneath.
template <class Record, auto field, auto copy>
PyObject* copying_getter(PyObject* self, void*) noexcept {
  return guarded([&] {
    auto* instance = instance_cast<Record>(self);
    SharedBorrow borrow{instance->borrow_flag};
    return copy(instance->record.*field);
  });
}

PyGetSetDef game_state_getters[] = {
    {"a", copying_getter<domain::GameState, &domain::GameState::a, copy_matrix>, nullptr, "",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef game_result_getters[] = {
    {"x_history", copying_getter<domain::GameResult, &domain::GameResult::x_history, copy_matrix>,
     nullptr, "", nullptr},
    {"y_history", copying_getter<domain::GameResult, &domain::GameResult::y_history, copy_matrix>,
     nullptr, "", nullptr},
    {"gaps_history",
     copying_getter<domain::GameResult, &domain::GameResult::gaps_history, copy_vector>, nullptr,
     "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* game_state_type_ = nullptr;   // process lifetime
PyTypeObject* game_result_type_ = nullptr;  // process lifetime

}  // namespace

PyTypeObject* game_state_type() {
  if (game_state_type_ == nullptr)
    game_state_type_ =
        build_class<domain::GameState>({"builtins.GameState", "GameState(x, y, a)\n--\n\n",
                                        new_game_state, game_state_getters, nullptr});
  return game_state_type_;
}

PyTypeObject* game_result_type() {
  if (game_result_type_ == nullptr)
    game_result_type_ = build_class<domain::GameResult>(
        {"builtins.GameResult", nullptr, nullptr, game_result_getters, nullptr});
  return game_result_type_;
}

Ref wrap_game_result(domain::GameResult&& result) {
  return new_instance(game_result_type(), std::move(result));
}

}  // namespace ludovec::ffi
