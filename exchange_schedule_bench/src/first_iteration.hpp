// --first-iteration-only: reproduces the scheduler from before Repeat-aware hazard checking by
// forgetting every source address after the first Repeat iteration.
#pragma once

#include "kro_codegen/exchange/snapshot.hpp"

namespace exchange_schedule_bench {

// Shortens every non-empty source-address list of every phase to its first entry.
void keep_first_iteration_only(kro_codegen::exchange::ExchangeScheduleSnapshot& snapshot);

}  // namespace exchange_schedule_bench
