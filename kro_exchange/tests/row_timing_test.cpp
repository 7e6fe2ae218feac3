#include "kro_exchange/row_timing.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "kro_exchange/program_records.hpp"
#include "kro_exchange/words.hpp"

namespace kro_exchange {
namespace {

using K = ReceiveEventKind;
namespace w = words;

Row row_of(std::initializer_list<std::uint32_t> items) {
  Row row{};
  std::size_t i = 0;
  for (const std::uint32_t word : items) row.at(i++) = word;
  return row;
}

// The stream's value of an event's control word (without the advance field).
std::uint32_t control_value(const ReceiveEvent& e) {
  return is_xpic_kind(e.kind) ? w::xpic_value(e.control) : w::pic_value(e.control);
}

std::vector<ReceiveEvent> events_of(const ReceiveEventList& list) {
  return {list.begin(), list.end()};
}

// The multicast receiver row for fewer than 52 words: source selection, teardown after the
// payload, pointer placeholder, then a Delay.
Row multicast_receiver_row(std::uint32_t sender, std::uint32_t arrival, std::uint32_t count,
                           std::uint32_t receiver_row) {
  return row_of({w::kSync3, w::xpic_control(sender, arrival), w::xpic_control(0x640, count - 1),
                 w::pic_control(0x14000, 2 * receiver_row - count + 52 - 1), w::delay(count + 5),
                 w::kReturn});
}

TEST(SenderRowTiming, PayloadAndHorizonOfATypicalRow) {
  const Row row = row_of(
      {w::kSync3, w::delay(10), w::explicit_send(64, 0, 1), w::offset_send(36, 0, 1), w::kReturn});
  EXPECT_EQ(sender_row_timing(row, 5), (SenderRowTiming{15, 115, 115}));
  // A trailing Delay extends the horizon, not the payload.
  const Row padded = row_of({w::kSync3, w::explicit_send(1, 0, 1), w::delay(5), w::kReturn});
  EXPECT_EQ(sender_row_timing(padded, 0), (SenderRowTiming{0, 1, 6}));
}

TEST(SenderRowTiming, APicPairSecondWordIsNotAnInstruction) {
  // The second word reads like an Explicit send of 64 words; it belongs to the PicPair.
  const auto pair = w::picpair_send(3, 0, 0, 0, 0);
  const Row row = row_of({w::kSync3, pair[0], 0x7fe00000, w::explicit_send(4, 0, 1), w::kReturn});
  EXPECT_EQ(sender_row_timing(row, 0), (SenderRowTiming{3, 7, 7}));
}

TEST(SenderRowTiming, RejectsMalformedRows) {
  struct Case {
    Row row;
    std::uint32_t base;
    std::string_view message;
  };
  const Case cases[] = {
      {row_of({w::kSync3, w::kReturn, w::explicit_send(4, 0, 1)}), 0, "sender payload"},
      {row_of({w::kSync3, w::delay(3), w::kReturn}), 0, "sender payload"},
      {row_of({w::kSync3, w::explicit_send(4, 0, 1)}), 0, "sender row return"},
      {row_of({0x41800002, w::explicit_send(4, 0, 1), w::kReturn}), 0, "sender row entry"},
      {row_of({w::kSync3, w::explicit_send(4, 0, 1), w::kReturn}), 0xfffffffd,
       "sender event horizon overflow"},
  };
  for (const Case& c : cases) {
    const auto r = sender_row_timing(c.row, c.base);
    ASSERT_FALSE(r) << c.message;
    EXPECT_TRUE(r.error().is_schedule(c.message)) << r.error().display() << " / " << c.message;
  }
}

TEST(ReceiveRowTiming, MulticastRowForTenWordsHasThreeOrdinaryEvents) {
  const std::uint32_t a = 20, row_q = 5;
  const Row row = multicast_receiver_row(0x123, a, 10, row_q);
  const auto t = receive_row_timing(row, 0);
  ASSERT_TRUE(t) << t.error().display();
  const std::vector<ReceiveEvent> expected = {
      {a + 1, row[1], K::Source},
      {a + 11, row[2], K::Teardown},
      {a + 53 + 2 * row_q, row[3], K::Pointer},
  };
  EXPECT_EQ(events_of(t->events), expected);
  EXPECT_EQ(t->source, a + 1);
  EXPECT_EQ(t->teardown, a + 11);
  EXPECT_EQ(t->pointer, a + 53 + 2 * row_q);
  EXPECT_EQ(t->address, 0x50000u);
  EXPECT_EQ(t->paired_start, std::nullopt);
  EXPECT_EQ(t->paired_end, std::nullopt);
  EXPECT_EQ(t->horizon, a + 53 + 2 * row_q + 15);
  EXPECT_FALSE(t->paired);

  // A base shifts every cycle.
  const auto shifted = receive_row_timing(row, 1000);
  ASSERT_TRUE(shifted);
  EXPECT_EQ(shifted->source, a + 1001);
  EXPECT_EQ(shifted->horizon, t->horizon + 1000);
}

// Builds a paired receiver row the way the topology does: the events through the receive-events
// record into nine words after Sync(3).
Row paired_row(std::span<const ReceiveEvent> events) {
  FixedWordBuffer<kRowWords> buffer;
  buffer.push(w::kSync3);
  std::uint32_t cur = 0;
  const auto r =
      append_receive_events_record(buffer, cur, events, events.back().cycle + 7, false, nullptr);
  EXPECT_TRUE(r) << r.error().display();
  buffer.push(w::kReturn);
  EXPECT_FALSE(buffer.overflowed());
  return buffer.words();
}

TEST(ReceiveRowTiming, PairedRowDecodesAsPaired) {
  const std::uint32_t count = 64, a = 30, b = 87;
  const std::vector<ReceiveEvent> built = {
      {a, w::xpic_control(0x2000 | 0x45, 0), K::PairedSource},
      {b, w::pic_control(0x40001, 0), K::Format},
      {b + 2, w::pic_control(0, 0), K::PairedPointer},
      {a + count, w::xpic_control(0x2640, 0), K::PairedTeardown},
      {b + count, w::pic_control(0x40000, 0), K::Format},
  };
  const Row row = paired_row(built);
  const auto t = receive_row_timing(row, 0);
  ASSERT_TRUE(t) << t.error().display();
  ASSERT_EQ(t->events.size(), built.size());
  for (std::size_t i = 0; i < built.size(); ++i) {
    EXPECT_EQ(t->events[i].cycle, built[i].cycle) << i;
    EXPECT_EQ(t->events[i].kind, built[i].kind) << i;
    EXPECT_EQ(w::classify(t->events[i].control), w::classify(built[i].control)) << i;
    EXPECT_EQ(control_value(t->events[i]), control_value(built[i])) << i;
  }
  EXPECT_TRUE(t->paired);
  EXPECT_EQ(t->source, a);
  EXPECT_EQ(t->teardown, a + count);
  EXPECT_EQ(t->paired_start, b);
  EXPECT_EQ(t->paired_end, b + count);
  EXPECT_EQ(t->pointer, b + 2);
  EXPECT_EQ(t->address, 0u);
  EXPECT_EQ(t->horizon, b + count + 7);

  // Without its XPIC controls (the partner's arrival is not later) the row is still paired.
  const std::vector<ReceiveEvent> pic_only = {built[1], built[2], built[4]};
  const auto u = receive_row_timing(paired_row(pic_only), 0);
  ASSERT_TRUE(u) << u.error().display();
  EXPECT_TRUE(u->paired);
  EXPECT_EQ(u->source, std::nullopt);
  EXPECT_EQ(u->events[1].kind, K::PairedPointer);
}

TEST(ReceiveRowTiming, PicPairGivesBothControlsOneCycleAfterItsStart) {
  // PIC value with bit 18 set travels in the first word's bit 27.
  const auto pair = w::picpair_send(4, 0, 0, 0x40002, 0x123);
  const auto end = w::picpair_send(2, 0, 0, 0x40000, 0x640);
  const Row row = row_of({w::kSync3, w::delay(9), pair[0], pair[1], end[0], end[1], w::kReturn});
  const auto t = receive_row_timing(row, 0);
  ASSERT_TRUE(t) << t.error().display();
  const std::vector<ReceiveEvent> expected = {
      {10, 0x64000123, K::Source},
      {10, 0x60040002, K::Format},
      {14, 0x64000640, K::Teardown},
      {14, 0x60040000, K::Format},
  };
  EXPECT_EQ(events_of(t->events), expected);
  EXPECT_EQ(t->paired_start, 10u);
  EXPECT_EQ(t->paired_end, 14u);
  EXPECT_EQ(t->horizon, 15u);
}

TEST(ReceiveRowTiming, RejectsMalformedRows) {
  const std::uint32_t src = w::xpic_control(0x12, 0), td = w::xpic_control(0x640, 0);
  const std::uint32_t ptr = w::pic_control(0x100, 0);
  const std::uint32_t start = w::pic_control(0x40001, 0), end = w::pic_control(0x40000, 0);
  const auto late_pair = w::picpair_send(1, 0, 0, 0, 0x12);
  struct Case {
    Row row;
    std::uint32_t base;
    std::string_view message;
  };
  const Case cases[] = {
      {row_of({w::kSync3 + 1, src, td, ptr, w::kReturn}), 0, "receive row entry"},
      {row_of({w::kSync3, src, td, ptr}), 0, "receive row return"},
      {row_of({w::kSync3, w::delay(0x80000), src, w::kReturn}), 0xfff80000,
       "receive event horizon overflow"},
      {row_of({w::kSync3, late_pair[0], late_pair[1], w::kReturn}), 0xffffffff,
       "receive event horizon overflow"},
      {row_of({w::kSync3, src, src, td, ptr, w::kReturn}), 0, "multiple receive sources"},
      {row_of({w::kSync3, src, td, ptr, td, w::kReturn}), 0, "multiple receive teardowns"},
      {row_of({w::kSync3, src, ptr, td, ptr, w::kReturn}), 0, "multiple receive pointers"},
      {row_of({w::kSync3, start, start, ptr, end, w::kReturn}), 0, "multiple paired format starts"},
      {row_of({w::kSync3, start, ptr, end, end, w::kReturn}), 0, "multiple paired format ends"},
      {row_of({w::kSync3, w::pic_control(0x40003, 0), ptr, w::kReturn}), 0,
       "paired receive format value"},
      {row_of({w::kSync3, td, ptr, w::kReturn}), 0, "incomplete ordinary receive mux"},
      {row_of({w::kSync3, src, ptr, w::kReturn}), 0, "incomplete ordinary receive mux"},
      {row_of({w::kSync3, src, w::xpic_control(0x2640, 0), ptr, w::kReturn}), 0,
       "incomplete paired receive format"},
      {row_of({w::kSync3, start, ptr, w::kReturn}), 0, "incomplete paired receive format"},
  };
  for (const Case& c : cases) {
    const auto r = receive_row_timing(c.row, c.base);
    ASSERT_FALSE(r) << c.message;
    EXPECT_TRUE(r.error().is_schedule(c.message)) << r.error().display() << " / " << c.message;
  }
}

ReceiveRowTiming ordinary_timing(std::uint32_t count = 10) {
  auto t = receive_row_timing(multicast_receiver_row(0x123, 20, count, 5), 0);
  EXPECT_TRUE(t);
  return *t;
}

TEST(ScheduledReceiveWindow, PlacesAnOrdinaryRowAtItsOffset) {
  const auto win = scheduled_receive_window(ordinary_timing(), 100, 10, std::nullopt);
  ASSERT_TRUE(win) << win.error().display();
  EXPECT_EQ(win->source, 121u);
  EXPECT_EQ(win->source_end, 131u);
  EXPECT_EQ(win->pointer, 183u);
  EXPECT_EQ(win->payload_end, 193u);
  EXPECT_EQ(win->horizon, 198u);
  EXPECT_EQ(win->address, 0x50000u);
  EXPECT_FALSE(win->continues_paired_format);
  ASSERT_EQ(win->events.size(), 3u);
  EXPECT_EQ(win->events[0].cycle, 121u);
  EXPECT_EQ(win->events[1].kind, K::Teardown);
  EXPECT_EQ(win->events[1].cycle, 131u);
  EXPECT_EQ(win->events[2].cycle, 183u);
}

TEST(ScheduledReceiveWindow, TeardownMovesToTheSourceEnd) {
  // The row's teardown follows its own count; the window's count decides.
  const auto win = scheduled_receive_window(ordinary_timing(10), 0, 30, std::nullopt);
  ASSERT_TRUE(win);
  EXPECT_EQ(win->source_end, 51u);
  EXPECT_EQ(win->events[1].kind, K::Teardown);
  EXPECT_EQ(win->events[1].cycle, 51u);
  EXPECT_EQ(win->horizon, 113u);  // the payload end passes the row's own horizon (98)
}

TEST(ScheduledReceiveWindow, ContinuedPointerIsDropped) {
  const ReceiveRowTiming t = ordinary_timing();
  IncomingState state;
  state.address_end = 0x50000;
  state.source_end = 50;
  state.payload_end = 60;
  const auto win = scheduled_receive_window(t, 100, 10, state);
  ASSERT_TRUE(win);
  ASSERT_EQ(win->events.size(), 2u);
  EXPECT_EQ(win->events[0].kind, K::Source);
  EXPECT_EQ(win->events[1].kind, K::Teardown);
  EXPECT_EQ(win->pointer, 183u);
  EXPECT_EQ(win->payload_end, 193u);

  // Another address, a paired previous receive, or an address only on one side keep the pointer.
  IncomingState elsewhere = state;
  elsewhere.address_end = 0x50004;
  IncomingState paired = state;
  paired.paired = true;
  IncomingState no_address = state;
  no_address.address_end.reset();
  for (const IncomingState& s : {elsewhere, paired, no_address}) {
    const auto kept = scheduled_receive_window(t, 100, 10, s);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->events.size(), 3u);
  }
  // Neither side having an address continues too.
  ReceiveRowTiming no_row_address = t;
  no_row_address.address.reset();
  const auto cont = scheduled_receive_window(no_row_address, 100, 10, no_address);
  ASSERT_TRUE(cont);
  EXPECT_EQ(cont->events.size(), 2u);
  EXPECT_EQ(cont->address, std::nullopt);
}

TEST(ScheduledReceiveWindow, ContinuedPairedFormatDropsItsStart) {
  const std::uint32_t count = 64;
  const std::vector<ReceiveEvent> built = {
      {87, w::pic_control(0x40001, 0), K::Format},
      {89, w::pic_control(0, 0), K::PairedPointer},
      {87 + count, w::pic_control(0x40000, 0), K::Format},
  };
  const auto t = receive_row_timing(paired_row(built), 0);
  ASSERT_TRUE(t);
  const IncomingState same{.paired_format = true,
                           .format_value = 1,
                           .format_end = 187,
                           .address_end = std::nullopt,
                           .source_end = 150,
                           .payload_end = 160,
                           .paired = true};
  const auto win = scheduled_receive_window(*t, 100, count, same);
  ASSERT_TRUE(win) << win.error().display();
  EXPECT_TRUE(win->continues_paired_format);
  ASSERT_EQ(win->events.size(), 2u);
  EXPECT_EQ(win->events[0].kind, K::PairedPointer);
  EXPECT_EQ(win->events[1].cycle, 251u);
  EXPECT_EQ(win->source, 187u);  // the paired start stands in for the source
  EXPECT_EQ(win->source_end, 251u);

  IncomingState other_value = same;
  other_value.format_value = 2;
  IncomingState other_end = same;
  other_end.format_end = 186;
  IncomingState not_paired = same;
  not_paired.paired_format = false;
  for (const IncomingState& s : {other_value, other_end, not_paired}) {
    const auto kept = scheduled_receive_window(*t, 100, count, s);
    ASSERT_TRUE(kept);
    EXPECT_FALSE(kept->continues_paired_format);
    EXPECT_EQ(kept->events.size(), 3u);
  }
}

TEST(ScheduledReceiveWindow, SimultaneousControls) {
  // With 62 words the teardown lands on the pointer's cycle: an allowed pair.
  ReceiveRowTiming t = ordinary_timing();
  const auto pair = scheduled_receive_window(t, 0, 62, std::nullopt);
  ASSERT_TRUE(pair) << pair.error().display();
  ASSERT_EQ(pair->events.size(), 3u);
  EXPECT_EQ(pair->events[1].cycle, 83u);
  EXPECT_EQ(pair->events[1].kind, K::Teardown);  // stable: row order within the cycle
  EXPECT_EQ(pair->events[2].cycle, 83u);
  EXPECT_EQ(pair->events[2].kind, K::Pointer);

  // Two pointers or two sources in one cycle, and three events, are rejected.
  ReceiveRowTiming two_pointers = t;
  two_pointers.events.push_back(t.events[2]);
  ReceiveRowTiming two_sources = t;
  two_sources.events[1].cycle = t.events[0].cycle;
  two_sources.events[1].kind = K::Source;
  ReceiveRowTiming three = t;
  three.events.push_back({t.events[2].cycle, w::xpic_control(5, 0), K::Source});
  three.events.push_back({t.events[2].cycle, w::xpic_control(5, 0), K::Source});
  for (const ReceiveRowTiming& bad : {two_pointers, two_sources, three}) {
    const auto r = scheduled_receive_window(bad, 0, 10, std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().is_schedule("incompatible simultaneous receive controls"))
        << r.error().display();
  }
}

TEST(ScheduledReceiveWindow, ReportsEveryWrapAndMissingControl) {
  const ReceiveRowTiming t = ordinary_timing();
  ReceiveRowTiming no_source = t;
  no_source.source.reset();
  ReceiveRowTiming no_pointer = t;
  no_pointer.pointer.reset();
  ReceiveRowTiming late_pointer = t;
  late_pointer.pointer = 0xfffffff0;
  struct Case {
    const ReceiveRowTiming* timing;
    std::uint32_t offset;
    std::uint32_t count;
    std::string_view message;
  };
  const Case cases[] = {
      {&t, 0xffffffff, 10, "receive offset overflow"},
      {&t, 0xffffffa0, 10, "receive offset overflow"},  // only the horizon wraps
      {&no_source, 0, 10, "receive source timing"},
      {&t, 0, 0xfffffff0, "receive source timing overflow"},
      {&no_pointer, 0, 10, "receive pointer event"},
      {&late_pointer, 0, 0x10, "receive payload timing overflow"},
  };
  for (const Case& c : cases) {
    const auto r = scheduled_receive_window(*c.timing, c.offset, c.count, std::nullopt);
    ASSERT_FALSE(r) << c.message;
    EXPECT_TRUE(r.error().is_schedule(c.message)) << r.error().display() << " / " << c.message;
  }
}

}  // namespace
}  // namespace kro_exchange
