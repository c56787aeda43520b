#include "app/session/SessionSettings.h"

#include "app/settings/PasswordStore.h"
#include "app/settings/ProgramSettings.h"

namespace session_settings {

QString BuddyListKey(const QString& user) {
    return QStringLiteral("Software/Mervane/BuddyList/") + user + QStringLiteral("/BuddyList");
}

bool AutoLogin() {
    return ProgramSettings::ReadNumber(kAutoLogin, 0) != 0;
}

void WriteAutoLogin(bool on) {
    ProgramSettings::WriteNumber(kAutoLogin, on ? 1 : 0);
    if (!on) {
        ProgramSettings::WriteText(kUser, QString());
        password_store::Erase();
    }
}

void ReadCredentials(QString* user, QString* password) {
    // At most 63 characters each, as the fields hold them.
    *user = ProgramSettings::ReadText(kUser).left(63);
    *password = password_store::Read().left(63);
}

void SaveCredentialsAfterLogin(const QString& user, const QString& password) {
    const bool keep = AutoLogin();
    ProgramSettings::WriteText(kUser, keep ? user : QString());
    if (keep) {
        password_store::Save(password);
    } else {
        password_store::Erase();
    }
}

QString StoredBuddyValue(const QStringList& names) {
    QString value;
    for (const QString& name : names) {
        value += name + QLatin1Char(' ');
    }
    return value;
}

void SaveBuddyList(const QString& user, const QStringList& names) {
    ProgramSettings::WriteText(BuddyListKey(user), StoredBuddyValue(names));
}

QString ReadBuddyList(const QString& user) {
    return ProgramSettings::ReadText(BuddyListKey(user));
}

}  // namespace session_settings
