#include "kro_exchange/phase_program_builder.hpp"

#include <algorithm>
#include <limits>

#include "kro_exchange/diagnostic.hpp"
#include "kro_exchange/words.hpp"
#include "kro_runtime/panic.hpp"

namespace kro_exchange {
namespace {

constexpr std::uint32_t kMaxCycle = std::numeric_limits<std::uint32_t>::max();

std::uint32_t positive_difference(std::uint32_t a, std::uint32_t b) { return a > b ? a - b : 0; }

bool contains(std::span<const std::uint16_t> tiles, std::uint16_t tile) {
  return std::find(tiles.begin(), tiles.end(), tile) != tiles.end();
}

// Index of the first event at or after `cycle`.
std::uint64_t first_event_at_or_after(const Chunked<ReceiveEvent>& events, std::uint64_t cycle) {
  return events.partition_point([cycle](const ReceiveEvent& e) { return e.cycle < cycle; });
}

// Index after the last event at or before `cycle`: where an event of that cycle is inserted.
std::uint64_t first_event_after(const Chunked<ReceiveEvent>& events, std::uint32_t cycle) {
  return events.partition_point([cycle](const ReceiveEvent& e) { return e.cycle <= cycle; });
}

bool is_format_end(const ReceiveEvent& e) {
  return e.kind == ReceiveEventKind::Format && (e.control & words::kPicPointerMask) == 0;
}

// Which teardown of the tile's previous receive the new receive takes over: the teardown moves
// to the new stream's end, so the old one is removed when the new source starts right there.
std::optional<ReceiveEventKind> superseded_teardown(const IncomingState& state,
                                                    const ReceiveRowTiming& timing,
                                                    const ScheduledReceiverWindow& window) {
  if (window.source != state.source_end) return std::nullopt;
  if (!state.paired && !timing.paired) return ReceiveEventKind::Teardown;
  if (state.paired && window.continues_paired_format) return ReceiveEventKind::PairedTeardown;
  return std::nullopt;
}

// An existing event that placing the window removes from the tile.
bool removed_by_window(const ReceiveEvent& existing, const std::optional<IncomingState>& state,
                       const ReceiveRowTiming& timing, const ScheduledReceiverWindow& window) {
  if (!state) return false;
  if (window.continues_paired_format && state->format_end && existing.cycle == *state->format_end &&
      is_format_end(existing)) {
    return true;
  }
  const auto teardown = superseded_teardown(*state, timing, window);
  return teardown && existing.cycle == state->source_end && existing.kind == *teardown;
}

// Whether an event of the window clashes with what the tile already does at that cycle: another
// control that stays and cannot share the cycle, or one of the tile's sends starting at the
// event's cycle or one cycle before it (a send's first word cannot carry a control).
bool window_clashes(const TileProgramSchedule& tile, const ReceiveRowTiming& timing,
                    const ScheduledReceiverWindow& window) {
  const auto& events = tile.receive_events;
  const auto& rows = tile.sender_rows;
  for (const ReceiveEvent& event : window.events) {
    for (std::uint64_t i = first_event_at_or_after(events, event.cycle);
         i < events.len() && events[i].cycle == event.cycle; ++i) {
      const ReceiveEvent& existing = events[i];
      if (removed_by_window(existing, tile.incoming, timing, window)) continue;
      if (is_allowed_simultaneous_pair(existing.kind, event.kind)) continue;
      return true;
    }
    const std::uint32_t earliest_start = event.cycle == 0 ? 0 : event.cycle - 1;
    const std::uint64_t r = rows.partition_point([earliest_start](const ScheduledSenderRow& row) {
      return row.payload_start < earliest_start;
    });
    if (r < rows.len() && rows[r].payload_start <= event.cycle) return true;
  }
  return false;
}

}  // namespace

// ---- TileProgramSchedule ----------------------------------------------------------------------

Result<std::shared_ptr<const encoding::EncodedSchedule>> TileProgramSchedule::encoded() const {
  if (!encoded_) {
    auto result = encoding::build_scheduled_program(sender_rows, receive_events, horizon, base);
    if (!result) return std::unexpected(result.error());
    encoded_ = std::make_shared<const encoding::EncodedSchedule>(std::move(*result));
    KRO_ASSERT(encoded_ != nullptr, "successful encoding was cached");
  }
  return encoded_;
}

void TileProgramSchedule::reset_encoding() {
  if (encoded_) {
    base = encoding::EncodingBase{std::move(encoded_), sender_rows.len(), receive_events.len()};
    encoded_.reset();
  }
}

// ---- PhaseProgramBuilder ----------------------------------------------------------------------

PhaseProgramBuilder::PhaseProgramBuilder(std::uint16_t tile_count) : tiles_(tile_count) {}

PhaseProgramBuilder PhaseProgramBuilder::with_validation_budget(std::uint64_t budget) && {
  validation_budget_ = std::make_shared<std::atomic<std::uint64_t>>(budget);
  return std::move(*this);
}

std::optional<std::uint64_t> PhaseProgramBuilder::validation_budget() const {
  if (!validation_budget_) return std::nullopt;
  return validation_budget_->load();
}

Result<void> PhaseProgramBuilder::check_arguments(std::uint16_t sender,
                                                  std::span<const std::uint16_t> partners,
                                                  std::span<const std::uint16_t> receivers,
                                                  const TransferRows& rows) const {
  if (rows.receivers.size() != receivers.size()) return schedule_error("receiver row count");
  if (sender >= tiles_.size()) return std::unexpected(ExchangeError::tile(sender));
  for (const std::uint16_t r : receivers) {
    if (r >= tiles_.size()) return std::unexpected(ExchangeError::tile(r));
  }
  for (const std::uint16_t p : partners) {
    if (p >= tiles_.size()) return std::unexpected(ExchangeError::tile(p));
  }
  return {};
}

Result<std::uint32_t> PhaseProgramBuilder::search(std::uint16_t sender,
                                                  std::span<const std::uint16_t> partners,
                                                  std::span<const std::uint16_t> receivers,
                                                  const TransferRows& rows, std::uint32_t count,
                                                  std::uint32_t lower_bound) const {
  const auto sender_timing = sender_row_timing(rows.sender, 0);
  if (!sender_timing) return std::unexpected(sender_timing.error());
  const std::uint32_t s0 = sender_timing->payload_start;
  const std::uint32_t e0 = sender_timing->payload_end;

  const TileProgramSchedule& sender_tile = tiles_[sender];
  std::uint32_t k = lower_bound;
  while (true) {
    const std::uint32_t pass_start = k;

    // Sender: the payload must not overlap another payload, and its first word must not be
    // asked to carry an incoming control.
    while (true) {
      if (s0 > kMaxCycle - k || e0 > kMaxCycle - k) return schedule_error("send offset overflow");
      const std::uint32_t p = s0 + k;
      const auto& placed = sender_tile.sender_rows;
      const std::uint64_t r = placed.partition_point(
          [p](const ScheduledSenderRow& row) { return row.payload_end <= p; });
      if (r < placed.len() && placed[r].payload_start < e0 + k) {
        const std::uint32_t moved = placed[r].payload_end;
        if (moved < s0) return schedule_error("send offset order");
        k = moved - s0;
        continue;
      }
      const auto& events = sender_tile.receive_events;
      const std::uint64_t e = first_event_at_or_after(events, p);
      if (e < events.len() && std::uint64_t{events[e].cycle} <= std::uint64_t{p} + 1) {
        if (k == kMaxCycle) return schedule_error("send offset overflow");
        ++k;
        continue;
      }
      break;
    }

    // Partners: the pair's other tile must have finished its own sends.
    for (const std::uint16_t partner : partners) {
      const auto& placed = tiles_[partner].sender_rows;
      if (!placed.is_empty()) k = std::max(k, placed[placed.len() - 1].payload_end);
    }

    // Receivers: the new stream starts after the tile's previous one, and none of its controls
    // lands on a cycle the tile cannot take it in.
    for (std::size_t i = 0; i < receivers.size(); ++i) {
      const TileProgramSchedule& tile = tiles_[receivers[i]];
      // Decoding nine words again on a later pass is cheaper than keeping a list of timings.
      const auto decoded = receive_row_timing(rows.receivers[i], 0);
      if (!decoded) return std::unexpected(decoded.error());
      const ReceiveRowTiming& timing = *decoded;
      if (tile.incoming) {
        const IncomingState& state = *tile.incoming;
        const auto source = timing.source ? timing.source : timing.paired_start;
        if (!source) return schedule_error("receive source timing");
        k = std::max(k, positive_difference(state.source_end, *source));
        if (!state.paired && timing.paired_start) {
          k = std::max(k, positive_difference(state.payload_end, *timing.paired_start));
        }
        if (!timing.pointer) return schedule_error("receive pointer event");
        k = std::max(k, positive_difference(state.payload_end, *timing.pointer));
      }
      while (true) {
        auto window = scheduled_receive_window(timing, k, count, tile.incoming);
        if (!window) return std::unexpected(window.error());
        if (!window_clashes(tile, timing, *window)) break;
        if (k == kMaxCycle) return schedule_error("receive offset overflow");
        ++k;
      }
    }

    if (k == pass_start) return k;
  }
}

Result<std::uint32_t> PhaseProgramBuilder::earliest_transfer_offset_deferred(
    std::uint16_t sender, std::span<const std::uint16_t> partners,
    std::span<const std::uint16_t> receivers, const TransferRows& rows, std::uint32_t count,
    std::uint32_t lower_bound) const {
  if (auto ok = check_arguments(sender, partners, receivers, rows); !ok) {
    return std::unexpected(ok.error());
  }
  return search(sender, partners, receivers, rows, count, lower_bound);
}

Result<std::uint32_t> PhaseProgramBuilder::earliest_transfer_offset(
    std::uint16_t sender, std::span<const std::uint16_t> partners,
    std::span<const std::uint16_t> receivers, const TransferRows& rows, std::uint32_t count,
    std::uint32_t lower_bound) {
  if (auto ok = check_arguments(sender, partners, receivers, rows); !ok) {
    return std::unexpected(ok.error());
  }
  std::uint32_t bound = lower_bound;
  while (true) {
    auto offset = search(sender, partners, receivers, rows, count, bound);
    if (!offset) return offset;
    const std::uint32_t k = *offset;
    if (staged_matches(sender, receivers, rows, k, count)) return k;

    if (validation_budget_) {
      const std::uint64_t work = validation_work(sender, receivers);
      std::uint64_t available = validation_budget_->load();
      do {
        if (available < work) return std::unexpected(ExchangeError::validation_budget_exceeded());
      } while (!validation_budget_->compare_exchange_weak(available, available - work));
    }

    staged_.reset();
    auto tiles = prepare_placement(sender, receivers, rows, k, count, /*validate=*/true);
    if (tiles) {
      staged_ = StagedTransfer{std::vector<std::uint16_t>(receivers.begin(), receivers.end()),
                               rows,
                               std::move(*tiles),
                               k,
                               count,
                               sender};
      return k;
    }
    // The encoder could not align a SENDPICP here; a cycle later it may.
    if (!tiles.error().is_schedule("SENDPICP instruction alignment")) {
      return std::unexpected(tiles.error());
    }
    if (k == kMaxCycle) return schedule_error("receive offset overflow");
    bound = k + 1;
  }
}

std::uint64_t PhaseProgramBuilder::validation_work(std::uint16_t sender,
                                                   std::span<const std::uint16_t> receivers) const {
  const auto tile_work = [this](std::uint16_t t) {
    const auto& tile = tiles_[t];
    return tile.sender_rows.len() + tile.receive_events.len() + 1;  // cannot wrap in practice
  };
  std::uint64_t work = tile_work(sender);
  for (const std::uint16_t r : receivers) {
    const std::uint64_t add = tile_work(r);
    work = work > std::numeric_limits<std::uint64_t>::max() - add
               ? std::numeric_limits<std::uint64_t>::max()
               : work + add;
  }
  return work;
}

bool PhaseProgramBuilder::staged_matches(std::uint16_t sender,
                                         std::span<const std::uint16_t> receivers,
                                         const TransferRows& rows, std::uint32_t offset,
                                         std::uint32_t count) const {
  return staged_ && staged_->sender == sender && staged_->offset == offset &&
         staged_->count == count &&
         std::equal(staged_->receivers.begin(), staged_->receivers.end(), receivers.begin(),
                    receivers.end()) &&
         staged_->rows == rows;
}

Result<std::vector<std::pair<std::uint16_t, TileProgramSchedule>>>
PhaseProgramBuilder::prepare_placement(std::uint16_t sender,
                                       std::span<const std::uint16_t> receivers,
                                       const TransferRows& rows, std::uint32_t offset,
                                       std::uint32_t count, bool validate) const {
  std::vector<std::pair<std::uint16_t, TileProgramSchedule>> out;
  out.reserve(receivers.size() + 1);

  // A cached encoding of the unchanged tile becomes the base of the clone's encoding. It is only
  // an acceleration: a tile that does not encode as it stands simply has no base.
  const auto cached_clone = [&](std::uint16_t t) {
    if (validate) (void)tiles_[t].encoded();
    return tiles_[t];
  };

  // Sender.
  TileProgramSchedule sender_tile = cached_clone(sender);
  const auto s = sender_row_timing(rows.sender, offset);
  if (!s) return std::unexpected(s.error());
  {
    auto& placed = sender_tile.sender_rows;
    const std::uint64_t at = placed.partition_point(
        [&](const ScheduledSenderRow& row) { return row.payload_start < s->payload_start; });
    if ((at > 0 && placed[at - 1].payload_end > s->payload_start) ||
        (at < placed.len() && placed[at].payload_start < s->payload_end)) {
      return schedule_error("overlapping outgoing messages");
    }
    const auto& events = sender_tile.receive_events;
    const std::uint64_t e = first_event_at_or_after(events, s->payload_start);
    if (e < events.len() && std::uint64_t{events[e].cycle} <= std::uint64_t{s->payload_start} + 1) {
      return schedule_error("unencodable initial send control");
    }
    sender_tile.reset_encoding();
    if (sender_tile.base) sender_tile.base->rows_clean = std::min(sender_tile.base->rows_clean, at);
    sender_tile.horizon = std::max(sender_tile.horizon, s->horizon);
    placed.insert(at, ScheduledSenderRow{rows.sender, s->payload_start, s->payload_end});
    if (validate) {
      if (auto enc = sender_tile.encoded(); !enc) return std::unexpected(enc.error());
    }
  }
  out.emplace_back(sender, std::move(sender_tile));

  // Receivers.
  for (std::size_t i = 0; i < receivers.size(); ++i) {
    const std::uint16_t receiver = receivers[i];
    if (contains(receivers.first(i), receiver)) {
      return std::unexpected(ExchangeError::duplicate_tile());
    }
    TileProgramSchedule* tile = nullptr;
    if (receiver == sender) {
      tile = &out.front().second;
    } else {
      out.emplace_back(receiver, cached_clone(receiver));
      tile = &out.back().second;
    }

    auto timing = receive_row_timing(rows.receivers[i], 0);
    if (!timing) return std::unexpected(timing.error());
    auto window = scheduled_receive_window(*timing, offset, count, tile->incoming);
    if (!window) return std::unexpected(window.error());

    std::optional<std::uint32_t> address_end;
    if (window->address) {
      const std::uint64_t bytes = std::uint64_t{count} * (timing->paired ? 8 : 4);
      const std::uint64_t end = std::uint64_t{*window->address} + bytes;
      if (end > kMaxCycle) return schedule_error("receive address overflow");
      address_end = static_cast<std::uint32_t>(end);
    }

    const std::optional<IncomingState> state = tile->incoming;
    if (state && (window->source < state->source_end || window->pointer < state->payload_end)) {
      return schedule_error("overlapping receive streams");
    }

    tile->reset_encoding();
    auto& events = tile->receive_events;
    const auto lower_events_clean = [&](std::uint64_t index) {
      if (tile->base) tile->base->events_clean = std::min(tile->base->events_clean, index);
    };

    if (state) {
      // The new receive takes over the previous one's format end and teardown.
      const std::uint32_t from = state->format_end && *state->format_end < state->source_end
                                     ? *state->format_end
                                     : state->source_end;
      if (window->continues_paired_format && state->format_end) {
        for (std::uint64_t j = first_event_at_or_after(events, from);
             j < events.len() && events[j].cycle <= *state->format_end; ++j) {
          if (events[j].cycle == *state->format_end && is_format_end(events[j])) {
            events.remove(j);
            lower_events_clean(j);
            break;
          }
        }
      }
      if (const auto teardown = superseded_teardown(*state, *timing, *window)) {
        for (std::uint64_t j = first_event_at_or_after(events, from);
             j < events.len() && events[j].cycle <= state->source_end; ++j) {
          if (events[j].cycle == state->source_end && events[j].kind == *teardown) {
            events.remove(j);
            lower_events_clean(j);
            break;
          }
        }
      }
    }

    for (const ReceiveEvent& event : window->events) {
      const std::uint64_t at = first_event_after(events, event.cycle);
      events.insert(at, event);
      lower_events_clean(at);
    }
    tile->horizon = std::max(tile->horizon, window->horizon);

    IncomingState next;
    if (timing->paired_start) {
      for (const ReceiveEvent& e : timing->events) {
        if (e.cycle == *timing->paired_start && e.kind == ReceiveEventKind::Format) {
          next.paired_format = true;
          next.format_value = e.control & words::kPicPointerMask;
          break;
        }
      }
    }
    if (timing->paired_end) next.format_end = *timing->paired_end + offset;
    next.address_end = address_end;
    next.source_end = window->source_end;
    next.payload_end = window->payload_end;
    next.paired = timing->paired;
    tile->incoming = next;

    if (validate) {
      if (auto enc = tile->encoded(); !enc) return std::unexpected(enc.error());
    }
  }
  return out;
}

Result<PhaseTransferTiming> PhaseProgramBuilder::transfer_timing_at(
    std::uint16_t sender, std::span<const std::uint16_t> receivers, const TransferRows& rows,
    std::uint32_t offset, std::uint32_t count) const {
  if (auto ok = check_arguments(sender, {}, receivers, rows); !ok) {
    return std::unexpected(ok.error());
  }
  const auto s = sender_row_timing(rows.sender, offset);
  if (!s) return std::unexpected(s.error());
  PhaseTransferTiming timing;
  timing.sender_payload_start = s->payload_start;
  timing.sender_payload_end = s->payload_end;
  timing.sender_horizon = s->horizon;
  timing.horizon = s->horizon;
  timing.receiver_pointers.reserve(receivers.size());
  timing.receiver_payload_ends.reserve(receivers.size());
  timing.receiver_horizons.reserve(receivers.size());
  for (std::size_t i = 0; i < receivers.size(); ++i) {
    auto row_timing = receive_row_timing(rows.receivers[i], 0);
    if (!row_timing) return std::unexpected(row_timing.error());
    auto window = scheduled_receive_window(std::move(*row_timing), offset, count,
                                           tiles_[receivers[i]].incoming);
    if (!window) return std::unexpected(window.error());
    timing.receiver_pointers.push_back(window->pointer);
    timing.receiver_payload_ends.push_back(window->payload_end);
    timing.receiver_horizons.push_back(window->horizon);
    timing.horizon = std::max(timing.horizon, window->horizon);
  }
  return timing;
}

Result<PhaseTransferTiming> PhaseProgramBuilder::append_transfer_at(
    std::uint16_t sender, std::span<const std::uint16_t> partners,
    std::span<const std::uint16_t> receivers, const TransferRows& rows, std::uint32_t offset,
    std::uint32_t count) {
  if (auto ok = check_arguments(sender, partners, receivers, rows); !ok) {
    return std::unexpected(ok.error());
  }
  auto timing = transfer_timing_at(sender, receivers, rows, offset, count);
  if (!timing) return timing;

  // The staged placement is consumed by this call whatever happens.
  const bool reuse_staged = staged_matches(sender, receivers, rows, offset, count);
  std::optional<StagedTransfer> staged = std::exchange(staged_, std::nullopt);
  std::vector<std::pair<std::uint16_t, TileProgramSchedule>> tiles;
  if (reuse_staged) {
    tiles = std::move(staged->tiles);
  } else {
    auto prepared = prepare_placement(sender, receivers, rows, offset, count, /*validate=*/false);
    if (!prepared) return std::unexpected(prepared.error());
    tiles = std::move(*prepared);
  }

  const std::size_t changed = tiles.size();
  for (const std::uint16_t partner : partners) {
    const bool listed =
        partner == sender || contains(receivers, partner) ||
        std::any_of(tiles.begin() + static_cast<std::ptrdiff_t>(changed), tiles.end(),
                    [partner](const auto& entry) { return entry.first == partner; });
    if (listed) return std::unexpected(ExchangeError::duplicate_tile());
    TileProgramSchedule tile = tiles_[partner];
    tile.reset_encoding();
    tile.horizon = std::max(tile.horizon, timing->sender_horizon);
    tiles.emplace_back(partner, std::move(tile));
  }

  for (auto& [index, tile] : tiles) tiles_[index] = std::move(tile);
  return timing;
}

std::uint32_t PhaseProgramBuilder::event_cycles() const {
  std::uint32_t horizon = 0;
  for (const auto& tile : tiles_) horizon = std::max(horizon, tile.horizon);
  return horizon;
}

Result<PhasePrograms> PhaseProgramBuilder::finish() const {
  PhasePrograms result;
  result.programs.reserve(tiles_.size());
  result.tile_horizons.reserve(tiles_.size());
  for (std::size_t index = 0; index < tiles_.size(); ++index) {
    const TileProgramSchedule& tile = tiles_[index];
    result.tile_horizons.push_back(tile.horizon);
    result.horizon = std::max(result.horizon, tile.horizon);
    if (tile.horizon == 0) {
      result.programs.emplace_back(std::nullopt);
      continue;
    }
    auto encoded = tile.encoded();
    if (!encoded) return std::unexpected(encoded.error());
    std::vector<std::uint32_t> program;
    program.reserve((*encoded)->words.len());
    for (const std::uint32_t word : (*encoded)->words) program.push_back(word);
    auto checked =
        diagnostic::validate_tile_program(static_cast<std::uint16_t>(index), tile.horizon,
                                          tile.sender_rows, tile.receive_events, program);
    if (!checked) return std::unexpected(checked.error());
    result.programs.emplace_back(std::move(program));
  }
  return result;
}

}  // namespace kro_exchange
