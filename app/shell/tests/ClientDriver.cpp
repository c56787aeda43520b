// zorvo-client-driver: the real desktop client (the same application object and main window as
// Zorvo) driven line by line from standard input instead of by clicks, for tests that run whole
// clients in processes of their own. Every command is answered with one line on standard output
// that begins with "ok" or "fail"; message boxes are answered with OK (a question with Yes) and
// reported as lines that begin with "box ". The program's own behaviour is left as it is: the
// driver only presses the buttons and menu commands a user would.

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QHash>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QTreeWidget>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "app/pages/BuddyListPage.h"
#include "app/pages/BuddyTreeCtrl.h"
#include "app/pages/ConnectIpPage.h"
#include "app/pages/LoginPage.h"
#include "app/pages/MyPropertySheet.h"
#include "app/pages/OnlinePage.h"
#include "app/session/LoginSession.h"
#include "app/session/PresenceWorker.h"
#include "app/shell/MainDialog.h"
#include "app/shell/Prompts.h"
#include "app/shell/SessionCoordinator.h"
#include "app/shell/ZorvoApp.h"
#include "util/MessageBox.h"

namespace {

void Say(const QString& line) {
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

// Runs the commands read from standard input against one main window.
class Driver : public QObject {
  public:
    explicit Driver(CMainDialog* window) : m_window(window) {
        Register();
        m_poll.setInterval(20);
        connect(&m_poll, &QTimer::timeout, this, [this] { Poll(); });
        m_input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(m_input, &QSocketNotifier::activated, this, [this] { ReadInput(); });
    }

  private:
    using Handler = std::function<void(const QStringList& args)>;

    void Register();
    void RegisterWaits();
    void RegisterCalls();

    void BeginLogin(const QStringList& a) {
        LoginPage* page = m_window->Login();
        page->UserEdit()->setText(a.value(0));
        page->PasswordEdit()->setText(a.value(1));
        if (page->AutoLoginCheck()->isChecked() != (a.value(2) == "auto")) {
            page->AutoLoginCheck()->click();
        }
        page->LoginButton()->click();
    }

    void ReadInput() {
        char chunk[4096];
        const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            m_input->setEnabled(false);
            m_window->OnExit();  // the test has gone away
            return;
        }
        m_buffer.append(chunk, static_cast<int>(n));
        Next();
    }

    // Runs the buffered commands until one has to wait.
    void Next() {
        while (!m_waiting) {
            const int end = m_buffer.indexOf('\n');
            if (end < 0) {
                return;
            }
            const QString line = QString::fromUtf8(m_buffer.left(end)).trimmed();
            m_buffer.remove(0, end + 1);
            QStringList words = line.split(' ', Qt::SkipEmptyParts);
            if (words.isEmpty()) {
                continue;
            }
            const QString name = words.takeFirst();
            const auto it = m_handlers.constFind(name);
            if (it == m_handlers.constEnd()) {
                Say("fail unknown command " + name);
                continue;
            }
            it.value()(words);
        }
    }

    // Answers "ok" and the result of `done` once it is not empty, or "fail" after `ms`.
    void WaitFor(int ms, std::function<QString()> done) {
        m_waiting = true;
        m_done = std::move(done);
        m_deadline = ms;
        m_clock.start();
        m_poll.start();
        Poll();
    }

    void Poll() {
        if (!m_waiting) {
            return;
        }
        const QString result = m_done();
        if (!result.isEmpty() || m_clock.elapsed() > m_deadline) {
            m_poll.stop();
            m_waiting = false;
            Say(result.isEmpty() ? QStringLiteral("fail timeout") : "ok " + result);
            QTimer::singleShot(0, this, [this] { Next(); });
        }
    }

    QTreeWidgetItem* OnlineItem(const QString& name) const {
        QTreeWidgetItem* root = m_window->Online()->m_hRoot;
        for (int i = 0; root && i < root->childCount(); ++i) {
            if (root->child(i)->text(0) == name) {
                return root->child(i);
            }
        }
        return nullptr;
    }

    CMainDialog* m_window;
    QSocketNotifier* m_input = nullptr;
    QByteArray m_buffer;
    QHash<QString, Handler> m_handlers;
    QTimer m_poll;
    QElapsedTimer m_clock;
    bool m_waiting = false;
    int m_deadline = 0;
    std::function<QString()> m_done;
};

void Driver::Register() {
    SessionCoordinator* session = m_window->Session();
    // timings LOGIN_PAUSE_MS HEARTBEAT_MS: shorter pauses than a person would wait for.
    m_handlers["timings"] = [session](const QStringList& a) {
        session->Login()->SetLoginPauseMs(a.value(0).toInt());
        session->Presence()->SetHeartbeatIntervalMs(a.value(1).toInt());
        Say("ok");
    };
    // begin-login USER PASS [auto]: types the credentials on the login page and presses
    // "Login"; wait-login waits for the login's end and answers its state.
    m_handlers["begin-login"] = [this](const QStringList& a) {
        BeginLogin(a);
        Say("ok");
    };
    m_handlers["wait-login"] = [this, session](const QStringList&) {
        WaitFor(30000, [session] {
            return session->Login()->IsBusy() ? QString()
                                              : QString::number(session->Login()->LoginState());
        });
    };
    m_handlers["login"] = [this](const QStringList& a) {
        BeginLogin(a);
        m_handlers["wait-login"](a);
    };
    m_handlers["logoff"] = [this, session](const QStringList&) {
        m_window->OnCommand(CSystemTray::kLogoff);
        WaitFor(30000, [session] {
            return session->LoggedIn() || session->Login()->IsBusy() ? QString() : "logged off";
        });
    };
    m_handlers["refresh"] = [this](const QStringList&) {
        m_window->OnCommand(CMainDialog::ID_VIEW_REFRESH);
        Say("ok");
    };
    // add-buddy NAME: "Add Buddy", the name typed into the label editor, Enter.
    m_handlers["add-buddy"] = [this](const QStringList& a) {
        m_window->OnCommand(CMainDialog::ID_BUDDY_ADD);
        auto* editor = m_window->Buddies()->Tree()->findChild<QLineEdit*>();
        if (!editor) {
            Say("fail no label editor");
            return;
        }
        editor->setText(a.value(0));
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QCoreApplication::sendEvent(editor, &enter);
        WaitFor(2000, [this] {
            return m_window->Buddies()->Tree()->findChild<QLineEdit*>()
                       ? QString()
                       : m_window->Buddies()->Buddies().join(' ');
        });
    };
    m_handlers["state"] = [this, session](const QStringList&) {
        Say(QStringLiteral("ok loggedIn=%1 title=%2 pane0=%3 pane1=%4 call=%5 received=%6")
                .arg(session->LoggedIn())
                .arg(m_window->windowTitle(), m_window->PaneText(0), m_window->PaneText(1),
                     m_window->CallText())
                .arg(m_window->BytesReceived()));
    };
    // shot PATH: the main window as it is drawn, with the call progress window over it.
    m_handlers["shot"] = [this](const QStringList& a) {
        QPixmap image = m_window->grab();
        if (QWidget* progress = m_window->Connecting(); progress && progress->isVisible()) {
            QPainter painter(&image);
            const QPixmap dialog = progress->grab();
            painter.drawPixmap(image.rect().center() - dialog.rect().center(), dialog);
        }
        Say(image.save(a.value(0)) ? "ok" : "fail cannot save");
    };
    // page online|buddies|login|connect: makes that page the active one.
    m_handlers["page"] = [this](const QStringList& a) {
        const QHash<QString, QWidget*> pages{{"online", m_window->Online()},
                                             {"buddies", m_window->Buddies()},
                                             {"login", m_window->Login()},
                                             {"connect", m_window->ConnectPage()}};
        m_window->Sheet()->SetActivePage(pages.value(a.value(0)));
        Say(m_window->Sheet()->GetActivePage() == pages.value(a.value(0)) ? "ok" : "fail absent");
    };
    m_handlers["quit"] = [this](const QStringList&) {
        Say("ok");
        m_window->OnExit();
    };
    RegisterWaits();
    RegisterCalls();
}

void Driver::RegisterWaits() {
    // wait-online NAME yes|no MS: the online page lists NAME (or no longer lists it).
    m_handlers["wait-online"] = [this](const QStringList& a) {
        const QString name = a.value(0);
        const bool wanted = a.value(1) == "yes";
        WaitFor(a.value(2).toInt(), [this, name, wanted] {
            const bool listed =
                m_window->Online()->LookupOnline(name, nullptr) != 0 && OnlineItem(name) != nullptr;
            return listed == wanted ? m_window->Online()->m_hRoot->text(0) : QString();
        });
    };
    m_handlers["wait-ringing"] = [this](const QStringList& a) {
        WaitFor(a.value(0).toInt(),
                [this] { return m_window->Ringing() ? m_window->RemoteUser() : QString(); });
    };
    m_handlers["wait-call"] = [this](const QStringList& a) {
        WaitFor(a.value(0).toInt(), [this] {
            return m_window->Call()->InCall() ? "with " + m_window->RemoteUser() : QString();
        });
    };
    m_handlers["wait-idle"] = [this](const QStringList& a) {
        WaitFor(a.value(0).toInt(), [this] {
            return !m_window->Call()->InCall() && m_window->PaneText(2) == CallController::kReady
                       ? QStringLiteral("idle")
                       : QString();
        });
    };
    // wait-security WORD MS: the call's protection, as shown beside the buttons, contains WORD.
    m_handlers["wait-security"] = [this](const QStringList& a) {
        const QString word = a.value(0);
        WaitFor(a.value(1).toInt(), [this, word] {
            QLabel* label = m_window->CallSecurityLabel();
            return label->isVisibleTo(m_window) && label->text().contains(word) ? label->text()
                                                                                : QString();
        });
    };
    m_handlers["wait-received"] = [this](const QStringList& a) {
        const qint64 bytes = a.value(0).toLongLong();
        WaitFor(a.value(1).toInt(), [this, bytes] {
            return m_window->BytesReceived() >= bytes ? QString::number(m_window->BytesReceived())
                                                      : QString();
        });
    };
}

void Driver::RegisterCalls() {
    // talk NAME: picks NAME on the online page and presses "Talk".
    m_handlers["talk"] = [this](const QStringList& a) {
        m_window->Sheet()->SetActivePage(m_window->Online());
        if (QTreeWidgetItem* item = OnlineItem(a.value(0))) {
            m_window->Online()->Tree()->setCurrentItem(item);
        }
        m_window->TalkButton()->click();
        Say("ok");
    };
    m_handlers["accept"] = [this](const QStringList&) {
        if (!m_window->Ringing()) {
            Say("fail nothing rings");
            return;
        }
        m_window->Ringing()->accept();
        Say("ok");
    };
    m_handlers["hangup"] = [this](const QStringList&) {
        m_window->HangUpButton()->click();  // the question is answered with Yes
        Say("ok");
    };
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::printf(
                "usage: zorvo-client-driver\n"
                "The Zorvo client driven by commands on standard input (one per line), for\n"
                "tests: timings, login, begin-login, wait-login, logoff, page, refresh,\n"
                "add-buddy, state, shot, talk, accept, hangup, wait-online, wait-ringing,\n"
                "wait-call, wait-idle, wait-security, wait-received, quit.\n");
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("zorvo-client-driver %s\n", ZORVO_VERSION);
            return 0;
        }
    }
    QApplication application(argc, argv);
    application.setApplicationName("Zorvo");
    application.setQuitOnLastWindowClosed(false);
    CZorvoApp zorvo;
    if (!zorvo.InitInstance({"DontShow"})) {
        std::fprintf(stderr, "zorvo-client-driver: another client runs on this channel\n");
        return 1;
    }
    prompts::SetResponder([](const QString& text, bool) {
        Say("box " + QString(text).replace('\n', ' '));
        return true;
    });
    SetMessageBoxHook([](const std::string& text, const std::string&) {
        const QString body = QString::fromStdString(text);
        QMetaObject::invokeMethod(
            qApp, [body] { Say("box " + QString(body).replace('\n', ' ')); }, Qt::QueuedConnection);
    });
    CMainDialog* window = zorvo.MainWindow();
    window->show();
    Driver driver(window);
    QObject::connect(window, &CMainDialog::exited, &application, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    Say("ok ready");
    return application.exec();
}
