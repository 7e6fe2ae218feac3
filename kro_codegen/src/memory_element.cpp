#include "kro_codegen/exchange/memory_element.hpp"

namespace kro_codegen::exchange {

std::vector<ExchangeMemoryElement> span_memory_elements(std::uint32_t address,
                                                        std::uint32_t words) {
  std::vector<ExchangeMemoryElement> elements;
  const auto bounds = span_memory_element_bounds(address, words);
  if (!bounds) return elements;
  ExchangeMemoryElement element = bounds->first;
  for (;;) {
    elements.push_back(element);
    if (element == bounds->last) break;
    // The lower region's last element is followed by the upper region's first.
    if (!element.upper && element.index == (kUpperMemoryBase >> 14) - 1) {
      element = {true, 0};
    } else {
      ++element.index;
    }
  }
  return elements;
}

}  // namespace kro_codegen::exchange
