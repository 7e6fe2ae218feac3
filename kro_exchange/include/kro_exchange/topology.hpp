// The processor's exchange fabric as the scheduler sees it.
//
// A `Topology` maps logical tile numbers to physical tile ids (the fabric position that the
// timing model and the incoming controls use), finds tile pairs, and (see the row builders
// below) assembles the per-tile rows of a single transfer.
//
//   const Topology& card = Topology::z310();
//   card.physical(46);           // 1409
//   card.paired_logical(46);     // 47
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kro_exchange/error.hpp"

namespace kro_exchange {

// Number of tiles of the Z310 card.
inline constexpr std::size_t kZ310TileCount = 1472;

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

 private:
  explicit Topology(std::vector<std::uint16_t> tile_map) : tile_map_(std::move(tile_map)) {}

  std::vector<std::uint16_t> tile_map_;
};

// Physical id of logical tile `g` (0 to 1471) on the Z310 card: 32 blocks of 46 tiles, alternate
// blocks running their rows in opposite order.
constexpr std::uint16_t z310_physical(std::uint32_t g) {
  const std::uint32_t block = g / 46;
  const std::uint32_t r = block % 2 == 0 ? (g / 2) % 23 : 22 - (g / 2) % 23;
  return static_cast<std::uint16_t>(64 * r + 4 * (g / 92) + 2 * (g % 2) + block % 2);
}

}  // namespace kro_exchange
