// Phase program builder: collects the per-tile exchange programs of one exchange phase, one
// transfer at a time.
//
// Flow per transfer (driven by the scheduler):
//   earliest_transfer_offset[_deferred] -> (transfer_timing_at)* -> append_transfer_at
// and after the last transfer: event_cycles -> finish.
//
// The search finds the earliest offset at which a transfer's rows fit the sender and every
// receiver without clashing with what those tiles already do. Tile state lives in shared
// copy-on-write chunks, so cloning a tile (or a whole builder) copies handles only; every trial
// works on clones and leaves the builder unchanged. Each tile caches its last encoding, which
// becomes the base of the next encoding after a change so that only the changed tail is
// re-encoded; the last validated placement stays staged so that committing it costs nothing; and
// validation work is limited by a budget shared by all clones of a builder.
//
//   PhaseProgramBuilder builder(tile_count);
//   auto offset = builder.earliest_transfer_offset(sender, {}, receivers, rows, count, 0);
//   auto timing = builder.append_transfer_at(sender, {}, receivers, rows, *offset, count);
//   auto programs = builder.finish();
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "kro_exchange/chunked.hpp"
#include "kro_exchange/encoding.hpp"
#include "kro_exchange/error.hpp"
#include "kro_exchange/receive_event.hpp"
#include "kro_exchange/row_timing.hpp"
#include "kro_exchange/topology.hpp"

namespace kro_exchange {

// One tile's schedule: its placed sender rows and incoming-control events, with the encoding
// caches that make re-encoding incremental.
class TileProgramSchedule {
 public:
  Chunked<ScheduledSenderRow> sender_rows;
  Chunked<ReceiveEvent> receive_events;
  // A previous encoding of the tile and how many leading rows and events are unchanged since.
  std::optional<encoding::EncodingBase> base;
  std::optional<IncomingState> incoming;
  std::uint32_t horizon = 0;

  // The tile's encoding, built (resuming from `base`) and cached when needed.
  Result<std::shared_ptr<const encoding::EncodedSchedule>> encoded() const;
  bool has_cached_encoding() const { return encoded_ != nullptr; }

  // Retires the cached encoding into `base` before the tile is changed.
  void reset_encoding();

 private:
  // A cache: filling it does not change what the tile schedules.
  mutable std::shared_ptr<const encoding::EncodedSchedule> encoded_;
};

// The rows of one transfer: the sender row and one receiver row per receiver, in receiver order.
// A point-to-point transfer is given in the same form with one receiver row.
using TransferRows = MulticastExchange;

struct StagedTransfer {
  std::vector<std::uint16_t> receivers;
  TransferRows rows;
  std::vector<std::pair<std::uint16_t, TileProgramSchedule>> tiles;  // sender first
  std::uint32_t offset = 0;
  std::uint32_t count = 0;
  std::uint16_t sender = 0;
};

struct PhaseTransferTiming {
  std::vector<std::uint32_t> receiver_pointers;
  std::vector<std::uint32_t> receiver_payload_ends;
  std::vector<std::uint32_t> receiver_horizons;
  std::uint32_t sender_payload_start = 0;
  std::uint32_t sender_payload_end = 0;
  std::uint32_t sender_horizon = 0;
  std::uint32_t horizon = 0;

  friend bool operator==(const PhaseTransferTiming&, const PhaseTransferTiming&) = default;
};

struct PhasePrograms {
  // Per tile: absent when the tile takes no part (horizon 0), else its encoded words.
  std::vector<std::optional<std::vector<std::uint32_t>>> programs;
  std::vector<std::uint32_t> tile_horizons;
  std::uint32_t horizon = 0;
};

class PhaseProgramBuilder {
 public:
  explicit PhaseProgramBuilder(std::uint16_t tile_count);

  // Gives the builder a new validation budget shared with its future clones.
  [[nodiscard]] PhaseProgramBuilder with_validation_budget(std::uint64_t budget) &&;

  // Earliest clash-free offset at or above `lower_bound`, with every affected tile proven to
  // encode; the placement stays staged for `append_transfer_at`.
  Result<std::uint32_t> earliest_transfer_offset(std::uint16_t sender,
                                                 std::span<const std::uint16_t> partners,
                                                 std::span<const std::uint16_t> receivers,
                                                 const TransferRows& rows, std::uint32_t count,
                                                 std::uint32_t lower_bound);
  // The same search without encoding anything.
  Result<std::uint32_t> earliest_transfer_offset_deferred(std::uint16_t sender,
                                                          std::span<const std::uint16_t> partners,
                                                          std::span<const std::uint16_t> receivers,
                                                          const TransferRows& rows,
                                                          std::uint32_t count,
                                                          std::uint32_t lower_bound) const;

  Result<PhaseTransferTiming> transfer_timing_at(std::uint16_t sender,
                                                 std::span<const std::uint16_t> receivers,
                                                 const TransferRows& rows, std::uint32_t offset,
                                                 std::uint32_t count) const;

  // Commits the transfer at `offset` and returns its timing.
  Result<PhaseTransferTiming> append_transfer_at(std::uint16_t sender,
                                                 std::span<const std::uint16_t> partners,
                                                 std::span<const std::uint16_t> receivers,
                                                 const TransferRows& rows, std::uint32_t offset,
                                                 std::uint32_t count);

  // The largest tile horizon, 0 without tiles.
  std::uint32_t event_cycles() const;

  // Encodes every tile, checks each program against its schedule, and returns the programs.
  Result<PhasePrograms> finish() const;

  const std::vector<TileProgramSchedule>& tiles() const { return tiles_; }
  const std::optional<StagedTransfer>& staged() const { return staged_; }
  // Remaining validation work, or nothing when no budget is set.
  std::optional<std::uint64_t> validation_budget() const;

 private:
  Result<void> check_arguments(std::uint16_t sender, std::span<const std::uint16_t> partners,
                               std::span<const std::uint16_t> receivers,
                               const TransferRows& rows) const;
  Result<std::uint32_t> search(std::uint16_t sender, std::span<const std::uint16_t> partners,
                               std::span<const std::uint16_t> receivers, const TransferRows& rows,
                               std::uint32_t count, std::uint32_t lower_bound) const;
  Result<std::vector<std::pair<std::uint16_t, TileProgramSchedule>>> prepare_placement(
      std::uint16_t sender, std::span<const std::uint16_t> receivers, const TransferRows& rows,
      std::uint32_t offset, std::uint32_t count, bool validate) const;
  std::uint64_t validation_work(std::uint16_t sender,
                                std::span<const std::uint16_t> receivers) const;
  bool staged_matches(std::uint16_t sender, std::span<const std::uint16_t> receivers,
                      const TransferRows& rows, std::uint32_t offset, std::uint32_t count) const;

  std::vector<TileProgramSchedule> tiles_;
  std::optional<StagedTransfer> staged_;
  std::shared_ptr<std::atomic<std::uint64_t>> validation_budget_;
};

}  // namespace kro_exchange
