#include "app/settings/IdentityStore.h"

#include <QByteArray>

#include <optional>

#include "app/settings/Keyring.h"
#include "app/settings/ProgramSettings.h"

namespace identity_store {
namespace {

// The identity a kept text (the hex of the seed) gives; empty when it does not read.
std::optional<IdentityKey> FromText(const QString& text) {
    const QByteArray hex = text.trimmed().toLatin1();
    if (hex.size() != static_cast<int>(2 * IdentityKey::kSeedBytes)) {
        return std::nullopt;
    }
    return IdentityKey::FromSeed(QByteArray::fromHex(hex).toStdString());
}

QString ToText(const IdentityKey& identity) {
    return QString::fromLatin1(QByteArray::fromStdString(identity.Seed()).toHex());
}

std::optional<IdentityKey> ReadKeyring() {
    const std::optional<QString> text = keyring::Read(QString::fromLatin1(kKey));
    return text ? FromText(*text) : std::nullopt;
}

bool WriteKeyring(const IdentityKey& identity) {
    return keyring::Write(QString::fromLatin1(kKey), ToText(identity));
}

// Keeps `identity` in the keyring when one answers (the file then holds none), else in the file.
void Keep(const IdentityKey& identity) {
    if (WriteKeyring(identity)) {
        ProgramSettings::WriteText(kKey, QString());
    } else {
        ProgramSettings::WriteText(kKey, ToText(identity));
    }
}

}  // namespace

IdentityKey Identity() {
    if (std::optional<IdentityKey> kept = ReadKeyring()) {
        return *kept;
    }
    const QString fileText = ProgramSettings::ReadText(kKey);
    if (std::optional<IdentityKey> kept = FromText(fileText)) {
        // Kept in the file while no keyring answered: it moves to the keyring when one does now.
        if (WriteKeyring(*kept)) {
            ProgramSettings::WriteText(kKey, QString());
        }
        return *kept;
    }
    const IdentityKey identity = IdentityKey::Generate();
    Keep(identity);
    return identity;
}

}  // namespace identity_store
