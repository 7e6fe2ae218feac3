#include "phase_selection.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <set>

namespace exchange_schedule_bench {

using kro_codegen::exchange::ExchangeScheduleProblem;

std::expected<std::vector<const ExchangeScheduleProblem*>, ErrorReport> select_phases(
    const kro_codegen::exchange::ExchangeScheduleSnapshot& snapshot,
    const std::vector<std::uint32_t>& requested) {
  const std::set<std::uint32_t> wanted(requested.begin(), requested.end());
  if (wanted.size() < requested.size()) {
    return std::unexpected(ErrorReport("--phase contains a duplicate phase ID"));
  }
  for (const std::uint32_t id : wanted) {
    const bool present =
        std::any_of(snapshot.phases.begin(), snapshot.phases.end(),
                    [&](const ExchangeScheduleProblem& problem) { return problem.phase == id; });
    if (!present) {
      return std::unexpected(ErrorReport(fmt::format("snapshot does not contain phase {}", id)));
    }
  }
  std::vector<const ExchangeScheduleProblem*> selected;
  for (const ExchangeScheduleProblem& problem : snapshot.phases) {
    if (wanted.empty() || wanted.contains(problem.phase)) selected.push_back(&problem);
  }
  return selected;
}

}  // namespace exchange_schedule_bench
