#include "kro_exchange/chunked.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <random>
#include <ranges>
#include <vector>

#include "kro_exchange/receive_event.hpp"

namespace kro_exchange {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Words = Chunked<std::uint32_t>;

static_assert(std::forward_iterator<Words::const_iterator>);
static_assert(std::ranges::forward_range<Words>);

std::vector<std::size_t> chunk_sizes(const Words& c) {
  std::vector<std::size_t> sizes;
  for (std::size_t i = 0; i < c.chunk_count(); ++i) sizes.push_back(c.chunk_len(i));
  return sizes;
}

std::vector<std::uint32_t> contents(const Words& c) { return {c.begin(), c.end()}; }

// The structural invariants every operation keeps, and element access agreeing with iteration.
void expect_well_formed(const Words& c) {
  ASSERT_EQ(c.chunk_count(), (c.len() + CHUNK - 1) / CHUNK);
  for (std::size_t i = 0; i + 1 < c.chunk_count(); ++i) ASSERT_EQ(c.chunk_len(i), CHUNK) << i;
  if (c.chunk_count() > 0) {
    const std::size_t last = c.chunk_len(c.chunk_count() - 1);
    ASSERT_GE(last, 1u);
    ASSERT_LE(last, CHUNK);
  }
  ASSERT_EQ(c.is_empty(), c.len() == 0);
  std::uint64_t i = 0;
  for (const std::uint32_t v : c.iter()) ASSERT_EQ(c[i++], v);
  ASSERT_EQ(i, c.len());
}

Words iota(std::uint32_t n) {
  Words c;
  for (std::uint32_t i = 0; i < n; ++i) c.push(i);
  return c;
}

std::vector<std::uint32_t> iota_vector(std::uint32_t n) {
  std::vector<std::uint32_t> v(n);
  std::iota(v.begin(), v.end(), 0u);
  return v;
}

TEST(Chunked, EmptyHasNoChunks) {
  const Words c;
  EXPECT_EQ(c.len(), 0u);
  EXPECT_TRUE(c.is_empty());
  EXPECT_EQ(c.chunk_count(), 0u);
  EXPECT_EQ(c.begin(), c.end());
  EXPECT_TRUE(c.range(0, 0).empty());
}

TEST(Chunked, PushFillsAChunkBeforeStartingTheNext) {
  Words c = iota(128);
  EXPECT_THAT(chunk_sizes(c), ElementsAre(128u));
  c.push(128);
  EXPECT_THAT(chunk_sizes(c), ElementsAre(128u, 1u));
  EXPECT_EQ(c[128], 128u);
  expect_well_formed(c);
  EXPECT_EQ(contents(c), iota_vector(129));
}

TEST(Chunked, ExtendAppendsBothWordsAcrossAChunkBoundary) {
  Words c = iota(127);
  c.extend({1000, 1001});
  EXPECT_THAT(chunk_sizes(c), ElementsAre(128u, 1u));
  EXPECT_EQ(c[127], 1000u);
  EXPECT_EQ(c[128], 1001u);
  c.extend({7, 8});
  EXPECT_THAT(c.range(127, 131), ElementsAre(1000u, 1001u, 7u, 8u));
  expect_well_formed(c);
}

TEST(Chunked, TruncateReleasesWholeChunksAndCutsTheLast) {
  struct Case {
    std::uint32_t to;
    std::vector<std::size_t> sizes;
  };
  for (const Case& k : std::vector<Case>{{300, {128, 128, 44}},
                                         {256, {128, 128}},
                                         {255, {128, 127}},
                                         {200, {128, 72}},
                                         {129, {128, 1}},
                                         {1, {1}},
                                         {0, {}}}) {
    SCOPED_TRACE(k.to);
    Words c = iota(300);
    c.truncate(k.to);
    EXPECT_EQ(c.len(), k.to);
    EXPECT_EQ(chunk_sizes(c), k.sizes);
    EXPECT_EQ(contents(c), iota_vector(k.to));
    expect_well_formed(c);
    c.push(5000);  // the cut chunk still takes pushes in the right place
    EXPECT_EQ(c[k.to], 5000u);
    expect_well_formed(c);
  }
}

TEST(Chunked, InsertCarriesTheLastElementOfEveryFullChunk) {
  Words c = iota(256);
  c.insert(5, 1000);
  EXPECT_THAT(chunk_sizes(c), ElementsAre(128u, 128u, 1u));
  EXPECT_EQ(c.len(), 257u);
  EXPECT_EQ(c[5], 1000u);
  EXPECT_EQ(c[128], 127u);  // element 127 moved to position 0 of chunk 1
  EXPECT_EQ(c[256], 255u);  // element 255 moved into the new third chunk
  std::vector<std::uint32_t> model = iota_vector(256);
  model.insert(model.begin() + 5, 1000);
  EXPECT_EQ(contents(c), model);
  expect_well_formed(c);
}

TEST(Chunked, InsertStopsCarryingAtAChunkWithRoom) {
  Words c = iota(200);
  c.insert(0, 1000);
  EXPECT_THAT(chunk_sizes(c), ElementsAre(128u, 73u));
  EXPECT_EQ(c[0], 1000u);
  EXPECT_EQ(c[128], 127u);
  c.insert(128, 2000);  // first position of a chunk
  EXPECT_EQ(c[128], 2000u);
  EXPECT_EQ(c[129], 127u);
  c.insert(127, 3000);  // last position of a full chunk
  EXPECT_EQ(c[127], 3000u);
  EXPECT_EQ(c[128], 126u);
  EXPECT_THAT(chunk_sizes(c), ElementsAre(128u, 75u));
  expect_well_formed(c);
}

TEST(Chunked, InsertAtTheEndIsPush) {
  for (std::uint32_t n : {0u, 1u, 127u, 128u, 129u}) {
    SCOPED_TRACE(n);
    Words pushed = iota(n);
    Words inserted = iota(n);
    pushed.push(77);
    inserted.insert(n, 77);
    EXPECT_EQ(chunk_sizes(inserted), chunk_sizes(pushed));
    EXPECT_TRUE(inserted == pushed);
  }
}

TEST(Chunked, RemoveShiftsEveryLaterChunkBackByOne) {
  Words c = iota(129);
  c.remove(0);
  EXPECT_THAT(chunk_sizes(c), ElementsAre(128u));
  const std::vector<std::uint32_t> all = iota_vector(129);
  EXPECT_EQ(contents(c), std::vector<std::uint32_t>(all.begin() + 1, all.end()));

  Words d = iota(300);
  d.remove(130);
  std::vector<std::uint32_t> model = iota_vector(300);
  model.erase(model.begin() + 130);
  EXPECT_THAT(chunk_sizes(d), ElementsAre(128u, 128u, 43u));
  EXPECT_EQ(contents(d), model);
  d.remove(d.len() - 1);
  model.pop_back();
  EXPECT_EQ(contents(d), model);
  expect_well_formed(d);
}

TEST(Chunked, RemovingTheOnlyElementLeavesNoChunks) {
  Words c = iota(1);
  c.remove(0);
  EXPECT_TRUE(c.is_empty());
  EXPECT_EQ(c.chunk_count(), 0u);
  c.push(3);
  EXPECT_THAT(contents(c), ElementsAre(3u));
}

TEST(Chunked, RangeCopiesAHalfOpenSpanAcrossChunks) {
  const Words c = iota(300);
  const std::vector<std::uint32_t> all = iota_vector(300);
  EXPECT_EQ(c.range(100, 260), std::vector<std::uint32_t>(all.begin() + 100, all.begin() + 260));
  EXPECT_THAT(c.range(299, 300), ElementsAre(299u));
  EXPECT_TRUE(c.range(200, 200).empty());
  EXPECT_TRUE(c.range(250, 10).empty());
  EXPECT_EQ(c.range(0, 300), iota_vector(300));
}

TEST(Chunked, PartitionPointFindsTheFirstFailingIndex) {
  const Words c = iota(1000);
  for (std::uint32_t bound : {0u, 1u, 127u, 128u, 129u, 500u, 999u, 1000u, 5000u}) {
    SCOPED_TRACE(bound);
    EXPECT_EQ(c.partition_point([&](std::uint32_t v) { return v < bound; }),
              std::min<std::uint32_t>(bound, 1000));
  }
  EXPECT_EQ(Words().partition_point([](std::uint32_t) { return true; }), 0u);
}

TEST(Chunked, HoldsRecordElements) {
  Chunked<ReceiveEvent> events;
  for (std::uint32_t i = 0; i < 130; ++i) events.push({.cycle = 2 * i, .control = i});
  events.insert(1, {.cycle = 1, .control = 9, .kind = ReceiveEventKind::Pointer});
  events.remove(0);
  EXPECT_EQ(events[0].kind, ReceiveEventKind::Pointer);
  EXPECT_EQ(events.partition_point([](const ReceiveEvent& e) { return e.cycle < 100; }), 50u);
  EXPECT_EQ(events.len(), 130u);
}

// ---- duplication ------------------------------------------------------------------------------

TEST(ChunkedSharing, DuplicationSharesEveryChunk) {
  const Words original = iota(1000);
  const Words copy = original;  // NOLINT(performance-unnecessary-copy-initialization)
  ASSERT_EQ(copy.chunk_count(), 8u);
  for (std::size_t i = 0; i < copy.chunk_count(); ++i) {
    EXPECT_TRUE(copy.shares_chunk_with(original, i)) << i;
    EXPECT_EQ(copy.chunk_use_count(i), 2) << i;
  }
}

TEST(ChunkedSharing, PushOntoASharedCopyCopiesOnlyTheLastChunk) {
  const Words original = iota(1000);
  Words copy = original;
  copy.push(5000);
  for (std::size_t i = 0; i + 1 < original.chunk_count(); ++i) {
    EXPECT_TRUE(copy.shares_chunk_with(original, i)) << i;
  }
  EXPECT_FALSE(copy.shares_chunk_with(original, 7));
  EXPECT_EQ(original.chunk_use_count(7), 1);
  EXPECT_EQ(copy.chunk_use_count(7), 1);
  EXPECT_EQ(original.len(), 1000u);
  EXPECT_EQ(contents(original), iota_vector(1000));

  // Once unique, further pushes change the copy's chunk in place.
  copy.push(5001);
  EXPECT_EQ(copy.chunk_len(7), 106u);
  EXPECT_EQ(original.chunk_len(7), 104u);
}

TEST(ChunkedSharing, PushStartingANewChunkCopiesNothing) {
  const Words original = iota(256);
  Words copy = original;
  copy.push(1);
  EXPECT_TRUE(copy.shares_chunk_with(original, 0));
  EXPECT_TRUE(copy.shares_chunk_with(original, 1));
  EXPECT_EQ(copy.chunk_count(), 3u);
}

TEST(ChunkedSharing, TruncateCopiesOnlyTheNewLastChunk) {
  const Words original = iota(1000);
  Words copy = original;
  copy.truncate(300);
  EXPECT_TRUE(copy.shares_chunk_with(original, 0));
  EXPECT_TRUE(copy.shares_chunk_with(original, 1));
  EXPECT_FALSE(copy.shares_chunk_with(original, 2));
  EXPECT_EQ(original.chunk_use_count(2), 1);
  EXPECT_EQ(original.chunk_use_count(3), 1);  // released by the copy
  EXPECT_EQ(contents(original), iota_vector(1000));
}

// Every changing operation on one copy, checked against the untouched other copy.
TEST(ChunkedSharing, ACopyNeverSeesTheOtherCopysChanges) {
  struct Case {
    const char* name;
    void (*change)(Words&);
  };
  const std::vector<Case> cases = {
      {"push", [](Words& c) { c.push(9999); }},
      {"extend",
       [](Words& c) {
         c.extend({9998, 9999});
       }},
      {"truncate", [](Words& c) { c.truncate(130); }},
      {"truncate to 0", [](Words& c) { c.truncate(0); }},
      {"truncate to len", [](Words& c) { c.truncate(c.len()); }},
      {"insert front", [](Words& c) { c.insert(0, 9999); }},
      {"insert middle", [](Words& c) { c.insert(200, 9999); }},
      {"remove front", [](Words& c) { c.remove(0); }},
      {"remove last", [](Words& c) { c.remove(c.len() - 1); }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    for (std::uint32_t n : {256u, 300u}) {
      SCOPED_TRACE(n);
      Words a = iota(n);
      Words b = a;
      k.change(b);
      EXPECT_EQ(a.len(), n);
      EXPECT_EQ(contents(a), iota_vector(n));
      expect_well_formed(a);
      expect_well_formed(b);
      // And the other way round: the changed copy does not see changes to the original.
      const std::vector<std::uint32_t> b_before = contents(b);
      a.insert(0, 4242);
      a.push(4343);
      EXPECT_EQ(contents(b), b_before);
    }
  }
}

TEST(ChunkedSharing, DroppingACopyReleasesItsHandles) {
  const Words original = iota(300);
  {
    const Words copy = original;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(original.chunk_use_count(0), 2);
  }
  EXPECT_EQ(original.chunk_use_count(0), 1);
  Words moved_from = original;
  const Words moved_to = std::move(moved_from);
  EXPECT_EQ(original.chunk_use_count(0), 2);
  EXPECT_TRUE(moved_from.is_empty());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(moved_from.chunk_count(), 0u);
}

}  // namespace
}  // namespace kro_exchange
