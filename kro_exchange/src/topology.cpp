#include "kro_exchange/topology.hpp"

#include <algorithm>
#include <array>
#include <limits>

#include "kro_exchange/program_records.hpp"
#include "kro_exchange/receive_event.hpp"
#include "kro_exchange/words.hpp"
#include "kro_runtime/log.hpp"
#include "kro_runtime/log_events.hpp"
#include "kro_runtime/panic.hpp"

namespace kro_exchange {

namespace {

using words::Word;

constexpr std::uint32_t kNoLogical = std::numeric_limits<std::uint32_t>::max();
// Receiver rows of fewer words than this end their source with the teardown before setting the
// pointer; longer ones set the pointer first.
constexpr std::uint32_t kPointerFirstWords = 52;
constexpr std::uint32_t kTrailingDelayCycles = 57;

// Set of logical tiles for receiver-list checks: a bitmap over the topology's tiles (on the stack
// for any realistic card), plus a short list for numbers outside it, which only invalid lists
// contain. Deterministic and allocation-free for valid input.
class TileSet {
 public:
  explicit TileSet(std::size_t tiles) : tiles_(tiles) {
    const std::size_t blocks = (tiles + 63) / 64;
    if (blocks > inline_.size()) {
      heap_.assign(blocks, 0);
      bits_ = heap_.data();
    } else {
      std::fill_n(inline_.begin(), blocks, std::uint64_t{0});
      bits_ = inline_.data();
    }
  }
  TileSet(const TileSet&) = delete;
  TileSet& operator=(const TileSet&) = delete;

  // False when `tile` was already present.
  bool insert(std::uint16_t tile) {
    if (tile >= tiles_) {
      if (std::find(outside_.begin(), outside_.end(), tile) != outside_.end()) return false;
      outside_.push_back(tile);
      return true;
    }
    std::uint64_t& block = bits_[tile / 64];
    const std::uint64_t bit = std::uint64_t{1} << (tile % 64);
    if ((block & bit) != 0) return false;
    block |= bit;
    return true;
  }

  bool contains(std::uint16_t tile) const {
    if (tile >= tiles_) return std::find(outside_.begin(), outside_.end(), tile) != outside_.end();
    return (bits_[tile / 64] >> (tile % 64) & 1) != 0;
  }

 private:
  std::size_t tiles_;
  std::array<std::uint64_t, 64> inline_;
  std::vector<std::uint64_t> heap_;
  std::uint64_t* bits_ = nullptr;
  std::vector<std::uint16_t> outside_;
};

// Appends the words of a receiver row after its source selection: teardown and pointer in the
// order the count needs, a closing Delay and the Return. The row then lasts
// 170 + 2 * row + count cycles (one more at exactly 52 words, whose teardown cannot be shorter).
template <std::size_t N>
void append_receive_tail(std::array<Word, N>& row, std::size_t& at, std::uint32_t count,
                         std::int32_t tile_row, std::uint32_t pointer) {
  const auto rows = static_cast<std::uint32_t>(2 * tile_row);
  if (count < kPointerFirstWords) {
    row[at++] = words::xpic_control(words::kTeardownSelect, count - 1);
    row[at++] = words::pic_control(pointer, rows + kPointerFirstWords - count - 1);
    row[at++] = words::delay(count + 5);
  } else {
    row[at++] = words::pic_control(pointer, rows + kPointerFirstWords - 1);
    const std::uint32_t teardown = count == kPointerFirstWords ? 1 : count - kPointerFirstWords;
    row[at++] = words::xpic_control(words::kTeardownSelect, teardown - 1);
    row[at++] = words::delay(kTrailingDelayCycles);
  }
  row[at++] = words::kReturn;
}

// Explicit send of the first up to 64 words, then one Offset send for the rest.
void append_payload(Row& row, std::size_t& at, std::uint32_t count, std::uint32_t control) {
  row[at++] = words::explicit_send(std::min(count, words::kMaxExplicitWords), 0, control);
  if (count > words::kMaxExplicitWords) {
    row[at++] = words::offset_send(count - words::kMaxExplicitWords, 0, control);
  }
}

bool valid_count(std::uint32_t count, std::uint32_t minimum) {
  return count >= minimum && count <= kMaximumExchangeWords;
}

}  // namespace

Result<Topology> Topology::create(std::vector<std::uint16_t> tile_map) {
  if (tile_map.empty()) return std::unexpected(ExchangeError::receiver_set());
  const std::uint16_t largest = *std::max_element(tile_map.begin(), tile_map.end());
  std::vector<std::uint32_t> logical_of(std::size_t{largest} + 1, kNoLogical);
  for (std::size_t index = 0; index < tile_map.size(); ++index) {
    std::uint32_t& slot = logical_of[tile_map[index]];
    if (slot != kNoLogical) return std::unexpected(ExchangeError::receiver_set());
    slot = static_cast<std::uint32_t>(index);
  }
  return Topology(std::move(tile_map), std::move(logical_of));
}

const Topology& Topology::z310() {
  static const Topology card = [] {
    std::vector<std::uint16_t> map(kZ310TileCount);
    for (std::uint32_t g = 0; g < kZ310TileCount; ++g) map[g] = z310_physical(g);
    Result<Topology> topology = create(std::move(map));
    KRO_ASSERT(topology.has_value(), "the Z310 tile map is a permutation");
    return std::move(*topology);
  }();
  return card;
}

Result<std::uint16_t> Topology::paired_logical(std::uint16_t logical) const {
  if (logical >= tile_map_.size()) return std::unexpected(ExchangeError::tile(logical));
  const std::uint32_t partner = tile_map_[logical] ^ 2u;
  const std::uint32_t index = partner < logical_of_.size() ? logical_of_[partner] : kNoLogical;
  if (index == kNoLogical) return std::unexpected(ExchangeError::tile(logical));
  KRO_ASSERT(index <= 0xffff, "logical tile count fits u16");
  return static_cast<std::uint16_t>(index);
}

Result<PointToPointExchange> Topology::point_to_point(std::uint16_t sender_logical,
                                                      std::uint16_t receiver_logical,
                                                      std::uint32_t count) const {
  if (!valid_count(count, 1)) return std::unexpected(ExchangeError::count(count));
  if (sender_logical == receiver_logical) return std::unexpected(ExchangeError::duplicate_tile());
  if (sender_logical >= len()) return std::unexpected(ExchangeError::tile(sender_logical));
  if (receiver_logical >= len()) return std::unexpected(ExchangeError::tile(receiver_logical));

  const std::uint16_t s = physical(sender_logical);
  const std::uint16_t r = physical(receiver_logical);
  const std::int32_t lead = time_to_mux(s, r);
  const std::uint8_t control = direction(s, r);
  if (lead > kPointArrivalCycle) return schedule_error("sender delay");

  PointToPointExchange exchange;
  // The send starts at 112 - lead so that its first word arrives at cycle 112.
  Row& sender = exchange.sender;
  std::size_t at = 0;
  sender[at++] = words::kSync3;
  if (lead != kPointArrivalCycle) {
    sender[at++] = words::delay(static_cast<std::uint32_t>(kPointArrivalCycle - lead));
  }
  append_payload(sender, at, count, control);
  const std::int64_t slack = std::int64_t{lead} - count - (kPointArrivalCycle - kShortestSenderRow);
  if (slack > 0) sender[at++] = words::delay(static_cast<std::uint32_t>(slack));
  sender[at++] = words::kReturn;

  PointReceiverRow& receiver = exchange.receiver;
  receiver.patch_index = 1;
  at = 0;
  receiver.words[at++] = words::kSync3;
  // Source selection left at 0 for `finalize_point_receiver`; ends one cycle after the arrival.
  receiver.words[at++] = words::xpic_control(0, kPointArrivalCycle);
  append_receive_tail(receiver.words, at, count, physical_id::row(r), 0);

  KRO_LOG_EVENT(kro_runtime::log_events::assembled_point_to_point, sender_logical, receiver_logical,
                count);
  return exchange;
}

Result<MulticastExchange> Topology::multicast(std::uint16_t sender_logical,
                                              std::span<const std::uint16_t> receivers,
                                              std::uint32_t count,
                                              std::uint32_t schedule_offset) const {
  if (!valid_count(count, 1)) return std::unexpected(ExchangeError::count(count));
  if (sender_logical >= len()) return std::unexpected(ExchangeError::tile(sender_logical));
  if (receivers.empty() || (receivers.size() == 1 && receivers[0] == sender_logical)) {
    return std::unexpected(ExchangeError::receiver_set());
  }
  {
    TileSet seen(len());
    for (const std::uint16_t receiver : receivers) {
      if (receiver >= len() || !seen.insert(receiver)) {
        return std::unexpected(ExchangeError::receiver_set());
      }
    }
  }

  const std::uint16_t s = physical(sender_logical);
  std::int32_t earliest = std::numeric_limits<std::int32_t>::max();
  for (const std::uint16_t receiver : receivers) {
    earliest = std::min(earliest, time_to_mux(s, physical(receiver)));
  }
  const std::uint64_t start =
      std::uint64_t{schedule_offset} + static_cast<std::uint64_t>(std::max(0, -earliest));
  if (start > kMulticastCycleLimit) return schedule_error("multicast start cycle");
  const auto start_cycle = static_cast<std::uint32_t>(start);

  const std::uint32_t control = receivers.size() == 1 ? direction(s, physical(receivers[0])) : 3;
  MulticastExchange exchange;
  Row& sender = exchange.sender;
  std::size_t at = 0;
  sender[at++] = words::kSync3;
  if (start_cycle > 0) sender[at++] = words::delay(start_cycle);
  // Unreachable after the count check; kept so that a change of limits fails loudly as an error.
  if (!words::fits_explicit(std::min(count, words::kMaxExplicitWords))) {
    return schedule_error("send instruction operand");
  }
  append_payload(sender, at, count, control);
  if (start_cycle + count < kShortestSenderRow) {
    sender[at++] = words::delay(kShortestSenderRow - start_cycle - count);
  }
  sender[at++] = words::kReturn;

  exchange.receivers.reserve(receivers.size());
  for (const std::uint16_t receiver : receivers) {
    const std::uint16_t q = physical(receiver);
    // Not negative: `start` absorbs the earliest (most negative) lead time.
    const std::int64_t arrival = std::int64_t{time_to_mux(s, q)} + start_cycle;
    if (arrival > kMulticastCycleLimit) return schedule_error("multicast receive cycle");
    Row& row = exchange.receivers.emplace_back();
    at = 0;
    row[at++] = words::kSync3;
    row[at++] =
        words::xpic_control(s & words::kTileSelectMask, static_cast<std::uint32_t>(arrival));
    append_receive_tail(row, at, count, physical_id::row(q), kMulticastPointerValue);
  }

  KRO_LOG_EVENT(kro_runtime::log_events::assembled_multicast, sender_logical, receivers, count,
                schedule_offset);
  return exchange;
}

Result<MulticastExchange> Topology::paired_multicast(std::uint16_t sender_logical,
                                                     std::span<const std::uint16_t> receivers,
                                                     std::uint32_t count) const {
  if (!valid_count(count, kMinimumPairedWords)) {
    return std::unexpected(ExchangeError::count(count));
  }
  if (receivers.empty() || receivers.size() % 2 != 0) {
    return std::unexpected(ExchangeError::receiver_set());
  }
  TileSet members(len());
  for (const std::uint16_t receiver : receivers) {
    if (receiver == sender_logical || !members.insert(receiver)) {
      return std::unexpected(ExchangeError::receiver_set());
    }
  }
  if (sender_logical >= len()) return std::unexpected(ExchangeError::tile(sender_logical));
  const Result<std::uint16_t> sender_partner = paired_logical(sender_logical);
  if (!sender_partner) return std::unexpected(ExchangeError::tile(sender_logical));
  if (members.contains(*sender_partner)) return std::unexpected(ExchangeError::receiver_set());
  for (const std::uint16_t receiver : receivers) {
    if (receiver >= len()) return std::unexpected(ExchangeError::receiver_set());
    const Result<std::uint16_t> partner = paired_logical(receiver);
    if (!partner || !members.contains(*partner)) {
      return std::unexpected(ExchangeError::receiver_set());
    }
  }

  Result<MulticastExchange> exchange = multicast(sender_logical, receivers, count, 0);
  if (!exchange) return exchange;

  const std::uint16_t s = physical(sender_logical);
  if (receivers[0] >= len()) return std::unexpected(ExchangeError::tile(receivers[0]));
  const std::uint32_t control =
      receivers.size() == 2 ? direction(s, physical(receivers[0])) + 4u : 7u;
  if (Result<void> set = set_sender_control(exchange->sender, control); !set) {
    return std::unexpected(set.error());
  }

  KRO_ASSERT(!receivers.empty(), "paired multicast has receivers");
  std::int32_t pair_arrival = std::numeric_limits<std::int32_t>::max();
  for (const std::uint16_t receiver : receivers) {
    const std::uint16_t q = physical(receiver);
    pair_arrival =
        std::min(pair_arrival,
                 std::max(time_to_mux(s, q), time_to_mux(s, static_cast<std::uint16_t>(q ^ 2u))));
  }
  for (std::size_t i = 0; i < receivers.size(); ++i) {
    Result<Row> row = paired_receiver_row(sender_logical, receivers[i], count, pair_arrival);
    if (!row) return std::unexpected(row.error());
    exchange->receivers[i] = *row;
  }
  return exchange;
}

Result<Row> Topology::paired_receiver_row(std::uint16_t sender_logical,
                                          std::uint16_t receiver_logical, std::uint32_t count,
                                          std::int32_t pair_arrival_minimum) const {
  if (sender_logical >= len()) return std::unexpected(ExchangeError::tile(sender_logical));
  if (receiver_logical >= len()) return std::unexpected(ExchangeError::tile(receiver_logical));
  const std::uint16_t s = physical(sender_logical);
  const std::uint16_t q = physical(receiver_logical);
  const std::int32_t own = time_to_mux(s, q);
  const std::int32_t partner = time_to_mux(s, static_cast<std::uint16_t>(q ^ 2u));
  // Every receiver of the transfer starts from the same send, so the paired arrival is held back
  // until the earliest one is at least cycle 1.
  const std::int64_t arrival = std::int64_t{std::max(own, partner)} +
                               std::max<std::int64_t>(0, 1 - std::int64_t{pair_arrival_minimum});
  if (arrival < 0) return schedule_error("paired source timing");

  struct Pending {
    std::int64_t cycle;
    std::uint32_t control;
    ReceiveEventKind kind;
  };
  std::array<Pending, 5> pending{};
  std::size_t size = 0;
  // The tile whose word arrives later selects its source explicitly; the earlier one follows the
  // paired format alone.
  if (own < partner) {
    const std::uint32_t select = (s & words::kTileSelectMask) ^ (q & 2u);
    pending[size++] = {arrival, words::xpic_control(words::kXpicPairedBit | select, 0),
                       ReceiveEventKind::PairedSource};
    pending[size++] = {arrival + count,
                       words::xpic_control(words::kXpicPairedBit | words::kTeardownSelect, 0),
                       ReceiveEventKind::PairedTeardown};
  }
  const std::int64_t format_start = arrival + 51 + 2 * (q / 64);
  pending[size++] = {format_start, words::pic_control(words::kPicFormatBit + direction(s, q), 0),
                     ReceiveEventKind::Format};
  pending[size++] = {format_start + 2, words::pic_control(0, 0), ReceiveEventKind::PairedPointer};
  pending[size++] = {format_start + count, words::pic_control(words::kPicFormatBit, 0),
                     ReceiveEventKind::Format};
  std::stable_sort(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(size),
                   [](const Pending& a, const Pending& b) { return a.cycle < b.cycle; });
  for (std::size_t i = 1; i < size; ++i) {
    if (pending[i].cycle == pending[i - 1].cycle) {
      return schedule_error("paired receive coincident controls");
    }
  }
  const std::int64_t last = pending[size - 1].cycle;
  if (last > 0xfffffff8) return schedule_error("paired receive horizon overflow");

  std::array<ReceiveEvent, 5> events{};
  for (std::size_t i = 0; i < size; ++i) {
    events[i] = {static_cast<std::uint32_t>(pending[i].cycle), pending[i].control, pending[i].kind};
  }
  FixedWordBuffer<kRowWords> row;
  row.push(words::kSync3);
  std::uint32_t cur = 0;
  const auto horizon = static_cast<std::uint32_t>(last + 7);
  if (Result<void> encoded = append_receive_events_record(
          row, cur, std::span<const ReceiveEvent>(events.data(), size), horizon, false, nullptr);
      !encoded) {
    return std::unexpected(encoded.error());
  }
  row.push(words::kReturn);
  if (row.overflowed()) return schedule_error("paired receive row capacity");
  return row.words();
}

Result<void> Topology::set_sender_control(Row& row, std::uint32_t control) {
  if (control < 1 || control > 7) return schedule_error("send control");
  Row updated = row;
  bool changed = false;
  for (std::size_t i = 0; i < updated.size(); i += words::word_count(words::classify(updated[i]))) {
    const words::Kind kind = words::classify(updated[i]);
    // Receive-only PicPairs (control bits 0-1 clear) carry no payload and keep their control.
    const bool payload =
        words::is_payload_send(kind) || (kind == words::Kind::PicPairSend && (updated[i] & 3) != 0);
    if (payload) {
      updated[i] = words::with_send_control(updated[i], control);
      changed = true;
    }
  }
  if (!changed) return schedule_error("sender payload");
  row = updated;
  return {};
}

Result<void> Topology::patch_sender_address(Row& row, std::uint32_t address) {
  for (std::size_t i = 0; i < row.size(); i += words::word_count(words::classify(row[i]))) {
    if (words::classify(row[i]) != words::Kind::ExplicitSend) continue;
    // Paired sends (control bit 2) address 64-bit units.
    const std::uint32_t unit = (words::send_control(row[i]) & 4) != 0 ? 8 : 4;
    if (address % unit != 0 || address / unit > words::kMaxSendOperand) break;
    row[i] = words::with_send_operand(row[i], address / unit);
    return {};
  }
  return std::unexpected(ExchangeError::address(address));
}

Result<PointReceiverWords> Topology::finalize_point_receiver(const PointReceiverRow& row,
                                                             std::uint16_t source_physical) {
  if (row.patch_index >= row.words.size() || source_physical >= kPhysicalIdLimit) {
    return schedule_error("point receiver patch index");
  }
  PointReceiverWords finished = row.words;
  Word& word = finished[row.patch_index];
  word = (word & ~words::kTileSelectMask) | source_physical;
  return finished;
}

}  // namespace kro_exchange
