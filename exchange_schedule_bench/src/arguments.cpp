#include "arguments.hpp"

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <limits>
#include <string_view>

namespace exchange_schedule_bench {
namespace {

constexpr const char* kDescription =
    "Replay and validate production exchange scheduling without KRO hardware";
constexpr const char* kVersion = "0.1.0";

// Numbers on the command line are plain decimal digits (no sign, no hexadecimal or octal forms).
template <class T>
std::optional<T> decimal(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return {};
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return {};
  return value;
}

template <class T>
CLI::Validator decimal_validator() {
  // An empty description keeps the generated help free of validator names.
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (decimal<T>(text)) return {};
        return fmt::format("expected a decimal integer in 0..={}, got '{}'",
                           std::numeric_limits<T>::max(), text);
      },
      "");
}

// Flags take no value. The parser itself would read "--select-widths=true", "--replay-cache="
// and similar forms as the bare flag, so they are refused before it sees them. Arguments after
// "--" are positional and are left alone.
void refuse_flag_values(int argc, const char* const* argv) {
  static constexpr std::string_view kFlags[] = {"--first-iteration-only", "--select-widths",
                                                "--replay-cache", "--help", "--version"};
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--") return;
    const std::size_t equals = argument.find('=');
    if (!argument.starts_with("--") || equals == std::string_view::npos) continue;
    const std::string_view name = argument.substr(0, equals);
    if (std::find(std::begin(kFlags), std::end(kFlags), name) != std::end(kFlags)) {
      throw CLI::ArgumentMismatch(fmt::format("{} takes no value, got '{}'", name, argument));
    }
  }
}

}  // namespace

std::expected<Arguments, int> parse_arguments(int argc, const char* const* argv) {
  CLI::App app{kDescription, "kro-tests"};
  app.set_version_flag("-V,--version", fmt::format("kro-tests {}", kVersion));

  std::string snapshot;
  std::vector<std::string> phases;
  std::string warmup = "0";
  std::string iterations = "1";
  bool first_iteration_only = false;
  bool select_widths = false;
  bool replay_cache = false;
  std::string relocate_by = "0";
  std::string dump_tile;

  app.add_option("SNAPSHOT", snapshot,
                 "JSON snapshot written by kro-trivial-test --export-exchange-schedule")
      ->required()
      ->type_name("");
  // Each occurrence takes exactly one value and appends it; values are never split at commas.
  app.add_option("--phase", phases, "Restrict the benchmark to these physical exchange phase IDs")
      ->type_name("PHASES")
      ->expected(1)
      ->allow_extra_args(false)
      ->take_all()
      ->check(decimal_validator<std::uint32_t>());
  app.add_option("--warmup", warmup, "Untimed scheduler/codegen runs before measurement")
      ->type_name("WARMUP")
      ->capture_default_str()
      ->check(decimal_validator<std::size_t>());
  app.add_option("--iterations", iterations, "Timed scheduler/codegen runs per selected phase")
      ->type_name("ITERATIONS")
      ->capture_default_str()
      ->check(decimal_validator<std::size_t>());
  CLI::Option* first = app.add_flag(
      "--first-iteration-only", first_iteration_only,
      "Ignore sender addresses after the first Repeat iteration. This reproduces the "
      "unsafe scheduler behavior used before Repeat-aware memory-element hazard checking");
  CLI::Option* select =
      app.add_flag("--select-widths", select_widths,
                   "Include the production comparison of ordinary and paired transfers");
  CLI::Option* replay =
      app.add_flag("--replay-cache", replay_cache,
                   "Populate the production recipe cache before timing, then measure replay")
          ->needs(select);
  // `needs` looks at explicit occurrences only, so the default of --relocate-by requires nothing.
  app.add_option("--relocate-by", relocate_by,
                 "Relocate every source/destination by this many bytes after cache warmup")
      ->type_name("RELOCATE_BY")
      ->capture_default_str()
      ->check(decimal_validator<std::uint32_t>())
      ->needs(replay);
  app.add_option("--dump-tile", dump_tile,
                 "Decode the generated exchange program for this logical tile")
      ->type_name("DUMP_TILE")
      ->check(decimal_validator<std::size_t>());

  // Every argument but --phase may appear once; flags take no value.
  for (CLI::Option* option : app.get_options()) {
    if (option->get_name() == "--phase" || option->get_name() == "--help" ||
        option->get_name() == "--version") {
      continue;
    }
    option->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  }
  for (CLI::Option* flag : {first, select, replay}) flag->disable_flag_override();

  try {
    refuse_flag_values(argc, argv);
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return std::unexpected(status == 0 ? 0 : kArgumentErrorStatus);
  }

  Arguments arguments;
  arguments.snapshot = std::move(snapshot);
  for (const std::string& phase : phases)
    arguments.phases.push_back(*decimal<std::uint32_t>(phase));
  arguments.warmup = *decimal<std::size_t>(warmup);
  arguments.iterations = *decimal<std::size_t>(iterations);
  arguments.first_iteration_only = first_iteration_only;
  arguments.select_widths = select_widths;
  arguments.replay_cache = replay_cache;
  arguments.relocate_by = *decimal<std::uint32_t>(relocate_by);
  if (!dump_tile.empty()) arguments.dump_tile = *decimal<std::size_t>(dump_tile);
  return arguments;
}

}  // namespace exchange_schedule_bench
