// Encrypted calls as the main window shows them, with real engines on loopback: two windows
// calling each other show the same six digits; a program without the extension is shown as
// "Not encrypted"; a buddy whose key is not the one pinned for his name brings up the warning
// and a red display until the user trusts the new key; and, logged in, the first call of a buddy is
// verified with the key he published in the directory (played by the test) and pinned.

#include <gtest/gtest.h>

#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>

#include <arpa/inet.h>

#include <memory>
#include <optional>
#include <thread>

#include "ShellTestSupport.h"
#include "app/call/InCallDisplay.h"
#include "app/call/KeyPinning.h"
#include "app/pages/ConnectIpPage.h"
#include "app/pages/IpAddressEdit.h"
#include "app/pages/LoginPage.h"
#include "app/pages/MyPropertySheet.h"
#include "app/session/LoginSession.h"
#include "app/session/PresenceWorker.h"
#include "app/session/SessionState.h"
#include "app/session/tests/FakeDirectory.h"
#include "app/shell/SessionCoordinator.h"
#include "testsupport/StatusLog.h"

using namespace shelltest;

namespace {

const QString kDot = QString::fromUtf8("\u00b7");

// Another program on this machine: one engine named `name`, with an identity or (a program
// without the extension) none, that listens and accepts every call, or calls.
class Program {
  public:
    Program(const std::string& name, std::optional<IdentityKey> identity, const QString& mic)
        : m_name(name) {
        options.microphone = mic.toStdString();
        options.speaker = "none";
        options.identity = std::move(identity);
        log.OnEvent([](const testsupport::Event& e) {
            if (e.code == STATUS_INCOMING_CALL) {
                Voxlane::WriteDecision(e.value, DECISION_ACCEPT);
            }
        });
    }
    ~Program() {
        if (engine) {
            engine->Stop();
        }
        if (m_connect.joinable()) {
            m_connect.join();
        }
    }
    // Returns once the engine listens: a caller's first request is not answered before.
    void Listen(uint16_t port) {
        engine = std::make_unique<Voxlane>(port, 1, &stats, m_name.c_str(), options);
        engine->StartServer();
        ASSERT_TRUE(log.WaitForText("Bind Successful"));
    }
    void Call(uint16_t port) {
        engine = std::make_unique<Voxlane>(FreeUdpPort(), 0, &stats, m_name.c_str(), options);
        in_addr loopback{htonl(INADDR_LOOPBACK)};
        ASSERT_EQ(engine->InitConnect(loopback, port), 1);
        m_connect = std::thread([this] { engine->Connect(); });
    }

    // Everything the engine said, for a failure's message.
    std::string Said() {
        std::string said;
        for (const testsupport::Event& e : log.Events()) {
            said += "\n " + m_name + ": " + std::to_string(e.code) + " " + e.text;
        }
        return said;
    }

    EngineOptions options;
    testsupport::StatusLog log;
    Statistics stats{log.Window()};
    std::unique_ptr<Voxlane> engine;

  private:
    std::string m_name;
    std::thread m_connect;
};

// The text the window shows beside the call, and its padlock.
QString Shown(CMainDialog& w) {
    return w.CallSecurityLabel()->isVisibleTo(&w) ? w.CallSecurityLabel()->text() : QString();
}
bool LockShown(CMainDialog& w) {
    return w.CallLockLabel()->isVisibleTo(&w) && !w.CallLockLabel()->pixmap().isNull();
}

// Whether the label, as painted, has strongly red pixels (the warning's text).
bool PaintedRed(QLabel* label) {
    const QImage image = label->grab().toImage();
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 150 && c.green() < 90 && c.blue() < 90) {
                return true;
            }
        }
    }
    return false;
}

QString KeyOf(const IdentityKey& identity) {
    return QString::fromStdString(KeyHex(identity.publicKey));
}

class EncryptedCallWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        // The keyring of a desktop that runs these tests stays out of them.
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        ASSERT_TRUE(m_dir.isValid());
        quiet = m_dir.filePath("quiet.wav");
        ASSERT_EQ(QProcess::execute(
                      "sox", {"-n", "-r", "8000", "-c", "1", "-b", "16", quiet, "trim", "0", "1"}),
                  0);
    }
    void TearDown() override {
        qunsetenv("ZORVO_PEER_PORT");
        qunsetenv("ZORVO_SERVICE_HOST");
    }

    // Returns once the window's listening engine has bound its port: a caller's request that
    // comes earlier is only repeated after 15 s.
    static void AwaitListening(CMainDialog& w) {
        ASSERT_TRUE(WaitUntil([&] { return w.DebugLines().contains("Bind Successful"); }));
    }

    // Talk on the connect page to 127.0.0.1 at `port`.
    static void Dial(CMainDialog& w, uint16_t port) {
        qputenv("ZORVO_PEER_PORT", QByteArray::number(port));
        w.Sheet()->SetActivePage(w.ConnectPage());
        w.ConnectPage()->AddressControl()->SetText("127.0.0.1");
        w.OnTalk();
    }

    // Accepts the call that rings at `w`; true once it is up.
    static bool Answer(CMainDialog& w) {
        if (!WaitUntil([&] { return w.Ringing() && w.Ringing()->isVisible(); }, 15000)) {
            return false;
        }
        QTest::mouseClick(w.Ringing()->findChild<QPushButton*>("accept"), Qt::LeftButton);
        return WaitUntil([&] { return w.HangUpButton()->isVisibleTo(&w); }, 15000);
    }

    QTemporaryDir m_dir;
    QString quiet;
};

TEST_F(EncryptedCallWindow, TwoWindowsCallingByAddressShowTheSameSixDigits) {
    Client callee(quiet);
    Client caller(quiet);
    CMainDialog& a = *caller.window;
    CMainDialog& b = *callee.window;
    // Each window's engines carry an identity of its own, kept in its own settings.
    const IdentityKey& aIdentity = *a.Call()->NextEngineOptions().identity;
    const IdentityKey& bIdentity = *b.Call()->NextEngineOptions().identity;
    ASSERT_NE(KeyOf(aIdentity), KeyOf(bIdentity));
    AwaitListening(b);
    ASSERT_FALSE(HasFatalFailure());

    Dial(a, callee.Port());
    ASSERT_TRUE(Answer(b)) << b.DebugLines().join(" | ").toStdString()
                           << "\ncaller: " << a.DebugLines().join(" | ").toStdString();
    ASSERT_TRUE(WaitUntil([&] { return !Shown(a).isEmpty() && !Shown(b).isEmpty(); }))
        << a.DebugLines().join(" | ").toStdString();
    const QString sas = QString::fromStdString(a.Call()->Security().sas);
    ASSERT_TRUE(QRegularExpression("^[0-9]{3} [0-9]{3}$").match(sas).hasMatch())
        << sas.toStdString();
    EXPECT_EQ(Shown(a), "Encrypted " + kDot + " compare " + sas);
    EXPECT_EQ(Shown(b), "Encrypted " + kDot + " compare " + sas);
    EXPECT_TRUE(LockShown(a));
    EXPECT_TRUE(LockShown(b));
    // Each side proved the identity the other's store keeps.
    EXPECT_EQ(KeyHex(a.Call()->Security().peerIdentity), KeyHex(bIdentity.publicKey));
    EXPECT_EQ(KeyHex(b.Call()->Security().peerIdentity), KeyHex(aIdentity.publicKey));
    // Both sides hear each other through the sealed records.
    ASSERT_TRUE(WaitUntil([&] { return a.BytesReceived() > 0 && b.BytesReceived() > 0; }));
    EXPECT_EQ(a.Call()->Security().dropped, 0u);
    EXPECT_TRUE(caller.boxes.isEmpty()) << caller.boxes.join('|').toStdString();

    // Hang up: the display goes with the call on both sides.
    a.OnHangUp();
    ASSERT_TRUE(WaitUntil(
        [&] { return a.TalkButton()->isVisibleTo(&a) && b.TalkButton()->isVisibleTo(&b); }));
    EXPECT_EQ(Shown(a), "");
    EXPECT_EQ(Shown(b), "");
    EXPECT_FALSE(a.CallLockLabel()->isVisibleTo(&a));
}

TEST_F(EncryptedCallWindow, AProgramWithoutTheExtensionIsShownAsNotEncrypted) {
    Client client(quiet);
    CMainDialog& w = *client.window;
    Program carol("carol", std::nullopt, quiet);
    const uint16_t port = FreeUdpPort();
    carol.Listen(port);
    ASSERT_FALSE(HasFatalFailure());
    Dial(w, port);
    ASSERT_TRUE(WaitUntil([&] { return !Shown(w).isEmpty(); }, 15000))
        << w.DebugLines().join(" | ").toStdString() << carol.Said();
    EXPECT_EQ(Shown(w), "Not encrypted");
    EXPECT_TRUE(LockShown(w));
    EXPECT_FALSE(w.Call()->Security().encrypted);
    ASSERT_TRUE(WaitUntil([&] { return carol.log.Last(STATUS_SECURITY).has_value(); }));
    EXPECT_EQ(carol.log.Last(STATUS_SECURITY)->value, 0u);
}

TEST_F(EncryptedCallWindow, ABuddyWhoseKeyIsNotThePinnedOneBringsUpTheWarningUntilTheUserTrustsIt) {
    const IdentityKey earlier = IdentityKey::Generate();
    const IdentityKey reinstalled = IdentityKey::Generate();
    Client client(quiet, [&] { keypin::Pin("bob", KeyOf(earlier)); });
    CMainDialog& w = *client.window;
    AwaitListening(w);
    ASSERT_FALSE(HasFatalFailure());
    client.answerYes = false;
    auto first = std::make_unique<Program>("bob", reinstalled, quiet);
    first->Call(client.Port());
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(Answer(w)) << w.DebugLines().join(" | ").toStdString() << first->Said();
    ASSERT_TRUE(WaitUntil([&] { return !client.boxes.isEmpty(); }));
    ASSERT_TRUE(WaitUntil([&] { return first->log.Last(STATUS_SECURITY).has_value(); }));
    const QString sas = QString::fromStdString(first->engine->GetCallSecurity().sas);
    EXPECT_EQ(client.boxes,
              QStringList({"bob's identity key has changed. Someone may be listening in: compare "
                           "the authentication string " +
                           sas +
                           " with bob before you say anything private.\n\nTrust bob's new key "
                           "from now on? Answer Yes only when bob has read you the same six "
                           "digits."}));
    EXPECT_EQ(Shown(w), "Encrypted " + kDot + " bob's key has changed: compare " + sas);
    EXPECT_TRUE(LockShown(w));
    EXPECT_TRUE(PaintedRed(w.CallSecurityLabel()));
    // Answered No: the pinned key stays, and the next call with the new key warns again.
    EXPECT_EQ(keypin::Pinned("bob"), KeyOf(earlier));
    client.answerYes = true;  // "hang up?"
    w.OnHangUp();
    ASSERT_TRUE(WaitUntil([&] { return !w.HangUpButton()->isVisibleTo(&w); }));
    first.reset();
    // The window listens again once its new engine has bound the port (the newest line).
    ASSERT_TRUE(WaitUntil([&] { return w.DebugLines().first() == "Bind Successful"; }));
    client.boxes.clear();

    Program again("bob", reinstalled, quiet);
    again.Call(client.Port());
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(Answer(w)) << w.DebugLines().join(" | ").toStdString() << again.Said();
    ASSERT_TRUE(WaitUntil([&] { return !client.boxes.isEmpty(); }));
    EXPECT_TRUE(client.boxes[0].startsWith("bob's identity key has changed."));
    // Answered Yes: the new key replaces the pinned one and the call counts as verified.
    ASSERT_TRUE(WaitUntil([&] { return Shown(w).contains("verified"); })) << Shown(w).toStdString();
    EXPECT_EQ(Shown(w), "Encrypted " + kDot + " verified bob");
    EXPECT_FALSE(PaintedRed(w.CallSecurityLabel()));
    EXPECT_EQ(keypin::Pinned("bob"), KeyOf(reinstalled));
}

TEST_F(EncryptedCallWindow, APinnedBuddyCallingInClearBringsUpTheDowngradeWarning) {
    Client client(quiet, [&] { keypin::Pin("bob", KeyOf(IdentityKey::Generate())); });
    CMainDialog& w = *client.window;
    AwaitListening(w);
    ASSERT_FALSE(HasFatalFailure());
    Program bob("bob", std::nullopt, quiet);
    bob.Call(client.Port());
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(Answer(w)) << w.DebugLines().join(" | ").toStdString() << bob.Said();
    ASSERT_TRUE(WaitUntil([&] { return !client.boxes.isEmpty(); }));
    EXPECT_EQ(client.boxes, QStringList({"bob's calls were encrypted before, but this one is not. "
                                         "Someone on the way may have stripped the encryption: "
                                         "check with bob before you say anything private."}));
    EXPECT_EQ(Shown(w), "Not encrypted " + kDot + " bob's calls were encrypted before");
    EXPECT_TRUE(PaintedRed(w.CallSecurityLabel()));
}

TEST_F(EncryptedCallWindow, LoggedInTheFirstCallOfABuddyIsVerifiedWithTheDirectoryAndPinned) {
    sessiontest::FakeDirectory directory;
    directory.SetReply("logmein.asp", "+OK bob");
    const IdentityKey bobIdentity = IdentityKey::Generate();
    directory.SetReply("BuddyKey.asp", "+OK " + KeyHex(bobIdentity.publicKey));
    qputenv("ZORVO_SERVICE_HOST", QByteArray::fromStdString(directory.Host()));
    Client client(quiet);
    CMainDialog& w = *client.window;
    SessionCoordinator* session = w.Session();
    session->Login()->SetLoginPauseMs(20);
    session->Presence()->SetHeartbeatIntervalMs(3600000);
    session->State().SetTimeouts(1000, 3000, 1000);
    w.Login()->UserEdit()->setText("alice");
    w.Login()->PasswordEdit()->setText("pw");
    w.Login()->LoginButton()->click();
    ASSERT_TRUE(WaitUntil([&] { return session->LoggedIn(); }, 15000));
    ASSERT_TRUE(WaitUntil([&] { return !directory.Requests("iamup.asp").empty(); }));
    // The login and the heartbeat publish the window's identity key.
    const std::string ownKey = KeyHex(w.Call()->NextEngineOptions().identity->publicKey);
    const auto logins = directory.Requests("logmein.asp");
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_TRUE(logins[0].target.ends_with("&Caps=rv1,e2e1&IdKey=" + ownKey)) << logins[0].target;
    EXPECT_EQ(directory.Requests("iamup.asp")[0].Param("IdKey"), ownKey);

    AwaitListening(w);
    ASSERT_FALSE(HasFatalFailure());
    Program bob("bob", bobIdentity, quiet);
    bob.Call(client.Port());
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(Answer(w)) << w.DebugLines().join(" | ").toStdString() << bob.Said();
    ASSERT_TRUE(WaitUntil([&] { return Shown(w).contains("verified"); })) << Shown(w).toStdString();
    EXPECT_EQ(Shown(w), "Encrypted " + kDot + " verified bob");
    const auto asked = directory.Requests("BuddyKey.asp");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].target, "/p\\BuddyKey.asp?User=alice&Pass=pw&Buddy=bob&Caps=rv1,e2e1");
    EXPECT_EQ(keypin::Pinned("bob"), KeyOf(bobIdentity));
    EXPECT_FALSE(PaintedRed(w.CallSecurityLabel()));
    EXPECT_TRUE(client.boxes.isEmpty()) << client.boxes.join('|').toStdString();
}

}  // namespace
