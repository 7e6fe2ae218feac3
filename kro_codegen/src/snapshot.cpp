#include "kro_codegen/exchange/snapshot.hpp"

#include <fmt/format.h>

#include <set>

#include "kro_codegen/exchange/transfer_check.hpp"
#include "kro_exchange/topology.hpp"

namespace kro_codegen::exchange {

std::string_view width_name(ExchangeItemWidth width) {
  return width == ExchangeItemWidth::Paired64 ? "Paired64" : "Word32";
}

LoweringResult<void> ExchangeScheduleSnapshot::validate() const {
  if (schema_version != kSnapshotSchemaVersion) {
    return std::unexpected(ExchangeLoweringError::invalid_snapshot(fmt::format(
        "unsupported schema version {} (expected {})", schema_version, kSnapshotSchemaVersion)));
  }
  if (tile_count < 1 || tile_count > kro_exchange::Topology::z310().len()) {
    return std::unexpected(ExchangeLoweringError::invalid_snapshot(
        fmt::format("tile count {} is outside the Z310 topology", tile_count)));
  }
  std::set<std::uint32_t> seen;
  for (const ExchangeScheduleProblem& problem : phases) {
    if (!seen.insert(problem.phase).second) {
      return std::unexpected(ExchangeLoweringError::invalid_snapshot(
          fmt::format("duplicate phase {}", problem.phase)));
    }
    for (std::size_t index = 0; index < problem.transfers.size(); ++index) {
      auto checked = check_transfer(problem.phase, index, problem.transfers[index], tile_count);
      if (!checked) return checked;
    }
  }
  return {};
}

}  // namespace kro_codegen::exchange
