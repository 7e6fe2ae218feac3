#include "startup.hpp"

#include <fmt/format.h>

#include <chrono>
#include <cstdio>

#include "first_iteration.hpp"
#include "kro_runtime/log.hpp"
#include "phase_run.hpp"
#include "phase_selection.hpp"
#include "snapshot_loading.hpp"

namespace exchange_schedule_bench {
namespace {

// Milliseconds as seconds plus nanoseconds, the way every duration of the program is reported.
double milliseconds(std::chrono::steady_clock::duration elapsed) {
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
  const auto seconds = nanoseconds / 1'000'000'000;
  const auto fraction = nanoseconds % 1'000'000'000;
  return (static_cast<double>(seconds) + static_cast<double>(fraction) / 1e9) * 1000.0;
}

}  // namespace

std::expected<void, ErrorReport> run_benchmark(const Arguments& arguments) {
  // Logging is set up only when asked for, so events cost nothing otherwise.
  if (kro_runtime::log_filter_variable_present()) kro_runtime::init_tracing();

  if (arguments.iterations == 0)
    return std::unexpected(ErrorReport("--iterations must be nonzero"));

  auto loaded = load_snapshot(arguments.snapshot);
  if (!loaded) return std::unexpected(std::move(loaded.error()));
  kro_codegen::exchange::ExchangeScheduleSnapshot snapshot = std::move(*loaded);
  if (auto valid = snapshot.validate(); !valid) {
    return std::unexpected(ErrorReport(valid.error().display()));
  }
  // Validation has seen the full address lists; only the runs see the truncated ones.
  if (arguments.first_iteration_only) keep_first_iteration_only(snapshot);

  const auto selected = select_phases(snapshot, arguments.phases);
  if (!selected) return std::unexpected(selected.error());

  fmt::print("snapshot={} tiles={} phases={} warmup={} iterations={} repeatAware={}\n",
             arguments.snapshot, snapshot.tile_count, selected->size(), arguments.warmup,
             arguments.iterations, !arguments.first_iteration_only);
  std::fflush(stdout);

  const auto start = std::chrono::steady_clock::now();
  for (const auto* problem : *selected) {
    if (auto ran = run_phase(arguments, snapshot, *problem); !ran) {
      return std::unexpected(std::move(ran.error()));
    }
  }
  fmt::print("totalMs={:.3f}\n", milliseconds(std::chrono::steady_clock::now() - start));
  std::fflush(stdout);
  return {};
}

}  // namespace exchange_schedule_bench
