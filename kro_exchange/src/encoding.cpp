#include "kro_exchange/encoding.hpp"

#include <algorithm>
#include <vector>

#include "kro_exchange/program_records.hpp"
#include "kro_exchange/words.hpp"

namespace kro_exchange::encoding {
namespace {

// Copies events[start, end) into `out` (the record encoders take contiguous slices).
void copy_events(const Chunked<ReceiveEvent>& events, std::uint64_t start, std::uint64_t end,
                 std::vector<ReceiveEvent>& out) {
  KRO_ASSERT(start <= end && end <= events.len(),
             "assertion failed: range.start <= range.end && range.end <= self.len");
  out.clear();
  for (std::uint64_t i = start; i < end; ++i) out.push_back(events[i]);
}

// First index at or after `from` whose event lies after `cycle`.
std::uint64_t events_through(const Chunked<ReceiveEvent>& events, std::uint64_t from,
                             std::uint32_t cycle) {
  while (from < events.len() && events[from].cycle <= cycle) ++from;
  return from;
}

// Whether encoding may resume at `c`: everything encoded before it is exactly what a fresh
// encoding of the current rows and events would write, and what comes next depends only on
// state the checkpoint holds.
bool usable(const Checkpoint& c, const Chunked<ScheduledSenderRow>& rows,
            const Chunked<ReceiveEvent>& events, std::uint32_t horizon) {
  const std::uint64_t w = c.rows_done;
  const std::uint64_t v = c.events_done;
  const std::uint32_t g = w < rows.len() ? rows[w].payload_start : horizon;
  if (g < c.cycle) return false;
  if (v < events.len() && !(c.cycle < events[v].cycle)) return false;
  if (v > 0 && !(events[v - 1].cycle < g)) return false;
  if (c.pair) {
    // The PicPair before the checkpoint was cut at this bound; it must still be the bound.
    const std::uint32_t limit = v < events.len() ? std::min(g, events[v].cycle - 1) : g;
    if (c.limit != limit) return false;
  }
  return true;
}

}  // namespace

Result<EncodedSchedule> build_scheduled_program(const Chunked<ScheduledSenderRow>& rows,
                                                const Chunked<ReceiveEvent>& events,
                                                std::uint32_t horizon,
                                                const std::optional<EncodingBase>& base) {
  const std::uint64_t n_rows = rows.len();
  const std::uint64_t n_events = events.len();

  // Clean prefix of the events, never splitting a group of simultaneous events. A base without
  // an encoding vouches for no event, so every event is checked.
  const bool has_base = base && base->schedule;
  std::uint64_t e = 0;
  if (has_base) {
    e = std::min(n_events, base->events_clean);
    while (e > 0 && e < n_events && events[e - 1].cycle == events[e].cycle) --e;
  }
  for (std::uint64_t i = e; i < n_events;) {
    std::uint64_t j = i + 1;
    while (j < n_events && events[j].cycle == events[i].cycle) ++j;
    if (j - i > 2 ||
        (j - i == 2 && !is_allowed_simultaneous_pair(events[i].kind, events[i + 1].kind)))
      return schedule_error("incompatible simultaneous receive controls");
    i = j;
  }

  EncodedSchedule out;
  std::uint64_t w = 0;
  std::uint64_t v = 0;
  std::uint32_t cur = 0;
  if (has_base && !base->schedule->checkpoints.is_empty()) {
    const Chunked<Checkpoint>& checkpoints = base->schedule->checkpoints;
    const std::uint64_t rows_clean = std::min(base->rows_clean, n_rows);
    // Checkpoints advance monotonically, so the candidates within the clean prefixes form a
    // prefix of the list; try them from the last one back.
    std::uint64_t k = checkpoints.partition_point(
        [&](const Checkpoint& c) { return c.rows_done <= rows_clean && c.events_done <= e; });
    for (; k > 0; --k) {
      const Checkpoint& c = checkpoints[k - 1];
      if (!usable(c, rows, events, horizon)) continue;
      out.words = base->schedule->words.prefix(c.words_len);
      out.checkpoints = checkpoints.prefix(k);
      w = c.rows_done;
      v = c.events_done;
      cur = c.cycle;
      break;
    }
  }

  std::vector<ReceiveEvent> slice;
  for (; w < n_rows; ++w) {
    const ScheduledSenderRow row = rows[w];
    std::uint64_t upto = events_through(events, v, row.payload_start);
    copy_events(events, v, upto, slice);
    CheckpointSink sink{out.checkpoints, w, v};
    if (auto r =
            append_receive_events_record(out.words, cur, slice, row.payload_start, true, &sink);
        !r)
      return std::unexpected(r.error());
    v = upto;

    upto = events_through(events, v, row.payload_end);
    copy_events(events, v, upto, slice);
    if (auto r = append_sender_message(out.words, cur, row, slice); !r)
      return std::unexpected(r.error());
    v = upto;
    out.checkpoints.push(Checkpoint{.pair = false,
                                    .limit = 0,
                                    .rows_done = w + 1,
                                    .events_done = v,
                                    .words_len = out.words.len(),
                                    .cycle = cur});
  }

  copy_events(events, v, n_events, slice);
  CheckpointSink sink{out.checkpoints, n_rows, v};
  if (auto r = append_receive_events_record(out.words, cur, slice, horizon, true, &sink); !r)
    return std::unexpected(r.error());
  out.words.push(words::kReturn);
  return out;
}

}  // namespace kro_exchange::encoding
