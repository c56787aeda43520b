// The trust in a directory's TLS key as the desktop client handles it: the question and the
// refusal, the kept keys in the settings file, the question's box, and the login session against
// a directory over https whose certificate signs itself.

#include "app/session/DirectoryTrust.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <mutex>

#include "app/session/LoginSession.h"
#include "app/session/SessionState.h"
#include "app/settings/ProgramSettings.h"
#include "directory/client/tests/TlsTestServer.h"
#include "util/MessageBox.h"

namespace {

const std::string kFingerprint =
    "01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:"
    "FE:DC:BA:98:76:54:32:10:FE:DC:BA:98:76:54:32:10";
const std::string kPinA = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
const std::string kPinB = "sha256//BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB=";

KeyProblem Problem(KeyVerdict verdict) {
    return KeyProblem{verdict, "dir.example:8443", ServerKey{kFingerprint, kPinA}};
}

// Both halves of the fingerprint as the box shows them, one per line.
void ExpectFingerprint(const QString& text) {
    EXPECT_TRUE(text.contains(QString::fromStdString(kFingerprint.substr(0, 47)) + "\n" +
                              QString::fromStdString(kFingerprint.substr(48))))
        << text.toStdString();
}

TEST(DirectoryTrustTexts, TheQuestionNamesTheHostAndTheFingerprintAndAsksToTrust) {
    const QString text = directory_trust::QuestionText(Problem(KeyVerdict::Unknown));
    EXPECT_TRUE(
        text.startsWith("The directory at dir.example:8443 has a certificate that no "
                        "authority vouches for. Nothing has been sent to it."))
        << text.toStdString();
    ExpectFingerprint(text);
    EXPECT_TRUE(text.endsWith("\n\nTrust this directory?")) << text.toStdString();
}

TEST(DirectoryTrustTexts, TheRefusalSaysNothingWasSentAndWhereTheTrustedKeyIsKept) {
    QTemporaryDir dir;
    qputenv("ZORVO_CONFIG_DIR", dir.path().toUtf8());
    const QString text = directory_trust::RefusalText(Problem(KeyVerdict::Changed));
    EXPECT_TRUE(
        text.startsWith("The directory at dir.example:8443 presented a different key "
                        "from the one you trusted, so Mervane did not connect and sent "
                        "nothing."))
        << text.toStdString();
    ExpectFingerprint(text);
    EXPECT_TRUE(text.contains("remove the entry for dir.example:8443 under DirectoryKeys in " +
                              dir.path() + "/Mervane.ini"))
        << text.toStdString();
}

TEST(SettingsPinStore, KeepsOneKeyPerHostInTheSettingsFile) {
    QTemporaryDir dir;
    qputenv("ZORVO_CONFIG_DIR", dir.path().toUtf8());
    SettingsPinStore store;
    EXPECT_EQ(store.PinFor("127.0.0.1:8443"), "");
    store.Trust("127.0.0.1:8443", kPinA);
    store.Trust("dir.example:443", kPinB);

    SettingsPinStore later;  // as the next start of the program reads them
    EXPECT_EQ(later.PinFor("127.0.0.1:8443"), kPinA);
    EXPECT_EQ(later.PinFor("dir.example:443"), kPinB);
    EXPECT_EQ(later.PinFor("127.0.0.1:8444"), "");
    QFile file(ProgramSettings::FilePath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    EXPECT_TRUE(content.contains("[Software]")) << content.toStdString();
    EXPECT_TRUE(content.contains(QByteArray::fromStdString(kPinB))) << content.toStdString();
    EXPECT_EQ(file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), 0);
}

QMessageBox* OpenQuestionBox() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box != nullptr && box->isVisible()) {
            return box;
        }
    }
    return nullptr;
}

TEST(DirectoryTrustBox, TheQuestionIsAYesNoBoxThatDefaultsToNo) {
    const QString question = directory_trust::QuestionText(Problem(KeyVerdict::Unknown));
    int calls = 0;
    bool trusted = false;
    directory_trust::Ask(question, [&](bool yes) {
        ++calls;
        trusted = yes;
    });
    QMessageBox* box = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((box = OpenQuestionBox()) != nullptr, 5000);
    EXPECT_EQ(box->text(), question);
    EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
    EXPECT_EQ(calls, 0) << "the caller does not wait for the answer";
    box->button(QMessageBox::Yes)->click();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(trusted);
}

std::mutex g_lock;
QStringList g_boxes;

// A login against a directory over https with a certificate of its own making. The settings file
// is the test's own; the trust question is answered by the test.
class LoginOverTls : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        qputenv("ZORVO_CONFIG_DIR", m_dir.path().toUtf8());
        {
            std::lock_guard<std::mutex> lock(g_lock);
            g_boxes.clear();
        }
        SetMessageBoxHook([](const std::string& text, const std::string&) {
            std::lock_guard<std::mutex> lock(g_lock);
            g_boxes << QString::fromStdString(text);
        });
        directory_trust::SetAsker([this](const QString& text, std::function<void(bool)> answered) {
            m_questions << text;
            m_requestsWhenAsked = m_server.Requests();
            answered(m_answer);
        });
        m_server.server().Get(
            "/ZorvoServer.txt", [this](const httplib::Request&, httplib::Response& res) {
                // A bare host, as a directory names itself: reached over https like the page.
                res.set_content("[ZORVO]\r\nCURRENT IP=" + m_endpoint + "\r\nPATH=/p\r\n",
                                "text/plain");
            });
        m_server.server().Get(R"(/p\\logmein\.asp)",
                              [](const httplib::Request&, httplib::Response& res) {
                                  res.set_content("+OK bob", "text/plain");
                              });
        m_state.SetServiceHost(m_server.Start());
        m_endpoint = "127.0.0.1:" + std::to_string(m_server.port());
        m_state.SetTimeouts(3000, 8000, 3000);  // generous: the machine may be busy
        m_login.SetLoginPauseMs(0);
        m_key = *KeyOfPemCertificate(m_certificate.Pem());
    }
    void TearDown() override {
        directory_trust::SetAsker({});
        SetMessageBoxHook({});
    }

    static QStringList Boxes() {
        std::lock_guard<std::mutex> lock(g_lock);
        return g_boxes;
    }

    QTemporaryDir m_dir;
    tlstest::Certificate m_certificate = tlstest::Certificate::SelfSigned();
    tlstest::TlsTestServer m_server{m_certificate};
    std::string m_endpoint;
    ServerKey m_key;
    SessionState m_state;
    LoginSession m_login{&m_state};
    QStringList m_questions;
    bool m_answer = false;
    int m_requestsWhenAsked = -1;
};

TEST_F(LoginOverTls, AnUnknownKeyIsAskedAboutOnceAndTrustingItLogsIn) {
    m_answer = true;
    QSignalSpy finished(&m_login, &LoginSession::loginFinished);
    QSignalSpy loggedIn(&m_login, &LoginSession::loggedIn);
    ASSERT_TRUE(m_login.Login("alice", "pw"));
    ASSERT_TRUE(loggedIn.wait(20000)) << Boxes().join("|").toStdString();
    ASSERT_EQ(m_questions.size(), 1);
    EXPECT_EQ(m_questions[0],
              directory_trust::QuestionText(KeyProblem{KeyVerdict::Unknown, m_endpoint, m_key}));
    EXPECT_EQ(m_requestsWhenAsked, 0) << "the password must not leave before the key is trusted";
    EXPECT_EQ(SettingsPinStore().PinFor(m_endpoint), m_key.pin);
    EXPECT_EQ(loggedIn.at(0).at(1).toString(), "bob");
    EXPECT_EQ(m_server.Requests(), 2);  // discovery and login, both with the key pinned
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 5000);
    EXPECT_EQ(finished.at(0).at(0).toInt(), LoginSession::kCannotConnect);
    EXPECT_EQ(finished.at(1).at(0).toInt(), LoginSession::kLoggedIn);
    EXPECT_TRUE(Boxes().isEmpty()) << Boxes().join("|").toStdString();
}

TEST_F(LoginOverTls, DecliningTheKeySendsNothingAndKeepsNoKey) {
    m_answer = false;
    QSignalSpy finished(&m_login, &LoginSession::loginFinished);
    ASSERT_TRUE(m_login.Login("alice", "pw"));
    ASSERT_TRUE(finished.wait(10000));
    EXPECT_EQ(finished.at(0).at(0).toInt(), LoginSession::kCannotConnect);
    EXPECT_EQ(m_questions.size(), 1);
    EXPECT_EQ(SettingsPinStore().PinFor(m_endpoint), "");
    EXPECT_EQ(m_state.autoLoginPending.load(), 0);
    QTest::qWait(200);
    EXPECT_EQ(finished.size(), 1) << "no second login";
    EXPECT_EQ(m_server.Requests(), 0);
    EXPECT_TRUE(Boxes().isEmpty()) << Boxes().join("|").toStdString();
}

TEST_F(LoginOverTls, AChangedKeyIsRefusedWithABoxAndNothingSent) {
    const ServerKey trusted = *KeyOfPemCertificate(tlstest::Certificate::SelfSigned().Pem());
    SettingsPinStore().Trust(m_endpoint, trusted.pin);
    QSignalSpy finished(&m_login, &LoginSession::loginFinished);
    ASSERT_TRUE(m_login.Login("alice", "pw"));
    ASSERT_TRUE(finished.wait(10000));
    EXPECT_EQ(finished.at(0).at(0).toInt(), LoginSession::kCannotConnect);
    EXPECT_EQ(Boxes(), QStringList({directory_trust::RefusalText(
                           KeyProblem{KeyVerdict::Changed, m_endpoint, m_key})}));
    EXPECT_TRUE(m_questions.isEmpty());
    EXPECT_EQ(m_server.Requests(), 0);
    EXPECT_EQ(SettingsPinStore().PinFor(m_endpoint), trusted.pin);
}

TEST_F(LoginOverTls, AKeyThatChangesWhileLoggedInIsRefusedAtTheLogoff) {
    SettingsPinStore().Trust(m_endpoint, m_key.pin);
    QSignalSpy finished(&m_login, &LoginSession::loginFinished);
    ASSERT_TRUE(m_login.Login("alice", "pw"));
    ASSERT_TRUE(finished.wait(10000));
    ASSERT_EQ(finished.at(0).at(0).toInt(), LoginSession::kLoggedIn);

    // Another server with another key takes the directory's place.
    m_server.Stop();
    const tlstest::Certificate other = tlstest::Certificate::SelfSigned();
    tlstest::TlsTestServer impostor(other);
    impostor.Start(m_server.port());
    QSignalSpy loggedOff(&m_login, &LoginSession::loggedOff);
    ASSERT_TRUE(m_login.Logoff());
    ASSERT_TRUE(loggedOff.wait(10000));
    EXPECT_EQ(Boxes(), QStringList({directory_trust::RefusalText(KeyProblem{
                           KeyVerdict::Changed, m_endpoint, *KeyOfPemCertificate(other.Pem())})}));
    EXPECT_EQ(impostor.Requests(), 0) << "the password must not reach another key";
    EXPECT_EQ(m_state.autoLoginPending.load(), 0);
    EXPECT_TRUE(m_questions.isEmpty());
}

}  // namespace
