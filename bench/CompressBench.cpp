// Compression cost: one 1600-sample frame through CIface (the published Compress slot, and the
// engine's checked DecompressFrom over a received 343-byte record) against the same ten blocks
// through libgsm called directly, in alternation within one loop. overhead_pct is the wrapper's
// extra time; x_realtime says how many times faster than real time (200 ms per frame) the wrapper
// runs.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <gsm.h>
}

#include "TestSignal.h"
#include "compress/CIface.h"

namespace {

constexpr double kFrameSeconds = 0.2;

// The wrapper against libgsm in alternation within one loop, so that both see the same machine
// load; overhead_pct is the wrapper's extra time over libgsm alone.
template <typename Wrapped, typename Direct>
void Paired(benchmark::State& state, Wrapped wrapped, Direct direct) {
    using Clock = std::chrono::steady_clock;
    Clock::duration wrappedTime{}, directTime{};
    bool wrappedFirst = true;  // alternate the order so that neither side always runs warm
    for (auto _ : state) {
        const auto t0 = Clock::now();
        wrappedFirst ? wrapped() : direct();
        const auto t1 = Clock::now();
        wrappedFirst ? direct() : wrapped();
        const auto t2 = Clock::now();
        wrappedTime += wrappedFirst ? t1 - t0 : t2 - t1;
        directTime += wrappedFirst ? t2 - t1 : t1 - t0;
        wrappedFirst = !wrappedFirst;
    }
    const double w = std::chrono::duration<double>(wrappedTime).count();
    const double d = std::chrono::duration<double>(directTime).count();
    state.counters["overhead_pct"] = (w / d - 1.0) * 100.0;
    state.counters["x_realtime"] = kFrameSeconds * static_cast<double>(state.iterations()) / w;
}

void BM_CompressVsLibgsm(benchmark::State& state) {
    const auto samples = MakeTestSignal(1600);
    std::unique_ptr<CIface> iface(GetCIface());
    std::vector<uint8_t> bytes(1024);
    gsm encoder = gsm_create();
    std::vector<uint8_t> out(330);
    std::vector<gsm_signal> pcm(samples.begin(), samples.end());
    Paired(
        state,
        [&] {
            iface->Compress(reinterpret_cast<const char*>(samples.data()), 1600, bytes.data());
            benchmark::DoNotOptimize(bytes.data());
        },
        [&] {
            for (int b = 0; b < 10; ++b) {
                gsm_encode(encoder, pcm.data() + b * 160, out.data() + b * 33);
            }
            benchmark::DoNotOptimize(out.data());
        });
    gsm_destroy(encoder);
}

void BM_DecompressVsLibgsm(benchmark::State& state) {
    const auto samples = MakeTestSignal(1600);
    std::unique_ptr<CIface> iface(GetCIface());
    std::vector<uint8_t> bytes(1024);
    iface->Compress(reinterpret_cast<const char*>(samples.data()), 1600, bytes.data());
    const ZorvoMsg received(bytes.data(), 343);
    std::vector<char> frame(3200);
    gsm decoder = gsm_create();
    std::vector<gsm_signal> pcm(1600);
    Paired(
        state,
        [&] {
            uint32_t size = 3200;
            iface->DecompressFrom(received, frame.data(), &size);
            benchmark::DoNotOptimize(frame.data());
        },
        [&] {
            for (int b = 0; b < 10; ++b) {
                gsm_decode(decoder, bytes.data() + 13 + b * 33, pcm.data() + b * 160);
            }
            benchmark::DoNotOptimize(pcm.data());
        });
    gsm_destroy(decoder);
}

}  // namespace

BENCHMARK(BM_CompressVsLibgsm)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_DecompressVsLibgsm)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK_MAIN();
