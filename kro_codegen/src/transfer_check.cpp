#include "kro_codegen/exchange/transfer_check.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <vector>

#include "kro_codegen/exchange/memory_element.hpp"
#include "kro_exchange/topology.hpp"

namespace kro_codegen::exchange {
namespace {

// Payloads of at least this many words are the only ones a paired transfer can carry.
constexpr std::uint32_t kMinimumPairedWords = 128;
// Destination lists up to this length are checked for repeated tiles by a plain scan.
constexpr std::size_t kScanDestinations = 16;

std::unexpected<ExchangeLoweringError> invalid(std::string text) {
  return std::unexpected(ExchangeLoweringError::invalid_snapshot(std::move(text)));
}

bool fits_after(std::uint32_t address, std::uint32_t words) {
  return std::uint64_t{address} + 4 * std::uint64_t{words} <= 0xFFFFFFFFu;
}

// `paired_logical` on the Z310 card searches the whole tile map; the answer only depends on the
// tile, so it is looked up once per tile for the whole program.
const kro_exchange::Result<std::uint16_t>& z310_partner(std::uint16_t tile) {
  static const std::vector<kro_exchange::Result<std::uint16_t>> partners = [] {
    const kro_exchange::Topology& card = kro_exchange::Topology::z310();
    std::vector<kro_exchange::Result<std::uint16_t>> table;
    table.reserve(card.len());
    for (std::size_t logical = 0; logical < card.len(); ++logical) {
      table.push_back(card.paired_logical(static_cast<std::uint16_t>(logical)));
    }
    return table;
  }();
  return partners[tile];
}

// Loopback is allowed only for a multi-iteration ordinary transfer whose every source span stays
// clear of the destination's memory elements.
bool loopback_allowed(const ExchangeScheduleTransfer& transfer, std::uint32_t destination_address) {
  if (transfer.width != ExchangeItemWidth::Word32 || transfer.source_addresses.size() <= 1) {
    return false;
  }
  return std::none_of(transfer.source_addresses.begin(), transfer.source_addresses.end(),
                      [&](std::uint32_t source_address) {
                        return spans_share_effective_memory_element(
                            source_address, transfer.words, destination_address, transfer.words);
                      });
}

}  // namespace

LoweringResult<void> check_transfer(std::uint32_t phase, std::size_t index,
                                    const ExchangeScheduleTransfer& transfer,
                                    std::uint16_t tile_count) {
  const bool paired = transfer.width == ExchangeItemWidth::Paired64;
  const std::uint32_t alignment = paired ? 8 : 4;
  const std::uint32_t words = transfer.words;

  if (transfer.source >= tile_count) {
    return invalid(fmt::format("phase {} transfer {} has source tile {} outside 0..{}", phase,
                               index, transfer.source, tile_count));
  }
  if (words < 1 || words > kro_exchange::kMaximumExchangeWords) {
    return invalid(
        fmt::format("phase {} transfer {} has invalid word count {}", phase, index, words));
  }
  if (paired && (words % 2 != 0 || words < kMinimumPairedWords)) {
    return invalid(fmt::format("phase {} transfer {} has invalid {}-word paired payload", phase,
                               index, words));
  }
  if (transfer.source_addresses.empty()) {
    return invalid(fmt::format("phase {} transfer {} has no source addresses", phase, index));
  }
  for (const std::uint32_t address : transfer.source_addresses) {
    if (address % alignment != 0) {
      return invalid(fmt::format("phase {} transfer {} has unaligned source address {:#x}", phase,
                                 index, address));
    }
    if (!fits_after(address, words)) return std::unexpected(ExchangeLoweringError::overflow());
  }
  if (transfer.destinations.empty()) {
    return invalid(fmt::format("phase {} transfer {} has no destinations", phase, index));
  }

  // Repeated tiles: a scan for short lists, a bit per tile otherwise (tiles are below
  // `tile_count` by the time they are marked).
  const auto& destinations = transfer.destinations;
  std::vector<std::uint64_t> used;
  if (destinations.size() > kScanDestinations) used.assign((std::size_t{tile_count} + 63) / 64, 0);
  for (std::size_t d = 0; d < destinations.size(); ++d) {
    const ExchangeScheduleDestination& destination = destinations[d];
    const std::uint16_t tile = destination.tile;
    bool repeated;
    if (used.empty()) {
      repeated = std::any_of(destinations.begin(), destinations.begin() + static_cast<long>(d),
                             [&](const ExchangeScheduleDestination& e) { return e.tile == tile; });
    } else {
      repeated = tile < tile_count && (used[tile / 64] >> (tile % 64) & 1) != 0;
    }
    if (tile >= tile_count ||
        (tile == transfer.source && !loopback_allowed(transfer, destination.address)) || repeated) {
      return invalid(
          fmt::format("phase {} transfer {} has invalid destination tile {}", phase, index, tile));
    }
    if (!used.empty()) used[tile / 64] |= std::uint64_t{1} << (tile % 64);
    if (destination.address % alignment != 0) {
      return invalid(fmt::format("phase {} transfer {} has unaligned destination address {:#x}",
                                 phase, index, destination.address));
    }
    if (!fits_after(destination.address, words)) {
      return std::unexpected(ExchangeLoweringError::overflow());
    }
  }

  if (index > 0xFFFFFFFFu) return std::unexpected(ExchangeLoweringError::overflow());

  if (paired) {
    const auto& partner = transfer.source < kro_exchange::kZ310TileCount
                              ? z310_partner(transfer.source)
                              : kro_exchange::Topology::z310().paired_logical(transfer.source);
    if (!partner) return std::unexpected(ExchangeLoweringError(partner.error()));
  }
  return {};
}

}  // namespace kro_codegen::exchange
