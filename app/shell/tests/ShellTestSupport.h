#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "app/pages/MyPropertySheet.h"
#include "app/shell/MainDialog.h"
#include "app/shell/Prompts.h"
#include "testsupport/FreePort.h"
#include "util/MessageBox.h"

namespace shelltest {

// Runs the event loop until `done` holds or `ms` pass; true when it held.
inline bool WaitUntil(const std::function<bool()>& done, int ms = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qWait(5);
    }
    return true;
}

using testsupport::FreeUdpPort;

// The session's own boxes (login refusals, the server's words) as the program's hook gets them,
// from the GUI thread or a worker.
class SessionBoxes {
  public:
    SessionBoxes() {
        SetMessageBoxHook([this](const std::string& text, const std::string&) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_boxes << QString::fromStdString(text);
        });
    }
    ~SessionBoxes() { SetMessageBoxHook({}); }
    QStringList Get() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_boxes;
    }
    // The texts one after another, for readable comparisons.
    std::string Text() const { return Get().join(" | ").toStdString(); }

  private:
    mutable std::mutex m_lock;
    QStringList m_boxes;
};

// The window's tabs as the user sees them, left to right.
inline QStringList Tabs(CMainDialog& window) {
    QStringList tabs;
    for (int i = 0; i < window.Sheet()->GetPageCount(); ++i) {
        tabs << window.Sheet()->tabText(i);
    }
    return tabs;
}

// A main window with its own settings folder and call port; message boxes are recorded and
// answered by `answerYes`. A null `microphone` leaves both devices to the settings (no
// ZORVO_MIC or ZORVO_SPEAKER); `prepare` runs in the new settings folder before the window is made.
class Client {
  public:
    explicit Client(const QString& microphone = "none", const std::function<void()>& prepare = {}) {
        qputenv("ZORVO_CONFIG_DIR", m_config.path().toUtf8());
        m_port = FreeUdpPort();
        qputenv("ZORVO_CALL_PORT", QByteArray::number(m_port));
        if (microphone.isNull()) {
            qunsetenv("ZORVO_MIC");
            qunsetenv("ZORVO_SPEAKER");
        } else {
            qputenv("ZORVO_MIC", microphone.toUtf8());
            qputenv("ZORVO_SPEAKER", "none");
        }
        if (prepare) {
            prepare();
        }
        if (qEnvironmentVariableIsEmpty("ZORVO_SERVICE_HOST")) {
            // No directory service there: a service running on this machine stays out of it.
            qputenv("ZORVO_SERVICE_HOST",
                    "127.0.0.1:" + QByteArray::number(testsupport::FreeTcpPort()));
        }
        prompts::SetResponder([this](const QString& text, bool) {
            boxes << text;
            return answerYes;
        });
        window = std::make_unique<CMainDialog>();
        window->OnInitDialog(false);
    }
    ~Client() {
        window.reset();
        prompts::SetResponder({});
    }
    uint16_t Port() const { return m_port; }

    std::unique_ptr<CMainDialog> window;
    QStringList boxes;
    bool answerYes = true;

  private:
    QTemporaryDir m_config;
    uint16_t m_port = 0;
};

}  // namespace shelltest
