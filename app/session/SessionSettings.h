#pragma once

#include <QString>
#include <QStringList>

// The login and buddy list values of the settings file (owner-only). The saved password goes to the
// desktop's keyring where one answers, and to the settings file ("Pass") only where none does.
namespace session_settings {

inline constexpr const char* kAutoLogin = "Software/Mervane/AutoLogin";
inline constexpr const char* kUser = "Software/Mervane/User";
inline constexpr const char* kPass = "Software/Mervane/Pass";

// "Software/Mervane/BuddyList/<user>/BuddyList": the list of one user.
QString BuddyListKey(const QString& user);

// True when automatic login is on; a missing value counts as off.
bool AutoLogin();

// Stores the "Auto Login" choice at once; switching it off also empties "User" and "Pass".
void WriteAutoLogin(bool on);

// The saved user name and password (empty when automatic login is off).
void ReadCredentials(QString* user, QString* password);

// After a login: keeps user and password when automatic login is on, else empties both.
void SaveCredentialsAfterLogin(const QString& user, const QString& password);

// The stored form of a buddy list: every name followed by one blank ("" for none).
QString StoredBuddyValue(const QStringList& names);

void SaveBuddyList(const QString& user, const QStringList& names);
QString ReadBuddyList(const QString& user);

}  // namespace session_settings
