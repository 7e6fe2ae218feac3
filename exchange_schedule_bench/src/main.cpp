// kro-tests: replays and validates production exchange scheduling on a snapshot, without KRO
// hardware. Exit status: 0 on success, 1 for a failure after argument parsing, 2 for argument
// errors.
#include <cstdio>

#include "arguments.hpp"
#include "startup.hpp"

int main(int argc, char** argv) {
  using namespace exchange_schedule_bench;
  const auto arguments = parse_arguments(argc, argv);
  if (!arguments) return arguments.error();
  if (auto finished = run_benchmark(*arguments); !finished) {
    std::fflush(stdout);
    const std::string text = finished.error().render();
    std::fwrite(text.data(), 1, text.size(), stderr);
    return 1;
  }
  return 0;
}
