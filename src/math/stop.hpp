// Fatal invariant violations of the numerics: the whole call stops with a fixed message.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace ludovec::math {

// An invariant broke; the whole call stops. The binding layer reports what() verbatim.
class Stop final : public std::exception {
 public:
  explicit Stop(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

[[noreturn]] inline void stop(std::string message) { throw Stop(std::move(message)); }

}  // namespace ludovec::math
