// Cost of a log event: discarded before installation, filtered out by level, and written.
//
// Benchmarks run in registration order; the process-wide subscriber (filter "info", lines to
// /dev/null) is installed by the first benchmark that needs it and never removed, so the
// "not initialised" case must run first.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>

#include "kro_runtime/log.hpp"
#include "kro_runtime/log_events.hpp"
#include "kro_runtime/log_subscriber.hpp"

namespace {

using namespace kro_runtime;

std::FILE* dev_null() {
  static std::FILE* const sink = std::fopen("/dev/null", "w");
  return sink;
}

void install_info_subscriber() {
  static const bool done = [] {
    log::install(log::Subscriber(*log::Filter::parse("info"), log::Format::Text, dev_null()));
    return true;
  }();
  (void)done;
}

void BM_DebugEventNotInitialised(benchmark::State& state) {
  if (log::installed()) {
    state.SkipWithError("a subscriber is already installed");
    return;
  }
  std::uint16_t tile = 0;
  for (auto _ : state) {
    KRO_LOG_EVENT(log_events::assembled_point_to_point, tile, tile + 1, 52u);
    benchmark::DoNotOptimize(++tile);
  }
}
BENCHMARK(BM_DebugEventNotInitialised);

void BM_DebugEventFilteredAtInfo(benchmark::State& state) {
  install_info_subscriber();
  std::uint16_t tile = 0;
  for (auto _ : state) {
    KRO_LOG_EVENT(log_events::assembled_point_to_point, tile, tile + 1, 52u);
    benchmark::DoNotOptimize(++tile);
  }
}
BENCHMARK(BM_DebugEventFilteredAtInfo);

void BM_InfoEventWrittenToDevNull(benchmark::State& state) {
  install_info_subscriber();
  std::uint32_t phase = 0;
  for (auto _ : state) {
    KRO_LOG_EVENT(log_events::compared_ordinary_and_paired, phase, 2u, 1200u, 1100u, true);
    benchmark::DoNotOptimize(++phase);
  }
}
BENCHMARK(BM_InfoEventWrittenToDevNull);

void BM_InfoEventJsonToDevNull(benchmark::State& state) {
  const log::Subscriber subscriber(*log::Filter::parse("info"), log::Format::Json, dev_null());
  const auto& descriptor = log_events::compared_ordinary_and_paired;
  std::uint32_t phase = 0;
  for (auto _ : state) {
    if (subscriber.enabled(descriptor.level, descriptor.target)) {
      const std::array<log::FieldValue, 5> values{phase, 2u, 1200u, 1100u, true};
      subscriber.write(descriptor.meta(), descriptor.fields, values);
    }
    benchmark::DoNotOptimize(++phase);
  }
}
BENCHMARK(BM_InfoEventJsonToDevNull);

// The directive lookup that catalogued events skip thanks to their cached decision.
void BM_FilterLookupWithoutCache(benchmark::State& state) {
  const auto filter =
      *log::Filter::parse("info,kro_exchange=debug,kro_codegen::exchange::order=trace");
  for (auto _ : state)
    benchmark::DoNotOptimize(filter.enabled(log::Level::Debug, "kro_codegen::exchange::reuse"));
}
BENCHMARK(BM_FilterLookupWithoutCache);

}  // namespace
