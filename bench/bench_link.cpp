// Throughput of the link's check values and frame builders.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "link/binary_frame.h"
#include "link/crc.h"
#include "link/text_frame.h"

namespace {

std::vector<std::uint8_t> pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{0x5A});
    return bytes;
}

void BM_Crc16Kermit(benchmark::State& state) {
    const auto bytes = pattern(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(flashmere::crc16Kermit(bytes));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16Kermit)->Arg(264)->Arg(1500);

void BM_Crc16Arc(benchmark::State& state) {
    const auto bytes = pattern(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(flashmere::crc16Arc(bytes));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16Arc)->Arg(264)->Arg(1500);

// A program request: the 8-byte page head and one 256-byte page.
void BM_BuildBinaryRequest264(benchmark::State& state) {
    const auto payload = pattern(264);
    std::size_t frameSize = 0;
    for (auto _ : state) {
        const auto frame = flashmere::buildBinaryRequest(1, 0x0039, payload, std::nullopt);
        frameSize = frame.size();
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frameSize));
}
BENCHMARK(BM_BuildBinaryRequest264);

// A text program command: "01YP", an address and a page as hex text.
void BM_BuildTextRequestYP526(benchmark::State& state) {
    std::string command = "01YP";
    while (command.size() < 526) {
        command += flashmere::hexByte(static_cast<std::uint8_t>(command.size()));
    }
    command.resize(526);
    std::size_t frameSize = 0;
    for (auto _ : state) {
        const auto frame = flashmere::buildTextRequest(command);
        frameSize = frame.size();
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frameSize));
}
BENCHMARK(BM_BuildTextRequestYP526);

}  // namespace

BENCHMARK_MAIN();
