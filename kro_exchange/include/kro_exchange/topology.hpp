// The processor's exchange fabric as the scheduler sees it.
//
// A `Topology` maps logical tile numbers to physical tile ids (the fabric position that the
// timing model and the incoming controls use), finds tile pairs, and assembles the per-tile rows
// of a single transfer, each timed from the phase-entry synchronisation.
//
//   const Topology& card = Topology::z310();
//   card.physical(46);                                   // 1409
//   card.paired_logical(46);                             // 47
//   Topology::time_to_mux(0, 2);                         // -28
//   auto p2p = card.point_to_point(0, 1, 100);           // sender row + unfinished receiver row
//   auto words = Topology::finalize_point_receiver(p2p->receiver, card.physical(0));
//   Row receiver = to_row(*words);                       // padded to the builder's nine words
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kro_exchange/error.hpp"
#include "kro_exchange/row.hpp"

namespace kro_exchange {

// Number of tiles of the Z310 card.
inline constexpr std::size_t kZ310TileCount = 1472;

// Fewest payload words of a paired (64-bit) transfer.
inline constexpr std::uint32_t kMinimumPairedWords = 64;
// Cycle at which the first payload word of every point-to-point transfer reaches the receiver's
// incoming multiplexer; also the largest lead time a point-to-point sender can absorb.
inline constexpr std::int32_t kPointArrivalCycle = 112;
// Sender rows last at least this many cycles.
inline constexpr std::uint32_t kShortestSenderRow = 6;
// Multicast start and arrival cycles must fit the XPIC advance field.
inline constexpr std::uint32_t kMulticastCycleLimit = 4095;
// PIC pointer placeholder of multicast receiver rows; the scheduler writes the destination.
inline constexpr std::uint32_t kMulticastPointerValue = 0x14000;
// Physical ids must fit the 13-bit tile selection of an incoming control.
inline constexpr std::uint32_t kPhysicalIdLimit = 8192;

// A point-to-point receiver row before its source selection is filled in.
struct PointReceiverRow {
  // Index among `words` of the XPIC control whose source selection `finalize_point_receiver`
  // writes.
  std::uint32_t patch_index = 0;
  // Eight words: the builder's nine-word row is made from the finished words with `to_row`.
  PointReceiverWords words{};

  friend bool operator==(const PointReceiverRow&, const PointReceiverRow&) = default;
};

struct PointToPointExchange {
  Row sender{};
  PointReceiverRow receiver;

  friend bool operator==(const PointToPointExchange&, const PointToPointExchange&) = default;
};

struct MulticastExchange {
  // One row per receiver, in the order the receivers were given.
  std::vector<Row> receivers;
  Row sender{};

  friend bool operator==(const MulticastExchange&, const MulticastExchange&) = default;
};

class Topology {
 public:
  // Takes over the tile map; fails with `ReceiverSet` when it is empty or repeats an id.
  static Result<Topology> create(std::vector<std::uint16_t> tile_map);
  // The 1472-tile Z310 card.
  static const Topology& z310();

  std::size_t len() const { return tile_map_.size(); }
  std::span<const std::uint16_t> tile_map() const { return tile_map_; }
  // Physical id of a logical tile; `logical` must be below `len()`.
  std::uint16_t physical(std::uint16_t logical) const { return tile_map_[logical]; }

  // The logical tile whose physical id differs only in the pair bit, or `Tile(logical)`.
  Result<std::uint16_t> paired_logical(std::uint16_t logical) const;

  // ---- timing model (physical ids) ------------------------------------------------------------

  // Send control of a single-receiver send from `sender` to `receiver`: 1 or 2.
  static constexpr std::uint8_t direction(std::uint16_t sender, std::uint16_t receiver);
  // Cycles from the start of the sender's send to the arrival of its first word at the
  // receiver's incoming multiplexer; negative when the word would arrive before the send starts.
  static constexpr std::int32_t time_to_mux(std::uint16_t sender, std::uint16_t receiver);

  // ---- rows of one transfer (logical tiles) ---------------------------------------------------

  // Sender row whose first word arrives at cycle 112, and the receiver row without its source.
  Result<PointToPointExchange> point_to_point(std::uint16_t sender_logical,
                                              std::uint16_t receiver_logical,
                                              std::uint32_t count) const;
  // One send to every receiver, held back by `schedule_offset` cycles.
  Result<MulticastExchange> multicast(std::uint16_t sender_logical,
                                      std::span<const std::uint16_t> receivers, std::uint32_t count,
                                      std::uint32_t schedule_offset) const;
  // 64-bit send together with the sender's pair tile to receivers given in complete pairs.
  Result<MulticastExchange> paired_multicast(std::uint16_t sender_logical,
                                             std::span<const std::uint16_t> receivers,
                                             std::uint32_t count) const;
  // Receiver row of a paired transfer; `pair_arrival_minimum` is the earliest paired arrival
  // over all receivers of the transfer.
  Result<Row> paired_receiver_row(std::uint16_t sender_logical, std::uint16_t receiver_logical,
                                  std::uint32_t count, std::int32_t pair_arrival_minimum) const;

  // ---- row patches (leave the row unchanged on failure) ---------------------------------------

  // Writes send control `control` (1 to 7) into every payload send of a sender row.
  static Result<void> set_sender_control(Row& row, std::uint32_t control);
  // Writes the source byte address into the row's first Explicit send.
  static Result<void> patch_sender_address(Row& row, std::uint32_t address);
  // The receiver words with the source tile's physical id selected.
  static Result<PointReceiverWords> finalize_point_receiver(const PointReceiverRow& row,
                                                            std::uint16_t source_physical);

 private:
  Topology(std::vector<std::uint16_t> tile_map, std::vector<std::uint32_t> logical_of)
      : tile_map_(std::move(tile_map)), logical_of_(std::move(logical_of)) {}

  std::vector<std::uint16_t> tile_map_;
  // Inverse of the tile map, indexed by physical id (all ones where no tile has that id), so
  // that partner lookups do not scan the map.
  std::vector<std::uint32_t> logical_of_;
};

// Physical id of logical tile `g` (0 to 1471) on the Z310 card: 32 blocks of 46 tiles, alternate
// blocks running their rows in opposite order.
constexpr std::uint16_t z310_physical(std::uint32_t g) {
  const std::uint32_t block = g / 46;
  const std::uint32_t r = block % 2 == 0 ? (g / 2) % 23 : 22 - (g / 2) % 23;
  return static_cast<std::uint16_t>(64 * r + 4 * (g / 92) + 2 * (g % 2) + block % 2);
}

// Fields of a physical tile id used by the timing model.
namespace physical_id {
constexpr std::int32_t low_bit(std::uint16_t x) { return x & 1; }
// The two tiles of a pair differ only in this bit.
constexpr std::int32_t pair_bit(std::uint16_t x) { return (x >> 1) & 1; }
constexpr std::int32_t column(std::uint16_t x) { return (x >> 2) & 15; }
constexpr std::int32_t half(std::uint16_t x) { return (x >> 5) & 1; }
constexpr std::int32_t row(std::uint16_t x) { return (x >> 6) & 31; }
constexpr std::int32_t fold(std::int32_t column) { return column < 8 ? column : 15 - column; }

// Signed distance term of the model; its sign gives the direction.
constexpr std::int32_t distance(std::uint16_t s, std::uint16_t r) {
  const bool same = half(r) == low_bit(r);
  const std::int32_t k = pair_bit(r) == 0 ? (same ? 1 : 5) : (same ? 2 : 4);
  return 6 * (fold(column(r)) - fold(column(s)) - (low_bit(s) ^ half(s))) + k;
}
}  // namespace physical_id

constexpr std::uint8_t Topology::direction(std::uint16_t sender, std::uint16_t receiver) {
  return physical_id::distance(sender, receiver) > 0 ? 1 : 2;
}

constexpr std::int32_t Topology::time_to_mux(std::uint16_t sender, std::uint16_t receiver) {
  using namespace physical_id;
  const std::int32_t cs = column(sender);
  const std::int32_t cr = column(receiver);
  const std::int32_t w = half(sender) == half(receiver) ? (cs & 7) + 1 : 16 - (cs & 7);
  const std::int32_t d = distance(sender, receiver);
  return (cs & 8) + 3 - cr + 4 * fold(cs) + w + 2 * (row(sender) - row(receiver)) - 4 * fold(cr) +
         (d < 0 ? -d : d) - 34;
}

}  // namespace kro_exchange
