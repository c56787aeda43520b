#include "app/settings/PasswordStore.h"

#include <QEventLoop>
#include <QTimer>

#include <qt6keychain/keychain.h>

#include "app/settings/ProgramSettings.h"

namespace password_store {
namespace {

constexpr int kKeyringWaitMs = 5000;
constexpr const char* kFileKey = "Software/Mervane/Pass";

// Runs a keyring job to its end (or the time limit); true when it finished without error.
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

bool WriteKeyring(const QString& password) {
    QKeychain::WritePasswordJob job(QString::fromLatin1(kService));
    job.setTextData(password);
    return Run(job);
}

void DeleteKeyring() {
    QKeychain::DeletePasswordJob job(QString::fromLatin1(kService));
    Run(job);
}

}  // namespace

bool Save(const QString& password) {
    if (password.isEmpty()) {
        Erase();
        return false;
    }
    if (WriteKeyring(password)) {
        ProgramSettings::WriteText(kFileKey, QString());
        return true;
    }
    ProgramSettings::WriteText(kFileKey, password);
    return false;
}

QString Read() {
    QKeychain::ReadPasswordJob job(QString::fromLatin1(kService));
    if (Run(job) && !job.textData().isEmpty()) {
        return job.textData();
    }
    return ProgramSettings::ReadText(kFileKey);
}

void Erase() {
    DeleteKeyring();
    ProgramSettings::WriteText(kFileKey, QString());
}

}  // namespace password_store
