#include "app/settings/DeviceChoice.h"

#include "app/settings/ProgramSettings.h"
#include "engine/audio/SoundCard.h"

namespace devices {
namespace {

Resolved Choose(const char* variable, const char* key, bool input, const QString& what) {
    if (qEnvironmentVariableIsSet(variable)) {
        return {qEnvironmentVariable(variable).toStdString(), QString()};
    }
    const QString saved = ProgramSettings::ReadText(key);
    if (saved.isEmpty()) {
        return {};
    }
    return Resolve(saved, Names(input), what);
}

}  // namespace

QStringList Names(bool input) {
    std::string error;
    QStringList names;
    for (const std::string& name : zorvo::audio::SoundCardDeviceNames(input, &error)) {
        names << QString::fromStdString(name);
    }
    return names;
}

Resolved Resolve(const QString& saved, const QStringList& present, const QString& what) {
    if (saved.isEmpty() || saved == QLatin1String(kSystemDefault)) {
        return {};
    }
    if (present.contains(saved)) {
        return {saved.toStdString(), QString()};
    }
    return {std::string(),
            QStringLiteral("The %1 \"%2\" is not available; using the system default.")
                .arg(what, saved)};
}

Resolved Microphone() {
    return Choose("ZORVO_MIC", settings::kMicrophone, true, QStringLiteral("microphone"));
}

Resolved Speaker() {
    return Choose("ZORVO_SPEAKER", settings::kSpeaker, false, QStringLiteral("speaker"));
}

}  // namespace devices
