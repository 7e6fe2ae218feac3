#include "first_iteration.hpp"

namespace exchange_schedule_bench {

void keep_first_iteration_only(kro_codegen::exchange::ExchangeScheduleSnapshot& snapshot) {
  for (auto& problem : snapshot.phases) {
    for (auto& transfer : problem.transfers) {
      if (transfer.source_addresses.size() > 1) transfer.source_addresses.resize(1);
    }
  }
}

}  // namespace exchange_schedule_bench
