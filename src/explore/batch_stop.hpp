// A batch's stop flag in the shape of the interruption that runs ask between blocks of steps.
#pragma once

#include "domain/run_loop.hpp"
#include "runtime/worker_pool.hpp"

namespace ludovec::explore {

// Valid while `stop` lives.
inline domain::Interruption interruption_of(const runtime::BatchStop& stop) noexcept {
  return {&runtime::BatchStop::requested_by, &stop};
}

}  // namespace ludovec::explore
