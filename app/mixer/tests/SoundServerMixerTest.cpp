#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSlider>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QWheelEvent>
#include <QtGlobal>

#include <alsa/asoundlib.h>

#include <ctime>

#include <map>
#include <memory>

#include "app/mixer/VolumeSliders.h"
#include "testsupport/Amixer.h"
#include "testsupport/PulseServer.h"

namespace {

// One private sound server for every test of this program; ALSA's "default" mixer is its.
class SoundServer : public ::testing::Environment {
  public:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server.Start(&error)) << error;
        // No settings file: automatic adjustment counts as on.
        qputenv("ZORVO_CONFIG_DIR", (server.HomeDir() + "/Mervane").c_str());
    }
    void TearDown() override { server.Stop(); }
    testsupport::PulseServer server;
};

SoundServer* const g_sound =
    static_cast<SoundServer*>(::testing::AddGlobalTestEnvironment(new SoundServer));

using testsupport::Amixer;

// The first channel's value of a simple control, as amixer reports it; -1 when not found.
int AmixerValue(const QString& control) {
    const QString text = Amixer({"sget", control});
    const auto match = QRegularExpression(R"((?:Playback|Capture) (\d+) \[)").match(text);
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

// Runs the event loop until `done` holds or `ms` have passed.
template <typename Condition>
bool WaitFor(Condition done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return done();
}

// What amixer reports for the server's master, and pactl for a stream (0..65536, where 65536 is
// the server's 100 % and level 65535), once slider `position` is set.
int ElementValue(int position) {
    return static_cast<int>(mixer::LevelToElement(mixer::SliderToLevel(position), 0, 65536));
}

// The user drags a slider to `position` and lets go.
void Drag(QSlider& slider, int position) {
    slider.setSliderDown(true);
    slider.setValue(position);
    slider.setSliderDown(false);
}

struct Window {
    QSlider master, speaker, mic;
    std::unique_ptr<VolumeSliders> sliders;
    Window() {
        sliders = std::make_unique<VolumeSliders>(VolumeSliders::Sliders{&master, &speaker, &mic});
        sliders->InitMixerControls();
    }
};

TEST(SoundServerMixer, MasterSpeakerAndMicrophoneAreUsable) {
    ASSERT_TRUE(g_sound->server.Running());
    Window w;
    EXPECT_TRUE(w.master.isEnabled());
    EXPECT_TRUE(w.mic.isEnabled());
    EXPECT_TRUE(w.speaker.isEnabled());
    EXPECT_EQ(w.sliders->Master()->GetMaximum(), 65535);
    EXPECT_EQ(w.sliders->Master()->GetStepCount(), 65536);
    ASSERT_NE(w.sliders->Mic(), nullptr);
}

// A playback stream of this process on the server: ALSA's "default" PCM, the server's plugin,
// as the call's sound goes through PortAudio.
class Playback {
  public:
    Playback() {
        if (snd_pcm_open(&m_pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) == 0) {
            snd_pcm_set_params(m_pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, 8000,
                               1, 200000);
        }
    }
    ~Playback() {
        if (m_pcm != nullptr) {
            snd_pcm_close(m_pcm);
        }
    }
    Playback(const Playback&) = delete;
    Playback& operator=(const Playback&) = delete;

  private:
    snd_pcm_t* m_pcm = nullptr;
};

QString Pactl(const QStringList& arguments) {
    return testsupport::RunTool("pactl", arguments);
}

// The server's streams of this process, as pactl lists them: index and first channel's volume.
std::map<int, int> OurStreams() {
    std::map<int, int> streams;
    const QString pid = QString::number(QCoreApplication::applicationPid());
    const QRegularExpression volume(R"(^\s*Volume: [^:]+: (\d+) /)",
                                    QRegularExpression::MultilineOption);
    for (const QString& block : Pactl({"list", "sink-inputs"}).split("Sink Input #")) {
        const auto found = volume.match(block);
        if (found.hasMatch() && block.contains("application.process.id = \"" + pid + "\"")) {
            streams[block.section('\n', 0, 0).trimmed().toInt()] = found.captured(1).toInt();
        }
    }
    return streams;
}

TEST(SoundServerMixer, TheSpeakerSliderSetsTheVolumeOfThisProgramsStreams) {
    Window w;
    ASSERT_TRUE(w.speaker.isEnabled());
    std::map<int, int> streams;
    Playback first;
    ASSERT_TRUE(WaitFor([&] { return (streams = OurStreams()).size() == 1; }, 3000));
    const int a = streams.begin()->first;
    Drag(w.speaker, 64);
    EXPECT_TRUE(WaitFor([&] { return OurStreams()[a] == ElementValue(64); }, 2000))
        << OurStreams()[a];
    // The call's stream opens later: it gets the chosen level too.
    Playback second;
    ASSERT_TRUE(WaitFor([&] { return (streams = OurStreams()).size() == 2; }, 3000));
    const int b = streams.rbegin()->first;
    EXPECT_TRUE(WaitFor([&] { return OurStreams()[b] == ElementValue(64); }, 2000))
        << OurStreams()[b];
    // Another program's change moves the slider and is not written back.
    Pactl({"set-sink-input-volume", QString::number(a), "12345"});
    EXPECT_TRUE(WaitFor([&] { return w.speaker.value() == 48; }, 2000)) << w.speaker.value();
    EXPECT_EQ(w.sliders->Speaker()->GetLevel(), mixer::ElementToLevel(12345, 0, 65536));
    WaitFor([] { return false; }, 300);
    EXPECT_EQ(OurStreams()[a], 12345);
}

TEST(SoundServerMixer, ASliderReleaseSetsTheMasterVolume) {
    Window w;
    Amixer({"sset", "Master", "100%"});
    Drag(w.master, 64);
    EXPECT_EQ(AmixerValue("Master"), 16384);
    Drag(w.master, 255);
    EXPECT_EQ(AmixerValue("Master"), 65281);  // 65280 on the 0..65535 scale
    Drag(w.master, 0);
    EXPECT_EQ(AmixerValue("Master"), 0);
}

TEST(SoundServerMixer, KeysSetTheMixerOnceWhenTheSliderSettles) {
    Window w;
    Amixer({"sset", "Master", "50%"});
    ASSERT_TRUE(WaitFor([&] { return w.master.value() == 128; }, 2000));
    // A second handle on the line counts the writes that reach the server.
    MasterOutputVolume watcher;
    int writes = 0;
    watcher.SetChangeHandler([&writes](int, uint32_t) { ++writes; }, 0);
    for (int i = 0; i < 10; ++i) {
        QTest::keyClick(&w.master, Qt::Key_Right);
    }
    ASSERT_EQ(w.master.value(), 138);
    const int expected = ElementValue(138);
    EXPECT_TRUE(WaitFor([&] { return AmixerValue("Master") == expected; }, 2000))
        << AmixerValue("Master");
    WaitFor([] { return false; }, 300);
    EXPECT_EQ(writes, 1) << "the steps were written one by one";
}

TEST(SoundServerMixer, AClickOnTheGrooveSetsTheMixer) {
    Window w;
    w.master.setOrientation(Qt::Horizontal);  // as in the window
    w.master.resize(200, 24);
    w.master.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.master));
    Amixer({"sset", "Master", "0%"});
    ASSERT_TRUE(WaitFor([&] { return w.master.value() == 0; }, 2000));
    QTest::mouseClick(&w.master, Qt::LeftButton, {}, QPoint(190, 12));
    ASSERT_GT(w.master.value(), 0);
    const int expected = ElementValue(w.master.value());
    EXPECT_TRUE(WaitFor([&] { return AmixerValue("Master") == expected; }, 2000))
        << AmixerValue("Master") << " for slider " << w.master.value();
}

TEST(SoundServerMixer, TheWheelSetsTheMixer) {
    Window w;
    Amixer({"sset", "Master", "50%"});
    ASSERT_TRUE(WaitFor([&] { return w.master.value() == 128; }, 2000));
    QWheelEvent wheel(QPointF(5, 5), QPointF(5, 5), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(&w.master, &wheel);
    ASSERT_NE(w.master.value(), 128);
    const int expected = ElementValue(w.master.value());
    EXPECT_TRUE(WaitFor([&] { return AmixerValue("Master") == expected; }, 2000))
        << AmixerValue("Master") << " for slider " << w.master.value();
}

TEST(SoundServerMixer, AnOutsideChangeIsNotWrittenBack) {
    Window w;
    Amixer({"sset", "Master", "50%"});
    ASSERT_TRUE(WaitFor([&] { return w.master.value() == 128; }, 2000));
    Amixer({"sset", "Master", "12345"});  // not a multiple of 256: a write-back would round it
    ASSERT_TRUE(WaitFor([&] { return w.master.value() == 48; }, 2000));
    WaitFor([] { return false; }, 400);
    EXPECT_EQ(AmixerValue("Master"), 12345);
}

// The change arrives through the mixer's own notification, not a timer (the CPU test below shows
// that nothing runs while the mixer is quiet); the bound only ends a test that would hang.
TEST(SoundServerMixer, AnOutsideChangeMovesTheSlider) {
    Window w;
    Amixer({"sset", "Master", "100%"});
    ASSERT_TRUE(WaitFor([&] { return w.master.value() == 255; }, 5000));
    Amixer({"sset", "Master", "25%"});
    EXPECT_TRUE(WaitFor([&] { return w.master.value() == 64; }, 5000)) << w.master.value();
    Amixer({"sset", "Capture", "10%"});
    EXPECT_TRUE(WaitFor([&] { return w.mic.value() == 25; }, 5000)) << w.mic.value();
}

TEST(SoundServerMixer, AMuteChangedElsewhereDoesNotMoveTheSlider) {
    Window w;
    Amixer({"sset", "Master", "40%"});
    ASSERT_TRUE(WaitFor([&] { return w.master.value() == 102; }, 2000)) << w.master.value();
    Amixer({"sset", "Master", "mute"});
    WaitFor([] { return false; }, 300);
    EXPECT_EQ(w.master.value(), 102);
    Amixer({"sset", "Master", "unmute"});
}

TEST(SoundServerMixer, ALevelAboveTheMaximumChangesNothing) {
    Window w;
    Amixer({"sset", "Master", "30%"});
    const int before = AmixerValue("Master");
    w.sliders->Master()->SetLevel(65536);
    w.sliders->Master()->SetLevel(0xFFFFFFFFu);
    EXPECT_EQ(AmixerValue("Master"), before);
}

TEST(SoundServerMixer, AQuietMicrophoneIsRaisedTo128WhenACallConnects) {
    Window w;
    w.sliders->SetMicLevel(31);
    EXPECT_EQ(w.mic.value(), 31);
    EXPECT_EQ(w.sliders->GetMicLevel() & 255, 31u);
    w.sliders->RaiseQuietMicrophone();
    EXPECT_EQ(w.mic.value(), 128);
    EXPECT_EQ(AmixerValue("Capture"), 32769);  // 32768 on the 0..65535 scale
    w.sliders->SetMicLevel(32);
    w.sliders->RaiseQuietMicrophone();
    EXPECT_EQ(w.sliders->GetMicLevel() & 255, 32u);
}

TEST(SoundServerMixer, StartUpUnmutesAndRaisesAQuietMicrophoneWhenAdjustmentIsOn) {
    Amixer({"sset", "Master", "mute"});
    Amixer({"sset", "Capture", "5%", "nocap"});
    {
        Window w;  // no settings file here: adjustment counts as on
        EXPECT_EQ(w.mic.value(), 128);
    }
    EXPECT_TRUE(Amixer({"sget", "Master"}).contains("[on]"));
    EXPECT_TRUE(Amixer({"sget", "Capture"}).contains("[on]"));
    EXPECT_EQ(AmixerValue("Capture"), 32769);
}

double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

TEST(SoundServerMixer, WatchingTheMixerCostsNoCpuWhileNothingChanges) {
    Window w;
    // Let the start-up's own changes arrive first.
    WaitFor([] { return false; }, 300);
    const double before = ProcessCpuSeconds();
    QEventLoop idle;
    QTimer::singleShot(2000, &idle, &QEventLoop::quit);
    idle.exec();
    EXPECT_LT(ProcessCpuSeconds() - before, 0.02);
    EXPECT_TRUE(w.master.isEnabled());
}

// Runs last in this program: it stops the shared server.
TEST(SoundServerMixer, AServerThatGoesAwayStopsTheWatchInsteadOfSpinning) {
    Window w;
    ASSERT_TRUE(w.master.isEnabled());
    g_sound->server.Stop();
    WaitFor([] { return false; }, 500);
    const double before = ProcessCpuSeconds();
    QEventLoop idle;
    QTimer::singleShot(1000, &idle, &QEventLoop::quit);
    idle.exec();
    EXPECT_LT(ProcessCpuSeconds() - before, 0.02);
    EXPECT_FALSE(w.sliders->Master()->IsUsable());
    EXPECT_EQ(w.sliders->Master()->GetLevel(), -1);
}

}  // namespace
