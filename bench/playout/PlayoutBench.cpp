// A call of a given length through the impairing relay, measured on the listener: the playout
// latency (from a marked frame's arrival at the listener to its first sample being played) and
// the share of time the listener's speaker had nothing real to play.
//
// The caller's microphone is a steady 150 Hz buzz, loud enough to be sent in every frame; every
// tenth frame (one per 2 s) is a mark instead, a tone of one of six frequencies in turn, so that
// marks 12 s apart never meet in the measurement. The listener's speaker is an emulated sound
// card: it takes samples on its own clock, 20 ms ahead at most, and plays silence when it runs
// dry. It finds the marks by their tone and times each by the sample it starts on; the relay
// times each frame's arrival. Whatever is silent on the speaker (concealment, or the device
// running dry) counts as concealed.
//
// Start and end are the medians of the marks in the first and the last 10 s; growth is the slope
// of a straight line through all marks.
//
// Usage: bench-playout CASE [SECONDS] with CASE one of clean, drift, jitter-loss, all (and, to
// tell their parts apart, jitter and loss); prints one line of figures.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/Voxlane.h"
#include "engine/audio/AudioBackend.h"
#include "testsupport/FreePort.h"
#include "testsupport/ImpairRelay.h"
#include "testsupport/StatusLog.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kRate = 8000;
constexpr int kMarkEvery = 10;
constexpr double kMarkHz[6] = {1000, 1400, 1800, 2200, 2600, 3000};
constexpr double kCarrierHz = 150;
constexpr std::size_t kBlock = 40;  // analysis block, 5 ms

Clock::duration Seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// The caller's microphone.
class ToneSource : public CaptureStream {
  public:
    bool Read(int16_t* samples, std::size_t count) {
        if (!m_started) {
            m_started = true;
            m_start = Clock::now();
        }
        for (std::size_t i = 0; i < count; ++i, ++m_position) {
            const uint64_t frame = m_position / 1600;
            if (frame % kMarkEvery == 0) {
                m_phase += 2 * M_PI * kMarkHz[(frame / kMarkEvery) % 6] / kRate;
                samples[i] = static_cast<int16_t>(8000 * std::sin(m_phase));
                continue;
            }
            // A buzz like a voiced sound: the carrier and its next three harmonics.
            m_phase += 2 * M_PI * kCarrierHz / kRate;
            double v = 0;
            for (int k = 1; k <= 4; ++k) {
                v += std::sin(k * m_phase) / k;
            }
            samples[i] = static_cast<int16_t>(5000 * v);
        }
        std::this_thread::sleep_until(m_start + Seconds(static_cast<double>(m_position) / kRate));
        return true;
    }

  private:
    bool m_started = false;
    Clock::time_point m_start;
    uint64_t m_position = 0;
    double m_phase = 0;
};

double Goertzel(const int16_t* x, std::size_t n, double hz) {
    const double w = 2 * M_PI * hz / kRate;
    const double c = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double s0 = x[i] + c * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - c * s1 * s2;
}

struct Onset {
    int code;
    Clock::time_point at;
};

// What the listener's speaker heard.
struct Heard {
    std::mutex lock;
    std::vector<Onset> onsets;
    uint64_t blocks = 0;
    uint64_t silentBlocks = 0;
    uint64_t drySamples = 0;  // of those, played by the device because it was given nothing
    uint64_t blocksToLastSound = 0;
    uint64_t silentToLastSound = 0;
    uint64_t dryToLastSound = 0;
    Clock::time_point first{};
    bool any = false;
};
Heard g_heard;

// The listener's speaker: a sound card on its own clock.
class EmulatedSpeaker : public PlaybackStream {
  public:
    static constexpr uint64_t kAhead = 160;  // the device takes 20 ms ahead of playing

    bool Write(const int16_t* samples, std::size_t count) {
        const Clock::time_point now = Clock::now();
        if (!m_started) {
            m_started = true;
            m_start = now;
        }
        const uint64_t playing = PositionAt(now);
        for (; m_position < playing; ++m_position) {
            Analyse(0);  // ran dry: the device played silence
            std::lock_guard guard(g_heard.lock);
            g_heard.drySamples += g_heard.any ? 1 : 0;
        }
        for (std::size_t i = 0; i < count; ++i, ++m_position) {
            Analyse(samples[i]);
        }
        std::this_thread::sleep_until(
            m_start +
            Seconds(static_cast<double>(m_position - std::min(m_position, kAhead)) / kRate));
        return true;
    }
    bool IsDevice() const { return true; }
    double LatencySeconds() const { return static_cast<double>(kAhead) / kRate; }

  private:
    uint64_t PositionAt(Clock::time_point t) const {
        return static_cast<uint64_t>(std::chrono::duration<double>(t - m_start).count() * kRate);
    }

    void Analyse(int16_t sample) {
        if (m_fill == 0) {
            m_blockStart = m_position;
        }
        m_block[m_fill++] = sample;
        if (m_fill < kBlock) {
            return;
        }
        m_fill = 0;
        double energy = 0;
        for (int16_t s : m_block) {
            energy += static_cast<double>(s) * s;
        }
        const bool silent = std::sqrt(energy / kBlock) < 500;
        int code = -1;
        double best = Goertzel(m_block, kBlock, kCarrierHz);
        for (int c = 0; c < 6; ++c) {
            const double p = Goertzel(m_block, kBlock, kMarkHz[c]);
            if (!silent && p > 4 * best) {
                best = p;
                code = c;
            }
        }
        const Clock::time_point at = m_start + Seconds(static_cast<double>(m_blockStart) / kRate);
        std::lock_guard guard(g_heard.lock);
        if (!g_heard.any && !silent) {
            g_heard.any = true;
            g_heard.first = at;
        }
        if (g_heard.any) {
            ++g_heard.blocks;
            g_heard.silentBlocks += silent ? 1 : 0;
            if (!silent) {
                // The call's sound ends with its last sound: the silence after it (while the
                // engines hang up) is not counted.
                g_heard.blocksToLastSound = g_heard.blocks;
                g_heard.silentToLastSound = g_heard.silentBlocks;
                g_heard.dryToLastSound = g_heard.drySamples;
            }
        }
        if (code >= 0 && code != m_lastCode) {
            g_heard.onsets.push_back({code, at});
        }
        m_lastCode = code;
    }

    bool m_started = false;
    Clock::time_point m_start;
    uint64_t m_position = 0;
    int16_t m_block[kBlock] = {};
    std::size_t m_fill = 0;
    uint64_t m_blockStart = 0;
    int m_lastCode = -1;
};

zorvo::audio::Claim ClaimsBench(const std::string& endpoint) {
    return endpoint.rfind("bench-", 0) == 0 ? zorvo::audio::Claim::kExact
                                            : zorvo::audio::Claim::kNone;
}

std::unique_ptr<CaptureStream> OpenTone(const std::string&, const AudioFormat&, std::string*) {
    return std::make_unique<ToneSource>();
}

std::unique_ptr<PlaybackStream> OpenSpeaker(const std::string&, const AudioFormat&, std::string*) {
    return std::make_unique<EmulatedSpeaker>();
}

double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

struct Figures {
    double startMs = 0, maxMs = 0, endMs = 0, growthMsPerMin = 0, concealedPct = 0, dryPct = 0;
    int marks = 0;
};

Figures Measure(const std::map<uint64_t, Clock::time_point>& arrivals, double seconds) {
    Figures f;
    std::lock_guard guard(g_heard.lock);
    std::vector<std::pair<double, double>> points;  // (arrival s, latency ms)
    const Clock::time_point origin = arrivals.empty() ? Clock::now() : arrivals.begin()->second;
    std::vector<bool> used(static_cast<std::size_t>(seconds * 5 / kMarkEvery) + 10, false);
    for (const Onset& onset : g_heard.onsets) {
        // The latest mark of this tone that had arrived before it was heard, no longer than half
        // the tones' cycle ago (a mark heard again after a gap in its middle is not a new one).
        int best = -1;
        for (std::size_t m = static_cast<std::size_t>(onset.code); m < used.size(); m += 6) {
            auto it = arrivals.find(m * kMarkEvery);
            if (it != arrivals.end() && it->second <= onset.at &&
                onset.at - it->second < Seconds(6.0)) {
                best = used[m] ? -1 : static_cast<int>(m);
            }
        }
        if (best < 0) {
            continue;
        }
        used[static_cast<std::size_t>(best)] = true;
        const Clock::time_point arrived = arrivals.at(static_cast<uint64_t>(best) * kMarkEvery);
        points.emplace_back(std::chrono::duration<double>(arrived - origin).count(),
                            std::chrono::duration<double, std::milli>(onset.at - arrived).count());
        if (std::getenv("BENCH_PLAYOUT_MARKS") != nullptr) {
            std::fprintf(stderr, "mark %d arrived %.2f s heard after %.0f ms\n", best,
                         points.back().first, points.back().second);
        }
    }
    f.marks = static_cast<int>(points.size());
    if (points.empty()) {
        return f;
    }
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    std::vector<double> startMs, endMs;  // the first and the last 10 s
    const double last = points.back().first;
    for (auto [x, y] : points) {
        f.maxMs = std::max(f.maxMs, y);
        n += 1, sx += x, sy += y, sxx += x * x, sxy += x * y;
        if (x < 10) {
            startMs.push_back(y);
        }
        if (x > last - 10) {
            endMs.push_back(y);
        }
    }
    f.startMs = Median(startMs);
    f.endMs = Median(endMs);
    const double denominator = n * sxx - sx * sx;
    f.growthMsPerMin = denominator > 0 ? 60 * (n * sxy - sx * sy) / denominator : 0;
    const uint64_t blocks = g_heard.blocksToLastSound;
    f.concealedPct = blocks ? 100.0 * g_heard.silentToLastSound / blocks : 0;
    f.dryPct = blocks ? 100.0 * g_heard.dryToLastSound / (blocks * kBlock) : 0;
    return f;
}

bool ImpairmentFor(const std::string& name, double seconds, testsupport::Impairment* im) {
    const bool drift = name == "drift" || name == "all";
    const bool jitter = name == "jitter-loss" || name == "all" || name == "jitter";
    const bool loss = name == "jitter-loss" || name == "all" || name == "loss";
    if (!drift && !jitter && !loss && name != "clean") {
        return false;
    }
    if (drift) {
        im->rate = 1.005;
        im->holdMs = seconds * 1000 * (1 - 1 / im->rate) + 100;
    }
    im->jitterMs = jitter ? 80 : 0;
    im->loss = loss ? 0.05 : 0;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string name = argc > 1 ? argv[1] : "";
    const double seconds = argc > 2 ? std::atof(argv[2]) : 120;
    testsupport::Impairment toListener;
    if (name == "--help" || !ImpairmentFor(name, seconds, &toListener) || seconds <= 0) {
        std::fprintf(name == "--help" ? stdout : stderr,
                     "usage: bench-playout clean|drift|jitter-loss|all|jitter|loss [SECONDS]\n");
        return name == "--help" ? 0 : 2;
    }
    zorvo::audio::RegisterAudioBackend({"bench", &ClaimsBench, &OpenTone, &OpenSpeaker});

    const uint16_t port = testsupport::FreeUdpPort();
    testsupport::StatusLog callerLog, calleeLog;
    Statistics callerStats(callerLog.Window()), calleeStats(calleeLog.Window());
    EngineOptions callerOptions, calleeOptions;
    callerOptions.microphone = "bench-tone";
    callerOptions.speaker = "none";
    calleeOptions.microphone = "none";
    calleeOptions.speaker = "bench-speaker";
    // The listener sends nothing back: the caller's line stays quiet for the whole call.
    callerOptions.timing.idleWaitLimit = calleeOptions.timing.idleWaitLimit = 100000;
    calleeLog.OnEvent([](const testsupport::Event& e) {
        if (e.code == STATUS_INCOMING_CALL) {
            Voxlane::WriteDecision(e.value, DECISION_ACCEPT);
        }
    });

    testsupport::ImpairRelay relay(port, toListener, testsupport::Impairment{}, 7);
    std::mutex arrivalsLock;
    std::map<uint64_t, Clock::time_point> arrivals;
    relay.OnVoiceToCallee([&](uint64_t index, Clock::time_point at) {
        std::lock_guard guard(arrivalsLock);
        arrivals.emplace(index, at);  // a duplicate keeps the first copy's time
    });
    Voxlane callee(port, 1, &calleeStats, "bob", calleeOptions);
    Voxlane caller(0, 0, &callerStats, "alice", callerOptions);
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    if (!relay.Ok() || callee.StartServer() != 1 ||
        caller.InitConnect(loopback, relay.Port()) != 1 || caller.Connect() != 1) {
        std::fprintf(stderr, "bench-playout: the call did not come up\n");
        return 1;
    }
    std::this_thread::sleep_for(Seconds(seconds));
    caller.Stop();
    callee.Stop();

    std::lock_guard guard(arrivalsLock);
    const Figures f = Measure(arrivals, seconds);
    const testsupport::ImpairRelay::Counts counts = relay.ToCallee();
    std::printf(
        "%-12s start %6.0f ms  max %6.0f ms  end %6.0f ms  growth %6.1f ms/min  "
        "concealed %5.1f%% (device dry %4.1f%%, frames lost %4.1f%%)  (%d marks)\n",
        name.c_str(), f.startMs, f.maxMs, f.endMs, f.growthMsPerMin, f.concealedPct, f.dryPct,
        counts.voice ? 100.0 * counts.dropped / counts.voice : 0.0, f.marks);
    return 0;
}
