// Duplicating a chunked sequence and changing the copy: the builder does this for every trial
// placement, so the cost must follow the number of chunks, not the number of elements.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "kro_exchange/chunked.hpp"

namespace {

using kro_exchange::CHUNK;
using Words = kro_exchange::Chunked<std::uint32_t>;

// Lengths that leave the last chunk partly filled, so a push onto a copy has to copy it.
constexpr std::int64_t kLengths[] = {10'000, 100'000, 1'000'000};

Words filled(std::int64_t n) {
  Words c;
  for (std::int64_t i = 0; i < n; ++i) c.push(static_cast<std::uint32_t>(i));
  return c;
}

void set_sizes(benchmark::State& state, const Words& c) {
  state.counters["chunks"] = static_cast<double>(c.chunk_count());
  state.counters["last_chunk"] = static_cast<double>(c.chunk_len(c.chunk_count() - 1));
}

// Copy the handle array (one reference-count increment per chunk) and drop it again.
void BM_Duplicate(benchmark::State& state) {
  const Words original = filled(state.range(0));
  for (auto _ : state) {
    Words copy = original;
    benchmark::DoNotOptimize(copy);
  }
  set_sizes(state, original);
}

// Duplicate, then push: the only element copies are those of the shared last chunk.
void BM_DuplicateThenPush(benchmark::State& state) {
  const Words original = filled(state.range(0));
  for (auto _ : state) {
    Words copy = original;
    copy.push(7);
    benchmark::DoNotOptimize(copy);
  }
  set_sizes(state, original);
}

// Duplicate, then truncate by a few elements, as a failed encoder resume does.
void BM_DuplicateThenTruncate(benchmark::State& state) {
  const Words original = filled(state.range(0));
  for (auto _ : state) {
    Words copy = original;
    copy.truncate(copy.len() - 5);
    benchmark::DoNotOptimize(copy);
  }
  set_sizes(state, original);
}

// For scale: a flat vector copy touches every element.
void BM_VectorCopy(benchmark::State& state) {
  std::vector<std::uint32_t> original(static_cast<std::size_t>(state.range(0)), 1);
  for (auto _ : state) {
    std::vector<std::uint32_t> copy = original;
    benchmark::DoNotOptimize(copy.data());
  }
}

void BM_Push(benchmark::State& state) {
  for (auto _ : state) {
    Words c;
    for (std::int64_t i = 0; i < state.range(0); ++i) c.push(static_cast<std::uint32_t>(i));
    benchmark::DoNotOptimize(c);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_Iterate(benchmark::State& state) {
  const Words c = filled(state.range(0));
  for (auto _ : state) {
    std::uint64_t sum = 0;
    for (const std::uint32_t v : c) sum += v;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Insert near the end of a copy and remove it again: touches the last few chunks only.
void BM_InsertRemoveNearEndOfCopy(benchmark::State& state) {
  const Words original = filled(state.range(0));
  const std::uint64_t at = original.len() - 3 * CHUNK;
  for (auto _ : state) {
    Words copy = original;
    copy.insert(at, 1);
    copy.remove(at + 1);
    benchmark::DoNotOptimize(copy);
  }
}

void lengths(benchmark::internal::Benchmark* b) {
  for (const std::int64_t n : kLengths) b->Arg(n);
}

BENCHMARK(BM_Duplicate)->Apply(lengths);
BENCHMARK(BM_DuplicateThenPush)->Apply(lengths);
BENCHMARK(BM_DuplicateThenTruncate)->Apply(lengths);
BENCHMARK(BM_VectorCopy)->Apply(lengths);
BENCHMARK(BM_Push)->Arg(100'000);
BENCHMARK(BM_Iterate)->Arg(100'000);
BENCHMARK(BM_InsertRemoveNearEndOfCopy)->Arg(100'000);

}  // namespace
