// Rows: the short per-tile instruction sequences that carry one transfer, timed from the
// phase-entry synchronisation.
#pragma once

#include <array>
#include <cstdint>

namespace kro_exchange {

inline constexpr std::size_t kRowWords = 9;

// Sync(3), the row's instructions, Return, then zero words.
using Row = std::array<std::uint32_t, kRowWords>;

// A finished point-to-point receiver row is one word shorter than the rows the phase program
// builder takes; `to_row` pads it with the zero word explicitly.
using PointReceiverWords = std::array<std::uint32_t, kRowWords - 1>;

constexpr Row to_row(const PointReceiverWords& words) {
  Row row{};
  for (std::size_t i = 0; i < words.size(); ++i) row[i] = words[i];
  return row;
}

}  // namespace kro_exchange
