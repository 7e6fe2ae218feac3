#include "phase_run.hpp"

namespace exchange_schedule_bench {

std::expected<void, ErrorReport> run_phase(const Arguments&,
                                           const kro_codegen::exchange::ExchangeScheduleSnapshot&,
                                           const kro_codegen::exchange::ExchangeScheduleProblem&) {
  return {};
}

}  // namespace exchange_schedule_bench
