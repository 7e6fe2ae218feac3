#include "kro_codegen/exchange/snapshot_writer.hpp"

#include <fmt/format.h>

#include <iterator>

namespace kro_codegen::exchange {

std::string write_snapshot_json(const ExchangeScheduleSnapshot& snapshot) {
  fmt::memory_buffer out;
  auto it = std::back_inserter(out);
  fmt::format_to(it, "{{\"schema_version\": {}, \"tile_count\": {}, \"phases\": [",
                 snapshot.schema_version, snapshot.tile_count);
  for (std::size_t p = 0; p < snapshot.phases.size(); ++p) {
    const ExchangeScheduleProblem& problem = snapshot.phases[p];
    fmt::format_to(it, "{}\n  {{\"phase\": {}, \"transfers\": [", p == 0 ? "" : ",", problem.phase);
    for (std::size_t t = 0; t < problem.transfers.size(); ++t) {
      const ExchangeScheduleTransfer& transfer = problem.transfers[t];
      fmt::format_to(
          it, "{}\n    {{\"source\": {}, \"source_addresses\": [{}], \"destinations\": [",
          t == 0 ? "" : ",", transfer.source, fmt::join(transfer.source_addresses, ", "));
      for (std::size_t d = 0; d < transfer.destinations.size(); ++d) {
        fmt::format_to(it, "{}{{\"tile\": {}, \"address\": {}}}", d == 0 ? "" : ", ",
                       transfer.destinations[d].tile, transfer.destinations[d].address);
      }
      fmt::format_to(it, "], \"words\": {}, \"width\": \"{}\"}}", transfer.words,
                     width_name(transfer.width));
    }
    fmt::format_to(it, "{}]}}", problem.transfers.empty() ? "" : "\n  ");
  }
  fmt::format_to(it, "{}]}}\n", snapshot.phases.empty() ? "" : "\n");
  return fmt::to_string(out);
}

}  // namespace kro_codegen::exchange
