#include "kro_codegen/exchange/memory_element.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

using kro_codegen::exchange::ExchangeMemoryElement;
using kro_codegen::exchange::span_memory_elements;
using kro_codegen::exchange::spans_share_effective_memory_element;

using Elements = std::vector<ExchangeMemoryElement>;

// The element walk exactly as described for spans: step from boundary to boundary.
Elements walk_span(std::uint32_t address, std::uint32_t words) {
  const std::uint64_t raw_end = std::uint64_t{address} + 4 * std::uint64_t{words};
  const std::uint64_t end = std::min<std::uint64_t>(raw_end, 0xFFFFFFFF);
  Elements out;
  if (end <= address) return out;
  std::uint64_t at = address;
  for (;;) {
    const bool upper = at >= 0x80000;
    const std::uint64_t base = upper ? 0x80000 : 0;
    const std::uint64_t size = upper ? 0x8000 : 0x4000;
    const std::uint64_t index = (at - base) / size;
    out.push_back({upper, static_cast<std::uint32_t>(index)});
    const std::uint64_t boundary = std::min<std::uint64_t>(base + (index + 1) * size, 0xFFFFFFFF);
    if (boundary >= end) return out;
    at = boundary;
  }
}

bool share_by_scan(std::uint32_t a, std::uint32_t aw, std::uint32_t b, std::uint32_t bw) {
  for (const auto& element : walk_span(a, aw)) {
    const Elements second = walk_span(b, bw);
    if (std::find(second.begin(), second.end(), element) != second.end()) return true;
  }
  return false;
}

TEST(MemoryElements, SpansListTheirElementsAcrossTheRegionBoundary) {
  EXPECT_EQ(span_memory_elements(0x7FFFC, 2), (Elements{{false, 31}, {true, 0}}));
  EXPECT_EQ(span_memory_elements(0x3FFC, 1), (Elements{{false, 0}}));
  EXPECT_EQ(span_memory_elements(0x3FFC, 2), (Elements{{false, 0}, {false, 1}}));
  EXPECT_EQ(span_memory_elements(0x88000, 0x2000), (Elements{{true, 1}}));
  EXPECT_TRUE(span_memory_elements(0x100, 0).empty());
  // Saturated at 0xFFFFFFFF: the last byte's element is still reached.
  const Elements tail = span_memory_elements(0xFFFF0000, 0x40000000);
  EXPECT_EQ(tail, (Elements{{true, 131054}, {true, 131055}}));
  EXPECT_TRUE(span_memory_elements(0xFFFFFFFF, 1).empty());
}

TEST(MemoryElements, OrderPutsEveryLowerElementFirst) {
  EXPECT_LT((ExchangeMemoryElement{false, 31}), (ExchangeMemoryElement{true, 0}));
  EXPECT_LT((ExchangeMemoryElement{true, 0}), (ExchangeMemoryElement{true, 1}));
}

TEST(MemoryElements, SharingIsElementEqualityNotByteOverlap) {
  EXPECT_TRUE(spans_share_effective_memory_element(0x100, 1, 0x3F00, 1));
  EXPECT_FALSE(spans_share_effective_memory_element(0x3FFC, 1, 0x4000, 1));
  EXPECT_FALSE(spans_share_effective_memory_element(0x100, 0, 0x100, 4));
  EXPECT_FALSE(spans_share_effective_memory_element(0x100, 4, 0x100, 0));
  EXPECT_TRUE(spans_share_effective_memory_element(0x7FFFC, 2, 0x80010, 1));
}

TEST(MemoryElements, AgreeWithTheBoundaryWalkOnRandomSpans) {
  std::mt19937 rng(7);
  // Addresses cluster around the interesting places: region boundary, element edges, the top.
  const std::uint32_t anchors[] = {0, 0x4000, 0x7C000, 0x80000, 0x88000, 0xFFFF0000, 0xFFFFFFF0};
  auto address = [&] {
    const std::uint32_t anchor = anchors[rng() % std::size(anchors)];
    return anchor + static_cast<std::uint32_t>(rng() % 0x10000) - 0x8000 * (anchor >= 0x8000);
  };
  auto words = [&] {
    switch (rng() % 3) {
      case 0:
        return static_cast<std::uint32_t>(rng() % 3);
      case 1:
        return static_cast<std::uint32_t>(rng() % 4149);
      default:
        return static_cast<std::uint32_t>(rng() % 0x20000);
    }
  };
  // Spans that run into the saturated end; kept near the top so the walk stays short.
  auto top_span = [&](std::uint32_t& a, std::uint32_t& aw) {
    a = 0xFFF00000u + static_cast<std::uint32_t>(rng() % 0x100000);
    aw = 0x3FFFFFF0u + static_cast<std::uint32_t>(rng() % 32);
  };
  for (int i = 0; i < 20000; ++i) {
    std::uint32_t a = address(), aw = words(), b = address(), bw = words();
    if (i % 10 == 0) top_span(a, aw);
    if (i % 15 == 0) top_span(b, bw);
    ASSERT_EQ(span_memory_elements(a, aw), walk_span(a, aw)) << a << " " << aw;
    ASSERT_EQ(spans_share_effective_memory_element(a, aw, b, bw), share_by_scan(a, aw, b, bw))
        << a << " " << aw << " " << b << " " << bw;
  }
}

}  // namespace
