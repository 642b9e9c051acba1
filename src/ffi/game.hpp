// The GameState and GameResult classes.
#pragma once

#include <Python.h>

#include "domain/game_state.hpp"
#include "domain/run_loop.hpp"
#include "ffi/ref.hpp"
#include "ffi/type_builder.hpp"

namespace ludovec::ffi {

using GameStateObject = Instance<domain::GameState>;
using GameResultObject = Instance<domain::GameResult>;

// The classes, created on first call and kept for the process. Throw PyErrAlreadySet.
PyTypeObject* game_state_type();
PyTypeObject* game_result_type();

// A new GameResult instance that takes over `result`; nothing is copied.
Ref wrap_game_result(domain::GameResult&& result);

}  // namespace ludovec::ffi
