// Placing a phase's transfers on the whole Z310 card with the deferred search, then finishing
// (encoding and checking every tile). Time should grow close to linearly with the transfers.
#include <benchmark/benchmark.h>

#include <random>

#include "kro_exchange/phase_program_builder.hpp"

namespace kro_exchange {
namespace {

struct Transfer {
  std::uint16_t sender;
  std::vector<std::uint16_t> receivers;
  TransferRows rows;
  std::uint32_t count;
};

std::vector<Transfer> make_transfers(std::size_t n) {
  const Topology& card = Topology::z310();
  const auto tiles = static_cast<std::uint32_t>(card.len());
  std::mt19937 rng(42);
  std::vector<Transfer> out;
  out.reserve(n);
  while (out.size() < n) {
    Transfer t;
    t.sender = static_cast<std::uint16_t>(rng() % tiles);
    t.count = 1 + (rng() % 4 == 0 ? rng() % 2000 : rng() % 200);
    if (rng() % 3 == 0) {
      while (t.receivers.size() < 3) {
        const auto r = static_cast<std::uint16_t>(rng() % tiles);
        if (r != t.sender &&
            std::find(t.receivers.begin(), t.receivers.end(), r) == t.receivers.end()) {
          t.receivers.push_back(r);
        }
      }
      auto rows = card.multicast(t.sender, t.receivers, t.count, 0);
      if (!rows) continue;
      t.rows = std::move(*rows);
    } else {
      const auto r = static_cast<std::uint16_t>(rng() % tiles);
      if (r == t.sender) continue;
      auto exchange = card.point_to_point(t.sender, r, t.count);
      if (!exchange) continue;
      auto words = Topology::finalize_point_receiver(exchange->receiver, card.physical(t.sender));
      if (!words) continue;
      t.receivers = {r};
      t.rows = TransferRows{{to_row(*words)}, exchange->sender};
    }
    out.push_back(std::move(t));
  }
  return out;
}

void BM_PlaceDeferredAndFinish(benchmark::State& state) {
  const auto transfers = make_transfers(static_cast<std::size_t>(state.range(0)));
  const auto tiles = static_cast<std::uint16_t>(Topology::z310().len());
  for (auto _ : state) {
    PhaseProgramBuilder builder(tiles);
    for (const Transfer& t : transfers) {
      auto k =
          builder.earliest_transfer_offset_deferred(t.sender, {}, t.receivers, t.rows, t.count, 0);
      if (!k) continue;
      auto timing = builder.append_transfer_at(t.sender, {}, t.receivers, t.rows, *k, t.count);
      benchmark::DoNotOptimize(timing);
    }
    auto programs = builder.finish();
    if (!programs) state.SkipWithError(programs.error().display().c_str());
    benchmark::DoNotOptimize(programs);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["transfers_per_second"] = benchmark::Counter(
      static_cast<double>(state.range(0)), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_PlaceDeferredAndFinish)
    ->Arg(1000)
    ->Arg(2000)
    ->Arg(5000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond);

void BM_PlaceValidated(benchmark::State& state) {
  const auto transfers = make_transfers(static_cast<std::size_t>(state.range(0)));
  const auto tiles = static_cast<std::uint16_t>(Topology::z310().len());
  for (auto _ : state) {
    PhaseProgramBuilder builder(tiles);
    for (const Transfer& t : transfers) {
      auto k = builder.earliest_transfer_offset(t.sender, {}, t.receivers, t.rows, t.count, 0);
      if (!k) continue;
      auto timing = builder.append_transfer_at(t.sender, {}, t.receivers, t.rows, *k, t.count);
      benchmark::DoNotOptimize(timing);
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PlaceValidated)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kro_exchange
