// Time per frame through the driver on a device that answers at once, each next to a plain
// memcpy of the same bytes measured in the same run: the ratio holds on another machine, the
// times do not. bench/run.py reads the JSON output and prints the ratios.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/DataPath.h"

namespace {

void Memcpy(benchmark::State& state) {
  size_t size = static_cast<size_t>(state.range(0));
  std::vector<char> from(size, 0x5A), to(size);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), size);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void Driver(benchmark::State& state, Direction direction) {
  uint32_t size = static_cast<uint32_t>(state.range(0));
  DataPath path(direction, size);
  if (!path.failure().empty()) {
    state.SkipWithError(path.failure().c_str());
    return;
  }
  for (auto _ : state) {
    if (!path.MoveFrame()) {
      state.SkipWithError("a frame did not arrive");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
  std::vector<std::string> findings = path.Close();
  if (!findings.empty()) state.SkipWithError(findings.front().c_str());
}

void FrameSizes(benchmark::internal::Benchmark* benchmark) {
  for (int size : {60, 512, 1514}) benchmark->Arg(size);
}

BENCHMARK(Memcpy)->Apply(FrameSizes);
BENCHMARK_CAPTURE(Driver, transmit, Direction::Transmit)->Apply(FrameSizes);
BENCHMARK_CAPTURE(Driver, receive, Direction::Receive)->Apply(FrameSizes);
BENCHMARK_CAPTURE(Driver, round_trip, Direction::RoundTrip)->Apply(FrameSizes);

}  // namespace

BENCHMARK_MAIN();
