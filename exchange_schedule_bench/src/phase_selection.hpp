// Choosing which snapshot phases run, from the --phase values.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "error_report.hpp"
#include "kro_codegen/exchange/snapshot.hpp"

namespace exchange_schedule_bench {

// Every phase when `requested` is empty, otherwise the phases whose ID was requested; always in
// snapshot order, whatever the order on the command line. Fails on a repeated ID, or on the
// smallest requested ID the snapshot lacks.
std::expected<std::vector<const kro_codegen::exchange::ExchangeScheduleProblem*>, ErrorReport>
select_phases(const kro_codegen::exchange::ExchangeScheduleSnapshot& snapshot,
              const std::vector<std::uint32_t>& requested);

}  // namespace exchange_schedule_bench
