#include "kro_exchange/diagnostic.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>
#include <limits>

#include "kro_exchange/words.hpp"
#include "kro_runtime/log.hpp"
#include "kro_runtime/log_events.hpp"
#include "kro_runtime/panic.hpp"

namespace kro_exchange::diagnostic {

namespace {

using words::Kind;
using words::Word;

constexpr std::uint32_t kMaxCycle = std::numeric_limits<std::uint32_t>::max();

std::string_view stream_name(IncomingControlStream stream) {
  return stream == IncomingControlStream::Pic ? "Pic" : "Xpic";
}

std::string_view encoding_name(SendEncoding encoding) {
  switch (encoding) {
    case SendEncoding::Explicit:
      return "Explicit";
    case SendEncoding::Offset:
      return "Offset";
    case SendEncoding::Pic:
      return "Pic";
    case SendEncoding::PicPair:
      return "PicPair";
  }
  return {};
}

void append_control(fmt::memory_buffer& out, const IncomingControl& control) {
  fmt::format_to(std::back_inserter(out), "IncomingControl {{ stream: {}, value: {} }}",
                 stream_name(control.stream), control.value);
}

void append_operation(fmt::memory_buffer& out, const PlanOperation& operation) {
  const auto it = std::back_inserter(out);
  std::visit(
      [&](const auto& op) {
        using Op = std::decay_t<decltype(op)>;
        if constexpr (std::is_same_v<Op, Delay>) {
          fmt::format_to(it, "Delay");
        } else if constexpr (std::is_same_v<Op, IncomingControl>) {
          fmt::format_to(it, "IncomingControl(");
          append_control(out, op);
          fmt::format_to(it, ")");
        } else if constexpr (std::is_same_v<Op, Send>) {
          fmt::format_to(it, "Send {{ encoding: {}, words: {}, raw_operand: {}, send_control: ",
                         encoding_name(op.encoding), op.words, op.raw_operand);
          if (op.send_control) {
            fmt::format_to(it, "Some({})", *op.send_control);
          } else {
            fmt::format_to(it, "None");
          }
          fmt::format_to(it, ", controls: [");
          for (std::size_t i = 0; i < op.controls.size(); ++i) {
            if (i > 0) fmt::format_to(it, ", ");
            append_control(out, op.controls[i]);
          }
          fmt::format_to(it, "] }}");
        } else if constexpr (std::is_same_v<Op, Sync>) {
          fmt::format_to(it, "Sync({})", op.kind);
        } else if constexpr (std::is_same_v<Op, Return>) {
          fmt::format_to(it, "Return");
        } else {
          static_assert(std::is_same_v<Op, Unknown>);
          fmt::format_to(it, "Unknown({})", op.word);
        }
      },
      operation);
}

PlanOperation decode_operation(Kind kind, Word word, Word second) {
  switch (kind) {
    case Kind::Delay:
      return Delay{};
    case Kind::XpicControl:
      return IncomingControl{IncomingControlStream::Xpic, words::xpic_value(word)};
    case Kind::PicControl:
      return IncomingControl{IncomingControlStream::Pic, words::pic_value(word)};
    case Kind::PicPairSend:
      return Send{
          SendEncoding::PicPair,
          words::send_count_low(word),
          words::send_operand(word),
          static_cast<std::uint8_t>(words::send_control(word)),
          {IncomingControl{IncomingControlStream::Xpic, words::picpair_xpic_value(second)},
           IncomingControl{IncomingControlStream::Pic, words::picpair_pic_value(word, second)}}};
    case Kind::PicSend:
      return Send{SendEncoding::Pic,
                  words::send_count_low(word),
                  words::pic_send_raw_operand(word),
                  std::nullopt,
                  {IncomingControl{words::pic_send_selects_pic(word) ? IncomingControlStream::Pic
                                                                     : IncomingControlStream::Xpic,
                                   words::pic_send_value(word)}}};
    case Kind::ExplicitSend:
      return Send{SendEncoding::Explicit,
                  words::send_count_low(word),
                  words::send_operand(word),
                  static_cast<std::uint8_t>(words::send_control(word)),
                  {}};
    case Kind::OffsetSend:
      return Send{SendEncoding::Offset,
                  words::offset_count(word),
                  words::offset_operand(word),
                  static_cast<std::uint8_t>(words::send_control(word)),
                  {}};
    case Kind::Sync:
      return Sync{static_cast<std::uint8_t>(words::sync_kind(word))};
    case Kind::Return:
      return Return{};
    case Kind::Unknown:
      break;
  }
  return Unknown{word};
}

template <class It>
Result<PlanProgramDiagnostic> decode(It it, It end, std::uint64_t count,
                                     std::optional<std::uint32_t> base) {
  KRO_ASSERT(count <= kMaxCycle, "exchange program word count fits u32");
  PlanProgramDiagnostic diagnostic;
  diagnostic.word_count = static_cast<std::uint32_t>(count);
  diagnostic.instructions.reserve(static_cast<std::size_t>(count));
  std::uint32_t cycle = 0;
  std::uint32_t index = 0;
  while (it != end) {
    const Word word = *it;
    ++it;
    const Kind kind = words::classify(word);
    Word second = 0;
    if (kind == Kind::PicPairSend) {
      if (it == end) return schedule_error("truncated SENDPICP payload");
      second = *it;
      ++it;
    }
    const std::uint32_t duration = words::duration(word);
    if (cycle > kMaxCycle - duration) return schedule_error("diagnostic event horizon overflow");
    std::optional<std::uint32_t> address;
    if (base) {
      const std::uint64_t byte = std::uint64_t{*base} + std::uint64_t{4} * index;
      if (byte > kMaxCycle) return schedule_error("diagnostic row address overflow");
      address = static_cast<std::uint32_t>(byte);
    }
    diagnostic.instructions.push_back(DecodedPlanInstruction{
        decode_operation(kind, word, second), address, index, cycle, cycle + duration});
    cycle += duration;
    index += words::word_count(kind);
  }
  diagnostic.horizon = cycle;
  return diagnostic;
}

// An incoming-control change at a cycle; ordered by (cycle, stream, value).
struct TimedControl {
  std::uint32_t cycle = 0;
  IncomingControl control;

  friend bool operator==(const TimedControl&, const TimedControl&) = default;
  friend auto operator<=>(const TimedControl&, const TimedControl&) = default;
};

struct OutgoingInterval {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  SendEncoding encoding = SendEncoding::Explicit;
};

void append_timed(fmt::memory_buffer& out, const TimedControl& timed) {
  fmt::format_to(std::back_inserter(out), "({}, ", timed.cycle);
  append_control(out, timed.control);
  fmt::format_to(std::back_inserter(out), ")");
}

std::string entry_text(const std::vector<TimedControl>& list, std::size_t index) {
  if (index >= list.size()) return "None";
  fmt::memory_buffer out;
  fmt::format_to(std::back_inserter(out), "Some(");
  append_timed(out, list[index]);
  fmt::format_to(std::back_inserter(out), ")");
  return fmt::to_string(out);
}

// The entries from index - 3 up to, not including, index + 4, clipped to the list.
std::string window_text(const std::vector<TimedControl>& list, std::size_t index) {
  const std::size_t from = std::min(index - std::min<std::size_t>(index, 3), list.size());
  const std::size_t to = std::min(index + 4, list.size());
  fmt::memory_buffer out;
  fmt::format_to(std::back_inserter(out), "[");
  for (std::size_t i = from; i < to; ++i) {
    if (i > from) fmt::format_to(std::back_inserter(out), ", ");
    append_timed(out, list[i]);
  }
  fmt::format_to(std::back_inserter(out), "]");
  return fmt::to_string(out);
}

void log_control_mismatch(std::uint16_t tile, const std::vector<TimedControl>& actual,
                          const std::vector<TimedControl>& expected, std::size_t first) {
  const auto& descriptor = kro_runtime::log_events::encoded_controls_differ;
  if (!kro_runtime::log::enabled(descriptor)) return;
  kro_runtime::log::emit(descriptor, tile, first, actual.size(), expected.size(),
                         kro_runtime::log::Debug{entry_text(actual, first)},
                         kro_runtime::log::Debug{entry_text(expected, first)},
                         kro_runtime::log::Debug{window_text(actual, first)},
                         kro_runtime::log::Debug{window_text(expected, first)});
}

Result<PlanProgramDiagnostic> validate(std::uint16_t tile, std::uint32_t horizon,
                                       const Chunked<ScheduledSenderRow>& sender_rows,
                                       const Chunked<ReceiveEvent>& receive_events,
                                       Result<PlanProgramDiagnostic> decoded) {
  if (!decoded) return decoded;
  const PlanProgramDiagnostic& program = *decoded;
  if (program.horizon != horizon) return schedule_error("encoded tile horizon mismatch");
  for (const DecodedPlanInstruction& instruction : program.instructions) {
    if (std::holds_alternative<Unknown>(instruction.operation)) {
      return schedule_error("unknown encoded exchange instruction");
    }
  }

  std::vector<TimedControl> actual;
  std::vector<OutgoingInterval> outgoing;
  for (const DecodedPlanInstruction& instruction : program.instructions) {
    if (const auto* control = std::get_if<IncomingControl>(&instruction.operation)) {
      actual.push_back({instruction.end_cycle, *control});
    } else if (const auto* send = std::get_if<Send>(&instruction.operation)) {
      // A send's controls take effect one cycle after it starts; it lasts at least one cycle,
      // so this does not wrap.
      for (const IncomingControl& control : send->controls) {
        actual.push_back({instruction.start_cycle + 1, control});
      }
      // Receive-only PicPairs (control 0) send nothing.
      if (send->send_control != std::optional<std::uint8_t>(0)) {
        outgoing.push_back({instruction.start_cycle, instruction.end_cycle, send->encoding});
      }
    }
  }

  std::vector<TimedControl> expected;
  expected.reserve(static_cast<std::size_t>(receive_events.len()));
  for (const ReceiveEvent& event : receive_events) {
    if (is_xpic_kind(event.kind)) {
      expected.push_back(
          {event.cycle, {IncomingControlStream::Xpic, event.control & words::kXpicValueMask}});
    } else {
      expected.push_back(
          {event.cycle, {IncomingControlStream::Pic, event.control & words::kPicValueMask}});
    }
  }

  std::sort(actual.begin(), actual.end());
  std::sort(expected.begin(), expected.end());
  const auto [actual_at, expected_at] =
      std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
  if (actual_at != actual.end() || expected_at != expected.end()) {
    log_control_mismatch(tile, actual, expected,
                         static_cast<std::size_t>(actual_at - actual.begin()));
    return schedule_error("encoded incoming-control mismatch");
  }

  // Sends run one after another, so the intervals are ordered by start and by end.
  for (const ScheduledSenderRow& row : sender_rows) {
    auto it = std::partition_point(
        outgoing.begin(), outgoing.end(),
        [&](const OutgoingInterval& interval) { return interval.end <= row.payload_start; });
    if (it == outgoing.end() || it->start >= row.payload_end) {
      return schedule_error("encoded sender interval mismatch");
    }
    std::uint32_t reached = row.payload_start;
    for (; it != outgoing.end() && it->start < row.payload_end; ++it) {
      if (it->start != reached) return schedule_error("encoded sender interval mismatch");
      reached = it->end;
    }
    if (reached != row.payload_end) return schedule_error("encoded sender interval mismatch");
  }

  // An interval lies inside some payload when, among the payloads starting at or before it, the
  // furthest-reaching one ends at or after it.
  struct Payload {
    std::uint32_t start;
    std::uint32_t reach;
  };
  std::vector<Payload> payloads;
  payloads.reserve(static_cast<std::size_t>(sender_rows.len()));
  for (const ScheduledSenderRow& row : sender_rows) {
    payloads.push_back({row.payload_start, row.payload_end});
  }
  std::sort(payloads.begin(), payloads.end(),
            [](const Payload& a, const Payload& b) { return a.start < b.start; });
  for (std::size_t i = 1; i < payloads.size(); ++i) {
    payloads[i].reach = std::max(payloads[i].reach, payloads[i - 1].reach);
  }
  for (const OutgoingInterval& interval : outgoing) {
    const auto after = std::partition_point(
        payloads.begin(), payloads.end(),
        [&](const Payload& payload) { return payload.start <= interval.start; });
    if (after == payloads.begin() || std::prev(after)->reach < interval.end) {
      return schedule_error("unexpected encoded outgoing interval");
    }
  }
  return decoded;
}

}  // namespace

IncomingControls::IncomingControls(std::initializer_list<IncomingControl> controls) {
  for (const IncomingControl& control : controls) push_back(control);
}

void IncomingControls::push_back(const IncomingControl& control) {
  KRO_ASSERT(size_ < items_.size(), "a send switches at most two incoming controls");
  items_[size_++] = control;
}

std::string debug_text(const PlanOperation& operation) {
  fmt::memory_buffer out;
  append_operation(out, operation);
  return fmt::to_string(out);
}

std::string debug_text(const IncomingControl& control) {
  fmt::memory_buffer out;
  append_control(out, control);
  return fmt::to_string(out);
}

std::string PlanProgramDiagnostic::render() const {
  fmt::memory_buffer out;
  const auto it = std::back_inserter(out);
  for (const DecodedPlanInstruction& instruction : instructions) {
    if (instruction.address) {
      fmt::format_to(it, "0x{:05x}", *instruction.address);
    } else {
      fmt::format_to(it, "word+{}", instruction.word_index);
    }
    fmt::format_to(it, " cycles={}..{} ", instruction.start_cycle, instruction.end_cycle);
    append_operation(out, instruction.operation);
    out.push_back('\n');
  }
  return fmt::to_string(out);
}

Result<PlanProgramDiagnostic> diagnose_plan_program(std::span<const std::uint32_t> words,
                                                    std::optional<std::uint32_t> base) {
  return decode(words.begin(), words.end(), words.size(), base);
}

Result<PlanProgramDiagnostic> diagnose_plan_program(const Chunked<std::uint32_t>& words,
                                                    std::optional<std::uint32_t> base) {
  return decode(words.begin(), words.end(), words.len(), base);
}

Result<PlanProgramDiagnostic> validate_tile_program(std::uint16_t tile, std::uint32_t horizon,
                                                    const Chunked<ScheduledSenderRow>& sender_rows,
                                                    const Chunked<ReceiveEvent>& receive_events,
                                                    std::span<const std::uint32_t> words) {
  return validate(tile, horizon, sender_rows, receive_events,
                  diagnose_plan_program(words, std::nullopt));
}

Result<PlanProgramDiagnostic> validate_tile_program(std::uint16_t tile, std::uint32_t horizon,
                                                    const Chunked<ScheduledSenderRow>& sender_rows,
                                                    const Chunked<ReceiveEvent>& receive_events,
                                                    const Chunked<std::uint32_t>& words) {
  return validate(tile, horizon, sender_rows, receive_events,
                  diagnose_plan_program(words, std::nullopt));
}

}  // namespace kro_exchange::diagnostic
