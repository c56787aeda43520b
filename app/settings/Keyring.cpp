#include "app/settings/Keyring.h"

#include <QEventLoop>
#include <QTimer>

#include <qt6keychain/keychain.h>

namespace keyring {
namespace {

constexpr int kKeyringWaitMs = 5000;

// Runs a keyring job on `key` to its end (or the time limit); true when it finished without
// error.
bool Run(QKeychain::Job& job, const QString& key) {
    job.setAutoDelete(false);
    job.setKey(key);
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

}  // namespace

std::optional<QString> Read(const QString& key) {
    QKeychain::ReadPasswordJob job(QString::fromLatin1(kService));
    if (!Run(job, key) || job.textData().isEmpty()) {
        return std::nullopt;
    }
    return job.textData();
}

bool Write(const QString& key, const QString& text) {
    QKeychain::WritePasswordJob job(QString::fromLatin1(kService));
    job.setTextData(text);
    return Run(job, key);
}

void Erase(const QString& key) {
    QKeychain::DeletePasswordJob job(QString::fromLatin1(kService));
    Run(job, key);
}

}  // namespace keyring
