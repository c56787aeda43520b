#pragma once

#include <QString>

#include <cstdint>

// The arithmetic of the in-call display, apart from any window.
namespace incall {

// The call clock: "Active %H:%M:%S" of the time span (hours of the span's current day), followed
// by " Delay=%d ms" when a round trip has been measured.
QString ClockText(int64_t elapsedSeconds, unsigned delayMs);

// The indicator's second colour for a round trip: green at 0 ms fading to red at 16000 ms and
// more, as a COLORREF value (red in the low byte, green in the second).
uint32_t DelayColour(unsigned ms);

// How the call got through, from the engine's path (a PathKind value): "Connected (direct)",
// "Connected (same local network)", "Connected (router port mapping)", "Connected (punched
// through the routers)" or "Connected (relayed)"; "Connected" for a value it does not know.
QString PathText(int kind);

// The running mean of round-trip times after one more measurement.
struct DelayMean {
    float mean = 0;
    unsigned samples = 0;
    void Add(unsigned ms);
};

}  // namespace incall
