// The window's Settings entries, its sliders on a machine without a mixer, and a chosen sound
// device that is gone (the tests run with an ALSA configuration that names no card).

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QMenu>
#include <QSlider>

#include "ShellTestSupport.h"
#include "app/settings/DeviceChoice.h"
#include "app/settings/ProgramSettings.h"
#include "app/settings/ProgramSettingsDialog.h"

using namespace shelltest;

namespace {

bool SettingsOnScreen(const CMainDialog& w) {
    return w.SettingsDialog() != nullptr && w.SettingsDialog()->isVisible();
}

TEST(SettingsWiring, TheViewMenuEntryOpensTheProgramSettingsDialog) {
    Client client;
    CMainDialog& w = *client.window;
    QAction* entry = w.MenuAction(CMainDialog::ID_VIEW_SETTINGS);
    ASSERT_NE(entry, nullptr);
    EXPECT_TRUE(entry->isEnabled());
    EXPECT_EQ(w.SettingsDialog(), nullptr);
    entry->trigger();
    ASSERT_TRUE(WaitUntil([&] { return SettingsOnScreen(w); }));
    ProgramSettingsDialog* dialog = w.SettingsDialog();
    EXPECT_EQ(dialog->windowTitle(), "Program Settings");
    EXPECT_EQ(dialog->MicrophoneBox()->itemText(0), devices::kSystemDefault);
    // A second choice of the entry brings the same dialog forward.
    entry->trigger();
    QCoreApplication::processEvents();
    EXPECT_EQ(w.SettingsDialog(), dialog);
    dialog->reject();
    ASSERT_TRUE(WaitUntil([&] { return w.SettingsDialog() == nullptr; }));
}

TEST(SettingsWiring, TheTrayEntryOpensTheDialogAndOkKeepsTheRingTime) {
    Client client;
    CMainDialog& w = *client.window;
    QAction* entry = w.Tray()->Action(CSystemTray::kSettings);
    ASSERT_NE(entry, nullptr);
    w.Tray()->Menu()->aboutToShow();  // the menu's update must leave the entry enabled
    EXPECT_TRUE(entry->isEnabled());
    entry->trigger();
    ASSERT_TRUE(WaitUntil([&] { return SettingsOnScreen(w); }));
    w.SettingsDialog()->RingTimeEdit()->setText("17");
    w.SettingsDialog()->accept();
    ASSERT_TRUE(WaitUntil([&] { return w.SettingsDialog() == nullptr; }));
    EXPECT_EQ(ProgramSettings::ReadNumber(settings::kRingTime, 0), 17);
}

TEST(SettingsWiring, SlidersAreDisabledWithoutAMixerAndTheWindowStillListens) {
    Client client;
    CMainDialog& w = *client.window;
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(w.VolumeSlider(i)->isEnabled()) << i;
        EXPECT_EQ(w.VolumeSlider(i)->maximum(), 255) << i;
    }
    EXPECT_EQ(w.VolumeSlider(0)->toolTip(), "Adjust the master output volume");
    EXPECT_EQ(w.VolumeSlider(1)->toolTip(), "Adjust the speaker volume");
    EXPECT_EQ(w.VolumeSlider(2)->toolTip(), "Adjust the microphone volume");
    EXPECT_NE(w.Engine(), nullptr);
    EXPECT_EQ(w.PaneText(2), "Ready to receive calls");
}

TEST(SettingsWiring, AVanishedMicrophoneFallsBackToTheDefaultWithTheStatusText) {
    Client client(QString(),
                  [] { ProgramSettings::WriteText(settings::kMicrophone, "Gone Card USB Audio"); });
    CMainDialog& w = *client.window;
    const QString text =
        "The microphone \"Gone Card USB Audio\" is not available; using the system default.";
    ASSERT_TRUE(WaitUntil([&] { return w.PaneText(1) == text; }));
    EXPECT_EQ(w.Call()->NextEngineOptions().microphone, "");
    EXPECT_EQ(w.Call()->NextEngineOptions().speaker, "");
    EXPECT_TRUE(w.DebugLines().contains(text));
    // The presence refresh leaves the text in place for a while.
    w.OnPresenceTimer(CMainDialog::kRefreshPanesOnly);
    EXPECT_EQ(w.PaneText(1), text);
    EXPECT_NE(w.Engine(), nullptr);
}

TEST(SettingsWiring, TheEnvironmentsDevicesWinOverTheSavedChoice) {
    Client client("none", [] { ProgramSettings::WriteText(settings::kMicrophone, "Gone Card"); });
    CMainDialog& w = *client.window;
    // Nothing is listed and nothing is said: the override is taken as it is.
    QTest::qWait(300);
    EXPECT_EQ(w.Call()->NextEngineOptions().microphone, "none");
    EXPECT_EQ(w.Call()->NextEngineOptions().speaker, "none");
    EXPECT_FALSE(w.PaneText(1).contains("Gone Card"));
}

}  // namespace

namespace {

TEST(SettingsWiring, EngineProcessingFollowsTheVoiceProcessingSetting) {
    {
        Client client("none");
        EXPECT_TRUE(client.window->Call()->NextEngineOptions().processing);
    }
    Client client("none", [] { ProgramSettings::WriteNumber(settings::kVoiceProcessing, 0); });
    EXPECT_FALSE(client.window->Call()->NextEngineOptions().processing);
}

}  // namespace
