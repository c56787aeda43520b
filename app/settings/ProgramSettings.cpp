#include "app/settings/ProgramSettings.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kDefaultRingTime = 10;

// Creates the folder and the file with owner-only permissions before QSettings touches them, so
// the file is never readable by others, not even for a moment.
void PrepareFile(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::fchmod(fd, 0600);
        ::close(fd);
    }
}

}  // namespace

QString ProgramSettings::FilePath() {
    QString folder = qEnvironmentVariable("ZORVO_CONFIG_DIR");
    if (folder.isEmpty()) {
        folder =
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/Mervane";
    }
    return folder + "/Mervane.ini";
}

int ProgramSettings::ReadNumber(const QString& key, int fallback) {
    QSettings store(FilePath(), QSettings::IniFormat);
    bool ok = false;
    const int value = store.value(key).toInt(&ok);
    return ok ? value : fallback;
}

void ProgramSettings::WriteNumber(const QString& key, int value) {
    Write(key, value);
}

QString ProgramSettings::ReadText(const QString& key, const QString& fallback) {
    QSettings store(FilePath(), QSettings::IniFormat);
    return store.value(key, fallback).toString();
}

void ProgramSettings::WriteText(const QString& key, const QString& value) {
    Write(key, value);
}

void ProgramSettings::Write(const QString& key, const QVariant& value) {
    const QString path = FilePath();
    PrepareFile(path);
    QSettings store(path, QSettings::IniFormat);
    store.setValue(key, value);
    store.sync();
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
}

int ProgramSettings::RingTime() {
    // A stored value of 0 or less would never count down to the end and leave the call ringing
    // for ever: it counts as missing.
    const int value = ReadNumber(settings::kRingTime, kDefaultRingTime);
    return value > 0 ? value : kDefaultRingTime;
}

bool ProgramSettings::AutoMMSettings() {
    return ReadNumber(settings::kAutoMMSettings, 1) != 0;
}

bool ProgramSettings::VoiceProcessing() {
    return ReadNumber(settings::kVoiceProcessing, 1) != 0;
}
