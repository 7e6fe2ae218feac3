// The exchange-schedule snapshot: the benchmark's input and the scheduler's problem records.
//
// A snapshot holds a tile count and, per physical exchange phase, the transfers the scheduler
// must place. Records are plain values; lists keep the order of the file, and a transfer's
// position in its phase's list is its transfer index.
//
//   auto snapshot = parse_snapshot(text);          // snapshot_reader.hpp
//   if (auto checked = snapshot->validate(); !checked) report(checked.error().display());
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "kro_codegen/exchange/error.hpp"

namespace kro_codegen::exchange {

// The only snapshot format version this program reads.
inline constexpr std::uint32_t kSnapshotSchemaVersion = 3;

enum class ExchangeItemWidth : std::uint8_t {
  Word32 = 0,    // ordinary transfer of 32-bit items
  Paired64 = 1,  // 64-bit items sent together with the source's partner tile
};

// "Word32" or "Paired64".
std::string_view width_name(ExchangeItemWidth width);

struct ExchangeScheduleDestination {
  std::uint16_t tile = 0;
  std::uint32_t address = 0;

  friend bool operator==(const ExchangeScheduleDestination&,
                         const ExchangeScheduleDestination&) = default;
};

struct ExchangeScheduleTransfer {
  std::uint16_t source = 0;
  // One source address per Repeat iteration; the first entry is the first iteration.
  std::vector<std::uint32_t> source_addresses;
  std::vector<ExchangeScheduleDestination> destinations;
  std::uint32_t words = 0;
  ExchangeItemWidth width = ExchangeItemWidth::Word32;

  friend bool operator==(const ExchangeScheduleTransfer&,
                         const ExchangeScheduleTransfer&) = default;
};

struct ExchangeScheduleProblem {
  std::uint32_t phase = 0;
  std::vector<ExchangeScheduleTransfer> transfers;

  friend bool operator==(const ExchangeScheduleProblem&, const ExchangeScheduleProblem&) = default;
};

struct ExchangeScheduleSnapshot {
  std::uint32_t schema_version = 0;
  std::uint16_t tile_count = 0;
  std::vector<ExchangeScheduleProblem> phases;

  // Checks that the snapshot can be scheduled; returns the first failure in check order.
  LoweringResult<void> validate() const;

  friend bool operator==(const ExchangeScheduleSnapshot&,
                         const ExchangeScheduleSnapshot&) = default;
};

}  // namespace kro_codegen::exchange
