#include "kro_exchange/topology.hpp"

#include <set>

#include "kro_runtime/panic.hpp"

namespace kro_exchange {

Result<Topology> Topology::create(std::vector<std::uint16_t> tile_map) {
  if (tile_map.empty()) return std::unexpected(ExchangeError::receiver_set());
  std::set<std::uint16_t> seen;
  for (const std::uint16_t id : tile_map) {
    if (!seen.insert(id).second) return std::unexpected(ExchangeError::receiver_set());
  }
  return Topology(std::move(tile_map));
}

const Topology& Topology::z310() {
  static const Topology card = [] {
    std::vector<std::uint16_t> map(kZ310TileCount);
    for (std::uint32_t g = 0; g < kZ310TileCount; ++g) map[g] = z310_physical(g);
    return Topology(std::move(map));
  }();
  return card;
}

Result<std::uint16_t> Topology::paired_logical(std::uint16_t logical) const {
  if (logical >= tile_map_.size()) return std::unexpected(ExchangeError::tile(logical));
  const std::uint16_t partner = tile_map_[logical] ^ 2u;
  for (std::size_t index = 0; index < tile_map_.size(); ++index) {
    if (tile_map_[index] == partner) {
      KRO_ASSERT(index <= 0xffff, "logical tile count fits u16");
      return static_cast<std::uint16_t>(index);
    }
  }
  return std::unexpected(ExchangeError::tile(logical));
}

}  // namespace kro_exchange
