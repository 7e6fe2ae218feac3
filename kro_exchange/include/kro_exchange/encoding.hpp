// Program encoding: one tile's schedule (placed sender rows, timed receive events, horizon) turned
// into the tile's exchange program.
//
// The builder re-encodes a tile after every change, so an encoding records checkpoints and a
// later one may resume from a previous encoding of the same tile (its base), reusing the words
// up to the last checkpoint that the change leaves valid. Words and checkpoints live in `Chunked`
// containers, so reusing a base copies handles and at most one chunk of each.
//
//   auto fresh = encoding::build_scheduled_program(rows, events, horizon, std::nullopt);
//   encoding::EncodingBase base{std::make_shared<const EncodedSchedule>(*fresh), rows.len(),
//                               events.len()};
//   rows.push(next_row);  // rows_clean stays at the insertion index
//   auto again = encoding::build_scheduled_program(rows, events, new_horizon, base);
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "kro_exchange/checkpoint.hpp"
#include "kro_exchange/chunked.hpp"
#include "kro_exchange/error.hpp"
#include "kro_exchange/receive_event.hpp"

namespace kro_exchange::encoding {

struct EncodedSchedule {
  // In the order they were taken.
  Chunked<Checkpoint> checkpoints;
  // The program; it ends with Return.
  Chunked<std::uint32_t> words;
};

// A previous encoding of the same tile and how many of its leading sender rows and receive
// events are unchanged since it was made.
struct EncodingBase {
  std::shared_ptr<const EncodedSchedule> schedule;
  std::uint64_t rows_clean = 0;
  std::uint64_t events_clean = 0;
};

// Encodes a tile: `rows` sorted by payload with payloads not overlapping, `events` sorted by
// cycle, `horizon` the cycle of the final Return.
Result<EncodedSchedule> build_scheduled_program(const Chunked<ScheduledSenderRow>& rows,
                                                const Chunked<ReceiveEvent>& events,
                                                std::uint32_t horizon,
                                                const std::optional<EncodingBase>& base);

}  // namespace kro_exchange::encoding

namespace kro_exchange {
using encoding::EncodedSchedule;
}  // namespace kro_exchange
