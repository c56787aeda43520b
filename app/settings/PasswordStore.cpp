#include "app/settings/PasswordStore.h"

#include <optional>

#include "app/settings/Keyring.h"
#include "app/settings/ProgramSettings.h"

namespace password_store {
namespace {

constexpr const char* kFileKey = "Software/Mervane/Pass";

}  // namespace

bool Save(const QString& password) {
    if (password.isEmpty()) {
        Erase();
        return false;
    }
    if (keyring::Write(QString::fromLatin1(kKey), password)) {
        ProgramSettings::WriteText(kFileKey, QString());
        return true;
    }
    ProgramSettings::WriteText(kFileKey, password);
    return false;
}

QString Read() {
    if (std::optional<QString> kept = keyring::Read(QString::fromLatin1(kKey))) {
        return *kept;
    }
    return ProgramSettings::ReadText(kFileKey);
}

void Erase() {
    keyring::Erase(QString::fromLatin1(kKey));
    ProgramSettings::WriteText(kFileKey, QString());
}

}  // namespace password_store
