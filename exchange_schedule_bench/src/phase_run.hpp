// The per-phase benchmark procedure: warm-up runs, timed runs, validation, run comparison and the
// report line.
#pragma once

#include <expected>

#include "arguments.hpp"
#include "error_report.hpp"
#include "kro_codegen/exchange/snapshot.hpp"

namespace exchange_schedule_bench {

// Runs one selected phase. The scheduler and code generator are not part of the program yet, so
// this performs no runs and prints nothing; the start-up already calls it once per selected
// phase, in selection order, inside the total clock.
std::expected<void, ErrorReport> run_phase(
    const Arguments& arguments, const kro_codegen::exchange::ExchangeScheduleSnapshot& snapshot,
    const kro_codegen::exchange::ExchangeScheduleProblem& problem);

}  // namespace exchange_schedule_bench
