#include "app/call/InCallDisplay.h"

#include <algorithm>

#include "engine/CallPath.h"

namespace incall {

QString ClockText(int64_t elapsedSeconds, unsigned delayMs) {
    const int64_t s = std::max<int64_t>(elapsedSeconds, 0);
    QString text = QString::asprintf("Active %02d:%02d:%02d", static_cast<int>(s / 3600 % 24),
                                     static_cast<int>(s / 60 % 60), static_cast<int>(s % 60));
    if (delayMs != 0) {
        text += QString::asprintf(" Delay=%d ms", static_cast<int>(delayMs));
    }
    return text;
}

uint32_t DelayColour(unsigned ms) {
    const float d = static_cast<float>(std::min(ms, 16000u));
    const float x = d * 0.0000625f * 255.0f;
    const auto red = static_cast<uint32_t>(x);
    const auto green = static_cast<uint32_t>(255.0f - x);
    return red | green << 8;
}

QString PathText(int kind) {
    auto is = [kind](PathKind known) { return kind == static_cast<int>(known); };
    if (is(PathKind::kDirect)) {
        return QStringLiteral("Connected (direct)");
    }
    if (is(PathKind::kLocal)) {
        return QStringLiteral("Connected (same local network)");
    }
    if (is(PathKind::kMapped)) {
        return QStringLiteral("Connected (router port mapping)");
    }
    if (is(PathKind::kPunched)) {
        return QStringLiteral("Connected (punched through the routers)");
    }
    if (is(PathKind::kRelayed)) {
        return QStringLiteral("Connected (relayed)");
    }
    return QStringLiteral("Connected");
}

QString SecurityText(const Security& security) {
    if (!security.encrypted) {
        return security.check == keypin::KeyCheck::kDowngraded
                   ? QStringLiteral("Not encrypted \u00B7 ") + security.peerName +
                         "'s calls were encrypted before"
                   : QStringLiteral("Not encrypted");
    }
    const QString prefix = QStringLiteral("Encrypted \u00B7 ");
    switch (security.check) {
        case keypin::KeyCheck::kVerified:
            return prefix + "verified " + security.peerName;
        case keypin::KeyCheck::kChanged:
            return prefix + security.peerName + "'s key has changed: compare " + security.sas;
        default:
            return prefix + "compare " + security.sas;
    }
}

bool SecurityWarns(const Security& security) {
    return security.encrypted ? security.check == keypin::KeyCheck::kChanged
                              : security.check == keypin::KeyCheck::kDowngraded;
}

QString KeyChangedWarning(const QString& name, const QString& sas) {
    return name +
           "'s identity key has changed. Someone may be listening in: compare the "
           "authentication string " +
           sas + " with " + name + " before you say anything private.\n\nTrust " + name +
           "'s new key from now on? Answer Yes only when " + name +
           " has read you the same six digits.";
}

QString DowngradeWarning(const QString& name) {
    return name +
           "'s calls were encrypted before, but this one is not. Someone on the way may have "
           "stripped the encryption: check with " +
           name + " before you say anything private.";
}

void DelayMean::Add(unsigned ms) {
    mean = samples == 0 ? static_cast<float>(ms)
                        : (static_cast<float>(samples) * mean + static_cast<float>(ms)) /
                              static_cast<float>(samples + 1);
    ++samples;
}

}  // namespace incall
