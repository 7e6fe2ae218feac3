#include "kro_exchange/row_timing.hpp"

#include <algorithm>
#include <cstddef>

#include "kro_exchange/words.hpp"

namespace kro_exchange {
namespace {

using words::Kind;
using words::Word;

// Index of the first Return among row[1..8]; 0 when there is none.
std::size_t find_return(const Row& row) {
  for (std::size_t i = 1; i < row.size(); ++i)
    if (row[i] == words::kReturn) return i;
  return 0;
}

ReceiveEventKind xpic_kind(std::uint32_t value) {
  const bool paired = (value & words::kXpicPairedBit) != 0;
  const bool teardown = (value & words::kTileSelectMask) == words::kTeardownSelect;
  if (paired) return teardown ? ReceiveEventKind::PairedTeardown : ReceiveEventKind::PairedSource;
  return teardown ? ReceiveEventKind::Teardown : ReceiveEventKind::Source;
}

ReceiveEventKind pic_kind(std::uint32_t value) {
  return (value & words::kPicFormatBit) != 0 ? ReceiveEventKind::Format : ReceiveEventKind::Pointer;
}

// Stable: equal cycles keep their row order. Lists hold at most eight events.
void insertion_sort_by_cycle(ReceiveEventList& events) {
  for (std::size_t i = 1; i < events.size(); ++i) {
    const ReceiveEvent moving = events[i];
    std::size_t j = i;
    while (j > 0 && events[j - 1].cycle > moving.cycle) {
      events[j] = events[j - 1];
      --j;
    }
    events[j] = moving;
  }
}

}  // namespace

Result<SenderRowTiming> sender_row_timing(const Row& row, std::uint32_t base) {
  if (row[0] != words::kSync3) return schedule_error("sender row entry");
  const std::size_t ret = find_return(row);
  if (ret == 0) return schedule_error("sender row return");

  std::uint32_t t = base;
  std::uint32_t payload_start = 0;
  std::uint32_t payload_end = 0;
  bool has_payload = false;
  for (std::size_t i = 1; i < ret;) {
    const Word w = row[i];
    const Kind kind = words::classify(w);
    std::uint32_t end = 0;
    if (__builtin_add_overflow(t, words::duration(w), &end))
      return schedule_error("sender event horizon overflow");
    if (words::is_payload_send(kind)) {
      if (!has_payload) payload_start = t;
      payload_end = end;
      has_payload = true;
    }
    t = end;
    // A PicPair's second word is data, not an instruction.
    i += words::word_count(kind);
  }
  if (!has_payload) return schedule_error("sender payload");
  return SenderRowTiming{payload_start, payload_end, t};
}

Result<ReceiveRowTiming> receive_row_timing(const Row& row, std::uint32_t base) {
  if (row[0] != words::kSync3) return schedule_error("receive row entry");
  const std::size_t ret = find_return(row);
  if (ret == 0) return schedule_error("receive row return");

  ReceiveRowTiming timing;
  std::uint32_t t = base;
  for (std::size_t i = 1; i < ret;) {
    const Word w = row[i];
    const Kind kind = words::classify(w);
    std::uint32_t end = 0;
    if (__builtin_add_overflow(t, words::duration(w), &end))
      return schedule_error("receive event horizon overflow");
    switch (kind) {
      case Kind::XpicControl:
        timing.events.push_back({end, w, xpic_kind(words::xpic_value(w))});
        break;
      case Kind::PicControl:
        timing.events.push_back({end, w, pic_kind(words::pic_value(w))});
        break;
      case Kind::PicPairSend: {
        // Both controls take effect one cycle after the send starts.
        if (t == 0xffffffffu) return schedule_error("receive event horizon overflow");
        const Word second = row[i + 1];
        const std::uint32_t xpic_value = words::picpair_xpic_value(second);
        const std::uint32_t pic_value = words::picpair_pic_value(w, second);
        timing.events.push_back({t + 1, words::kXpicBase | xpic_value, xpic_kind(xpic_value)});
        timing.events.push_back({t + 1, words::kPicBase | pic_value, pic_kind(pic_value)});
        break;
      }
      default:
        break;
    }
    t = end;
    i += words::word_count(kind);
  }

  for (const ReceiveEvent& event : timing.events) {
    switch (event.kind) {
      case ReceiveEventKind::Source:
      case ReceiveEventKind::PairedSource:
        if (timing.source) return schedule_error("multiple receive sources");
        timing.source = event.cycle;
        break;
      case ReceiveEventKind::Teardown:
      case ReceiveEventKind::PairedTeardown:
        if (timing.teardown) return schedule_error("multiple receive teardowns");
        timing.teardown = event.cycle;
        break;
      case ReceiveEventKind::Pointer:
      case ReceiveEventKind::PairedPointer:
        if (timing.pointer) return schedule_error("multiple receive pointers");
        timing.pointer = event.cycle;
        timing.address = ((event.control & words::kPicPointerMask) * 4) & 0xffffc;
        break;
      case ReceiveEventKind::Format: {
        const std::uint32_t value = event.control & words::kPicPointerMask;
        if (value == 1 || value == 2) {
          if (timing.paired_start) return schedule_error("multiple paired format starts");
          timing.paired_start = event.cycle;
        } else if (value == 0) {
          if (timing.paired_end) return schedule_error("multiple paired format ends");
          timing.paired_end = event.cycle;
        } else {
          return schedule_error("paired receive format value");
        }
        break;
      }
    }
  }

  if (!timing.paired_start) {
    for (const ReceiveEvent& event : timing.events)
      if (event.kind == ReceiveEventKind::PairedSource ||
          event.kind == ReceiveEventKind::PairedTeardown)
        return schedule_error("incomplete paired receive format");
    if (!timing.source || !timing.teardown)
      return schedule_error("incomplete ordinary receive mux");
    timing.paired = false;
  } else {
    if (!timing.paired_end) return schedule_error("incomplete paired receive format");
    for (ReceiveEvent& event : timing.events)
      if (event.kind == ReceiveEventKind::Pointer) event.kind = ReceiveEventKind::PairedPointer;
    timing.paired = true;
  }
  timing.horizon = t;
  return timing;
}

Result<ScheduledReceiverWindow> scheduled_receive_window(
    ReceiveRowTiming timing, std::uint32_t offset, std::uint32_t count,
    const std::optional<IncomingState>& state) {
  bool wrapped = false;
  const auto shift = [&](std::uint32_t& cycle) {
    wrapped |= __builtin_add_overflow(cycle, offset, &cycle);
  };
  const auto shift_optional = [&](std::optional<std::uint32_t>& cycle) {
    if (cycle) shift(*cycle);
  };
  for (ReceiveEvent& event : timing.events) shift(event.cycle);
  shift_optional(timing.teardown);
  shift_optional(timing.source);
  shift_optional(timing.paired_start);
  shift_optional(timing.paired_end);
  shift_optional(timing.pointer);
  shift(timing.horizon);
  if (wrapped) return schedule_error("receive offset overflow");

  ScheduledReceiverWindow window;
  if (timing.source) {
    window.source = *timing.source;
  } else if (timing.paired_start) {
    window.source = *timing.paired_start;
  } else {
    return schedule_error("receive source timing");
  }
  if (__builtin_add_overflow(window.source, count, &window.source_end))
    return schedule_error("receive source timing overflow");

  // The tile's paired format carries on when this row starts the same format exactly where the
  // previous one would have ended: that format-end and this format-start cancel out.
  std::size_t format_start_index = timing.events.size();
  if (timing.paired_start) {
    for (std::size_t i = 0; i < timing.events.size(); ++i) {
      if (timing.events[i].kind == ReceiveEventKind::Format &&
          timing.events[i].cycle == *timing.paired_start) {
        format_start_index = i;
        break;
      }
    }
  }
  bool continues_format = false;
  if (format_start_index < timing.events.size() && state && state->paired_format) {
    const std::uint32_t value = timing.events[format_start_index].control & words::kPicPointerMask;
    continues_format = state->format_value == value && state->format_end == timing.paired_start;
  }

  // An ordinary receive into the memory right after the previous one needs no new pointer.
  bool continues_pointer = false;
  if (state && !timing.paired && !state->paired) {
    continues_pointer =
        timing.address ? state->address_end == timing.address : !state->address_end.has_value();
  }

  if (!timing.pointer) return schedule_error("receive pointer event");
  window.pointer = *timing.pointer;
  if (__builtin_add_overflow(window.pointer, count, &window.payload_end))
    return schedule_error("receive payload timing overflow");

  // The horizon was shifted (and checked) with the other cycles above, so no wrap is left here.
  const std::uint32_t end = std::max(window.source_end, window.payload_end);
  window.horizon = std::max(end, timing.horizon);

  for (std::size_t i = 0; i < timing.events.size(); ++i) {
    ReceiveEvent event = timing.events[i];
    if (event.kind == ReceiveEventKind::Teardown) event.cycle = window.source_end;
    if (continues_pointer && event.kind == ReceiveEventKind::Pointer) continue;
    if (continues_format && i == format_start_index) continue;
    window.events.push_back(event);
  }
  insertion_sort_by_cycle(window.events);
  for (std::size_t i = 0; i + 1 < window.events.size(); ++i) {
    const ReceiveEvent& a = window.events[i];
    const ReceiveEvent& b = window.events[i + 1];
    if (a.cycle != b.cycle) continue;
    const bool third = i + 2 < window.events.size() && window.events[i + 2].cycle == a.cycle;
    if (third || !is_allowed_simultaneous_pair(a.kind, b.kind))
      return schedule_error("incompatible simultaneous receive controls");
  }

  window.address = timing.address;
  window.continues_paired_format = continues_format;
  return window;
}

}  // namespace kro_exchange
