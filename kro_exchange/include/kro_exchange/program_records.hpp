// Record encoders: the pieces of a tile program that the encoder and the paired receiver row
// builder write.
//
// - `append_receive_events_record` times incoming-control changes outside any send: single
//   controls with their advance field, simultaneous PIC/XPIC pairs as receive-only PicPair sends,
//   Delays in between and up to a target cycle.
// - `append_sender_message` writes one sender row's payload as Explicit and Offset sends, folding
//   the controls that fall inside the payload into Pic and PicPair sends.
// - `emit_sender_words` writes a stretch of payload words, optionally leaving the word count even
//   so that a PicPair can follow (PicPairs must start at even word indices).
//
// They append to any `WordSink`: the encoder's `Chunked<u32>` or a `FixedWordBuffer` (a row is
// built in a fixed array of nine words). Every failure is a `Schedule` error; the sink may hold a
// partial record afterwards, so callers drop it on error.
#pragma once

#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>

#include "kro_exchange/checkpoint.hpp"
#include "kro_exchange/chunked.hpp"
#include "kro_exchange/error.hpp"
#include "kro_exchange/receive_event.hpp"
#include "kro_exchange/words.hpp"

namespace kro_exchange {

template <class S>
concept WordSink = requires(S& sink, const S& view, std::uint32_t word,
                            const std::array<std::uint32_t, 2>& pair) {
  sink.push(word);
  sink.extend(pair);
  { view.len() } -> std::convertible_to<std::uint64_t>;
};

// Fixed room for N words that never writes past it: words beyond N are counted but dropped, so
// the caller can report a row that does not fit.
template <std::size_t N>
class FixedWordBuffer {
 public:
  void push(std::uint32_t word) {
    if (len_ < N) words_[static_cast<std::size_t>(len_)] = word;
    ++len_;
  }
  void extend(const std::array<std::uint32_t, 2>& pair) {
    push(pair[0]);
    push(pair[1]);
  }
  // Words pushed, including those that did not fit.
  std::uint64_t len() const { return len_; }
  bool overflowed() const { return len_ > N; }
  // The stored words, zero after the last one pushed.
  const std::array<std::uint32_t, N>& words() const { return words_; }

 private:
  std::array<std::uint32_t, N> words_{};
  std::uint64_t len_ = 0;
};

// Where a receive-events record reports its checkpoints, with the progress counters that go
// into them: the sender rows done so far and the events consumed before the record.
struct CheckpointSink {
  Chunked<encoding::Checkpoint>& checkpoints;
  std::uint64_t rows_done = 0;
  std::uint64_t events_before = 0;
};

// The advance writer: `word` (a Delay, PIC or XPIC control) rewritten so that, started at `cur`,
// it ends at `cycle`. Requires cycle >= cur.
Result<std::uint32_t> with_event_advance(std::uint32_t word, std::uint32_t cur,
                                         std::uint32_t cycle);

// The two controls of a simultaneous pair, XPIC one first.
struct PicPairControls {
  ReceiveEvent xpic;
  ReceiveEvent pic;
};
Result<PicPairControls> picpair_controls(const ReceiveEvent& a, const ReceiveEvent& b);

// Delays (each at most 524288 cycles, the first ones as long as possible) until cur == cycle.
template <WordSink W>
Result<void> append_delays_until(W& words, std::uint32_t& cur, std::uint32_t cycle) {
  if (cycle < cur) return schedule_error("plan delay order");
  while (cur < cycle) {
    const std::uint32_t d = std::min(cycle - cur, words::kMaxDelayCycles);
    words.push(words::delay(d));
    cur += d;
  }
  return {};
}

namespace records_detail {

// End of the group of events sharing events[begin].cycle.
inline std::size_t group_end(std::span<const ReceiveEvent> events, std::size_t begin) {
  std::size_t end = begin + 1;
  while (end < events.size() && events[end].cycle == events[begin].cycle) ++end;
  return end;
}

// Delays that make a PicPair start exactly at `start` at an even word index: as few Delays as
// the length allows plus one for parity, the cycles spread so that every Delay gets at least one.
template <WordSink W>
Result<void> append_aligned_delays(W& words, std::uint32_t& cur, std::uint32_t start) {
  if (start < cur) return schedule_error("plan delay order");
  const std::uint32_t o = start - cur;
  if (o == 0) {
    if (words.len() % 2 == 1) return schedule_error("SENDPICP instruction alignment");
    return {};
  }
  std::uint64_t t = (std::uint64_t{o} + words::kMaxDelayCycles - 1) / words::kMaxDelayCycles;
  if ((words.len() + t) % 2 == 1) ++t;
  if (o < t) return schedule_error("SENDPICP instruction alignment");
  std::uint64_t remaining = o;
  for (std::uint64_t k = t; k > 0; --k) {
    const auto d = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(words::kMaxDelayCycles, remaining - (k - 1)));
    words.push(words::delay(d));
    remaining -= d;
  }
  cur = start;
  return {};
}

}  // namespace records_detail

// Receive events (sorted by cycle) encoded from `cur` on, then Delays up to `target`. With
// `align`, PicPairs are kept at even word indices. With a sink, a checkpoint follows each group
// of simultaneous events.
template <WordSink W>
Result<void> append_receive_events_record(W& words, std::uint32_t& cur,
                                          std::span<const ReceiveEvent> events,
                                          std::uint32_t target, bool align, CheckpointSink* sink) {
  std::size_t i = 0;
  while (i < events.size()) {
    const std::uint32_t c = events[i].cycle;
    const std::size_t j = records_detail::group_end(events, i);
    // The last cycle this group's words may reach before the next group must take over.
    std::uint32_t m = target;
    if (j < events.size()) m = events[j].cycle == 0 ? 0 : events[j].cycle - 1;

    const std::size_t size = j - i;
    if (size == 1) {
      const ReceiveEvent& event = events[i];
      if (c < cur) return schedule_error("receive event order");
      if (c == cur) return schedule_error("receive control issue interval");
      const words::Kind kind = words::classify(event.control);
      if (kind != words::Kind::PicControl && kind != words::Kind::XpicControl)
        return schedule_error("receive timed event");
      // A control can wait at most its advance field's reach; Delays cover the rest.
      const std::uint32_t reach =
          kind == words::Kind::PicControl ? words::kMaxPicAdvance + 1 : words::kMaxXpicAdvance + 1;
      if (c - cur > reach) {
        if (auto r = append_delays_until(words, cur, c - reach); !r) return r;
      }
      const Result<std::uint32_t> word = with_event_advance(event.control, cur, c);
      if (!word) return std::unexpected(word.error());
      words.push(*word);
      cur = c;
    } else if (size == 2) {
      if (c == 0) return schedule_error("receive control at phase entry");
      // The PicPair's controls take effect one cycle after it starts.
      if (align) {
        if (auto r = records_detail::append_aligned_delays(words, cur, c - 1); !r) return r;
      } else {
        if (auto r = append_delays_until(words, cur, c - 1); !r) return r;
      }
      if (m < cur) return schedule_error("receive control order");
      if (m == cur) return schedule_error("empty SENDPICP interval");
      const Result<PicPairControls> pair = picpair_controls(events[i], events[i + 1]);
      if (!pair) return std::unexpected(pair.error());
      const std::uint32_t n = std::min(m - cur, words::kMaxPicSendWords);
      words.extend(words::picpair_send(n, 0, 0, words::pic_value(pair->pic.control),
                                       words::xpic_value(pair->xpic.control)));
      cur += n;
    } else {
      return schedule_error("incompatible simultaneous receive controls");
    }

    if (sink != nullptr) {
      sink->checkpoints.push(encoding::Checkpoint{
          .pair = size == 2,
          .limit = m,
          .rows_done = sink->rows_done,
          .events_done = sink->events_before + j,
          .words_len = words.len(),
          .cycle = cur,
      });
    }
    i = j;
  }
  return append_delays_until(words, cur, target);
}

// `len` payload words from `cur`: the first piece as the row's Explicit send (`initial_word` with
// its count replaced) while it is unwritten, the rest as Offset sends with control `control`.
// With `align` the word count ends even, ready for a PicPair.
template <WordSink W>
Result<void> emit_sender_words(W& words, std::uint32_t& cur, std::uint32_t initial_word,
                               std::uint32_t control, std::uint32_t& left, std::uint32_t& sent,
                               bool& initial_written, std::uint32_t len, bool align) {
  if (left < len) return schedule_error("sender payload overflow");
  if (len == 0) {
    // A control in the payload's first word would need the initial send to carry it.
    if (!initial_written) return schedule_error("unencodable initial send control");
    if (align && words.len() % 2 == 1) return schedule_error("SENDPICP instruction alignment");
    return {};
  }

  const std::uint32_t first =
      std::min(len, initial_written ? words::kMaxOffsetWords : words::kMaxExplicitWords);
  const std::uint32_t rest = len - first;
  const std::uint32_t pieces = 1 + (rest + words::kMaxOffsetWords - 1) / words::kMaxOffsetWords;
  const auto piece = [&](std::uint32_t i) -> std::uint32_t {
    if (i == 0) return first;
    if (i + 1 < pieces) return words::kMaxOffsetWords;
    return rest - words::kMaxOffsetWords * (pieces - 2);
  };

  // Splitting one piece into 1 and the rest adds the word that evens the count.
  std::uint32_t split = pieces;
  if (align && (words.len() + pieces) % 2 == 1) {
    for (std::uint32_t i = pieces; i > 0; --i) {
      if (piece(i - 1) > 1) {
        split = i - 1;
        break;
      }
    }
    if (split == pieces) return schedule_error("SENDPICP instruction alignment");
  }
  if (!initial_written && words::classify(initial_word) != words::Kind::ExplicitSend)
    return schedule_error("initial send size");
  std::uint32_t end = 0;
  if (__builtin_add_overflow(cur, len, &end)) return schedule_error("sender payload horizon");

  const auto write = [&](std::uint32_t n) -> Result<void> {
    if (!initial_written) {
      if (!words::fits_explicit(n)) return schedule_error("initial send size");
      words.push(words::explicit_with_count(initial_word, n));
      initial_written = true;
    } else {
      words.push(words::offset_send(n, 0, control));
    }
    cur += n;
    sent += n;
    left -= n;
    return {};
  };
  for (std::uint32_t i = 0; i < pieces; ++i) {
    const std::uint32_t n = piece(i);
    if (i == split) {
      if (auto r = write(1); !r) return r;
      if (auto r = write(n - 1); !r) return r;
    } else {
      if (auto r = write(n); !r) return r;
    }
  }
  if (align && words.len() % 2 == 1) return schedule_error("SENDPICP instruction alignment");
  return {};
}

// One placed sender row from `cur`: Delays to its payload start, then its payload with the
// receive events that fall inside it (sorted by cycle) carried by Pic and PicPair sends.
template <WordSink W>
Result<void> append_sender_message(W& words, std::uint32_t& cur, const ScheduledSenderRow& row,
                                   std::span<const ReceiveEvent> events) {
  if (auto r = append_delays_until(words, cur, row.payload_start); !r) return r;

  std::uint32_t initial = 0;
  bool has_initial = false;
  std::uint32_t total = 0;
  for (std::size_t i = 0; i < row.words.size();) {
    const std::uint32_t w = row.words[i];
    const words::Kind kind = words::classify(w);
    if (kind == words::Kind::ExplicitSend) {
      if (has_initial) return schedule_error("multiple initial sends");
      initial = w;
      has_initial = true;
    }
    if (words::is_payload_send(kind) && __builtin_add_overflow(total, words::send_words(w), &total))
      return schedule_error("sender payload overflow");
    i += words::word_count(kind);
  }
  if (!has_initial) return schedule_error("sender payload");
  const std::uint32_t control = words::send_control(initial);
  const std::uint32_t source = words::send_operand(initial);

  std::uint32_t left = total;
  std::uint32_t sent = 0;
  bool initial_written = false;
  std::size_t i = 0;
  while (i < events.size()) {
    const std::uint32_t u = events[i].cycle;
    const std::size_t j = records_detail::group_end(events, i);
    const std::size_t size = j - i;
    if (size > 2) return schedule_error("incompatible simultaneous receive controls");
    if (u == 0) return schedule_error("send control at phase entry");
    if (u - 1 < cur) return schedule_error("send control order");
    if (u - cur - 1 >= left) return schedule_error("send control beyond payload");
    // Send up to the cycle before the control: the carrying send starts there.
    if (auto r = emit_sender_words(words, cur, initial, control, left, sent, initial_written,
                                   u - cur - 1, size == 2);
        !r)
      return r;

    std::uint32_t bound = row.payload_end;
    bool next_pair = false;
    if (j < events.size()) {
      if (events[j].cycle == 0) return schedule_error("send control order");
      bound = events[j].cycle - 1;
      next_pair = records_detail::group_end(events, j) - j == 2;
    }
    if (bound < cur) return schedule_error("send control order");
    std::uint32_t x = bound - cur;
    // Leave one word of room so that the next PicPair can be brought to an even index.
    if (next_pair && x > 1 && (words.len() + size) % 2 == 1) --x;
    std::uint32_t y = std::min(x, left);
    if (y == 0) return schedule_error("empty receive-control continuation");
    y = std::min(y, words::kMaxPicSendWords);

    if (size == 1) {
      const ReceiveEvent& event = events[i];
      words.push(is_xpic_kind(event.kind)
                     ? words::pic_send_xpic(y, event.control & words::kXpicValueMask)
                     : words::pic_send_pic(y, event.control & words::kPicValueMask));
    } else {
      std::uint32_t z = 0;
      if (__builtin_add_overflow(source, sent, &z))
        return schedule_error("SENDPICP source overflow");
      if (z > words::kMaxSendOperand) return schedule_error("SENDPICP operand");
      const Result<PicPairControls> pair = picpair_controls(events[i], events[i + 1]);
      if (!pair) return std::unexpected(pair.error());
      words.extend(words::picpair_send(y, control, z, words::pic_value(pair->pic.control),
                                       words::xpic_value(pair->xpic.control)));
    }
    cur += y;
    sent += y;
    left -= y;
    i = j;
  }

  std::uint32_t end = 0;
  if (__builtin_add_overflow(cur, left, &end)) return schedule_error("sender payload horizon");
  if (!initial_written) {
    if (left == 0) return schedule_error("initial send size");
    const std::uint32_t n = std::min(left, words::kMaxExplicitWords);
    words.push(words::explicit_with_count(initial, n));
    cur += n;
    sent += n;
    left -= n;
  }
  while (left > 0) {
    const std::uint32_t n = std::min(left, words::kMaxOffsetWords);
    words.push(words::offset_send(n, 0, control));
    cur += n;
    sent += n;
    left -= n;
  }
  if (cur != row.payload_end) return schedule_error("sender payload horizon");
  return {};
}

}  // namespace kro_exchange
