// Re-encoding a tile after a change: only the tail after the last usable checkpoint is encoded,
// so appending a row costs the same for short and long tiles. A fresh encoding is the baseline.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "kro_exchange/encoding.hpp"
#include "kro_exchange/words.hpp"

namespace {

using kro_exchange::Chunked;
using kro_exchange::EncodedSchedule;
using kro_exchange::ReceiveEvent;
using kro_exchange::ReceiveEventKind;
using kro_exchange::ScheduledSenderRow;
using kro_exchange::encoding::build_scheduled_program;
using kro_exchange::encoding::EncodingBase;
namespace w = kro_exchange::words;

constexpr std::uint32_t kSpacing = 200;

// Row i sends 100 words from cycle 200 i + 10; a receive pointer lands between rows and, every
// other row, a second one inside the payload (carried by a Pic send).
ScheduledSenderRow row_at(std::uint32_t i) {
  ScheduledSenderRow row;
  row.words = {w::kSync3, w::explicit_send(64, i & 0xff, 1), w::offset_send(36, 0, 1), w::kReturn};
  row.payload_start = kSpacing * i + 10;
  row.payload_end = row.payload_start + 100;
  return row;
}

struct Tile {
  Chunked<ScheduledSenderRow> rows;
  Chunked<ReceiveEvent> events;
  std::uint32_t horizon = 0;
};

Tile tile_of(std::uint32_t n) {
  Tile t;
  for (std::uint32_t i = 0; i < n; ++i) {
    t.rows.push(row_at(i));
    if (i % 2 == 0)
      t.events.push({kSpacing * i + 60, w::pic_control(i & 0x3ffff, 0), ReceiveEventKind::Pointer});
    t.events.push({kSpacing * i + 150, w::pic_control(i & 0x3ffff, 0), ReceiveEventKind::Pointer});
  }
  t.horizon = kSpacing * n;
  return t;
}

void BM_ReencodeAfterAppendingARow(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  const Tile tile = tile_of(n);
  const auto first = build_scheduled_program(tile.rows, tile.events, tile.horizon, std::nullopt);
  if (!first) state.SkipWithError("encoding failed");
  const EncodingBase base{std::make_shared<const EncodedSchedule>(*first), n, tile.events.len()};
  for (auto _ : state) {
    Chunked<ScheduledSenderRow> rows = tile.rows;  // the builder's clone of the tile
    rows.push(row_at(n));
    auto again = build_scheduled_program(rows, tile.events, tile.horizon + kSpacing, base);
    benchmark::DoNotOptimize(again);
  }
  state.counters["words"] = static_cast<double>(first->words.len());
}
BENCHMARK(BM_ReencodeAfterAppendingARow)->Arg(100)->Arg(1000)->Arg(10000);

void BM_FreshEncoding(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  Tile tile = tile_of(n);
  tile.rows.push(row_at(n));
  tile.horizon += kSpacing;
  for (auto _ : state) {
    auto fresh = build_scheduled_program(tile.rows, tile.events, tile.horizon, std::nullopt);
    benchmark::DoNotOptimize(fresh);
  }
}
BENCHMARK(BM_FreshEncoding)->Arg(100)->Arg(1000)->Arg(10000);

}  // namespace
