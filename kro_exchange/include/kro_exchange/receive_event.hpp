// Timed incoming-control changes and placed sender rows: the per-tile schedule records that the
// row timing produces, the builder keeps, the encoder turns into words and the decoder checks.
#pragma once

#include <cstdint>

#include "kro_exchange/row.hpp"

namespace kro_exchange {

enum class ReceiveEventKind : std::uint8_t {
  Source = 0,
  Teardown = 1,
  PairedSource = 2,
  PairedTeardown = 3,
  PairedPointer = 4,
  Pointer = 5,
  Format = 6,
};

constexpr bool is_xpic_kind(ReceiveEventKind kind) {
  return kind == ReceiveEventKind::Source || kind == ReceiveEventKind::Teardown ||
         kind == ReceiveEventKind::PairedSource || kind == ReceiveEventKind::PairedTeardown;
}

// Two controls may share a cycle only as a receive pointer together with a source selection or
// teardown: the encoder then writes them as one PicPair send.
constexpr bool is_allowed_simultaneous_pair(ReceiveEventKind a, ReceiveEventKind b) {
  const auto mux = [](ReceiveEventKind k) {
    return k == ReceiveEventKind::Source || k == ReceiveEventKind::Teardown;
  };
  return (a == ReceiveEventKind::Pointer && mux(b)) || (b == ReceiveEventKind::Pointer && mux(a));
}

struct ReceiveEvent {
  std::uint32_t cycle = 0;
  // The PIC or XPIC control word making the change; its advance field is rewritten by the encoder.
  std::uint32_t control = 0;
  ReceiveEventKind kind = ReceiveEventKind::Source;

  friend bool operator==(const ReceiveEvent&, const ReceiveEvent&) = default;
};

struct ScheduledSenderRow {
  Row words{};
  std::uint32_t payload_start = 0;
  std::uint32_t payload_end = 0;

  friend bool operator==(const ScheduledSenderRow&, const ScheduledSenderRow&) = default;
};

}  // namespace kro_exchange
