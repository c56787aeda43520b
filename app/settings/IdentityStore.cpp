#include "app/settings/IdentityStore.h"

#include <QByteArray>
#include <QEventLoop>
#include <QTimer>

#include <qt6keychain/keychain.h>

#include <optional>

#include "app/settings/ProgramSettings.h"

namespace identity_store {
namespace {

constexpr int kKeyringWaitMs = 5000;

// Runs a keyring job on the identity's entry to its end (or the time limit); true when it
// finished without error.
bool Run(QKeychain::Job& job) {
    job.setAutoDelete(false);
    job.setKey(QString::fromLatin1(kKey));
    bool done = false;
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, [&] {
        done = true;
        loop.quit();
    });
    QTimer::singleShot(kKeyringWaitMs, &loop, &QEventLoop::quit);
    job.start();
    if (!done) {
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    return done && job.error() == QKeychain::NoError;
}

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
    QKeychain::ReadPasswordJob job(QString::fromLatin1(kService));
    if (!Run(job)) {
        return std::nullopt;
    }
    return FromText(job.textData());
}

bool WriteKeyring(const IdentityKey& identity) {
    QKeychain::WritePasswordJob job(QString::fromLatin1(kService));
    job.setTextData(ToText(identity));
    return Run(job);
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
