// Writing a snapshot as JSON in the object form that `parse_snapshot` reads back unchanged.
//
//   std::string text = write_snapshot_json(snapshot);
//   assert(*parse_snapshot(text) == snapshot);
#pragma once

#include <string>

#include "kro_codegen/exchange/snapshot.hpp"

namespace kro_codegen::exchange {

// One line per transfer, so large snapshots stay readable and diffable.
std::string write_snapshot_json(const ExchangeScheduleSnapshot& snapshot);

}  // namespace kro_codegen::exchange
