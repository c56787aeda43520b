#pragma once

// What the call controller's tests share: engine reports dispatched from Qt's event loop, a wait
// that runs that loop, and a fixture whose controller gets a settings folder of its own, a free
// call port, a quiet WAV microphone and no speaker or sounds.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

#include "testsupport/FreePort.h"
#include "testsupport/QtTestSetup.h"
#include "util/Messages.h"

namespace calltest {

// The engine's reports reach the GUI thread's queue; dispatch them from Qt's event loop.
inline const bool kQueueDispatchedByQt = testsupport::AddQtTestSetup([] {
    SetQueueWakeHook(GetCurrentThreadId(), [] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { PumpMessages(); }, Qt::QueuedConnection);
    });
});

inline bool WaitUntil(const std::function<bool()>& done, int ms = 15000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) {
            return false;
        }
        QTest::qWait(10);
    }
    return true;
}

class ControllerFixture : public ::testing::Test {
  protected:
    // Call first in SetUp; a failure is fatal to the test.
    void PrepareEnvironment() {
        ASSERT_TRUE(m_dir.isValid());
        qputenv("ZORVO_CONFIG_DIR", m_dir.path().toUtf8());
        m_port = testsupport::FreeUdpPort();
        qputenv("ZORVO_CALL_PORT", QByteArray::number(m_port));
        // A quiet microphone: the send thread runs, answers probes and hangs up.
        quiet = m_dir.filePath("quiet.wav");
        ASSERT_EQ(QProcess::execute(
                      "sox", {"-n", "-r", "8000", "-c", "1", "-b", "16", quiet, "trim", "0", "1"}),
                  0);
        qputenv("ZORVO_MIC", quiet.toUtf8());
        qputenv("ZORVO_SPEAKER", "none");
        qputenv("ZORVO_SOUND_OUT", "none");
    }

    QTemporaryDir m_dir;
    QString quiet;
    uint16_t m_port = 0;
};

}  // namespace calltest
