// Zorvo: the desktop client.

#include <QApplication>

#include <cstdio>
#include <cstring>

#include "app/shell/MainDialog.h"
#include "app/shell/TerminationSignal.h"
#include "app/shell/ZorvoApp.h"
#include "app/sounds/SoundPlayer.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::printf(
                "usage: Zorvo [DontShow]\n"
                "Voice calls between two computers. Runs in the tray; \"DontShow\" (any case,\n"
                "anywhere on the command line) starts it with its window hidden.\n"
                "Environment: ZORVO_MIC, ZORVO_SPEAKER (a WAV file, \"none\" or a sound device's\n"
                "name; default the device chosen in Settings, else the sound card's default),\n"
                "ZORVO_CALL_PORT (port listened on, default 1720), ZORVO_PEER_PORT (port\n"
                "called, default the same), ZORVO_SOUND_OUT (where the program's\n"
                "sounds go), ZORVO_TRACE (engine messages on stderr).\n");
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("Zorvo %s\n", ZORVO_VERSION);
            return 0;
        }
    }
    QApplication application(argc, argv);
    application.setApplicationName("Zorvo");
    application.setQuitOnLastWindowClosed(false);
    SoundPlayer::Instance().SetFallback([] {
        // Runs on the sound thread, possibly while the program is ending.
        if (QCoreApplication* app = QCoreApplication::instance()) {
            QMetaObject::invokeMethod(
                app, [] { QApplication::beep(); }, Qt::QueuedConnection);
        }
    });

    CZorvoApp zorvo;
    if (!zorvo.InitInstance(QCoreApplication::arguments())) {
        return 0;
    }
    // SIGTERM and SIGINT end the program as its Exit command does: a call in progress is hung
    // up and the peer is told.
    TerminationSignal termination;
    QObject::connect(&termination, &TerminationSignal::requested, [&zorvo] {
        if (zorvo.MainWindow() && !zorvo.MainWindow()->m_bExiting) {
            zorvo.MainWindow()->OnExit();
        }
    });
    return application.exec();
}
