// Classifying words and taking their durations: the decoder and row timing do this for every word
// of every candidate row.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "kro_exchange/words.hpp"

namespace {

using namespace kro_exchange::words;

// A deterministic mix of every kind, roughly in the proportions of real programs.
std::vector<Word> mixed_words(std::size_t n) {
  std::mt19937 rng(42);
  std::vector<Word> out;
  out.reserve(n + 1);
  while (out.size() < n) {
    const std::uint32_t r = rng();
    switch (r % 10) {
      case 0:
        out.push_back(kSync3);
        break;
      case 1:
        out.push_back(delay(r % kMaxDelayCycles + 1));
        break;
      case 2:
        out.push_back(xpic_control(r % 0x4000, (r >> 14) % 4096));
        break;
      case 3:
        out.push_back(pic_control(r % 0x80000, (r >> 19) % 128));
        break;
      case 4: {
        const auto pair =
            picpair_send(r % 64 + 1, r % 8, r % 0x40000, (r >> 5) % 0x80000, (r >> 7) % 0x4000);
        out.push_back(pair[0]);
        out.push_back(pair[1]);
        break;
      }
      case 5:
        out.push_back(pic_send_pic(r % 64 + 1, r % 0x80000));
        break;
      case 6:
        out.push_back(explicit_send(r % 64 + 1, (r >> 6) % 0x40000, r % 8));
        break;
      case 7:
        out.push_back(offset_send(r % 4096 + 1, 0, r % 8));
        break;
      case 8:
        out.push_back(kReturn);
        break;
      default:
        out.push_back(r);
        break;
    }
  }
  return out;
}

constexpr std::size_t kWords = 4096;

void BM_Classify(benchmark::State& state) {
  const std::vector<Word> words = mixed_words(kWords);
  for (auto _ : state) {
    std::uint32_t counts[10] = {};
    for (const Word w : words) ++counts[static_cast<unsigned>(classify(w))];
    benchmark::DoNotOptimize(counts);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(words.size()));
}

void BM_Duration(benchmark::State& state) {
  const std::vector<Word> words = mixed_words(kWords);
  for (auto _ : state) {
    std::uint64_t cycles = 0;
    for (const Word w : words) cycles += duration(w);
    benchmark::DoNotOptimize(cycles);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(words.size()));
}

// Walking a program as the decoder does: a PicPair takes its second word along.
void BM_WalkProgram(benchmark::State& state) {
  const std::vector<Word> words = mixed_words(kWords);
  for (auto _ : state) {
    std::uint64_t cycles = 0;
    for (std::size_t i = 0; i < words.size(); i += word_count(classify(words[i]))) {
      cycles += duration(words[i]);
    }
    benchmark::DoNotOptimize(cycles);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(words.size()));
}

void BM_NormalizeAddresses(benchmark::State& state) {
  const std::vector<Word> words = mixed_words(kWords);
  for (auto _ : state) {
    auto normalized = kro_exchange::normalized_exchange_address_words(words);
    benchmark::DoNotOptimize(normalized.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(words.size()));
}

BENCHMARK(BM_Classify);
BENCHMARK(BM_Duration);
BENCHMARK(BM_WalkProgram);
BENCHMARK(BM_NormalizeAddresses);

}  // namespace
