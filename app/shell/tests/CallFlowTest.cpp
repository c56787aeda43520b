// Whole calls between the client's main window and zorvo-call in another process, on loopback:
// incoming calls through the ringing dialog, outgoing calls through the progress window.

#include <gtest/gtest.h>

#include <QAction>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include "ShellTestSupport.h"
#include "app/pages/ConnectIpPage.h"
#include "app/pages/IpAddressEdit.h"
#include "app/pages/MyPropertySheet.h"
#include "app/settings/ProgramSettings.h"
#include "app/widgets/MainStatusBar.h"
#include "app/widgets/WaveformView.h"

#include <algorithm>

using namespace shelltest;

namespace {

class CallFlow : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        tone = m_dir.filePath("tone.wav");
        quiet = m_dir.filePath("quiet.wav");
        ASSERT_EQ(QProcess::execute("sox", {"-n", "-r", "8000", "-c", "1", "-b", "16", tone,
                                            "synth", "6", "sine", "440", "vol", "0.5"}),
                  0);
        ASSERT_EQ(QProcess::execute(
                      "sox", {"-n", "-r", "8000", "-c", "1", "-b", "16", quiet, "trim", "0", "1"}),
                  0);
    }

    void TearDown() override {
        for (QProcess* p : {&peer}) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(3000);
            }
        }
        qunsetenv("ZORVO_PEER_PORT");
    }

    void StartPeer(const QStringList& arguments) {
        peer.setProgram(ZORVO_CALL_BIN);
        peer.setArguments(arguments);
        peer.setProcessChannelMode(QProcess::MergedChannels);
        peer.start();
        ASSERT_TRUE(peer.waitForStarted(5000));
    }

    // zorvo-call's exit code, once it has ended.
    int PeerExit(int ms = 30000) {
        if (!WaitUntil([&] { return peer.state() == QProcess::NotRunning; }, ms)) {
            return -1;
        }
        return peer.exitCode();
    }

    QString PeerOutput() { return QString::fromUtf8(peer.readAll()); }

    // `action` runs once, as soon as the ringing dialog is up.
    void WhenRinging(CMainDialog& w, std::function<void(CIncomingCallDlg*)> action) {
        auto* timer = new QTimer(&w);
        QObject::connect(timer, &QTimer::timeout, timer, [&w, timer, action] {
            if (CIncomingCallDlg* dialog = w.Ringing(); dialog && dialog->isVisible()) {
                timer->stop();
                timer->deleteLater();
                action(dialog);
            }
        });
        timer->start(20);
    }

    QTemporaryDir m_dir;
    QString tone, quiet;
    QProcess peer;
};

TEST_F(CallFlow, IncomingCallIsAcceptedHeldAndEndedByTheCaller) {
    // A quiet microphone: the client's send thread runs, answers probes and hangs up.
    Client client(quiet);
    CMainDialog& w = *client.window;
    Voxlane* listening = w.Engine();
    StartPeer({"call", "127.0.0.1", "--port", QString::number(client.Port()), "--user", "alice",
               "--mic", tone, "--speaker", "none", "--hangup-after", "3"});
    bool rang = false;
    WhenRinging(w, [&](CIncomingCallDlg* ringing) {
        rang = true;
        EXPECT_EQ(ringing->m_strCaller, "alice");
        EXPECT_EQ(w.RemoteUser(), "alice");
        EXPECT_EQ(ringing->findChild<QLineEdit*>("countdown")->text(), "10");
        EXPECT_TRUE(w.TalkButton()->isVisibleTo(&w));
        QTest::mouseClick(ringing->findChild<QPushButton*>("accept"), Qt::LeftButton);
    });
    ASSERT_TRUE(WaitUntil([&] { return w.HangUpButton()->isVisibleTo(&w); }));
    EXPECT_TRUE(rang);
    EXPECT_FALSE(w.TalkButton()->isVisibleTo(&w));
    EXPECT_TRUE(w.CallText().startsWith("Active 00:00:0"));
    EXPECT_EQ(w.Engine(), listening);  // the listening engine carries the call
    ASSERT_TRUE(WaitUntil([&] { return w.BytesReceived() > 0; }));
    // The window probes the round trip (on loopback it measures 0 ms, which counts as none).
    ASSERT_TRUE(WaitUntil(
        [&] { return !w.DebugLines().filter("I am here received delay = ").isEmpty(); }, 5000));
    // The caller's tone is drawn as the network trace.
    const auto& trace = w.Waveform()->NetPoints();
    EXPECT_TRUE(std::any_of(trace.begin(), trace.end(),
                            [&](const QPoint& p) { return p.y() != trace.front().y(); }));

    EXPECT_EQ(PeerExit(), 0);
    ASSERT_TRUE(WaitUntil([&] { return w.TalkButton()->isVisibleTo(&w); }));
    EXPECT_FALSE(w.HangUpButton()->isVisibleTo(&w));
    EXPECT_EQ(w.PaneText(2), "Ready to receive calls");
    ASSERT_NE(w.Engine(), nullptr);  // a new listening engine
    EXPECT_TRUE(w.DebugLines().contains("Hangup request received"));
    EXPECT_TRUE(client.boxes.isEmpty());
}

TEST_F(CallFlow, UnansweredCallIsMissedAfterTheRingTime) {
    // A quiet microphone: the client's send thread runs, answers probes and hangs up.
    Client client(quiet);
    CMainDialog& w = *client.window;
    ProgramSettings::WriteNumber(settings::kRingTime, 5);
    StartPeer({"call", "127.0.0.1", "--port", QString::number(client.Port()), "--user", "bob",
               "--mic", "none", "--speaker", "none", "--timeout", "30"});
    QElapsedTimer rang;
    QString countdown;
    WhenRinging(w, [&](CIncomingCallDlg* ringing) {
        rang.start();
        countdown = ringing->findChild<QLineEdit*>("countdown")->text();
    });
    ASSERT_TRUE(WaitUntil([&] { return w.MissedCalls()->List()->topLevelItemCount() == 1; }));
    EXPECT_EQ(countdown, "5");
    EXPECT_GE(rang.elapsed(), 4000);
    EXPECT_EQ(w.MissedCalls()->List()->topLevelItem(0)->text(0), "bob");
    EXPECT_TRUE(w.MissedCalls()->isVisible());
    // A missed call is a rejection for the caller.
    EXPECT_EQ(PeerExit(), 1);
    EXPECT_TRUE(PeerOutput().contains("STATUS_CONNECT_FAILED 0"));
    EXPECT_EQ(w.PaneText(2), "Ready to receive calls");
}

TEST_F(CallFlow, ClosingTheRingingDialogRejectsWithoutAMissedCall) {
    // A quiet microphone: the client's send thread runs, answers probes and hangs up.
    Client client(quiet);
    CMainDialog& w = *client.window;
    StartPeer({"call", "127.0.0.1", "--port", QString::number(client.Port()), "--mic", "none",
               "--speaker", "none", "--timeout", "30"});
    WhenRinging(w, [](CIncomingCallDlg* ringing) { ringing->close(); });
    EXPECT_EQ(PeerExit(), 1);
    EXPECT_EQ(w.MissedCalls()->List()->topLevelItemCount(), 0);
    EXPECT_TRUE(w.TalkButton()->isVisibleTo(&w));
}

class OutgoingCall : public CallFlow {
  protected:
    void Listen(const QString& answer, const QStringList& extra = {}) {
        peerPort = FreeUdpPort();
        qputenv("ZORVO_PEER_PORT", QByteArray::number(peerPort));
        StartPeer(QStringList{"listen", "--port", QString::number(peerPort), "--user", "carol",
                              "--answer", answer, "--mic", tone, "--speaker", "none", "--timeout",
                              "30"} +
                  extra);
        // zorvo-call is listening once it has bound its port.
        ASSERT_TRUE(WaitUntil([&] { return peer.peek(4096).contains("Bind Successful"); }));
    }

    // Talk on the connect page; returns once the attempt is over.
    void Dial(CMainDialog& w) {
        w.Sheet()->SetActivePage(w.ConnectPage());
        w.ConnectPage()->AddressControl()->SetText("127.0.0.1");
        bool ended = false;
        const auto watch =
            QObject::connect(&w, &CMainDialog::attemptEnded, [&ended] { ended = true; });
        w.OnTalk();
        EXPECT_TRUE(w.Connecting() != nullptr || ended);
        EXPECT_TRUE(WaitUntil([&] { return ended; }, 30000));
        QObject::disconnect(watch);
    }

    uint16_t peerPort = 0;
};

TEST_F(OutgoingCall, AcceptedCallRunsUntilHangUpIsConfirmed) {
    // A quiet microphone: the client's send thread runs, answers probes and hangs up.
    Client client(quiet);
    CMainDialog& w = *client.window;
    Listen("accept");
    Dial(w);
    EXPECT_EQ(w.RemoteUser(), "127.0.0.1");  // a call by address names the address
    ASSERT_NE(w.Engine(), nullptr);
    EXPECT_EQ(w.Engine()->IsConnected(), 1);
    EXPECT_TRUE(w.HangUpButton()->isVisibleTo(&w));
    EXPECT_FALSE(w.TalkButton()->isVisibleTo(&w));
    EXPECT_TRUE(w.DebugLines().contains("Connected..."));
    EXPECT_EQ(w.Connecting(), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return w.BytesReceived() > 0; }));

    // No keeps the call.
    client.answerYes = false;
    w.OnHangUp();
    EXPECT_EQ(client.boxes, QStringList{"Do you want to disconnect the current connection?"});
    EXPECT_EQ(w.Engine()->IsConnected(), 1);
    // Yes ends it; the peer is told and the window listens again.
    client.answerYes = true;
    w.OnHangUp();
    EXPECT_EQ(PeerExit(), 0);
    EXPECT_TRUE(PeerOutput().contains("STATUS_REMOTE_HANGUP 0"));
    EXPECT_TRUE(w.TalkButton()->isVisibleTo(&w));
    EXPECT_EQ(w.PaneText(2), "Ready to receive calls");
    ASSERT_NE(w.Engine(), nullptr);
    EXPECT_EQ(w.Engine()->IsConnected(), 0);
}

TEST_F(OutgoingCall, RejectedCallShowsTheBoxAndListensAgain) {
    // A quiet microphone: the client's send thread runs, answers probes and hangs up.
    Client client(quiet);
    CMainDialog& w = *client.window;
    Listen("reject");
    Dial(w);
    EXPECT_TRUE(
        client.boxes.contains("Cannot Complete the connection. Either your buddy is away "
                              "from the computer or the connection timed out."));
    EXPECT_TRUE(w.DebugLines().contains("Connect failed..Please Retry"));
    EXPECT_TRUE(w.TalkButton()->isVisibleTo(&w));
    ASSERT_NE(w.Engine(), nullptr);
    EXPECT_EQ(w.PaneText(2), "Ready to receive calls");
}

TEST_F(OutgoingCall, CancelWhileRingingEndsQuietly) {
    // A quiet microphone: the client's send thread runs, answers probes and hangs up.
    Client client(quiet);
    CMainDialog& w = *client.window;
    Listen("ignore");
    bool cancelled = false;
    QString shownWhileCancelling;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        CConnectingDlg* progress = w.Connecting();
        if (progress && progress->connectState == CConnectingDlg::kRinging && !cancelled) {
            cancelled = true;
            QTest::mouseClick(progress->findChild<QPushButton*>("cancel"), Qt::LeftButton);
            // The window stays up, saying so, until the attempt is over.
            if (w.Connecting() == progress) {
                shownWhileCancelling = progress->findChild<QLabel*>("progress")->text();
            }
        }
    });
    watcher.start(20);
    Dial(w);
    watcher.stop();
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(shownWhileCancelling, "Cancelling.. Please Wait");
    EXPECT_TRUE(client.boxes.isEmpty());
    EXPECT_TRUE(w.DebugLines().contains("Connect failed..Please Retry"));
    ASSERT_NE(w.Engine(), nullptr);
    EXPECT_EQ(w.PaneText(2), "Ready to receive calls");
    EXPECT_TRUE(w.TalkButton()->isVisibleTo(&w));
}

TEST_F(OutgoingCall, ExitDuringACallHangsUpAndEndsTheWindow) {
    // A quiet microphone: the client's send thread runs, answers probes and hangs up.
    Client client(quiet);
    CMainDialog& w = *client.window;
    bool exited = false;
    QObject::connect(&w, &CMainDialog::exited, [&] { exited = true; });
    Listen("accept");
    Dial(w);
    ASSERT_EQ(w.Engine()->IsConnected(), 1);
    w.OnExit();
    EXPECT_TRUE(exited);
    EXPECT_EQ(w.Engine(), nullptr);
    EXPECT_TRUE(client.boxes.isEmpty());  // nothing is asked on Exit
    EXPECT_EQ(PeerExit(), 0);
    EXPECT_TRUE(PeerOutput().contains("STATUS_REMOTE_HANGUP 0"));
}

TEST_F(OutgoingCall, MuteWorksByKeyButtonAndTrayAndTheCallsEndUnmutes) {
    Client client(tone);
    CMainDialog& w = *client.window;
    w.show();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    EXPECT_FALSE(w.MuteAction()->isEnabled());  // nothing to mute outside a call
    EXPECT_TRUE(w.Tray()->Menu()->actions().contains(w.MuteAction()));
    Listen("accept", {"--hangup-after", "6"});
    Dial(w);
    ASSERT_EQ(w.Engine()->IsConnected(), 1);
    ASSERT_TRUE(w.MuteButton()->isVisibleTo(&w));
    EXPECT_FALSE(w.CallMutedLabel()->isVisibleTo(&w));
    ASSERT_TRUE(WaitUntil([&] { return w.MuteAction()->isEnabled(); }));
    // The call's progress window has closed: the user's key press goes to the window in front.
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));

    QTest::keyClick(&w, Qt::Key_M, Qt::ControlModifier);
    EXPECT_TRUE(w.Engine()->IsMuted());
    EXPECT_TRUE(w.MuteButton()->isChecked());
    EXPECT_TRUE(w.CallMutedLabel()->isVisibleTo(&w));
    EXPECT_EQ(w.CallMutedLabel()->text(), "Muted");

    QTest::mouseClick(w.MuteButton(), Qt::LeftButton);
    EXPECT_FALSE(w.Engine()->IsMuted());
    EXPECT_FALSE(w.MuteAction()->isChecked());
    EXPECT_FALSE(w.CallMutedLabel()->isVisibleTo(&w));

    w.MuteAction()->trigger();  // as the tray menu's entry does
    EXPECT_TRUE(w.Engine()->IsMuted());
    EXPECT_TRUE(w.MuteButton()->isChecked());

    // The peer ends the call while muted: the next engine and the controls start unmuted.
    EXPECT_EQ(PeerExit(), 0);
    ASSERT_TRUE(WaitUntil([&] { return w.TalkButton()->isVisibleTo(&w); }));
    EXPECT_FALSE(w.Call()->Muted());
    EXPECT_FALSE(w.MuteButton()->isVisibleTo(&w));
    EXPECT_FALSE(w.MuteButton()->isChecked());
    EXPECT_FALSE(w.MuteAction()->isChecked());
    EXPECT_FALSE(w.MuteAction()->isEnabled());
    EXPECT_FALSE(w.CallMutedLabel()->isVisibleTo(&w));
    ASSERT_NE(w.Engine(), nullptr);
    EXPECT_FALSE(w.Engine()->IsMuted());
}

TEST_F(OutgoingCall, PaneTwoReadsReadyAgainAfterAnAcceptedCallThatThePeerEnded) {
    Client client(quiet);
    CMainDialog& w = *client.window;
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    MainStatusBar* bar = w.StatusBar();
    const QImage before = bar->grab(bar->GetItemRect(2)).toImage();
    Listen("accept", {"--hangup-after", "4"});
    Dial(w);
    ASSERT_TRUE(w.HangUpButton()->isVisibleTo(&w));
    // During the call the indicator covers the pane.
    EXPECT_NE(bar->grab(bar->GetItemRect(2)).toImage(), before);
    EXPECT_EQ(PeerExit(), 0);
    ASSERT_TRUE(WaitUntil([&] { return w.TalkButton()->isVisibleTo(&w); }));
    EXPECT_EQ(w.PaneText(2), "Ready to receive calls");
    EXPECT_EQ(bar->grab(bar->GetItemRect(2)).toImage(), before);
}

}  // namespace
