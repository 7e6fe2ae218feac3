// The command line of `kro-tests`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace exchange_schedule_bench {

struct Arguments {
  std::string snapshot;               // as the user wrote it
  std::vector<std::uint32_t> phases;  // in command-line order; empty selects every phase
  std::size_t warmup = 0;
  std::size_t iterations = 1;
  bool first_iteration_only = false;
  bool select_widths = false;
  bool replay_cache = false;
  std::uint32_t relocate_by = 0;
  std::optional<std::size_t> dump_tile;
};

// Exit status of every argument error.
inline constexpr int kArgumentErrorStatus = 2;

// Parses the process arguments. For --help and --version, and for argument errors, the text is
// already printed (help and version on standard output, errors on standard error) and the result
// is the exit status: 0 or `kArgumentErrorStatus`.
std::expected<Arguments, int> parse_arguments(int argc, const char* const* argv);

}  // namespace exchange_schedule_bench
