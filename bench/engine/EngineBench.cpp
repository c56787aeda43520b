// A two-way call between two engines in one process, on loopback, with audio endpoints of the
// benchmark's own that deliver loud speech-like frames at real time and take played frames at
// real time. Reports, in one run:
//   cpu_pct_per_side   CPU time of the whole process over the call, per engine, as % of a core
//   frame_p99_ms       captured buffer handed over -> STATUS_BYTES_SENT seen by the window
//                      (detect, compress, send, plus two queue hops), 99th percentile
//   delay_median_ms    captured buffer handed over on one side -> the frame reaching the other
//                      side's player, median (an upper bound of post -> AddBuffer)
//   BM_FrameHandling   the send thread's work on one captured frame alone: voice detection,
//                      compression and the send on a UDP socket, p99 and median
//   allocs_per_frame   heap allocations in the process per frame handled, in steady state
//   BM_VoiceProcessing echo cancellation, noise suppression and gain on one captured frame (only
//                      sound-card capture is processed, so the call above does not include it)
// Run: bench-engine [--benchmark_filter=...]; the call length is the benchmark's argument (s).

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "compress/CIface.h"
#include "engine/CallCrypto.h"
#include "engine/VoiceDetector.h"
#include "engine/Voxlane.h"
#include "engine/audio/AudioBackend.h"
#include "engine/audio/VoiceProcessor.h"
#include "testsupport/StatusLog.h"
#include "util/Messages.h"
#include "util/Statistics.h"
#include "util/Thread.h"

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// --- allocation counting
// --------------------------------------------------------------------------

static std::atomic<uint64_t> g_allocations{0};

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kMaxFrames = 1 << 14;

// Time stamps of one direction of the call, indexed by frame number.
struct Direction {
    std::vector<Clock::time_point> captured = std::vector<Clock::time_point>(kMaxFrames);
    std::vector<Clock::time_point> sent = std::vector<Clock::time_point>(kMaxFrames);
    std::vector<Clock::time_point> played = std::vector<Clock::time_point>(kMaxFrames);
    std::atomic<int> capturedCount{0}, sentCount{0}, playedCount{0};
};

Direction g_directions[2];  // 0: caller -> callee, 1: callee -> caller

// "bench:0" / "bench:1": capture for direction N, paced at real time, loud frames only.
class BenchCapture : public CaptureStream {
  public:
    explicit BenchCapture(Direction* d) : m_d(d), m_next(Clock::now()) {}
    bool Read(int16_t* samples, std::size_t count) override {
        m_next += std::chrono::microseconds(count * 125);
        std::this_thread::sleep_until(m_next);
        for (std::size_t i = 0; i < count; ++i, ++m_phase) {
            samples[i] = static_cast<int16_t>(9000 * std::sin(m_phase * 0.19) +
                                              4000 * std::sin(m_phase * 0.041));
        }
        const int n = m_d->capturedCount.load();
        if (n < kMaxFrames) {
            m_d->captured[n] = Clock::now();
            m_d->capturedCount.store(n + 1);
        }
        return true;
    }

  private:
    Direction* m_d;
    Clock::time_point m_next;
    double m_phase = 0;
};

// Playback for direction N, like a sound card with two buffers: a frame is taken at once while the
// device holds less than one frame, so the time of each Write is the time the frame was handed to
// the player (plus one thread wake-up).
class BenchPlayback : public PlaybackStream {
  public:
    explicit BenchPlayback(Direction* d) : m_d(d) {}
    bool Write(const int16_t*, std::size_t count) override {
        const auto now = Clock::now();
        const int n = m_d->playedCount.load();
        if (n < kMaxFrames) {
            m_d->played[n] = now;
            m_d->playedCount.store(n + 1);
        }
        const auto frame = std::chrono::microseconds(count * 125);
        if (m_next < now) {
            m_next = now;
        }
        m_next += frame;
        std::this_thread::sleep_until(m_next - frame);
        return true;
    }

  private:
    Direction* m_d;
    Clock::time_point m_next{};
};

Direction* DirectionOf(const std::string& endpoint) {
    return endpoint == "bench:1" ? &g_directions[1] : &g_directions[0];
}

const zorvo::audio::AudioBackendRegistration g_benchBackend{{
    "bench",
    [](const std::string& e) {
        return e.rfind("bench:", 0) == 0 ? zorvo::audio::Claim::kExact : zorvo::audio::Claim::kNone;
    },
    [](const std::string& e, const AudioFormat&, std::string*) -> std::unique_ptr<CaptureStream> {
        return std::make_unique<BenchCapture>(DirectionOf(e));
    },
    [](const std::string& e, const AudioFormat&, std::string*) -> std::unique_ptr<PlaybackStream> {
        // The speaker of a side plays the other direction.
        return std::make_unique<BenchPlayback>(e == "bench:0" ? &g_directions[1]
                                                              : &g_directions[0]);
    },
}};

// A window on its own thread that stamps STATUS_BYTES_SENT and answers the incoming call.
class Window {
  public:
    explicit Window(Direction* d) : m_d(d) {
        m_log.OnEvent([this](const testsupport::Event& e) {
            if (e.code == STATUS_BYTES_SENT) {
                const int n = m_d->sentCount.load();
                if (n < kMaxFrames) {
                    m_d->sent[n] = Clock::now();
                    m_d->sentCount.store(n + 1);
                }
            } else if (e.code == STATUS_INCOMING_CALL) {
                Voxlane::WriteDecision(e.value, DECISION_ACCEPT);
            }
        });
    }
    HWND Handle() const { return m_log.Window(); }

  private:
    Direction* m_d;
    testsupport::StatusLog m_log{testsupport::StatusLog::Keep::kCountsOnly};
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    const std::size_t index = std::min(
        values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())));
    return values[index];
}

// A call of range(0) seconds between two engines on loopback; range(1) = 1 encrypts it.
void BM_TwoWayCall(benchmark::State& state) {
    const int seconds = static_cast<int>(state.range(0));
    const bool encrypted = state.range(1) != 0;
    for (auto _ : state) {
        for (Direction& d : g_directions) {
            d.capturedCount = d.sentCount = d.playedCount = 0;
        }
        Window callerWindow(&g_directions[0]), calleeWindow(&g_directions[1]);
        Statistics callerStats(callerWindow.Handle()), calleeStats(calleeWindow.Handle());
        EngineOptions callerOptions, calleeOptions;
        callerOptions.microphone = callerOptions.speaker = "bench:0";
        calleeOptions.microphone = calleeOptions.speaker = "bench:1";
        if (encrypted) {
            callerOptions.identity = IdentityKey::Generate();
            calleeOptions.identity = IdentityKey::Generate();
        }
        const unsigned port = 20000 + static_cast<unsigned>(std::rand() % 30000);
        Voxlane callee(port, 1, &calleeStats, "bob", calleeOptions);
        Voxlane caller(port, 0, &callerStats, "alice", callerOptions);
        callee.StartServer();
        // Let the server bind first, or the first request is lost and the caller waits 15 s.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        in_addr loopback{htonl(INADDR_LOOPBACK)};
        caller.InitConnect(loopback, port);
        if (!caller.Connect() || caller.GetCallSecurity().encrypted != encrypted) {
            state.SkipWithError("the call did not come up as asked");
            return;
        }
        // Steady state: skip the first two seconds, measure the rest.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const double cpuStart = CpuSeconds();
        const uint64_t allocStart = g_allocations.load();
        const int framesStart = g_directions[0].sentCount + g_directions[1].sentCount;
        const auto wallStart = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
        const double cpu = CpuSeconds() - cpuStart;
        const uint64_t allocs = g_allocations.load() - allocStart;
        const int frames = g_directions[0].sentCount + g_directions[1].sentCount - framesStart;
        caller.Stop();
        callee.Stop();

        std::vector<double> handling, delay;
        for (Direction& d : g_directions) {
            const int sent = std::min(d.capturedCount.load(), d.sentCount.load());
            for (int i = 10; i < sent; ++i) {
                handling.push_back(Ms(d.sent[i] - d.captured[i]));
            }
            // Frames captured before the far side's player had started are not played, so the
            // indices of both lists need not agree: each played frame is paired with the latest
            // capture before it (frames are 200 ms apart, far more than the delay).
            const int captured = d.capturedCount.load();
            int c = 0;
            for (int i = 10; i < d.playedCount.load(); ++i) {
                while (c + 1 < captured && d.captured[c + 1] <= d.played[i]) {
                    ++c;
                }
                if (d.captured[c] <= d.played[i]) {
                    delay.push_back(Ms(d.played[i] - d.captured[c]));
                }
            }
        }
        state.counters["cpu_pct_per_side"] = cpu / wall / 2 * 100;
        state.counters["frame_p99_ms"] = Percentile(handling, 0.99);
        state.counters["frame_median_ms"] = Percentile(handling, 0.5);
        state.counters["delay_median_ms"] = Percentile(delay, 0.5);
        state.counters["allocs_per_frame"] =
            frames > 0 ? static_cast<double>(allocs) / frames : NAN;
        state.counters["frames"] = frames;
    }
}

// The send thread's work on one frame with the engine's own pieces: detect, compress, send.
void BM_FrameHandling(benchmark::State& state) {
    std::vector<int16_t> frame(1600);
    for (size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<int16_t>(9000 * std::sin(i * 0.19));
    }
    std::unique_ptr<CIface> codec(GetCIface());
    uint8_t bytes[13 + 330];
    ZorvoMsg voice(bytes, sizeof bytes);
    zorvo::wire::BuildRecord(bytes, sizeof bytes, MSG_VOICE);
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    const int sink = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(sink, reinterpret_cast<sockaddr*>(&to), sizeof to);
    socklen_t length = sizeof to;
    getsockname(sink, reinterpret_cast<sockaddr*>(&to), &length);
    std::vector<double> times;
    times.reserve(1 << 16);
    char drain[512];
    for (auto _ : state) {
        const auto start = Clock::now();
        const char* samples = reinterpret_cast<const char*>(frame.data());
        benchmark::DoNotOptimize(FrameHasVoice(samples, 1600, 20));
        codec->CompressInto(samples, 1600, voice);
        sendto(s, bytes, voice.WireSize(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        times.push_back(Ms(Clock::now() - start));
        recv(sink, drain, sizeof drain, MSG_DONTWAIT);
    }
    close(s);
    close(sink);
    state.counters["p99_ms"] = Percentile(times, 0.99);
    state.counters["median_ms"] = Percentile(times, 0.5);
}

// What the microphone clean-up of a sound-card call costs per captured frame: echo cancellation
// against the played signal, noise suppression and automatic gain (frames are 200 ms, so
// cpu_pct is the share of one core a side spends on it).
void BM_VoiceProcessing(benchmark::State& state) {
    std::vector<int16_t> frame(1600), played(1600), work(1600);
    for (size_t i = 0; i < frame.size(); ++i) {
        played[i] = static_cast<int16_t>(9000 * std::sin(i * 0.19));
        frame[i] =
            static_cast<int16_t>(0.4 * played[(i + 1600 - 240) % 1600] + 3000 * std::sin(i * 0.07));
    }
    zorvo::audio::VoiceProcessor processor(8000, zorvo::audio::VoiceProcessing{});
    std::vector<double> times;
    times.reserve(1 << 16);
    for (auto _ : state) {
        work = frame;
        const auto start = Clock::now();
        processor.Process(work.data(), played.data(), work.size());
        times.push_back(Ms(Clock::now() - start));
        benchmark::DoNotOptimize(work.data());
    }
    state.counters["p99_ms"] = Percentile(times, 0.99);
    state.counters["median_ms"] = Percentile(times, 0.5);
    state.counters["cpu_pct"] = Percentile(times, 0.5) / 200 * 100;
}

}  // namespace

BENCHMARK(BM_FrameHandling)->Iterations(5000);
BENCHMARK(BM_VoiceProcessing)->Iterations(2000);
using namespace zorvo::wire;

// Sealing and opening one voice record (343 bytes inside, 380 on the wire) as a call does.
void BM_SealVoiceRecord(benchmark::State& state) {
    CallKeys keys;
    keys.send.fill(7);
    RecordCipher cipher(keys);
    uint8_t record[kHeaderSize + kVoicePayload];
    BuildRecord(record, sizeof record, MSG_VOICE, kVoicePayload);
    uint8_t sealed[sizeof record + kSealedOverhead];
    for (auto _ : state) {
        benchmark::DoNotOptimize(cipher.Seal(record, sizeof record, sealed, sizeof sealed));
    }
}

// A record sealed and opened again, as one side sends and the other receives it: opening costs
// this less BM_SealVoiceRecord (a record opens only once, so each needs sealing anew).
void BM_SealThenOpenVoiceRecord(benchmark::State& state) {
    CallKeys sending, receiving;
    sending.send.fill(7);
    receiving.receive.fill(7);
    RecordCipher sender(sending), receiver(receiving);
    uint8_t record[kHeaderSize + kVoicePayload];
    BuildRecord(record, sizeof record, MSG_VOICE, kVoicePayload);
    uint8_t sealed[sizeof record + kSealedOverhead];
    for (auto _ : state) {
        uint32_t size =
            static_cast<uint32_t>(sender.Seal(record, sizeof record, sealed, sizeof sealed));
        if (!receiver.Open(sealed, &size)) {
            state.SkipWithError("a sealed record did not open");
            return;
        }
    }
}

BENCHMARK(BM_SealVoiceRecord);
BENCHMARK(BM_SealThenOpenVoiceRecord);
BENCHMARK(BM_TwoWayCall)
    ->Args({30, 0})
    ->Args({30, 1})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK_MAIN();
