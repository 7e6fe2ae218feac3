// Row timing: when the actions of a nine-word row happen.
//
// A sender row is reduced to the cycles of its payload; a receiver row to its timed
// incoming-control events and the cycles of its source selection, teardown, pointer and paired
// format. `scheduled_receive_window` places a decoded receiver row at an offset on a tile that
// may already receive other data and says which events the tile gains.
//
// These run for every candidate offset the phase program builder tries, so they work on the row
// in place and keep their events inline (no allocation). All cycle arithmetic is u32 and every
// possible wrap is reported.
//
//   auto s = sender_row_timing(row, 0);                  // payload [start, end) and horizon
//   auto t = receive_row_timing(receiver_row, 0);
//   auto w = scheduled_receive_window(*t, offset, count, tile.incoming);
#pragma once

#include <cstdint>
#include <optional>

#include "kro_exchange/error.hpp"
#include "kro_exchange/receive_event.hpp"
#include "kro_exchange/receive_event_list.hpp"
#include "kro_exchange/row.hpp"

namespace kro_exchange {

struct SenderRowTiming {
  std::uint32_t payload_start = 0;
  std::uint32_t payload_end = 0;
  std::uint32_t horizon = 0;

  friend bool operator==(const SenderRowTiming&, const SenderRowTiming&) = default;
};

struct ReceiveRowTiming {
  // Every PIC and XPIC change of the row, in row order.
  ReceiveEventList events;
  std::optional<std::uint32_t> teardown;
  std::optional<std::uint32_t> source;
  std::optional<std::uint32_t> paired_start;
  std::optional<std::uint32_t> paired_end;
  std::optional<std::uint32_t> pointer;
  // Byte address of the pointer (present with `pointer`).
  std::optional<std::uint32_t> address;
  // Cycle at which the row's last word before Return ends.
  std::uint32_t horizon = 0;
  bool paired = false;

  friend bool operator==(const ReceiveRowTiming&, const ReceiveRowTiming&) = default;
};

// The last receive placed on a tile, as the builder keeps it.
struct IncomingState {
  bool paired_format = false;
  std::uint32_t format_value = 0;
  std::optional<std::uint32_t> format_end;
  // Byte address one past the received data.
  std::optional<std::uint32_t> address_end;
  std::uint32_t source_end = 0;
  std::uint32_t payload_end = 0;
  bool paired = false;

  friend bool operator==(const IncomingState&, const IncomingState&) = default;
};

struct ScheduledReceiverWindow {
  // The events to add to the receiving tile, sorted by cycle (equal cycles in row order).
  ReceiveEventList events;
  std::optional<std::uint32_t> address;
  std::uint32_t source = 0;
  std::uint32_t source_end = 0;
  std::uint32_t pointer = 0;
  std::uint32_t payload_end = 0;
  std::uint32_t horizon = 0;
  bool continues_paired_format = false;

  friend bool operator==(const ScheduledReceiverWindow&, const ScheduledReceiverWindow&) = default;
};

// Payload and horizon of a sender row whose Sync starts at `base`.
Result<SenderRowTiming> sender_row_timing(const Row& row, std::uint32_t base);

// Timed events of a receiver row whose Sync starts at `base`.
Result<ReceiveRowTiming> receive_row_timing(const Row& row, std::uint32_t base);

// A receiver row (decoded at base 0) placed at `offset` for `count` payload words on a tile whose
// last receive is `state`.
Result<ScheduledReceiverWindow> scheduled_receive_window(ReceiveRowTiming timing,
                                                         std::uint32_t offset, std::uint32_t count,
                                                         const std::optional<IncomingState>& state);

}  // namespace kro_exchange
