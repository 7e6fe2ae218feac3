#include "kro_exchange/phase_program_builder.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "kro_exchange/diagnostic.hpp"
#include "kro_exchange/encoding.hpp"
#include "kro_exchange/words.hpp"

namespace kro_exchange {
namespace {

// The first `n` tiles of the Z310 card, as the scheduler builds a phase's topology.
Topology small_card(std::size_t n) {
  const auto map = Topology::z310().tile_map();
  return *Topology::create(std::vector<std::uint16_t>(map.begin(), map.begin() + n));
}

TransferRows point_rows(const Topology& topology, std::uint16_t sender, std::uint16_t receiver,
                        std::uint32_t count) {
  auto exchange = topology.point_to_point(sender, receiver, count);
  EXPECT_TRUE(exchange) << exchange.error().display();
  auto words = Topology::finalize_point_receiver(exchange->receiver, topology.physical(sender));
  EXPECT_TRUE(words);
  return TransferRows{{to_row(*words)}, exchange->sender};
}

std::vector<std::uint16_t> one(std::uint16_t tile) { return {tile}; }

class BuilderTest : public ::testing::Test {
 protected:
  Topology topology = small_card(16);
};

TEST_F(BuilderTest, BuilderWithoutTilesFinishesEmpty) {
  PhaseProgramBuilder builder(0);
  EXPECT_EQ(builder.event_cycles(), 0u);
  auto programs = builder.finish();
  ASSERT_TRUE(programs);
  EXPECT_TRUE(programs->programs.empty());
  EXPECT_TRUE(programs->tile_horizons.empty());
  EXPECT_EQ(programs->horizon, 0u);
}

TEST_F(BuilderTest, EveryOperationChecksRowCountAndTileRange) {
  PhaseProgramBuilder builder(16);
  const TransferRows rows = point_rows(topology, 0, 5, 10);
  const std::vector<std::uint16_t> two{5, 6};
  const std::vector<std::uint16_t> none;
  const std::vector<std::uint16_t> outside{16};
  const auto row_count = ExchangeError::schedule("receiver row count");

  EXPECT_EQ(builder.earliest_transfer_offset(0, none, two, rows, 10, 0).error(), row_count);
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(0, none, two, rows, 10, 0).error(),
            row_count);
  EXPECT_EQ(builder.transfer_timing_at(0, two, rows, 0, 10).error(), row_count);
  EXPECT_EQ(builder.append_transfer_at(0, none, two, rows, 0, 10).error(), row_count);

  EXPECT_EQ(builder.earliest_transfer_offset_deferred(16, none, one(5), rows, 10, 0).error(),
            ExchangeError::tile(16));
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(0, none, outside, rows, 10, 0).error(),
            ExchangeError::tile(16));
  EXPECT_EQ(builder.earliest_transfer_offset(0, outside, one(5), rows, 10, 0).error(),
            ExchangeError::tile(16));
  EXPECT_EQ(builder.append_transfer_at(0, outside, one(5), rows, 0, 10).error(),
            ExchangeError::tile(16));
}

TEST_F(BuilderTest, SecondSendFromOneTileStartsWhereTheFirstPayloadEnds) {
  PhaseProgramBuilder builder(16);
  const TransferRows first = point_rows(topology, 0, 5, 100);
  auto k1 = builder.earliest_transfer_offset_deferred(0, {}, one(5), first, 100, 0);
  ASSERT_TRUE(k1);
  EXPECT_EQ(*k1, 0u);
  auto t1 = builder.append_transfer_at(0, {}, one(5), first, *k1, 100);
  ASSERT_TRUE(t1);

  const TransferRows second = point_rows(topology, 0, 9, 40);
  auto k2 = builder.earliest_transfer_offset_deferred(0, {}, one(9), second, 40, 0);
  ASSERT_TRUE(k2);
  auto t2 = builder.transfer_timing_at(0, one(9), second, *k2, 40);
  ASSERT_TRUE(t2);
  EXPECT_EQ(t2->sender_payload_start, t1->sender_payload_end);
}

TEST_F(BuilderTest, ReceiveControlsAvoidTheReceiversOwnSendStarts) {
  // Tile 5 sends first; transfers into tile 5 must not put a control on the cycle at which one of
  // its sends starts or the cycle after.
  for (std::uint32_t count : {1u, 30u, 64u, 65u}) {
    PhaseProgramBuilder builder(16);
    const TransferRows out = point_rows(topology, 5, 1, count);
    ASSERT_TRUE(builder.append_transfer_at(5, {}, one(1), out, 0, count));
    const TransferRows in = point_rows(topology, 3, 5, 20);
    auto k = builder.earliest_transfer_offset_deferred(3, {}, one(5), in, 20, 0);
    ASSERT_TRUE(k);
    auto timing = builder.transfer_timing_at(3, one(5), in, *k, 20);
    ASSERT_TRUE(timing);
    ASSERT_TRUE(builder.append_transfer_at(3, {}, one(5), in, *k, 20));
    const auto& tile = builder.tiles()[5];
    const std::uint32_t send_start = tile.sender_rows[0].payload_start;
    for (const ReceiveEvent& e : tile.receive_events) {
      EXPECT_NE(e.cycle, send_start) << "count " << count;
      EXPECT_NE(e.cycle, send_start + 1) << "count " << count;
    }
    EXPECT_TRUE(builder.finish()) << "count " << count;
  }
}

TEST_F(BuilderTest, BudgetBelowTheFirstValidationFailsAndLeavesTheCounterUnchanged) {
  const TransferRows rows = point_rows(topology, 0, 5, 10);
  // Work of the first validation: (0 rows + 0 events + 1) for the sender and the receiver.
  PhaseProgramBuilder small = PhaseProgramBuilder(16).with_validation_budget(1);
  EXPECT_EQ(small.earliest_transfer_offset(0, {}, one(5), rows, 10, 0).error(),
            ExchangeError::validation_budget_exceeded());
  EXPECT_EQ(small.validation_budget(), 1u);
  EXPECT_TRUE(small.earliest_transfer_offset_deferred(0, {}, one(5), rows, 10, 0));

  PhaseProgramBuilder enough = PhaseProgramBuilder(16).with_validation_budget(2);
  PhaseProgramBuilder clone = enough;
  ASSERT_TRUE(enough.earliest_transfer_offset(0, {}, one(5), rows, 10, 0));
  // Clones share the counter.
  EXPECT_EQ(clone.validation_budget(), 0u);
  EXPECT_EQ(clone.earliest_transfer_offset(0, {}, one(5), rows, 10, 0).error(),
            ExchangeError::validation_budget_exceeded());
}

TEST_F(BuilderTest, AppendCommitsTheStagedPlacementOnlyAtTheStagedOffset) {
  const TransferRows rows = point_rows(topology, 0, 5, 10);
  PhaseProgramBuilder builder(16);
  auto k = builder.earliest_transfer_offset(0, {}, one(5), rows, 10, 0);
  ASSERT_TRUE(k);
  ASSERT_TRUE(builder.staged().has_value());
  const auto staged_sender = builder.staged()->tiles.front().second.encoded();
  ASSERT_TRUE(staged_sender);

  PhaseProgramBuilder elsewhere = builder;
  ASSERT_TRUE(builder.append_transfer_at(0, {}, one(5), rows, *k, 10));
  EXPECT_FALSE(builder.staged().has_value());
  // The staged tile, with the encoding made while validating, is now the builder's tile.
  EXPECT_TRUE(builder.tiles()[0].has_cached_encoding());
  EXPECT_EQ(builder.tiles()[0].encoded()->get(), staged_sender->get());

  ASSERT_TRUE(elsewhere.append_transfer_at(0, {}, one(5), rows, *k + 3, 10));
  EXPECT_FALSE(elsewhere.staged().has_value());
  // Prepared again without validation: nothing was encoded.
  EXPECT_FALSE(elsewhere.tiles()[0].has_cached_encoding());
  EXPECT_EQ(elsewhere.tiles()[0].sender_rows[0].payload_start,
            builder.tiles()[0].sender_rows[0].payload_start + 3);
}

TEST_F(BuilderTest, RepeatedReceiverAndPartnerClashesAreDuplicateTiles) {
  auto rows = topology.multicast(0, std::vector<std::uint16_t>{5, 6}, 10, 0);
  ASSERT_TRUE(rows);
  TransferRows twice{{rows->receivers[0], rows->receivers[0]}, rows->sender};
  const std::vector<std::uint16_t> receivers{5, 5};
  PhaseProgramBuilder builder(16);
  EXPECT_EQ(builder.earliest_transfer_offset(0, {}, receivers, twice, 10, 0).error(),
            ExchangeError::duplicate_tile());
  EXPECT_EQ(builder.append_transfer_at(0, {}, receivers, twice, 0, 10).error(),
            ExchangeError::duplicate_tile());

  const TransferRows single = point_rows(topology, 0, 5, 10);
  for (const std::vector<std::uint16_t>& partners :
       {std::vector<std::uint16_t>{0}, std::vector<std::uint16_t>{5},
        std::vector<std::uint16_t>{1, 1}}) {
    EXPECT_EQ(builder.append_transfer_at(0, partners, one(5), single, 0, 10).error(),
              ExchangeError::duplicate_tile());
  }
  // Failed placements leave the builder as it was.
  EXPECT_EQ(builder.event_cycles(), 0u);
  for (const auto& tile : builder.tiles()) {
    EXPECT_TRUE(tile.sender_rows.is_empty());
    EXPECT_TRUE(tile.receive_events.is_empty());
  }
}

TEST_F(BuilderTest, PartnersCoverTheSendAndUntouchedTilesHaveNoProgram) {
  const TransferRows rows = point_rows(topology, 0, 5, 10);
  PhaseProgramBuilder builder(16);
  auto timing = builder.append_transfer_at(0, one(1), one(5), rows, 0, 10);
  ASSERT_TRUE(timing);
  EXPECT_EQ(builder.tiles()[1].horizon, timing->sender_horizon);
  auto programs = builder.finish();
  ASSERT_TRUE(programs);
  ASSERT_EQ(programs->programs.size(), 16u);
  for (std::size_t t = 0; t < 16; ++t) {
    EXPECT_EQ(programs->programs[t].has_value(), t == 0 || t == 1 || t == 5) << t;
  }
  EXPECT_EQ(programs->horizon, builder.event_cycles());
  EXPECT_EQ(programs->horizon, timing->horizon);
}

// ---- hand-made rows
// ------------------------------------------------------------------------------
//
// The scenarios below need controls at exact cycles, so they build their rows directly instead of
// taking them from the topology.

constexpr std::uint32_t kSelect = 9;  // the source tile select of every hand-made receive
constexpr std::uint32_t kTeardownSelect = 0x640;
constexpr std::uint32_t kPairedSelect = 0x2000 | kSelect;
constexpr std::uint32_t kPairedTeardownSelect = 0x2640;
constexpr std::uint32_t kFormatEnd = 0x40000;
constexpr std::uint32_t format_start(std::uint32_t value) { return 0x40000 | value; }

struct Control {
  std::uint32_t cycle = 0;
  bool pic = false;
  std::uint32_t value = 0;
};
Control xpic(std::uint32_t cycle, std::uint32_t value) { return {cycle, false, value}; }
Control pic(std::uint32_t cycle, std::uint32_t value) { return {cycle, true, value}; }

// Sync(3), each control taking effect at its cycle (two at one cycle share a PicPair), Return.
Row receiver_row(std::initializer_list<Control> list) {
  const std::vector<Control> controls(list);
  Row row{};
  std::size_t n = 0;
  row[n++] = words::kSync3;
  std::uint32_t cur = 0;
  for (std::size_t i = 0; i < controls.size(); ++i) {
    const Control& c = controls[i];
    if (i + 1 < controls.size() && controls[i + 1].cycle == c.cycle) {
      const Control& d = controls[++i];
      const Control& p = c.pic ? c : d;
      const Control& x = c.pic ? d : c;
      if (c.cycle - 1 > cur) row[n++] = words::delay(c.cycle - 1 - cur);
      const auto pair = words::picpair_send(1, 0, 0, p.value, x.value);
      row[n++] = pair[0];
      row[n++] = pair[1];
      cur = c.cycle;
      continue;
    }
    std::uint32_t gap = c.cycle - cur;
    const std::uint32_t longest = c.pic ? words::kMaxPicAdvance + 1 : words::kMaxXpicAdvance + 1;
    if (gap > longest) {
      row[n++] = words::delay(gap - longest);
      gap = longest;
    }
    row[n++] = c.pic ? words::pic_control(c.value, gap - 1) : words::xpic_control(c.value, gap - 1);
    cur = c.cycle;
  }
  row[n++] = words::kReturn;
  EXPECT_LE(n, kRowWords);
  return row;
}

// An ordinary receive: source at `source`, pointer (to `address_words`) at `pointer`.
Row ordinary_row(std::uint32_t source, std::uint32_t pointer, std::uint32_t address_words) {
  return receiver_row(
      {xpic(source, kSelect), pic(pointer, address_words), xpic(pointer + 1, kTeardownSelect)});
}

// A paired receive of `count` words whose format (value `format`) starts at `start`; with
// `source`, it also selects its source there and tears it down `count` cycles later.
Row paired_row(std::optional<std::uint32_t> source, std::uint32_t start, std::uint32_t count,
               std::uint32_t format) {
  if (source) {
    return receiver_row({xpic(*source, kPairedSelect), pic(start, format_start(format)),
                         pic(start + 2, 0x100), xpic(*source + count, kPairedTeardownSelect),
                         pic(start + count, kFormatEnd)});
  }
  return receiver_row(
      {pic(start, format_start(format)), pic(start + 2, 0x100), pic(start + count, kFormatEnd)});
}

// Sync(3), an optional Delay, then `count` payload words.
Row sender_row(std::uint32_t count, std::uint32_t delay_cycles = 0) {
  Row row{};
  std::size_t n = 0;
  row[n++] = words::kSync3;
  if (delay_cycles > 0) row[n++] = words::delay(delay_cycles);
  row[n++] = words::explicit_send(std::min(count, 64u), 0, 1);
  if (count > 64) row[n++] = words::offset_send(count - 64, 0, 1);
  row[n++] = words::kReturn;
  return row;
}

TransferRows single(const Row& sender, const Row& receiver) {
  return TransferRows{{receiver}, sender};
}

using Timeline = std::vector<std::pair<std::uint32_t, ReceiveEventKind>>;
Timeline timeline(const TileProgramSchedule& tile) {
  Timeline out;
  for (const ReceiveEvent& e : tile.receive_events) out.emplace_back(e.cycle, e.kind);
  return out;
}

// Places a transfer at the deferred search's offset and returns that offset.
std::uint32_t place(PhaseProgramBuilder& builder, std::uint16_t sender, std::uint16_t receiver,
                    const TransferRows& rows, std::uint32_t count, std::uint32_t bound = 0) {
  auto k = builder.earliest_transfer_offset_deferred(sender, {}, one(receiver), rows, count, bound);
  EXPECT_TRUE(k) << k.error().display();
  if (!k) return 0;
  auto timing = builder.append_transfer_at(sender, {}, one(receiver), rows, *k, count);
  EXPECT_TRUE(timing) << timing.error().display();
  return *k;
}

using K = ReceiveEventKind;

TEST(BuilderReceive, OrdinaryReceiveContinuingAtTheSourceEndTakesOverTeardownAndPointer) {
  PhaseProgramBuilder builder(8);
  // 20 words to byte 0x400: source 5..25, pointer 10, data written until 30.
  EXPECT_EQ(place(builder, 1, 4, single(sender_row(20), ordinary_row(5, 10, 0x100)), 20), 0u);
  ASSERT_TRUE(builder.tiles()[4].encoded());
  // The next 20 words go right behind (word 0x114): the old teardown at 25 gives way to the new
  // source, and the pointer carries on without a new control.
  const TransferRows next = single(sender_row(20), ordinary_row(5, 10, 0x114));
  EXPECT_EQ(builder.earliest_transfer_offset(2, {}, one(4), next, 20, 0), 20u);
  EXPECT_EQ(place(builder, 2, 4, next, 20), 20u);

  const TileProgramSchedule& tile = builder.tiles()[4];
  EXPECT_EQ(timeline(tile),
            (Timeline{{5, K::Source}, {10, K::Pointer}, {25, K::Source}, {45, K::Teardown}}));
  ASSERT_TRUE(tile.incoming);
  EXPECT_EQ(tile.incoming->source_end, 45u);
  EXPECT_EQ(tile.incoming->payload_end, 50u);
  EXPECT_EQ(tile.incoming->address_end, 0x400u + 160);
  // The removed teardown was the first changed event.
  ASSERT_TRUE(tile.base);
  EXPECT_EQ(tile.base->events_clean, 2u);
  EXPECT_TRUE(builder.finish());
}

TEST(BuilderReceive, PairedFormatContinuesOnlyWithTheSameFormatValue) {
  struct Case {
    std::uint32_t format;
    std::uint32_t offset;
    Timeline events;
  };
  const std::vector<Case> cases{
      // Same format, starting where the previous one ends: the format end and start cancel, and
      // the paired teardown at the source end gives way to the new source.
      {1,
       40,
       {{5, K::PairedSource},
        {15, K::Format},
        {17, K::PairedPointer},
        {45, K::PairedSource},
        {57, K::PairedPointer},
        {85, K::PairedTeardown},
        {95, K::Format}}},
      // Another format cannot start on the cycle the previous one ends, nor select its source
      // where the previous teardown stays.
      {2,
       41,
       {{5, K::PairedSource},
        {15, K::Format},
        {17, K::PairedPointer},
        {45, K::PairedTeardown},
        {46, K::PairedSource},
        {55, K::Format},
        {56, K::Format},
        {58, K::PairedPointer},
        {86, K::PairedTeardown},
        {96, K::Format}}},
  };
  for (const Case& c : cases) {
    PhaseProgramBuilder builder(8);
    EXPECT_EQ(place(builder, 1, 4, single(sender_row(40), paired_row(5, 15, 40, 1)), 40), 0u);
    EXPECT_EQ(place(builder, 2, 4, single(sender_row(40), paired_row(5, 15, 40, c.format)), 40),
              c.offset)
        << "format " << c.format;
    const TileProgramSchedule& tile = builder.tiles()[4];
    EXPECT_EQ(timeline(tile), c.events) << "format " << c.format;
    ASSERT_TRUE(tile.incoming);
    EXPECT_TRUE(tile.incoming->paired_format);
    EXPECT_EQ(tile.incoming->format_value, c.format);
    EXPECT_EQ(tile.incoming->format_end, c.offset + 55);
    EXPECT_TRUE(builder.finish()) << "format " << c.format;
  }
}

TEST(BuilderReceive, OffsetWaitsForTheTilesPreviousReceive) {
  struct Case {
    const char* name;
    Row first;
    Row second;
    std::uint32_t offset;
  };
  const std::vector<Case> cases{
      // The new source starts where the previous one is released.
      {"source end", ordinary_row(5, 10, 0x100), ordinary_row(5, 40, 0x200), 20},
      // The new pointer waits for the last word of the previous receive.
      {"payload end", ordinary_row(5, 100, 0x100), ordinary_row(5, 10, 0x200), 110},
      // A paired format starts only after an ordinary receive has written its last word.
      {"paired start", ordinary_row(5, 60, 0x100), paired_row(std::nullopt, 10, 30, 1), 70},
  };
  for (const Case& c : cases) {
    PhaseProgramBuilder builder(8);
    EXPECT_EQ(place(builder, 1, 4, single(sender_row(20), c.first), 20), 0u);
    EXPECT_EQ(place(builder, 2, 4, single(sender_row(30), c.second), 30), c.offset) << c.name;
    EXPECT_TRUE(builder.finish()) << c.name;
  }
}

TEST(BuilderReceive, NewEventsFollowTheExistingEventsOfTheirCycle) {
  PhaseProgramBuilder builder(8);
  EXPECT_EQ(place(builder, 1, 4, single(sender_row(20), ordinary_row(5, 30, 0x100)), 20), 0u);
  // The next source lands on the previous pointer's cycle, the two form one PicPair.
  EXPECT_EQ(place(builder, 2, 4, single(sender_row(20), ordinary_row(5, 25, 0x200)), 20), 25u);
  EXPECT_EQ(timeline(builder.tiles()[4]), (Timeline{{5, K::Source},
                                                    {25, K::Teardown},
                                                    {30, K::Pointer},
                                                    {30, K::Source},
                                                    {50, K::Pointer},
                                                    {50, K::Teardown}}));
  EXPECT_TRUE(builder.finish());
}

TEST(BuilderReceive, ControlsSkipEveryOffsetThatPutsOneOnOrJustAfterASendStart) {
  // Tile 5 sends from cycle 30. The receive into it has controls at K + 5, K + 8 and K + 25 (the
  // teardown at the source end), so offsets 5, 6, 22, 23, 25 and 26 are out.
  PhaseProgramBuilder builder(8);
  ASSERT_TRUE(builder.append_transfer_at(
      5, {}, one(6), single(sender_row(10, 30), ordinary_row(40, 45, 0)), 0, 10));
  const TransferRows in = single(sender_row(20), ordinary_row(5, 8, 0x100));
  const auto clashes = [](std::uint32_t k) {
    for (const std::uint32_t cycle : {k + 5, k + 8, k + 25}) {
      if (cycle == 30 || cycle == 31) return true;
    }
    return false;
  };
  for (std::uint32_t bound = 0; bound <= 40; ++bound) {
    std::uint32_t expected = bound;
    while (clashes(expected)) ++expected;
    EXPECT_EQ(builder.earliest_transfer_offset_deferred(3, {}, one(5), in, 20, bound), expected)
        << "bound " << bound;
  }
}

TEST(BuilderSearch, PartnerMustHaveFinishedItsSends) {
  PhaseProgramBuilder builder(8);
  ASSERT_TRUE(builder.append_transfer_at(1, {}, one(6),
                                         single(sender_row(30), ordinary_row(5, 8, 0)), 0, 30));
  const TransferRows rows = single(sender_row(10), ordinary_row(5, 8, 0x100));
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(0, one(1), one(4), rows, 10, 0), 30u);
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(0, {}, one(4), rows, 10, 0), 0u);
}

TEST(BuilderSearch, SenderRowInsertedBeforeLaterRowsMarksTheEncodingDirtyFromThere) {
  struct Case {
    std::uint32_t bound;
    std::uint32_t offset;
    std::uint64_t rows_clean;
  };
  for (const Case c : {Case{0, 0, 0}, Case{200, 200, 1}}) {
    PhaseProgramBuilder builder(8);
    ASSERT_TRUE(builder.append_transfer_at(
        0, {}, one(6), single(sender_row(30, 100), ordinary_row(150, 155, 0)), 0, 30));
    ASSERT_TRUE(builder.tiles()[0].encoded());
    const TransferRows rows = single(sender_row(20), ordinary_row(5, 8, 0x100));
    EXPECT_EQ(builder.earliest_transfer_offset(0, {}, one(7), rows, 20, c.bound), c.offset);
    ASSERT_TRUE(builder.staged());
    const TileProgramSchedule& sender = builder.staged()->tiles.front().second;
    ASSERT_TRUE(sender.base);
    EXPECT_EQ(sender.base->rows_clean, c.rows_clean) << "bound " << c.bound;
  }
}

TEST(BuilderSearch, ValidatedOffsetMovesOnWhenTheEncoderCannotAlignAPicPair) {
  // Tile 4 holds three controls (an odd word count) ending with the teardown at 25. The next
  // receive selects its source and pointer in one cycle; at the deferred offset that cycle is 26,
  // straight after the teardown, where the PicPair would start at an odd word index.
  const TransferRows first = single(sender_row(20), ordinary_row(5, 6, 0x100));
  const TransferRows pair = single(
      sender_row(20), receiver_row({xpic(1, kSelect), pic(1, 0x200), xpic(2, kTeardownSelect)}));

  PhaseProgramBuilder builder = PhaseProgramBuilder(8).with_validation_budget(100);
  EXPECT_EQ(place(builder, 1, 4, first, 20), 0u);
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(2, {}, one(4), pair, 20, 0), 25u);

  PhaseProgramBuilder deferred = builder;
  ASSERT_TRUE(deferred.append_transfer_at(2, {}, one(4), pair, 25, 20));
  const auto misaligned = deferred.tiles()[4].encoded();
  ASSERT_FALSE(misaligned);
  EXPECT_TRUE(misaligned.error().is_schedule("SENDPICP instruction alignment"));

  EXPECT_EQ(builder.earliest_transfer_offset(2, {}, one(4), pair, 20, 0), 26u);
  // Both validations were paid for: (0 + 0 + 1) for the sender, (0 + 3 + 1) for tile 4.
  EXPECT_EQ(builder.validation_budget(), 90u);
  ASSERT_TRUE(builder.append_transfer_at(2, {}, one(4), pair, 26, 20));
  EXPECT_TRUE(builder.finish());

  // A budget that pays for the failed validation only: the retry is refused, the rest is kept.
  PhaseProgramBuilder tight = PhaseProgramBuilder(8).with_validation_budget(9);
  EXPECT_EQ(place(tight, 1, 4, first, 20), 0u);
  EXPECT_EQ(tight.earliest_transfer_offset(2, {}, one(4), pair, 20, 0).error(),
            ExchangeError::validation_budget_exceeded());
  EXPECT_EQ(tight.validation_budget(), 4u);
}

TEST(BuilderPlacement, AppendAtAClashingOffsetFailsAndLeavesTheBuilderAsItWas) {
  const auto overflow = ExchangeError::schedule("receive address overflow");
  const auto outgoing = ExchangeError::schedule("overlapping outgoing messages");
  const auto initial = ExchangeError::schedule("unencodable initial send control");
  const auto streams = ExchangeError::schedule("overlapping receive streams");
  struct Case {
    const char* name;
    // Placed first (at offset `first_offset`): sender 0 to receiver 4.
    Row first_sender;
    Row first_receiver;
    std::uint32_t first_offset;
    // Then appended at `offset`, from sender `sender` to receiver `receiver`.
    std::uint16_t sender;
    std::uint16_t receiver;
    Row second_receiver;
    std::uint32_t offset;
    std::uint32_t count;
    std::optional<ExchangeError> error;
  };
  const Row plain = ordinary_row(5, 10, 0x100);
  const std::vector<Case> cases{
      // Tile 0 sends [0, 20): a second send may start at 20 at the earliest.
      {"send inside the placed one", sender_row(20), plain, 0, 0, 5, plain, 10, 20, outgoing},
      {"send after the placed one", sender_row(20), plain, 0, 0, 5, plain, 20, 20, std::nullopt},
      // Tile 0 sends [50, 70): a 20-word send ends by 50 at the latest.
      {"send into the placed one", sender_row(20), plain, 50, 0, 5, plain, 31, 20, outgoing},
      {"send before the placed one", sender_row(20), plain, 50, 0, 5, plain, 30, 20, std::nullopt},
      // Tile 4 receives controls at 5, 10 and 25: its own send may not start on one of them or
      // on the cycle before one.
      {"send starting on a control", sender_row(20), plain, 0, 4, 5, plain, 10, 20, initial},
      {"send starting before a control", sender_row(20), plain, 0, 4, 5, plain, 24, 20, initial},
      {"send starting two before a control", sender_row(20), plain, 0, 4, 5, plain, 23, 20,
       std::nullopt},
      // Tile 4's source is released at 25 and its last word written at 30.
      {"source too early", sender_row(20), plain, 0, 1, 4, plain, 19, 20, streams},
      {"pointer too early", sender_row(20), plain, 0, 1, 4, ordinary_row(5, 8, 0x200), 21, 20,
       streams},
      {"right behind", sender_row(20), plain, 0, 1, 4, ordinary_row(5, 8, 0x200), 22, 20,
       std::nullopt},
      // The received data must end within the 32-bit address space (8 bytes a word if paired).
      {"ordinary address end", sender_row(20), plain, 0, 1, 6, plain, 0, 0x40000000, overflow},
      {"ordinary address end fits", sender_row(20), plain, 0, 1, 6, plain, 0, 0x3ffffe00,
       std::nullopt},
      {"paired address end", sender_row(20), plain, 0, 1, 6, paired_row(5, 15, 40, 1), 0,
       0x20000000, overflow},
      // The address is checked before the streams.
      {"address before streams", sender_row(20), plain, 0, 1, 4, plain, 0, 0x40000000, overflow},
  };
  for (const Case& c : cases) {
    PhaseProgramBuilder builder(8);
    ASSERT_TRUE(builder.append_transfer_at(0, {}, one(4), single(c.first_sender, c.first_receiver),
                                           c.first_offset, 20))
        << c.name;
    // A staged placement of something else is consumed by the append either way.
    const TransferRows other = single(sender_row(20), ordinary_row(5, 10, 0x100));
    ASSERT_TRUE(builder.earliest_transfer_offset(7, {}, one(3), other, 20, 0)) << c.name;
    const PhaseProgramBuilder before = builder;
    auto result =
        builder.append_transfer_at(c.sender, {}, one(c.receiver),
                                   single(sender_row(20), c.second_receiver), c.offset, c.count);
    EXPECT_FALSE(builder.staged()) << c.name;
    if (!c.error) {
      EXPECT_TRUE(result) << c.name << ": " << result.error().display();
      continue;
    }
    ASSERT_FALSE(result) << c.name;
    EXPECT_EQ(result.error(), *c.error) << c.name << ": " << result.error().display();
    for (std::size_t t = 0; t < 8; ++t) {
      EXPECT_EQ(timeline(builder.tiles()[t]), timeline(before.tiles()[t])) << c.name;
      EXPECT_EQ(builder.tiles()[t].sender_rows, before.tiles()[t].sender_rows) << c.name;
      EXPECT_EQ(builder.tiles()[t].horizon, before.tiles()[t].horizon) << c.name;
      EXPECT_EQ(builder.tiles()[t].incoming, before.tiles()[t].incoming) << c.name;
    }
  }
}

TEST(BuilderPlacement, StagedTransferIsDroppedWhenTheNextValidationFailsButNotWhenItIsRefused) {
  const TransferRows staged = single(sender_row(20), ordinary_row(5, 10, 0x100));
  const TransferRows twice{{ordinary_row(5, 10, 0x100), ordinary_row(5, 10, 0x200)},
                           sender_row(20)};
  const std::vector<std::uint16_t> repeated{5, 5};

  // The first validation costs 1 + 1 and leaves 3: enough for a sender with two receivers, not
  // for one with three.
  PhaseProgramBuilder builder = PhaseProgramBuilder(8).with_validation_budget(5);
  ASSERT_TRUE(builder.earliest_transfer_offset(0, {}, one(4), staged, 20, 0));
  ASSERT_TRUE(builder.staged());
  // Refused for want of budget: the staged placement stays.
  PhaseProgramBuilder poor = builder;
  const std::vector<std::uint16_t> three{5, 6, 3};
  const TransferRows wide{{ordinary_row(5, 10, 0), ordinary_row(5, 10, 0), ordinary_row(5, 10, 0)},
                          sender_row(20)};
  EXPECT_EQ(poor.earliest_transfer_offset(1, {}, three, wide, 20, 0).error(),
            ExchangeError::validation_budget_exceeded());
  EXPECT_TRUE(poor.staged());
  // Validated and failed: nothing stays staged.
  EXPECT_EQ(builder.earliest_transfer_offset(1, {}, repeated, twice, 20, 0).error(),
            ExchangeError::duplicate_tile());
  EXPECT_FALSE(builder.staged());
}

// ---- random transfer sequences ------------------------------------------------------------------

struct RandomTransfer {
  std::uint16_t sender = 0;
  std::vector<std::uint16_t> partners;
  std::vector<std::uint16_t> receivers;
  TransferRows rows;
  std::uint32_t count = 0;
};

// Builds a point-to-point, multicast or paired transfer the topology accepts.
std::optional<RandomTransfer> random_transfer(const Topology& topology, std::mt19937& rng) {
  const auto n = static_cast<std::uint16_t>(topology.len());
  auto tile = [&] { return static_cast<std::uint16_t>(rng() % n); };
  auto words = [&](std::uint32_t low) {
    switch (rng() % 4) {
      case 0:
        return low + rng() % 16;
      case 1:
        return low + rng() % 80;
      case 2:
        return low + rng() % 400;
      default:
        return low + rng() % 4100 > 4148 ? 4148 : low + rng() % 4100;
    }
  };
  RandomTransfer t;
  t.sender = tile();
  switch (rng() % 3) {
    case 0: {
      const std::uint16_t receiver = tile();
      if (receiver == t.sender) return std::nullopt;
      t.count = 1 + words(0);
      t.receivers = {receiver};
      t.rows = point_rows(topology, t.sender, receiver, t.count);
      return t;
    }
    case 1: {
      const std::size_t k = 1 + rng() % 4;
      while (t.receivers.size() < k) {
        const std::uint16_t r = tile();
        if (r != t.sender &&
            std::find(t.receivers.begin(), t.receivers.end(), r) == t.receivers.end()) {
          t.receivers.push_back(r);
        }
      }
      t.count = 1 + words(0);
      auto rows = topology.multicast(t.sender, t.receivers, t.count, 0);
      if (!rows) return std::nullopt;
      t.rows = *rows;
      return t;
    }
    default: {
      const std::uint16_t partner = t.sender ^ 1;
      const std::size_t pairs = 1 + rng() % 2;
      while (t.receivers.size() < 2 * pairs) {
        const std::uint16_t r = tile() & ~1u;
        if (r == (t.sender & ~1u) ||
            std::find(t.receivers.begin(), t.receivers.end(), r) != t.receivers.end()) {
          continue;
        }
        t.receivers.push_back(r);
        t.receivers.push_back(r + 1);
      }
      t.count = 64 + (words(0) & ~1u);
      if (t.count > 4148) t.count = 4148;
      auto rows = topology.paired_multicast(t.sender, t.receivers, t.count);
      if (!rows) return std::nullopt;
      t.partners = {partner};
      t.rows = *rows;
      return t;
    }
  }
}

// Every tile's incremental encoding (resumed from bases along the way) equals a fresh encoding.
void expect_incremental_encodings_match_fresh(const PhaseProgramBuilder& builder) {
  for (std::size_t t = 0; t < builder.tiles().size(); ++t) {
    const auto& tile = builder.tiles()[t];
    if (tile.horizon == 0) continue;
    auto incremental = tile.encoded();
    auto fresh = encoding::build_scheduled_program(tile.sender_rows, tile.receive_events,
                                                   tile.horizon, std::nullopt);
    ASSERT_EQ(incremental.has_value(), fresh.has_value()) << "tile " << t;
    if (!fresh) continue;
    EXPECT_EQ((*incremental)->words.range(0, (*incremental)->words.len()),
              fresh->words.range(0, fresh->words.len()))
        << "tile " << t;
  }
}

TEST(BuilderProperty, ValidatedPlacementsFinishAndEveryProgramChecks) {
  const Topology topology = small_card(24);
  for (std::uint32_t seed = 1; seed <= 12; ++seed) {
    std::mt19937 rng(seed);
    PhaseProgramBuilder builder(24);
    int placed = 0;
    for (int i = 0; i < 60; ++i) {
      auto t = random_transfer(topology, rng);
      if (!t) continue;
      const std::uint32_t bound = rng() % 3 == 0 ? rng() % 2000 : 0;
      const PhaseProgramBuilder before = builder;
      auto deferred = builder.earliest_transfer_offset_deferred(
          t->sender, t->partners, t->receivers, t->rows, t->count, bound);
      auto k = builder.earliest_transfer_offset(t->sender, t->partners, t->receivers, t->rows,
                                                t->count, bound);
      ASSERT_EQ(k.has_value(), deferred.has_value()) << "seed " << seed << " transfer " << i;
      if (!k) {
        // A failed search leaves the tiles unchanged.
        for (std::size_t tile = 0; tile < 24; ++tile) {
          EXPECT_EQ(builder.tiles()[tile].horizon, before.tiles()[tile].horizon);
        }
        continue;
      }
      ASSERT_GE(*k, bound);
      // The two searches agree unless the encoder could not align a SENDPICP at the deferred
      // offset, in which case the validating search moved on.
      ASSERT_GE(*k, *deferred);
      if (*k != *deferred) {
        PhaseProgramBuilder probe = before;
        ASSERT_TRUE(probe.append_transfer_at(t->sender, t->partners, t->receivers, t->rows,
                                             *deferred, t->count));
        bool misaligned = false;
        for (const auto& tile : probe.tiles()) {
          if (tile.horizon == 0) continue;
          auto enc = tile.encoded();
          if (!enc) {
            EXPECT_TRUE(enc.error().is_schedule("SENDPICP instruction alignment"))
                << enc.error().display();
            misaligned = true;
          }
        }
        EXPECT_TRUE(misaligned) << "seed " << seed << " transfer " << i;
      }
      auto timing =
          builder.append_transfer_at(t->sender, t->partners, t->receivers, t->rows, *k, t->count);
      ASSERT_TRUE(timing) << timing.error().display();
      EXPECT_EQ(timing->receiver_pointers.size(), t->receivers.size());
      ++placed;
    }
    EXPECT_GT(placed, 20) << "seed " << seed;
    auto programs = builder.finish();
    ASSERT_TRUE(programs) << "seed " << seed << ": " << programs.error().display();
    for (std::size_t tile = 0; tile < 24; ++tile) {
      if (!programs->programs[tile]) continue;
      const auto& schedule = builder.tiles()[tile];
      EXPECT_TRUE(diagnostic::validate_tile_program(
          static_cast<std::uint16_t>(tile), schedule.horizon, schedule.sender_rows,
          schedule.receive_events, *programs->programs[tile]));
    }
    expect_incremental_encodings_match_fresh(builder);
  }
}

TEST(BuilderProperty, DeferredPlacementsEncodeIncrementallyLikeFreshEncodings) {
  const Topology topology = small_card(32);
  for (std::uint32_t seed = 100; seed < 110; ++seed) {
    std::mt19937 rng(seed);
    PhaseProgramBuilder builder(32);
    for (int i = 0; i < 80; ++i) {
      auto t = random_transfer(topology, rng);
      if (!t) continue;
      auto k = builder.earliest_transfer_offset_deferred(t->sender, t->partners, t->receivers,
                                                         t->rows, t->count, 0);
      if (!k) continue;
      ASSERT_TRUE(
          builder.append_transfer_at(t->sender, t->partners, t->receivers, t->rows, *k, t->count));
      // Encode now and then, so later encodings resume from bases.
      if (rng() % 3 == 0) {
        for (const auto& tile : builder.tiles()) {
          if (tile.horizon != 0) (void)tile.encoded();
        }
      }
    }
    expect_incremental_encodings_match_fresh(builder);
  }
}

}  // namespace
}  // namespace kro_exchange
