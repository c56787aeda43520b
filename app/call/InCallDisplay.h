#pragma once

#include <QString>

#include <cstdint>

#include "app/call/KeyPinning.h"

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

// How the call is protected, as the in-call display shows it beside the path.
struct Security {
    bool encrypted = false;
    QString sas;       // the short authentication string, "123 456"
    QString peerName;  // the buddy's name when the call has one to judge the key by
    keypin::KeyCheck check = keypin::KeyCheck::kUnknown;
};

// "Not encrypted" for a plain call ("Not encrypted · alice's calls were encrypted before" with a
// buddy whose key is pinned); "Encrypted · verified alice" when alice's key is the one
// pinned (or published) for her; "Encrypted · alice's key has changed: compare 123 456" when it
// is another; "Encrypted · compare 123 456" otherwise (a call by address, a key not yet
// verified).
QString SecurityText(const Security& security);
// The display shows the text as a warning (in red).
bool SecurityWarns(const Security& security);
// The box that comes up once when a buddy's key has changed: the warning, then the question
// whether to trust the new key from now on (a buddy who reinstalled has a new key).
QString KeyChangedWarning(const QString& name, const QString& sas);
// The box that comes up once when a call with a buddy whose key is pinned is not encrypted.
QString DowngradeWarning(const QString& name);

// The running mean of round-trip times after one more measurement.
struct DelayMean {
    float mean = 0;
    unsigned samples = 0;
    void Add(unsigned ms);
};

}  // namespace incall
