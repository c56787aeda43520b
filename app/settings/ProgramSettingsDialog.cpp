#include "app/settings/ProgramSettingsDialog.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QVBoxLayout>

#include "app/settings/Autostart.h"
#include "app/settings/DeviceChoice.h"
#include "app/settings/ProgramSettings.h"

namespace {

constexpr int kRingTimeMissing = 10;
constexpr int kRingTimeLowest = 5;
constexpr int kRingTimeHighest = 30;

}  // namespace

ProgramSettingsDialog::ProgramSettingsDialog(QWidget* parent, const QString& program,
                                             const DeviceLists* lists)
    : QDialog(parent),
      m_program(program.isEmpty() ? QCoreApplication::applicationFilePath() : program) {
    setWindowTitle(QStringLiteral("Program Settings"));
    m_refuse = [this](const QString& text) { QMessageBox::warning(this, windowTitle(), text); };
    BuildLayout();
    if (lists != nullptr) {
        Load(*lists);
    } else {
        Load({devices::Names(true), devices::Names(false)});
    }
}

void ProgramSettingsDialog::BuildLayout() {
    auto* group = new QGroupBox(QStringLiteral("Settings"));
    m_autoStartup = new QCheckBox(QStringLiteral("Auto Startup"));
    m_ringTime = new QLineEdit;
    m_ringTime->setMaximumWidth(60);
    m_autoMixer =
        new QCheckBox(QStringLiteral("Automatically adjust multimedia settings on startup. "
                                     "(Recommended)"));
    auto* ring = new QHBoxLayout;
    ring->addWidget(new QLabel(QStringLiteral("For incoming calls ring for ")));
    ring->addWidget(m_ringTime);
    ring->addWidget(new QLabel(QStringLiteral("Seconds")));
    ring->addStretch();
    auto* settingsLayout = new QVBoxLayout(group);
    settingsLayout->addWidget(m_autoStartup);
    settingsLayout->addLayout(ring);
    settingsLayout->addWidget(m_autoMixer);

    auto* soundGroup = new QGroupBox(QStringLiteral("Sound Devices"));
    m_microphone = new QComboBox;
    m_speaker = new QComboBox;
    m_voiceProcessing = new QCheckBox(QStringLiteral("Cancel echo and noise on the microphone"));
    auto* soundLayout = new QFormLayout(soundGroup);
    soundLayout->addRow(QStringLiteral("Microphone"), m_microphone);
    soundLayout->addRow(QStringLiteral("Speaker"), m_speaker);
    soundLayout->addRow(m_voiceProcessing);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &ProgramSettingsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addWidget(soundGroup);
    layout->addWidget(buttons);
}

void ProgramSettingsDialog::Load(const DeviceLists& lists) {
    m_autoStartup->setChecked(autostart::IsOn());
    int ringTime = ProgramSettings::ReadNumber(settings::kRingTime, kRingTimeMissing);
    if (ringTime < kRingTimeLowest) {
        // Raised at once, even when the dialog is then cancelled.
        ringTime = kRingTimeLowest;
        ProgramSettings::WriteNumber(settings::kRingTime, ringTime);
    }
    m_autoMixer->setChecked(ProgramSettings::AutoMMSettings());
    m_voiceProcessing->setChecked(ProgramSettings::VoiceProcessing());
    m_ringTime->setText(QString::number(ringTime));
    FillDevices(m_microphone, lists.microphones, ProgramSettings::ReadText(settings::kMicrophone));
    FillDevices(m_speaker, lists.speakers, ProgramSettings::ReadText(settings::kSpeaker));
}

void ProgramSettingsDialog::FillDevices(QComboBox* box, const QStringList& names,
                                        const QString& saved) {
    box->addItem(QString::fromLatin1(devices::kSystemDefault));
    box->addItems(names);
    // A saved device that is gone still shows, so that OK keeps the choice for when it returns.
    if (!saved.isEmpty() && !names.contains(saved)) {
        box->addItem(saved);
    }
    const int index = saved.isEmpty() ? 0 : box->findText(saved);
    box->setCurrentIndex(index < 0 ? 0 : index);
}

QString ProgramSettingsDialog::ValidateRingTime(const QString& text, int* value) {
    bool ok = false;
    const int number = text.trimmed().toInt(&ok);
    if (!ok) {
        return QStringLiteral("Please enter an integer.");
    }
    if (number < kRingTimeLowest || number > kRingTimeHighest) {
        return QStringLiteral("Please enter an integer between %1 and %2.")
            .arg(kRingTimeLowest)
            .arg(kRingTimeHighest);
    }
    *value = number;
    return {};
}

void ProgramSettingsDialog::SetRefusalHandler(std::function<void(const QString&)> handler) {
    m_refuse = std::move(handler);
}

void ProgramSettingsDialog::accept() {
    int ringTime = 0;
    const QString refusal = ValidateRingTime(m_ringTime->text(), &ringTime);
    if (!refusal.isEmpty()) {
        m_refuse(refusal);
        m_ringTime->setFocus();
        m_ringTime->selectAll();
        return;
    }
    if (m_autoStartup->isChecked()) {
        autostart::Write(m_program);
    } else {
        autostart::Remove();
    }
    ProgramSettings::WriteNumber(settings::kRingTime, ringTime);
    ProgramSettings::WriteNumber(settings::kAutoMMSettings, m_autoMixer->isChecked() ? 1 : 0);
    ProgramSettings::WriteNumber(settings::kVoiceProcessing,
                                 m_voiceProcessing->isChecked() ? 1 : 0);
    const auto chosen = [](const QComboBox* box) {
        return box->currentIndex() <= 0 ? QString() : box->currentText();
    };
    ProgramSettings::WriteText(settings::kMicrophone, chosen(m_microphone));
    ProgramSettings::WriteText(settings::kSpeaker, chosen(m_speaker));
    QDialog::accept();
}
