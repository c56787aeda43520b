// The real window against a private sound server: its sliders follow the server's mixer and set
// it, a quiet microphone is raised when a call connects, and a device chosen in the settings
// reaches the next engine and opens by name.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSlider>

#include "ShellTestSupport.h"
#include "app/settings/DeviceChoice.h"
#include "app/settings/ProgramSettings.h"
#include "app/settings/ProgramSettingsDialog.h"
#include "engine/audio/AudioEndpoint.h"
#include "testsupport/Amixer.h"
#include "testsupport/PulseServer.h"

using namespace shelltest;

namespace {

class SoundServer : public ::testing::Environment {
  public:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server.Start(&error)) << error;
    }
    void TearDown() override { server.Stop(); }
    testsupport::PulseServer server;
};

[[maybe_unused]] SoundServer* const g_sound =
    static_cast<SoundServer*>(::testing::AddGlobalTestEnvironment(new SoundServer));

using testsupport::Amixer;

// The first channel's percentage of a simple control, as amixer reports it; -1 when not found.
int AmixerPercent(const QString& control) {
    const auto match = QRegularExpression(R"(\[(\d+)%\])").match(Amixer({"sget", control}));
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

// Saves a picture of `widget` into ZORVO_SHOTS_DIR when that is set.
void Shoot(QWidget* widget, const QString& name) {
    const QString folder = qEnvironmentVariable("ZORVO_SHOTS_DIR");
    if (!folder.isEmpty()) {
        QDir().mkpath(folder);
        widget->grab().save(folder + "/" + name);
    }
}

void Drag(QSlider* slider, int position) {
    slider->setSliderDown(true);
    slider->setValue(position);
    slider->setSliderDown(false);
}

TEST(SoundServerWindow, TheMasterSliderFollowsAnOutsideChange) {
    Amixer({"sset", "Master", "100%"});
    Client client;
    CMainDialog& w = *client.window;
    QSlider* master = w.VolumeSlider(0);
    ASSERT_TRUE(master->isEnabled());
    EXPECT_TRUE(w.VolumeSlider(2)->isEnabled());
    // The speaker line is the program's own streams on the server.
    EXPECT_TRUE(w.VolumeSlider(1)->isEnabled());
    EXPECT_EQ(master->value(), 255);
    Amixer({"sset", "Master", "25%"});
    ASSERT_TRUE(WaitUntil([&] { return master->value() == 64; }, 5000)) << master->value();
    w.show();
    QTest::qWait(100);
    Shoot(&w, "window-sliders-after-outside-change.png");
}

TEST(SoundServerWindow, ReleasingTheMasterSliderSetsTheServersMixer) {
    Amixer({"sset", "Master", "100%"});
    Client client;
    QSlider* master = client.window->VolumeSlider(0);
    ASSERT_TRUE(master->isEnabled());
    Drag(master, 128);
    EXPECT_EQ(AmixerPercent("Master"), 50);
    Drag(master, 0);
    EXPECT_EQ(AmixerPercent("Master"), 0);
    Amixer({"sset", "Master", "100%"});
}

TEST(SoundServerWindow, AQuietMicrophoneIsRaisedWhenACallConnects) {
    QTemporaryDir dir;
    const QString quiet = dir.filePath("quiet.wav");
    ASSERT_EQ(QProcess::execute(
                  "sox", {"-n", "-r", "8000", "-c", "1", "-b", "16", quiet, "trim", "0", "1"}),
              0);
    // Adjustment off: start-up leaves the quiet microphone as it is.
    Client client(quiet, [] { ProgramSettings::WriteNumber(settings::kAutoMMSettings, 0); });
    CMainDialog& w = *client.window;
    Amixer({"sset", "Capture", "5%"});
    QSlider* mic = w.VolumeSlider(2);
    ASSERT_TRUE(WaitUntil([&] { return mic->value() == 12; }, 2000)) << mic->value();

    QProcess peer;
    peer.setProcessChannelMode(QProcess::MergedChannels);
    peer.start(ZORVO_CALL_BIN,
               {"call", "127.0.0.1", "--port", QString::number(client.Port()), "--user", "alice",
                "--mic", quiet, "--speaker", "none", "--hangup-after", "2"});
    ASSERT_TRUE(peer.waitForStarted(5000));
    ASSERT_TRUE(WaitUntil([&] { return w.Ringing() != nullptr && w.Ringing()->isVisible(); }));
    EXPECT_EQ(mic->value(), 12);  // ringing is not a call yet
    QTest::mouseClick(w.Ringing()->findChild<QPushButton*>("accept"), Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return w.HangUpButton()->isVisibleTo(&w); }));
    EXPECT_EQ(mic->value(), 128);
    EXPECT_EQ(AmixerPercent("Capture"), 50);
    EXPECT_TRUE(peer.waitForFinished(30000));
}

TEST(SoundServerWindow, AChosenDeviceReachesTheNextEngineAndOpensByName) {
    const QStringList microphones = devices::Names(true);
    const QStringList speakers = devices::Names(false);
    ASSERT_FALSE(microphones.isEmpty());
    ASSERT_FALSE(speakers.isEmpty());
    // A device by its own name, not the default one.
    const auto pick = [](const QStringList& names) {
        for (const QString& name : names) {
            if (name != "default" && name != "sysdefault") {
                return name;
            }
        }
        return QString();
    };
    const QString microphone = pick(microphones);
    const QString speaker = pick(speakers);
    ASSERT_FALSE(microphone.isEmpty()) << microphones.join(", ").toStdString();
    ASSERT_FALSE(speaker.isEmpty()) << speakers.join(", ").toStdString();
    Client client(QString(), [&] {
        ProgramSettings::WriteText(settings::kMicrophone, microphone);
        ProgramSettings::WriteText(settings::kSpeaker, speaker);
    });
    CMainDialog& w = *client.window;
    ASSERT_TRUE(WaitUntil(
        [&] { return w.Call()->NextEngineOptions().microphone == microphone.toStdString(); }));
    EXPECT_EQ(w.Call()->NextEngineOptions().speaker, speaker.toStdString());
    EXPECT_FALSE(w.PaneText(1).contains("not available"));

    // The name opens the device, not a file of that name.
    const QString cwd = QDir::currentPath();
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    std::string error;
    AudioFormat format;
    auto capture = OpenCaptureEndpoint(microphone.toStdString(), format, &error);
    EXPECT_NE(capture, nullptr) << error;
    auto playback = OpenPlaybackEndpoint(speaker.toStdString(), format, &error);
    EXPECT_NE(playback, nullptr) << error;
    capture.reset();
    playback.reset();
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).isEmpty());
    QDir::setCurrent(cwd);

    // The dialog shows the choice; choosing the default there and OK reaches the engine.
    w.OpenSettings();
    ASSERT_TRUE(WaitUntil([&] { return w.SettingsDialog() && w.SettingsDialog()->isVisible(); }));
    ProgramSettingsDialog* dialog = w.SettingsDialog();
    EXPECT_EQ(dialog->MicrophoneBox()->currentText(), microphone);
    EXPECT_EQ(dialog->SpeakerBox()->currentText(), speaker);
    Shoot(dialog, "program-settings-dialog.png");
    dialog->MicrophoneBox()->setCurrentIndex(0);
    dialog->accept();
    ASSERT_TRUE(WaitUntil([&] { return w.Call()->NextEngineOptions().microphone.empty(); }));
    EXPECT_EQ(w.Call()->NextEngineOptions().speaker, speaker.toStdString());
}

}  // namespace
