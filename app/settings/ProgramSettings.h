#pragma once

#include <QString>
#include <QVariant>

// The program's stored settings: one INI file, $XDG_CONFIG_HOME/Mervane/Mervane.ini, readable
// by its owner only (it may hold the password). Keys keep the program's registry paths, for
// example "Software/Mervane/RingTime".
class ProgramSettings {
  public:
    // The settings file's path; ZORVO_CONFIG_DIR may name another folder (tests use it).
    static QString FilePath();

    // A 32-bit number, or `fallback` when the value is missing or not a number.
    static int ReadNumber(const QString& key, int fallback);
    static void WriteNumber(const QString& key, int value);
    static QString ReadText(const QString& key, const QString& fallback = {});
    static void WriteText(const QString& key, const QString& value);

    // Writes one value, creating the file readable by its owner only.
    static void Write(const QString& key, const QVariant& value);

    // Seconds an incoming call rings before it counts as missed: "RingTime", or 10 when it is
    // missing or not positive.
    static int RingTime();

    // Whether the mixer is put in a state that suits calls at start-up: "AutoMMSettings" not 0; a
    // missing value counts as 1.
    static bool AutoMMSettings();

    // Whether sound-card capture goes through echo cancellation, noise suppression and automatic
    // gain: "VoiceProcessing" not 0; a missing value counts as 1.
    static bool VoiceProcessing();
};

// Key paths used by the client.
namespace settings {
inline constexpr const char* kRingTime = "Software/Mervane/RingTime";
inline constexpr const char* kDontShowDlgOnMinimize = "Software/Mervane/DontShowDlgOnMinimize";
inline constexpr const char* kAutoMMSettings = "Software/Mervane/AutoMMSettings";
// The chosen sound devices by name; missing or empty means the system's default device.
inline constexpr const char* kMicrophone = "Software/Mervane/Microphone";
inline constexpr const char* kSpeaker = "Software/Mervane/Speaker";
inline constexpr const char* kVoiceProcessing = "Software/Mervane/VoiceProcessing";
}  // namespace settings
