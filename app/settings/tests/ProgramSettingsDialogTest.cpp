#include <gtest/gtest.h>

#include <QFile>
#include <QSettings>

#include "SettingsTestSupport.h"
#include "app/settings/Autostart.h"
#include "app/settings/ProgramSettings.h"
#include "app/settings/ProgramSettingsDialog.h"

namespace {

const ProgramSettingsDialog::DeviceLists kDevices{{"USB Headset Mic", "Built-in Mic"},
                                                  {"USB Headset", "Built-in Speaker"}};

// A dialog whose refusals are recorded instead of shown in a box.
struct Dialog {
    explicit Dialog(const QString& program = QStringLiteral("/usr/bin/Zorvo"))
        : dialog(nullptr, program, &kDevices) {
        dialog.SetRefusalHandler([this](const QString& text) { refusals << text; });
    }
    ProgramSettingsDialog dialog;
    QStringList refusals;
};

bool Stored(const char* key) {
    return QSettings(ProgramSettings::FilePath(), QSettings::IniFormat).contains(key);
}

TEST(ProgramSettingsDialog, ShowsItsTitleAndTexts) {
    PrivateConfig config;
    Dialog d;
    EXPECT_EQ(d.dialog.windowTitle(), "Program Settings");
    EXPECT_EQ(d.dialog.AutoStartupBox()->text(), "Auto Startup");
    EXPECT_EQ(d.dialog.AutoMixerBox()->text(),
              "Automatically adjust multimedia settings on startup. (Recommended)");
}

TEST(ProgramSettingsDialog, MissingValuesShowTenSecondsAndACheckedMixerBox) {
    PrivateConfig config;
    Dialog d;
    EXPECT_EQ(d.dialog.RingTimeEdit()->text(), "10");
    EXPECT_TRUE(d.dialog.AutoMixerBox()->isChecked());
    EXPECT_FALSE(d.dialog.AutoStartupBox()->isChecked());
    EXPECT_FALSE(Stored(settings::kAutoMMSettings));
    d.dialog.accept();
    EXPECT_EQ(d.dialog.result(), QDialog::Accepted);
    EXPECT_EQ(ProgramSettings::ReadNumber(settings::kAutoMMSettings, -1), 1);
    EXPECT_EQ(ProgramSettings::ReadNumber(settings::kRingTime, -1), 10);
}

TEST(ProgramSettingsDialog, VoiceProcessingIsOnWhenMissingAndOkWritesTheBox) {
    PrivateConfig config;
    {
        Dialog d;
        EXPECT_TRUE(d.dialog.VoiceProcessingCheck()->isChecked());
        d.dialog.VoiceProcessingCheck()->setChecked(false);
        d.dialog.accept();
    }
    EXPECT_FALSE(ProgramSettings::VoiceProcessing());
    Dialog again;
    EXPECT_FALSE(again.dialog.VoiceProcessingCheck()->isChecked());
}

TEST(ProgramSettingsDialog, ARingTimeBelowFiveShowsAsFiveAndIsWrittenAtOnceEvenOnCancel) {
    for (int stored : {0, 4, -3}) {
        PrivateConfig config;
        ProgramSettings::WriteNumber(settings::kRingTime, stored);
        Dialog d;
        EXPECT_EQ(d.dialog.RingTimeEdit()->text(), "5") << stored;
        EXPECT_EQ(ProgramSettings::ReadNumber(settings::kRingTime, -1), 5) << stored;
        d.dialog.reject();
        EXPECT_EQ(ProgramSettings::ReadNumber(settings::kRingTime, -1), 5) << stored;
    }
}

TEST(ProgramSettingsDialog, ARingTimeAboveThirtyIsShownAndRefusedOnOk) {
    PrivateConfig config;
    ProgramSettings::WriteNumber(settings::kRingTime, 45);
    Dialog d;
    EXPECT_EQ(d.dialog.RingTimeEdit()->text(), "45");
    d.dialog.AutoMixerBox()->setChecked(false);
    d.dialog.accept();
    EXPECT_EQ(d.refusals, QStringList{"Please enter an integer between 5 and 30."});
    EXPECT_NE(d.dialog.result(), QDialog::Accepted);
    // Nothing was written.
    EXPECT_EQ(ProgramSettings::ReadNumber(settings::kRingTime, -1), 45);
    EXPECT_FALSE(Stored(settings::kAutoMMSettings));

    d.dialog.RingTimeEdit()->setText("30");
    d.dialog.accept();
    EXPECT_EQ(d.dialog.result(), QDialog::Accepted);
    EXPECT_EQ(ProgramSettings::ReadNumber(settings::kRingTime, -1), 30);
    EXPECT_EQ(ProgramSettings::ReadNumber(settings::kAutoMMSettings, -1), 0);
}

TEST(ProgramSettingsDialog, TextThatIsNoIntegerIsRefusedWithItsOwnMessage) {
    PrivateConfig config;
    Dialog d;
    d.dialog.RingTimeEdit()->setText("ten");
    d.dialog.accept();
    EXPECT_EQ(d.refusals, QStringList{"Please enter an integer."});
    EXPECT_FALSE(Stored(settings::kRingTime));
}

TEST(ProgramSettingsDialog, RingTimeBoundsAreFiveAndThirtyInclusive) {
    int value = 0;
    EXPECT_EQ(ProgramSettingsDialog::ValidateRingTime("5", &value), "");
    EXPECT_EQ(value, 5);
    EXPECT_EQ(ProgramSettingsDialog::ValidateRingTime(" 30 ", &value), "");
    EXPECT_EQ(value, 30);
    EXPECT_EQ(ProgramSettingsDialog::ValidateRingTime("4", &value),
              "Please enter an integer between 5 and 30.");
    EXPECT_EQ(ProgramSettingsDialog::ValidateRingTime("31", &value),
              "Please enter an integer between 5 and 30.");
    EXPECT_EQ(ProgramSettingsDialog::ValidateRingTime("", &value), "Please enter an integer.");
    EXPECT_EQ(ProgramSettingsDialog::ValidateRingTime("1.5", &value), "Please enter an integer.");
}

TEST(ProgramSettingsDialog, AutoStartupBoxFollowsTheEntryAndOkWritesOrRemovesIt) {
    PrivateConfig config;
    {
        Dialog d(QStringLiteral("/opt/zorvo/bin/Zorvo"));
        EXPECT_FALSE(d.dialog.AutoStartupBox()->isChecked());
        d.dialog.AutoStartupBox()->setChecked(true);
        d.dialog.accept();
    }
    ASSERT_TRUE(autostart::IsOn());
    QFile entry(autostart::EntryPath());
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    EXPECT_TRUE(entry.readAll().contains("\nExec=\"/opt/zorvo/bin/Zorvo\" DontShow\n"));
    {
        Dialog d;
        EXPECT_TRUE(d.dialog.AutoStartupBox()->isChecked());
        d.dialog.AutoStartupBox()->setChecked(false);
        d.dialog.accept();
    }
    EXPECT_FALSE(autostart::IsOn());
    EXPECT_FALSE(QFile::exists(autostart::EntryPath()));
}

TEST(ProgramSettingsDialog, CancelWritesNothing) {
    PrivateConfig config;
    ProgramSettings::WriteNumber(settings::kRingTime, 12);
    Dialog d;
    d.dialog.AutoStartupBox()->setChecked(true);
    d.dialog.RingTimeEdit()->setText("20");
    d.dialog.AutoMixerBox()->setChecked(false);
    d.dialog.reject();
    EXPECT_FALSE(autostart::IsOn());
    EXPECT_EQ(ProgramSettings::ReadNumber(settings::kRingTime, -1), 12);
    EXPECT_FALSE(Stored(settings::kAutoMMSettings));
}

TEST(ProgramSettingsDialog, DevicesOfferTheSystemDefaultFirstAndOkSavesTheChoiceByName) {
    PrivateConfig config;
    {
        Dialog d;
        ASSERT_EQ(d.dialog.MicrophoneBox()->count(), 3);
        EXPECT_EQ(d.dialog.MicrophoneBox()->itemText(0), "System default");
        EXPECT_EQ(d.dialog.MicrophoneBox()->currentIndex(), 0);
        EXPECT_EQ(d.dialog.SpeakerBox()->itemText(2), "Built-in Speaker");
        d.dialog.MicrophoneBox()->setCurrentIndex(2);
        d.dialog.accept();
    }
    EXPECT_EQ(ProgramSettings::ReadText(settings::kMicrophone), "Built-in Mic");
    EXPECT_EQ(ProgramSettings::ReadText(settings::kSpeaker), "");
    Dialog again;
    EXPECT_EQ(again.dialog.MicrophoneBox()->currentText(), "Built-in Mic");
    EXPECT_EQ(again.dialog.SpeakerBox()->currentText(), "System default");
}

TEST(ProgramSettingsDialog, ASavedDeviceThatIsGoneStaysChosenSoThatOkKeepsIt) {
    PrivateConfig config;
    ProgramSettings::WriteText(settings::kSpeaker, "Bluetooth Earbuds");
    Dialog d;
    EXPECT_EQ(d.dialog.SpeakerBox()->currentText(), "Bluetooth Earbuds");
    d.dialog.accept();
    EXPECT_EQ(ProgramSettings::ReadText(settings::kSpeaker), "Bluetooth Earbuds");
}

}  // namespace
