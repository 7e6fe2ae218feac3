#include "kro_exchange/topology.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <numeric>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "kro_exchange/row_timing.hpp"
#include "kro_exchange/words.hpp"
#include "log_capture.hpp"

namespace kro_exchange {
namespace {

using Words = std::vector<std::uint32_t>;

template <class T>
ExchangeError error_of(const Result<T>& result) {
  EXPECT_FALSE(result.has_value());
  return result ? ExchangeError::host_packet() : result.error();
}

template <std::size_t N>
Words as_words(const std::array<std::uint32_t, N>& row) {
  return Words(row.begin(), row.end());
}

// Cycles a row occupies from its Sync up to its Return.
template <std::size_t N>
std::uint32_t row_cycles(const std::array<std::uint32_t, N>& row) {
  std::uint32_t cycles = 0;
  for (const std::uint32_t word : row) {
    if (word == words::kReturn) break;
    cycles += words::duration(word);
  }
  return cycles;
}

// Send control of the row's Explicit send.
std::uint32_t explicit_control(const Row& row) {
  for (const std::uint32_t word : row) {
    if (words::classify(word) == words::Kind::ExplicitSend) return words::send_control(word);
  }
  ADD_FAILURE() << "no Explicit send";
  return 0;
}

Topology custom(std::vector<std::uint16_t> map) {
  Result<Topology> topology = Topology::create(std::move(map));
  EXPECT_TRUE(topology.has_value());
  return std::move(*topology);
}

const Topology& z310() { return Topology::z310(); }

// ---- tile map -----------------------------------------------------------------------------------

TEST(TopologyMap, Z310MapsTheWorkedExamplesAndIsAPermutation) {
  const std::vector<std::uint16_t> logical = {0, 1, 2, 44, 45, 46, 47, 91, 92, 1470, 1471};
  const std::vector<std::uint16_t> physical = {0, 2, 64, 1408, 1410, 1409, 1411, 3, 4, 61, 63};
  ASSERT_EQ(z310().len(), 1472u);
  for (std::size_t i = 0; i < logical.size(); ++i) {
    EXPECT_EQ(z310().physical(logical[i]), physical[i]) << "logical " << logical[i];
  }
  std::vector<std::uint16_t> sorted(z310().tile_map().begin(), z310().tile_map().end());
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::uint16_t> all(1472);
  std::iota(all.begin(), all.end(), std::uint16_t{0});
  EXPECT_EQ(sorted, all);
}

TEST(TopologyMap, CreateRejectsEmptyAndRepeatedMaps) {
  EXPECT_EQ(error_of(Topology::create({})), ExchangeError::receiver_set());
  EXPECT_EQ(error_of(Topology::create({4, 9, 4})), ExchangeError::receiver_set());
  const Result<Topology> ok = Topology::create({4, 9, 70});
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->physical(2), 70);
}

TEST(TopologyMap, PairedLogicalFindsThePartnerOrFailsWithTile) {
  for (std::uint16_t g = 0; g < 1472; ++g) {
    ASSERT_EQ(z310().paired_logical(g), Result<std::uint16_t>(g ^ 1)) << g;
  }
  EXPECT_EQ(error_of(z310().paired_logical(1472)), ExchangeError::tile(1472));
  // Physical 0's partner is 2, which this map does not hold; 64's partner 66 is logical 2.
  const Topology reduced = custom({0, 64, 66, 1});
  EXPECT_EQ(error_of(reduced.paired_logical(0)), ExchangeError::tile(0));
  EXPECT_EQ(reduced.paired_logical(1), Result<std::uint16_t>(2));
  EXPECT_EQ(reduced.paired_logical(2), Result<std::uint16_t>(1));
  EXPECT_EQ(error_of(reduced.paired_logical(3)), ExchangeError::tile(3));
}

// ---- timing model ------------------------------------------------------------------------------

static_assert(Topology::time_to_mux(0, 2) == -28 && Topology::direction(0, 2) == 1);
static_assert(Topology::time_to_mux(1409, 0) == 19 && Topology::direction(1409, 0) == 2);

TEST(TimingModel, Z310LeadTimesSpanMinus78To112) {
  const auto map = z310().tile_map();
  std::int32_t lowest = INT32_MAX;
  std::int32_t highest = INT32_MIN;
  for (const std::uint16_t s : map) {
    for (const std::uint16_t r : map) {
      if (s == r) continue;
      const std::int32_t lead = Topology::time_to_mux(s, r);
      lowest = std::min(lowest, lead);
      highest = std::max(highest, lead);
      const std::uint8_t direction = Topology::direction(s, r);
      ASSERT_TRUE(direction == 1 || direction == 2) << s << " -> " << r;
    }
  }
  EXPECT_EQ(lowest, -78);
  EXPECT_EQ(highest, 112);
}

// ---- point to point ----------------------------------------------------------------------------

struct PointCase {
  std::uint32_t count;
  Words sender;
  Words receiver;
};

// Logical 0 (physical 0) to logical 2 (physical 64, row 1): lead time -31, direction 1, so the
// send waits 143 cycles.
TEST(PointToPoint, BuildsTheExactRowsAroundTheSendAndTeardownBoundaries) {
  const std::vector<PointCase> cases = {
      {1,
       {0x41800003, 0x40a0008e, 0x78000001, 0x43a00000, 0, 0, 0, 0, 0},
       {0x41800003, 0x641c0000, 0x64000640, 0x61a00000, 0x40a00005, 0x43a00000, 0, 0}},
      {51,
       {0x41800003, 0x40a0008e, 0x7e400001, 0x43a00000, 0, 0, 0, 0, 0},
       {0x41800003, 0x641c0000, 0x640c8640, 0x60100000, 0x40a00037, 0x43a00000, 0, 0}},
      {52,
       {0x41800003, 0x40a0008e, 0x7e600001, 0x43a00000, 0, 0, 0, 0, 0},
       {0x41800003, 0x641c0000, 0x61a80000, 0x64000640, 0x40a00038, 0x43a00000, 0, 0}},
      {53,
       {0x41800003, 0x40a0008e, 0x7e800001, 0x43a00000, 0, 0, 0, 0, 0},
       {0x41800003, 0x641c0000, 0x61a80000, 0x64000640, 0x40a00038, 0x43a00000, 0, 0}},
      {64,
       {0x41800003, 0x40a0008e, 0x7fe00001, 0x43a00000, 0, 0, 0, 0, 0},
       {0x41800003, 0x641c0000, 0x61a80000, 0x6402c640, 0x40a00038, 0x43a00000, 0, 0}},
      {65,
       {0x41800003, 0x40a0008e, 0x7fe00001, 0x70000001, 0x43a00000, 0, 0, 0, 0},
       {0x41800003, 0x641c0000, 0x61a80000, 0x64030640, 0x40a00038, 0x43a00000, 0, 0}},
      {4148,
       {0x41800003, 0x40a0008e, 0x7fe00001, 0x766fc001, 0x43a00000, 0, 0, 0, 0},
       {0x41800003, 0x641c0000, 0x61a80000, 0x67ffc640, 0x40a00038, 0x43a00000, 0, 0}},
  };
  for (const PointCase& c : cases) {
    const Result<PointToPointExchange> exchange = z310().point_to_point(0, 2, c.count);
    ASSERT_TRUE(exchange.has_value()) << c.count;
    EXPECT_EQ(as_words(exchange->sender), c.sender) << c.count;
    EXPECT_EQ(as_words(exchange->receiver.words), c.receiver) << c.count;
    EXPECT_EQ(exchange->receiver.patch_index, 1u);
  }
}

// The send starts at 112 - lead so its first word arrives at cycle 112, and the receiver row
// lasts 170 + 2 * row + count cycles (53 + 2 * row + 170 at 52 words: its teardown cannot be
// shorter than one cycle).
TEST(PointToPoint, SenderAndReceiverTimingHoldForEveryCount) {
  struct Pair {
    std::uint16_t sender;
    std::uint16_t receiver;
  };
  for (const Pair pair : {Pair{0, 2}, Pair{46, 1200}, Pair{780, 0}, Pair{1471, 45}}) {
    const std::uint16_t s = z310().physical(pair.sender);
    const std::uint16_t r = z310().physical(pair.receiver);
    const std::int32_t lead = Topology::time_to_mux(s, r);
    for (std::uint32_t count = 1; count <= kMaximumExchangeWords; ++count) {
      const Result<PointToPointExchange> exchange =
          z310().point_to_point(pair.sender, pair.receiver, count);
      ASSERT_TRUE(exchange.has_value());
      const Result<SenderRowTiming> timing = sender_row_timing(exchange->sender, 0);
      ASSERT_TRUE(timing.has_value());
      ASSERT_EQ(timing->payload_start, static_cast<std::uint32_t>(112 - lead));
      ASSERT_EQ(timing->payload_end, timing->payload_start + count);
      ASSERT_EQ(timing->horizon, std::max(timing->payload_end, 6u));
      const std::uint32_t expected = 170 + 2 * physical_id::row(r) + count + (count == 52);
      ASSERT_EQ(row_cycles(exchange->receiver.words), expected) << count;
    }
  }
}

TEST(PointToPoint, LeadTimeOf112NeedsNoLeadingDelay) {
  // Logical 780 (physical 1440) reaches logical 0 in exactly 112 cycles.
  ASSERT_EQ(Topology::time_to_mux(z310().physical(780), 0), 112);
  const Result<PointToPointExchange> one = z310().point_to_point(780, 0, 1);
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(as_words(one->sender),
            (Words{0x41800003, 0x78000002, 0x40a00004, 0x43a00000, 0, 0, 0, 0, 0}));
  EXPECT_EQ(one->receiver.words[1], 0x641c0000u);
  const Result<PointToPointExchange> six = z310().point_to_point(780, 0, 6);
  ASSERT_TRUE(six.has_value());
  EXPECT_EQ(as_words(six->sender), (Words{0x41800003, 0x78a00002, 0x43a00000, 0, 0, 0, 0, 0, 0}));
}

TEST(PointToPoint, ReportsTheFirstFailingCheck) {
  struct Case {
    std::uint16_t sender;
    std::uint16_t receiver;
    std::uint32_t count;
    ExchangeError error;
  };
  const std::vector<Case> cases = {
      {0, 1, 0, ExchangeError::count(0)},
      {0, 1, 4149, ExchangeError::count(4149)},
      {5, 5, 0, ExchangeError::count(0)},
      {5, 5, 1, ExchangeError::duplicate_tile()},
      {2000, 2000, 1, ExchangeError::duplicate_tile()},
      {2000, 3000, 1, ExchangeError::tile(2000)},
      {1472, 0, 1, ExchangeError::tile(1472)},
      {0, 1472, 1, ExchangeError::tile(1472)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_of(z310().point_to_point(c.sender, c.receiver, c.count)), c.error)
        << c.sender << " " << c.receiver << " " << c.count;
  }
  // Physical 1504 lies beyond the card's rows: it reaches 0 in 114 cycles and 2 in 113.
  const Topology far = custom({1504, 0, 2});
  EXPECT_EQ(error_of(far.point_to_point(0, 1, 1)), ExchangeError::schedule("sender delay"));
  EXPECT_EQ(error_of(far.point_to_point(0, 2, 1)), ExchangeError::schedule("sender delay"));
}

TEST(PointToPoint, FinalizeSelectsTheSourceAndPadsToARow) {
  const Result<PointToPointExchange> exchange = z310().point_to_point(46, 2, 100);
  ASSERT_TRUE(exchange.has_value());
  const Result<PointReceiverWords> finished =
      Topology::finalize_point_receiver(exchange->receiver, 1409);
  ASSERT_TRUE(finished.has_value());
  PointReceiverWords expected = exchange->receiver.words;
  expected[1] = 0x641c0000 | 1409;
  EXPECT_EQ(*finished, expected);
  const Row row = to_row(*finished);
  EXPECT_TRUE(std::equal(finished->begin(), finished->end(), row.begin()));
  EXPECT_EQ(row[8], 0u);
  const Result<ReceiveRowTiming> timing = receive_row_timing(row, 0);
  ASSERT_TRUE(timing.has_value());
  EXPECT_EQ(timing->source, 113u);
  EXPECT_FALSE(timing->paired);

  // Only bits 0-12 are replaced.
  PointReceiverRow patched = exchange->receiver;
  patched.words[1] |= 0x1fff;
  EXPECT_EQ(Topology::finalize_point_receiver(patched, 8191)->at(1), 0x641c0000u | 8191);
  EXPECT_EQ(Topology::finalize_point_receiver(patched, 5)->at(1), 0x641c0000u | 5);

  const ExchangeError patch_error = ExchangeError::schedule("point receiver patch index");
  EXPECT_EQ(error_of(Topology::finalize_point_receiver(exchange->receiver, 8192)), patch_error);
  PointReceiverRow beyond = exchange->receiver;
  beyond.patch_index = 8;
  EXPECT_EQ(error_of(Topology::finalize_point_receiver(beyond, 0)), patch_error);
  beyond.patch_index = 7;
  EXPECT_TRUE(Topology::finalize_point_receiver(beyond, 0).has_value());
}

// ---- multicast ---------------------------------------------------------------------------------

struct MulticastCase {
  std::uint16_t sender;
  std::vector<std::uint16_t> receivers;
  std::uint32_t count;
  std::uint32_t offset;
  Words sender_words;
  std::vector<Words> receiver_words;
};

TEST(Multicast, BuildsTheExactRows) {
  const std::vector<MulticastCase> cases = {
      // Leads -28 and -31: the send starts at 31, arrivals 3 and 0; control 3 for two receivers.
      {0,
       {1, 2},
       100,
       0,
       {0x41800003, 0x40a0001e, 0x7fe00003, 0x74600003, 0x43a00000, 0, 0, 0, 0},
       {{0x41800003, 0x6400c000, 0x61994000, 0x640bc640, 0x40a00038, 0x43a00000, 0, 0, 0},
        {0x41800003, 0x64000000, 0x61a94000, 0x640bc640, 0x40a00038, 0x43a00000, 0, 0, 0}}},
      // One receiver: its direction; held back 7 cycles beyond the lead time.
      {0,
       {2},
       10,
       7,
       {0x41800003, 0x40a00025, 0x79200001, 0x43a00000, 0, 0, 0, 0, 0},
       {{0x41800003, 0x6401c000, 0x64024640, 0x61594000, 0x40a0000e, 0x43a00000, 0, 0, 0}}},
      // Lead time 0 and one word: the sender row is padded to six cycles.
      {4, {736}, 1, 0, {0x41800003, 0x78000001, 0x40a00004, 0x43a00000, 0, 0, 0, 0, 0}, {}},
  };
  for (const MulticastCase& c : cases) {
    const Result<MulticastExchange> exchange =
        z310().multicast(c.sender, c.receivers, c.count, c.offset);
    ASSERT_TRUE(exchange.has_value());
    EXPECT_EQ(as_words(exchange->sender), c.sender_words);
    ASSERT_EQ(exchange->receivers.size(), c.receivers.size());
    for (std::size_t i = 0; i < c.receiver_words.size(); ++i) {
      EXPECT_EQ(as_words(exchange->receivers[i]), c.receiver_words[i]) << i;
    }
  }
}

TEST(Multicast, ChoosesTheSendControlAndAcceptsTheSenderAmongOthers) {
  const std::uint16_t s = z310().physical(46);
  const Result<MulticastExchange> one =
      z310().multicast(46, std::vector<std::uint16_t>{900}, 70, 0);
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(explicit_control(one->sender), Topology::direction(s, z310().physical(900)));
  const Result<MulticastExchange> with_sender =
      z310().multicast(46, std::vector<std::uint16_t>{46, 900}, 70, 0);
  ASSERT_TRUE(with_sender.has_value());
  ASSERT_EQ(with_sender->receivers.size(), 2u);
  // Every payload send of a multi-receiver row uses control 3.
  for (const std::uint32_t word : with_sender->sender) {
    if (words::is_payload_send(words::classify(word))) {
      EXPECT_EQ(words::send_control(word), 3u);
    }
  }
  // Each receiver row selects the sender and decodes as an ordinary receive whose source takes
  // effect when the first word arrives.
  const Result<SenderRowTiming> send = sender_row_timing(with_sender->sender, 0);
  ASSERT_TRUE(send.has_value());
  for (std::size_t i = 0; i < 2; ++i) {
    const Result<ReceiveRowTiming> receive = receive_row_timing(with_sender->receivers[i], 0);
    ASSERT_TRUE(receive.has_value());
    const std::uint16_t q = z310().physical(i == 0 ? 46 : 900);
    EXPECT_EQ(receive->source, send->payload_start + Topology::time_to_mux(s, q) + 1);
    EXPECT_EQ(receive->events[0].control & 0x1fff, s);
    EXPECT_FALSE(receive->paired);
  }
}

TEST(Multicast, ReportsTheFirstFailingCheck) {
  struct Case {
    std::uint16_t sender;
    std::vector<std::uint16_t> receivers;
    std::uint32_t count;
    std::uint32_t offset;
    ExchangeError error;
  };
  const ExchangeError set = ExchangeError::receiver_set();
  const ExchangeError start = ExchangeError::schedule("multicast start cycle");
  const ExchangeError arrival = ExchangeError::schedule("multicast receive cycle");
  const std::vector<Case> cases = {
      {2000, {}, 0, 0, ExchangeError::count(0)},
      {0, {1}, 4149, 0, ExchangeError::count(4149)},
      {2000, {}, 1, 0, ExchangeError::tile(2000)},
      {0, {}, 1, 0, set},
      {0, {0}, 1, 0, set},
      {0, {1, 2, 1}, 1, 0, set},
      {0, {1, 1472}, 1, 0, set},
      {0, {1472}, 1, 0, set},
      // Logical 2 is reached 31 cycles before the send starts: the start absorbs that.
      {0, {2}, 1, 4065, start},
      {0, {2}, 1, 0xffffffff, start},
      // Logical 780 reaches logical 0 in 112 cycles.
      {780, {0}, 1, 3984, arrival},
      {780, {1, 0}, 1, 3984, arrival},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_of(z310().multicast(c.sender, c.receivers, c.count, c.offset)), c.error)
        << c.error.debug();
  }
  EXPECT_TRUE(z310().multicast(0, std::vector<std::uint16_t>{2}, 1, 4064).has_value());
  EXPECT_TRUE(z310().multicast(780, std::vector<std::uint16_t>{0}, 1, 3983).has_value());
}

// ---- paired ------------------------------------------------------------------------------------

TEST(PairedMulticast, BuildsPairedRowsWithTheDirectionalPairControl) {
  const std::vector<std::uint16_t> receivers = {2, 3};
  const Result<MulticastExchange> exchange = z310().paired_multicast(0, receivers, 100);
  ASSERT_TRUE(exchange.has_value());
  // The ordinary multicast start (31 cycles), with control 1 + 4.
  EXPECT_EQ(as_words(exchange->sender),
            (Words{0x41800003, 0x40a0001e, 0x7fe00005, 0x74600005, 0x43a00000, 0, 0, 0, 0}));
  ASSERT_EQ(exchange->receivers.size(), 2u);
  // Physical 64 is reached one cycle before its partner 66, so it selects the source itself.
  EXPECT_EQ(as_words(exchange->receivers[0]),
            (Words{0x41800003, 0x64002000, 0x61a40001, 0x60080000, 0x640b2640, 0x61a40000,
                   0x40a00006, 0x43a00000, 0}));
  EXPECT_EQ(as_words(exchange->receivers[1]), (Words{0x41800003, 0x61ac0001, 0x60080000, 0x630c0000,
                                                     0x40a00006, 0x43a00000, 0, 0, 0}));

  const Result<MulticastExchange> four =
      z310().paired_multicast(0, std::vector<std::uint16_t>{2, 3, 4, 5}, 100);
  ASSERT_TRUE(four.has_value());
  EXPECT_EQ(words::send_control(four->sender[2]), 7u);
  EXPECT_EQ(words::send_control(four->sender[3]), 7u);
  EXPECT_EQ(as_words(four->receivers[0]),
            (Words{0x41800003, 0x6400a000, 0x61a40001, 0x60080000, 0x640b2640, 0x61a40000,
                   0x40a00006, 0x43a00000, 0}));
  EXPECT_EQ(as_words(four->receivers[2]),
            (Words{0x41800003, 0x64002000, 0x61b40001, 0x60080000, 0x640aa640, 0x61b40000,
                   0x40a00006, 0x43a00000, 0}));

  // A pair sent towards direction 2 uses control 6.
  const std::uint16_t s = z310().physical(46);
  const std::uint16_t q = z310().physical(0);
  ASSERT_EQ(Topology::direction(s, q), 2);
  const Result<MulticastExchange> back =
      z310().paired_multicast(46, std::vector<std::uint16_t>{0, 1}, 64);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(explicit_control(back->sender), 6u);
}

// The rows decode as paired receives: the pointer is a PairedPointer, the format starts with the
// direction and ends `count` cycles later, and only the later tile of a pair selects the source.
TEST(PairedMulticast, ReceiverRowsDecodeAsPairedReceives) {
  const std::uint16_t sender = 46;
  const std::vector<std::uint16_t> receivers = {1200, 1201, 300, 301};
  const std::uint32_t count = 300;
  const Result<MulticastExchange> exchange = z310().paired_multicast(sender, receivers, count);
  ASSERT_TRUE(exchange.has_value());
  const std::uint16_t s = z310().physical(sender);
  std::int32_t minimum = INT32_MAX;
  for (const std::uint16_t r : receivers) {
    const std::uint16_t q = z310().physical(r);
    minimum =
        std::min(minimum, std::max(Topology::time_to_mux(s, q),
                                   Topology::time_to_mux(s, static_cast<std::uint16_t>(q ^ 2))));
  }
  for (std::size_t i = 0; i < receivers.size(); ++i) {
    const std::uint16_t q = z310().physical(receivers[i]);
    const std::int32_t own = Topology::time_to_mux(s, q);
    const std::int32_t partner = Topology::time_to_mux(s, static_cast<std::uint16_t>(q ^ 2));
    const auto arrival =
        static_cast<std::uint32_t>(std::max(own, partner) + std::max(0, 1 - minimum));
    const std::uint32_t start = arrival + 51 + 2 * (q / 64);

    const Result<ReceiveRowTiming> timing = receive_row_timing(exchange->receivers[i], 0);
    ASSERT_TRUE(timing.has_value()) << timing.error().debug();
    EXPECT_TRUE(timing->paired);
    EXPECT_EQ(timing->paired_start, start);
    EXPECT_EQ(timing->paired_end, start + count);
    EXPECT_EQ(timing->pointer, start + 2);
    EXPECT_EQ(timing->address, 0u);
    EXPECT_EQ(timing->horizon, start + count + 7);
    std::vector<ReceiveEventKind> kinds;
    for (const ReceiveEvent& event : timing->events) kinds.push_back(event.kind);
    if (own < partner) {
      EXPECT_EQ(timing->source, arrival);
      EXPECT_EQ(timing->teardown, arrival + count);
      const std::uint32_t select = 0x2000 | ((s & 0x1fff) ^ (q & 2));
      EXPECT_EQ(timing->events[0].control & 0x3fff, select);
    } else {
      EXPECT_EQ(timing->source, std::nullopt);
      EXPECT_EQ(timing->teardown, std::nullopt);
    }
    const auto format = std::find(kinds.begin(), kinds.end(), ReceiveEventKind::Format);
    ASSERT_NE(format, kinds.end());
    const ReceiveEvent& first_format =
        timing->events[static_cast<std::size_t>(format - kinds.begin())];
    EXPECT_EQ(first_format.control & 0x7ffff, 0x40000u + Topology::direction(s, q));
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), ReceiveEventKind::PairedPointer), 1);
  }
}

TEST(PairedMulticast, ReportsTheFirstFailingCheck) {
  struct Case {
    const Topology* topology;
    std::uint16_t sender;
    std::vector<std::uint16_t> receivers;
    std::uint32_t count;
    ExchangeError error;
  };
  const ExchangeError set = ExchangeError::receiver_set();
  // Physical 0 has no partner here; 64 and 66 are a pair; 128 has no partner.
  const Topology reduced = custom({0, 64, 66, 128, 2 + 128 * 2, 256});
  const Topology* card = &z310();
  const std::vector<Case> cases = {
      {card, 0, {2, 3}, 63, ExchangeError::count(63)},
      {card, 0, {2, 3}, 4149, ExchangeError::count(4149)},
      {card, 2000, {}, 63, ExchangeError::count(63)},
      {card, 2000, {}, 64, set},
      {card, 0, {2, 3, 4}, 64, set},
      {card, 0, {2, 2}, 64, set},
      {card, 0, {0, 2}, 64, set},
      // Receivers out of range are tested after the sender.
      {card, 2000, {5000, 5001}, 64, ExchangeError::tile(2000)},
      {&reduced, 0, {1, 2}, 64, ExchangeError::tile(0)},
      {card, 0, {1, 2}, 64, set},
      {card, 0, {2, 4}, 64, set},
      {card, 0, {2, 3, 1472, 1473}, 64, set},
      {&reduced, 1, {3, 5}, 64, set},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_of(c.topology->paired_multicast(c.sender, c.receivers, c.count)), c.error)
        << c.sender << " " << c.error.debug();
  }
  EXPECT_TRUE(z310().paired_multicast(0, std::vector<std::uint16_t>{3, 2}, 4148).has_value());
}

TEST(PairedReceiverRow, ReportsTheFirstFailingCheck) {
  struct Case {
    std::uint16_t sender;
    std::uint16_t receiver;
    std::uint32_t count;
    std::int32_t minimum;
    ExchangeError error;
  };
  // Logical 0 reaches logical 2 (physical 64) in -31 cycles and its partner in -30; the format
  // then starts at arrival + 53 cycles.
  const std::uint32_t format_start = 1 + 51 + 2;
  const std::vector<Case> cases = {
      {1472, 2000, 100, -30, ExchangeError::tile(1472)},
      {0, 2000, 100, -30, ExchangeError::tile(2000)},
      {0, 2, 100, 1, ExchangeError::schedule("paired source timing")},
      {0, 2, 100, 0, ExchangeError::schedule("paired source timing")},
      {0, 2, 2, -30, ExchangeError::schedule("paired receive coincident controls")},
      {0, 2, 0, -30, ExchangeError::schedule("paired receive coincident controls")},
      {0, 2, 0xfffffff9 - format_start, -30,
       ExchangeError::schedule("paired receive horizon overflow")},
      {0, 2, 0xffffffff, -30, ExchangeError::schedule("paired receive horizon overflow")},
      {0, 2, 0xfffffff8 - format_start, -30,
       ExchangeError::schedule("paired receive row capacity")},
      {0, 2, 100, -10000000, ExchangeError::schedule("paired receive row capacity")},
      {0, 2, 100, INT32_MIN, ExchangeError::schedule("paired receive row capacity")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_of(z310().paired_receiver_row(c.sender, c.receiver, c.count, c.minimum)),
              c.error)
        << c.count << " " << c.minimum;
  }
  // A lower pair minimum holds every event back by the same amount.
  const Result<Row> held_back = z310().paired_receiver_row(0, 2, 100, -31);
  ASSERT_TRUE(held_back.has_value());
  const Result<ReceiveRowTiming> timing = receive_row_timing(*held_back, 0);
  ASSERT_TRUE(timing.has_value());
  EXPECT_EQ(timing->source, 2u);
  EXPECT_EQ(timing->paired_start, format_start + 1);
}

// ---- row patches -------------------------------------------------------------------------------

TEST(SetSenderControl, ReplacesTheControlOfEveryPayloadSend) {
  Row row = z310().point_to_point(0, 2, 100)->sender;
  const Row before = row;
  ASSERT_TRUE(Topology::set_sender_control(row, 7).has_value());
  for (std::size_t i = 0; i < row.size(); ++i) {
    const bool payload = i == 2 || i == 3;
    EXPECT_EQ(row[i], payload ? (before[i] & ~7u) | 7 : before[i]) << i;
  }

  // A PicPair whose control bits 0-1 are set carries payload; one with control 4 or 0 does not.
  // Its second word is data even when it looks like an Explicit send.
  const auto with_payload = words::picpair_send(4, 1, 9, 0x5, 0x1e00);
  const auto control_four = words::picpair_send(4, 4, 9, 0x5, 0x12);
  const auto receive_only = words::picpair_send(4, 0, 0, 0x5, 0x12);
  ASSERT_EQ(with_payload[1] & 0xf8000000, 0x78000000u);
  Row mixed = {words::kSync3,   with_payload[0], with_payload[1],
               control_four[0], control_four[1], receive_only[0],
               receive_only[1], words::kReturn,  0};
  const Row mixed_before = mixed;
  ASSERT_TRUE(Topology::set_sender_control(mixed, 6).has_value());
  Row expected = mixed_before;
  expected[1] = (expected[1] & ~7u) | 6;
  EXPECT_EQ(mixed, expected);
}

TEST(SetSenderControl, FailsWithoutChangingTheRow) {
  Row row = z310().point_to_point(0, 2, 100)->sender;
  const Row before = row;
  for (const std::uint32_t control : {0u, 8u, 0xffffffffu}) {
    EXPECT_EQ(error_of(Topology::set_sender_control(row, control)),
              ExchangeError::schedule("send control"));
    EXPECT_EQ(row, before);
  }
  const auto receive_only = words::picpair_send(4, 4, 0, 0x5, 0x12);
  Row no_payload = {words::kSync3, receive_only[0], receive_only[1], words::kReturn, 0, 0, 0, 0, 0};
  const Row no_payload_before = no_payload;
  EXPECT_EQ(error_of(Topology::set_sender_control(no_payload, 1)),
            ExchangeError::schedule("sender payload"));
  EXPECT_EQ(no_payload, no_payload_before);
  Row receiver = to_row(z310().point_to_point(0, 2, 100)->receiver.words);
  EXPECT_EQ(error_of(Topology::set_sender_control(receiver, 1)),
            ExchangeError::schedule("sender payload"));
}

TEST(PatchSenderAddress, WritesTheSourceInWordsOrPairedUnits) {
  struct Case {
    std::uint32_t control;
    std::uint32_t address;
    std::optional<std::uint32_t> operand;  // none: Address(address)
  };
  const std::vector<Case> cases = {
      {1, 0x100, 0x40},
      {1, 0xffffc, 0x3ffff},
      {1, 0x0, 0x0},
      {1, 0x102, std::nullopt},
      {1, 0x100000, std::nullopt},
      {3, 0x104, 0x41},
      {5, 0x100, 0x20},
      {5, 0x104, std::nullopt},
      {6, 0x1ffff8, 0x3ffff},
      {7, 0x200000, std::nullopt},
  };
  for (const Case& c : cases) {
    Row row = z310().point_to_point(0, 2, 100)->sender;
    ASSERT_TRUE(Topology::set_sender_control(row, c.control).has_value());
    const Row before = row;
    const Result<void> patched = Topology::patch_sender_address(row, c.address);
    if (c.operand) {
      ASSERT_TRUE(patched.has_value()) << c.address;
      Row expected = before;
      expected[2] = words::with_send_operand(before[2], *c.operand);
      EXPECT_EQ(row, expected) << c.address;
    } else {
      EXPECT_EQ(error_of(patched), ExchangeError::address(c.address));
      EXPECT_EQ(row, before);
    }
  }
}

TEST(PatchSenderAddress, PatchesOnlyTheFirstExplicitSend) {
  Row two = {words::kSync3,
             words::explicit_send(4, 0, 1),
             words::explicit_send(4, 0, 1),
             words::kReturn,
             0,
             0,
             0,
             0,
             0};
  ASSERT_TRUE(Topology::patch_sender_address(two, 0x40).has_value());
  EXPECT_EQ(two[1], words::explicit_send(4, 0x10, 1));
  EXPECT_EQ(two[2], words::explicit_send(4, 0, 1));

  Row receiver = to_row(z310().point_to_point(0, 2, 100)->receiver.words);
  const Row before = receiver;
  EXPECT_EQ(error_of(Topology::patch_sender_address(receiver, 0x40)), ExchangeError::address(0x40));
  EXPECT_EQ(receiver, before);
}

// ---- log events --------------------------------------------------------------------------------

TEST(TopologyLog, AssembledExchangesEmitDebugEventsAndFailuresNone) {
  const auto child = [] {
    const std::vector<std::string> lines =
        testing_support::capture_log_lines("kro_exchange=debug", [] {
          (void)z310().point_to_point(0, 2, 52);
          (void)z310().point_to_point(0, 0, 52);
          (void)z310().multicast(0, std::vector<std::uint16_t>{1, 2}, 100, 5);
          (void)z310().multicast(0, std::vector<std::uint16_t>{}, 100, 5);
          (void)z310().paired_multicast(0, std::vector<std::uint16_t>{2, 3}, 64);
        });
    const std::vector<std::string> suffixes = {
        " DEBUG kro_exchange: assembled point-to-point exchange sender_logical=0 "
        "receiver_logical=2 count=52",
        " DEBUG kro_exchange: assembled multicast exchange sender_logical=0 receiver_logical=[1, "
        "2] count=100 schedule_offset=5",
        " DEBUG kro_exchange: assembled multicast exchange sender_logical=0 receiver_logical=[2, "
        "3] count=64 schedule_offset=0",
    };
    std::vector<std::string> failures;
    if (lines.size() != suffixes.size()) failures.push_back(fmt::format("{} lines", lines.size()));
    for (std::size_t i = 0; i < std::min(lines.size(), suffixes.size()); ++i) {
      if (!lines[i].ends_with(suffixes[i])) failures.push_back(lines[i]);
    }
    testing_support::finish_child(failures);
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kro_exchange
