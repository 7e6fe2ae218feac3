// Loading and validating the snapshot named on the command line.
#pragma once

#include <expected>
#include <string>

#include "error_report.hpp"
#include "kro_codegen/exchange/snapshot.hpp"

namespace exchange_schedule_bench {

// Opens `path`, reads it through an 8192-byte buffer and parses it. Failures are "open {path}"
// or "parse {path}" wrapping the operating-system or JSON error.
std::expected<kro_codegen::exchange::ExchangeScheduleSnapshot, ErrorReport> load_snapshot(
    const std::string& path);

}  // namespace exchange_schedule_bench
