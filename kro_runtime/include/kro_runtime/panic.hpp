// Stopping the program on a broken internal invariant.
//
// Recoverable failures travel as error values; this is only for preconditions that valid input
// cannot reach (container bounds, "successful encoding was cached", ...). The message goes to
// standard error and the process aborts, so tests can check it with death tests.
#pragma once

#include <string_view>

namespace kro_runtime {

[[noreturn]] void panic(std::string_view message);

}  // namespace kro_runtime

// Checks an internal invariant and stops the program with `message` when it does not hold.
#define KRO_ASSERT(condition, message) \
  do {                                 \
    if (!(condition)) [[unlikely]]     \
      ::kro_runtime::panic(message);   \
  } while (false)
