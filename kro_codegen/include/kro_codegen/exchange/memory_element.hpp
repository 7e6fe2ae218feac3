// Effective memory elements: the unit in which the scheduler treats tile memory as one conflict
// domain. Below 0x80000 an element is 16 KiB (32 of them); at and above it is 32 KiB.
//
//   span_memory_elements(0x7FFFC, 2);                          // {lower 31}, {upper 0}
//   spans_share_effective_memory_element(0x100, 1, 0x3F00, 1);  // true: same 16 KiB element
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <vector>

namespace kro_codegen::exchange {

inline constexpr std::uint32_t kUpperMemoryBase = 0x80000;

// Ordered by region first (every lower element before every upper one), then by index.
struct ExchangeMemoryElement {
  bool upper = false;
  std::uint32_t index = 0;

  friend auto operator<=>(const ExchangeMemoryElement&, const ExchangeMemoryElement&) = default;
};

constexpr ExchangeMemoryElement memory_element_of(std::uint32_t address) {
  if (address < kUpperMemoryBase) return {false, address >> 14};
  return {true, (address - kUpperMemoryBase) >> 15};
}

// First and last element of a span. A span's elements are always a contiguous run in element
// order, so these two describe the whole list.
struct MemoryElementBounds {
  ExchangeMemoryElement first;
  ExchangeMemoryElement last;
};

// End of the byte range [address, end) of a span, saturated to 0xFFFFFFFF.
constexpr std::uint32_t span_end(std::uint32_t address, std::uint32_t words) {
  const std::uint64_t end = std::uint64_t{address} + 4 * std::uint64_t{words};
  return end > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(end);
}

// Bounds of the elements overlapping [address, span_end); none when the span is empty.
constexpr std::optional<MemoryElementBounds> span_memory_element_bounds(std::uint32_t address,
                                                                        std::uint32_t words) {
  const std::uint32_t end = span_end(address, words);
  if (end <= address) return std::nullopt;
  return MemoryElementBounds{memory_element_of(address), memory_element_of(end - 1)};
}

// Every element the span overlaps, ascending, without repeats.
std::vector<ExchangeMemoryElement> span_memory_elements(std::uint32_t address, std::uint32_t words);

// True when the two spans have an element in common (element equality, not byte overlap).
constexpr bool spans_share_effective_memory_element(std::uint32_t first_address,
                                                    std::uint32_t first_words,
                                                    std::uint32_t second_address,
                                                    std::uint32_t second_words) {
  const auto first = span_memory_element_bounds(first_address, first_words);
  const auto second = span_memory_element_bounds(second_address, second_words);
  if (!first || !second) return false;
  return !(first->last < second->first) && !(second->last < first->first);
}

}  // namespace kro_codegen::exchange
