// Loading and validating a large snapshot: the start-up cost of every benchmark run. Both must be
// linear in the file size; the counters report the throughput in MB/s.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "kro_codegen/exchange/snapshot_reader.hpp"
#include "kro_codegen/exchange/snapshot_writer.hpp"

namespace {

using namespace kro_codegen::exchange;

// A valid snapshot of about `bytes` of JSON on the full card: point-to-point, multicast,
// multi-iteration and paired transfers with aligned, non-overflowing addresses.
ExchangeScheduleSnapshot generated_snapshot(std::size_t bytes) {
  std::mt19937 rng(42);
  ExchangeScheduleSnapshot snapshot{3, 1472, {}};
  // Roughly 170 bytes of JSON per transfer in the writer's layout.
  const std::size_t transfers = bytes / 170;
  const std::size_t per_phase = 20000;
  for (std::size_t done = 0; done < transfers;) {
    ExchangeScheduleProblem problem{static_cast<std::uint32_t>(snapshot.phases.size()), {}};
    for (std::size_t i = 0; i < per_phase && done < transfers; ++i, ++done) {
      ExchangeScheduleTransfer transfer;
      const bool paired = rng() % 8 == 0;
      transfer.source = static_cast<std::uint16_t>(rng() % 1472 & (paired ? ~1u : ~0u));
      transfer.width = paired ? ExchangeItemWidth::Paired64 : ExchangeItemWidth::Word32;
      transfer.words = paired ? 128 + 2 * (rng() % 400) : 1 + rng() % 1024;
      const std::size_t iterations = rng() % 5 == 0 ? 2 : 1;
      for (std::size_t k = 0; k < iterations; ++k) {
        transfer.source_addresses.push_back(0x10000 + 8 * (rng() % 0x4000));
      }
      const std::size_t receivers =
          paired ? 2 * (1 + rng() % 2) : 1 + rng() % (rng() % 4 == 0 ? 6 : 1);
      while (transfer.destinations.size() < receivers) {
        auto tile = static_cast<std::uint16_t>(rng() % 1472);
        if (paired) tile &= ~1u;
        if ((tile | 1) == (transfer.source | 1)) continue;
        bool used = false;
        for (const auto& d : transfer.destinations) used |= d.tile == tile;
        if (used) continue;
        const std::uint32_t address = 0x80000 + 8 * (rng() % 0x8000);
        transfer.destinations.push_back({tile, address});
        if (paired)
          transfer.destinations.push_back({static_cast<std::uint16_t>(tile ^ 1), address});
      }
      problem.transfers.push_back(std::move(transfer));
    }
    snapshot.phases.push_back(std::move(problem));
  }
  return snapshot;
}

class SnapshotFile {
 public:
  SnapshotFile()
      : path_(std::filesystem::temp_directory_path() /
              ("kro_snapshot_bench_" + std::to_string(::getpid()) + ".json")) {
    const ExchangeScheduleSnapshot snapshot = generated_snapshot(std::size_t{56} << 20);
    const std::string json = write_snapshot_json(snapshot);
    if (!snapshot.validate()) std::abort();
    std::ofstream(path_, std::ios::binary) << json;
    bytes_ = json.size();
  }
  ~SnapshotFile() { std::filesystem::remove(path_); }
  const std::filesystem::path& path() const { return path_; }
  std::size_t bytes() const { return bytes_; }

 private:
  std::filesystem::path path_;
  std::size_t bytes_ = 0;
};

const SnapshotFile& snapshot_file() {
  static const SnapshotFile file;
  return file;
}

void report_throughput(benchmark::State& state, std::size_t bytes) {
  state.counters["MB"] = static_cast<double>(bytes) / 1e6;
  state.counters["MB/s"] = benchmark::Counter(static_cast<double>(bytes) / 1e6,
                                              benchmark::Counter::kIsIterationInvariantRate);
}

void BM_LoadAndValidateSnapshotFile(benchmark::State& state) {
  const SnapshotFile& file = snapshot_file();
  for (auto _ : state) {
    const int fd = ::open(file.path().c_str(), O_RDONLY);
    auto snapshot = read_snapshot(fd);
    ::close(fd);
    if (!snapshot || !snapshot->validate()) state.SkipWithError("snapshot did not load");
    benchmark::DoNotOptimize(snapshot);
  }
  report_throughput(state, file.bytes());
}
BENCHMARK(BM_LoadAndValidateSnapshotFile)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The two halves separately, from memory, to see where the time goes.
void BM_ParseSnapshotText(benchmark::State& state) {
  std::ifstream in(snapshot_file().path(), std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (auto _ : state) {
    auto snapshot = parse_snapshot(text);
    benchmark::DoNotOptimize(snapshot);
  }
  report_throughput(state, text.size());
}
BENCHMARK(BM_ParseSnapshotText)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_ValidateSnapshot(benchmark::State& state) {
  std::ifstream in(snapshot_file().path(), std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto snapshot = parse_snapshot(text);
  for (auto _ : state) benchmark::DoNotOptimize(snapshot->validate());
  report_throughput(state, text.size());
}
BENCHMARK(BM_ValidateSnapshot)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
