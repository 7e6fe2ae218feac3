// The program after argument parsing: load and check the snapshot, select phases, print the
// header, run every selected phase and print the total time.
#pragma once

#include <expected>

#include "arguments.hpp"
#include "error_report.hpp"

namespace exchange_schedule_bench {

// Runs the benchmark; the first failure ends it and is returned unprinted.
std::expected<void, ErrorReport> run_benchmark(const Arguments& arguments);

}  // namespace exchange_schedule_bench
