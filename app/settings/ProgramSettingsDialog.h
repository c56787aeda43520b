#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QStringList>

#include <functional>

// The "Program Settings" dialog: start with the desktop session, how long an incoming call rings,
// whether the mixer is adjusted at start-up, and which microphone and speaker to use. It keeps
// nothing of its own: it reads the settings when it opens and writes them when OK is pressed.
class ProgramSettingsDialog : public QDialog {
    Q_OBJECT
  public:
    struct DeviceLists {
        QStringList microphones;
        QStringList speakers;
    };

    // `program` is what the autostart entry starts (the running program by default); `lists` the
    // devices offered besides "System default" (the sound card's by default).
    explicit ProgramSettingsDialog(QWidget* parent = nullptr, const QString& program = {},
                                   const DeviceLists* lists = nullptr);

    // The ring time typed in: "" when it is valid (5..30) and `value` is set, else the message
    // that refuses it ("Please enter an integer." or "Please enter an integer between 5 and 30.").
    static QString ValidateRingTime(const QString& text, int* value);

    // Shows a refusal; replaceable so that tests need no message box.
    void SetRefusalHandler(std::function<void(const QString&)> handler);

    QCheckBox* AutoStartupBox() const { return m_autoStartup; }
    QLineEdit* RingTimeEdit() const { return m_ringTime; }
    QCheckBox* AutoMixerBox() const { return m_autoMixer; }
    QComboBox* MicrophoneBox() const { return m_microphone; }
    QComboBox* SpeakerBox() const { return m_speaker; }
    QCheckBox* VoiceProcessingCheck() const { return m_voiceProcessing; }

  public slots:
    void accept() override;

  private:
    void BuildLayout();
    void Load(const DeviceLists& lists);
    static void FillDevices(QComboBox* box, const QStringList& names, const QString& saved);

    QString m_program;
    QCheckBox* m_autoStartup = nullptr;
    QLineEdit* m_ringTime = nullptr;
    QCheckBox* m_autoMixer = nullptr;
    QComboBox* m_microphone = nullptr;
    QComboBox* m_speaker = nullptr;
    QCheckBox* m_voiceProcessing = nullptr;
    std::function<void(const QString&)> m_refuse;
};
