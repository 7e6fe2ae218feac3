// The per-transfer checks that every snapshot transfer passes before it is scheduled.
//
// Snapshot validation runs them for every transfer, and the scheduler runs exactly the same
// checks when it converts transfers into its own records, so both report the same first failure.
//
//   if (auto ok = check_transfer(7, 0, transfer, 1472); !ok) return std::unexpected(ok.error());
#pragma once

#include <cstddef>
#include <cstdint>

#include "kro_codegen/exchange/error.hpp"
#include "kro_codegen/exchange/snapshot.hpp"

namespace kro_codegen::exchange {

// Checks transfer `index` of phase `phase` against a snapshot with `tile_count` tiles. Failures
// are `InvalidSnapshot` texts naming the phase and transfer, `Overflow` for address arithmetic
// and `Exchange` when a paired source has no partner on the Z310 card.
LoweringResult<void> check_transfer(std::uint32_t phase, std::size_t index,
                                    const ExchangeScheduleTransfer& transfer,
                                    std::uint16_t tile_count);

}  // namespace kro_codegen::exchange
