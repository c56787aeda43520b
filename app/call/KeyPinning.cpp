#include "app/call/KeyPinning.h"

#include <QUrl>

#include "app/settings/ProgramSettings.h"

namespace keypin {

Decision Decide(const QString& name, const QString& peerKeyHex,
                const std::optional<QString>& pinned,
                const std::optional<DirectoryKey>& directory) {
    if (name.isEmpty() || peerKeyHex.isEmpty()) {
        return {KeyCheck::kUnknown, std::nullopt};
    }
    if (pinned) {
        // Once pinned, only the pinned key counts: a directory that hands out another key is
        // what a listener in the middle would arrange.
        return {*pinned == peerKeyHex ? KeyCheck::kVerified : KeyCheck::kChanged, std::nullopt};
    }
    if (!directory) {
        return {KeyCheck::kPending, std::nullopt};
    }
    switch (directory->kind) {
        case DirectoryKey::Kind::kKey:
            if (directory->keyHex == peerKeyHex) {
                return {KeyCheck::kVerified, peerKeyHex};
            }
            return {KeyCheck::kChanged, std::nullopt};
        case DirectoryKey::Kind::kNoKey:
            return {KeyCheck::kFirstUse, peerKeyHex};
        case DirectoryKey::Kind::kUnavailable:
            break;
    }
    return {KeyCheck::kUnknown, std::nullopt};
}

QString PeerName(const QString& claimed) {
    const QString name = claimed.trimmed();
    if (name.isEmpty() || name == QLatin1String("UNKNOWN")) {
        return {};
    }
    return name.toLower();
}

QString SettingsKey(const QString& name) {
    return QStringLiteral("BuddyKeys/") + QString::fromLatin1(QUrl::toPercentEncoding(name));
}

std::optional<QString> Pinned(const QString& name) {
    const QString key = ProgramSettings::ReadText(SettingsKey(name)).trimmed().toLower();
    if (key.isEmpty()) {
        return std::nullopt;
    }
    return key;
}

void Pin(const QString& name, const QString& keyHex) {
    ProgramSettings::WriteText(SettingsKey(name), keyHex);
}

}  // namespace keypin
