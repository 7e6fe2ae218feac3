#include "kro_runtime/panic.hpp"

#include <cstdio>
#include <cstdlib>

namespace kro_runtime {

void panic(std::string_view message) {
  std::fflush(stdout);
  std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  std::abort();
}

}  // namespace kro_runtime
