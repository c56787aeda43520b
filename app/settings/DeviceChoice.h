#pragma once

#include <QString>
#include <QStringList>

#include <string>

// The microphone and speaker the user chose by name in the settings dialog. An empty name is the
// system's default device; a saved name that is no longer among the sound card's devices falls
// back to the default, with a text for the status bar, so that a vanished device never fails a
// call. ZORVO_MIC and ZORVO_SPEAKER (a WAV file, "none" or a device) still win over the choice.
namespace devices {

// The entry that stands for the default device in the dialog's lists.
inline constexpr const char* kSystemDefault = "System default";

// The names the sound card offers for capture (`input`) or playback; empty without a card.
QStringList Names(bool input);

struct Resolved {
    std::string endpoint;  // "" (the default device) or the chosen device's name
    QString status;        // for the status bar when the saved device is gone; else empty
};

// `saved` against the names present now. `what` names the device in the status text
// ("microphone" or "speaker").
Resolved Resolve(const QString& saved, const QStringList& present, const QString& what);

// The endpoints for the next call and the ringing sounds: the environment's override, else the
// saved choice resolved against the present devices.
Resolved Microphone();
Resolved Speaker();

}  // namespace devices
