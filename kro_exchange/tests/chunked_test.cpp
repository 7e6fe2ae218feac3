#include "kro_exchange/chunked.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "death_message.hpp"

#include <cstdint>
#include <numeric>
#include <random>
#include <ranges>
#include <string>
#include <string_view>
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

// Through element access, bounded by len (iteration is checked separately in expect_well_formed).
std::vector<std::uint32_t> contents(const Words& c) {
  std::vector<std::uint32_t> out;
  for (std::uint64_t i = 0; i < c.len(); ++i) out.push_back(c[i]);
  return out;
}

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

TEST(Chunked, InsertAndPushTakeElementsOfTheSameContainer) {
  Words c = iota(256);
  c.insert(3, c[127]);  // the referenced element is carried to the next chunk by this insert
  c.push(c[0]);
  std::vector<std::uint32_t> model = iota_vector(256);
  model.insert(model.begin() + 3, 127u);
  model.push_back(0u);
  EXPECT_EQ(contents(c), model);
}

// ---- broken preconditions
// ------------------------------------------------------------------------

using kro_exchange::test_support::literal;

TEST(ChunkedDeathTest, BrokenPreconditionsStopWithTheirMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Words c = iota(3);
  EXPECT_DEATH(c.insert(4, 0), literal("assertion failed: index <= self.len"));
  EXPECT_DEATH(c.remove(3), literal("assertion failed: index < self.len"));
  EXPECT_DEATH(c.truncate(4), literal("assertion failed: len <= self.len"));
  EXPECT_DEATH(Words().remove(0), literal("assertion failed: index < self.len"));
  EXPECT_DEATH((void)c[3], literal("index out of bounds: the len is 3 but the index is 3"));
  EXPECT_DEATH((void)c.range(1, 5),
               literal("index out of bounds: the len is 3 but the index is 3"));
  EXPECT_DEATH((void)c.range(4, 5),
               literal("index out of bounds: the len is 3 but the index is 4"));
}

// ---- randomized comparison with a plain vector
// ----------------------------------------------------

// Two containers that keep duplicating each other, so most operations hit shared chunks, against
// two std::vector models. Sizes hover around a few chunks so that every boundary is crossed often.
class RandomOps {
 public:
  explicit RandomOps(std::uint32_t seed) : rng_(seed) {}

  void step() {
    const std::size_t which = pick(2);
    Words& c = which == 0 ? a_ : b_;
    std::vector<std::uint32_t>& m = which == 0 ? ma_ : mb_;
    const std::uint64_t len = m.size();
    const std::uint32_t value = next_value_++;
    const std::uint64_t roll = len > 1200 ? 100 : pick(100);
    const int op = roll < 25    ? 0
                   : roll < 35  ? 2
                   : roll < 60  ? 3
                   : roll < 72  ? 5
                   : roll < 76  ? 6
                   : roll < 84  ? 7
                   : roll < 92  ? 8
                   : roll < 100 ? 9
                                : 10;
    switch (op) {
      case 0:
        c.push(value);
        m.push_back(value);
        break;
      case 2:
        c.extend({value, value + 1});
        m.push_back(value);
        m.push_back(value + 1);
        ++next_value_;
        break;
      case 3: {
        const auto index = pick(len + 1);
        c.insert(index, value);
        m.insert(m.begin() + static_cast<std::ptrdiff_t>(index), value);
        break;
      }
      case 5:
        if (len > 0) {
          const auto index = pick(len);
          c.remove(index);
          m.erase(m.begin() + static_cast<std::ptrdiff_t>(index));
        }
        break;
      case 6: {
        // Mostly short cuts near the end, sometimes deep ones.
        const std::uint64_t cut =
            pick(64) == 0 ? pick(len + 1) : len - std::min<std::uint64_t>(len, pick(8));
        c.truncate(cut);
        m.resize(cut);
        break;
      }
      case 7:
        if (pick(3) == 0) {
          if (which == 0) {
            b_ = a_;
            mb_ = ma_;
            for (std::size_t i = 0; i < a_.chunk_count(); ++i)
              ASSERT_TRUE(b_.shares_chunk_with(a_, i));
          } else {
            a_ = b_;
            ma_ = mb_;
          }
        }
        break;
      case 8: {
        const auto start = pick(len + 1);
        const auto end = start + pick(len - start + 1);
        ASSERT_EQ(c.range(start, end),
                  std::vector<std::uint32_t>(m.begin() + static_cast<std::ptrdiff_t>(start),
                                             m.begin() + static_cast<std::ptrdiff_t>(end)));
        break;
      }
      case 9:
        if (len > 0) {
          const auto index = pick(len);
          ASSERT_EQ(c[index], m[index]);
        }
        break;
      default: {  // shrink bursts keep the sizes bounded
        const auto index = pick(len);
        c.remove(index);
        m.erase(m.begin() + static_cast<std::ptrdiff_t>(index));
        c.truncate(len - 1 - pick(len / 4));
        m.resize(c.len());
        break;
      }
    }
  }

  void check() const {
    // Stop before iterating a container whose chunk structure is broken.
    ASSERT_NO_FATAL_FAILURE(expect_well_formed(a_));
    ASSERT_NO_FATAL_FAILURE(expect_well_formed(b_));
    ASSERT_EQ(contents(a_), ma_);
    ASSERT_EQ(contents(b_), mb_);
  }

  std::uint64_t len_a() const { return a_.len(); }

  std::size_t shared_chunks() const {
    std::size_t n = 0;
    for (std::size_t i = 0; i < a_.chunk_count(); ++i) n += a_.shares_chunk_with(b_, i) ? 1 : 0;
    return n;
  }

 private:
  std::uint64_t pick(std::uint64_t bound) {
    return std::uniform_int_distribution<std::uint64_t>(0, bound - 1)(rng_);
  }

  std::mt19937_64 rng_;
  std::uint32_t next_value_ = 0;
  Words a_, b_;
  std::vector<std::uint32_t> ma_, mb_;
};

TEST(ChunkedRandom, MatchesAVectorModelOnTwoSharingCopies) {
  for (const std::uint32_t seed : {1u, 2u, 3u, 17u, 12345u}) {
    SCOPED_TRACE(seed);
    RandomOps ops(seed);
    std::size_t shared_seen = 0;
    std::uint64_t longest = 0;
    for (int i = 0; i < 6000; ++i) {
      ASSERT_NO_FATAL_FAILURE(ops.step()) << "step " << i;
      ASSERT_NO_FATAL_FAILURE(ops.check()) << "step " << i;
      shared_seen += ops.shared_chunks();
      longest = std::max(longest, ops.len_a());
    }
    // The run did exercise copy on write over several chunks.
    EXPECT_GT(shared_seen, 1000u);
    EXPECT_GT(longest, 4 * CHUNK);
  }
}

}  // namespace
}  // namespace kro_exchange

namespace kro_exchange {
namespace {

TEST(ChunkedPrefix, EqualsACopyTruncatedAndSharesTheKeptFullChunks) {
  const Words source = iota(300);
  for (const std::uint64_t n : {0u, 1u, 127u, 128u, 129u, 256u, 299u, 300u}) {
    Words copied = source;
    copied.truncate(n);
    const Words prefix = source.prefix(n);
    EXPECT_EQ(prefix.range(0, prefix.len()), copied.range(0, copied.len())) << n;
    EXPECT_EQ(prefix.chunk_count(), copied.chunk_count()) << n;
    for (std::size_t c = 0; c + 1 < prefix.chunk_count(); ++c) {
      EXPECT_TRUE(prefix.shares_chunk_with(source, c)) << n << " chunk " << c;
    }
  }
  Words changed = source.prefix(200);
  changed.push(7);
  EXPECT_EQ(source.len(), 300u);
  EXPECT_EQ(source[200], 200u);
}

}  // namespace
}  // namespace kro_exchange
