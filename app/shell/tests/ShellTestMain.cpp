// The shell tests run with a QApplication on Qt's offscreen platform, with the engine bridge in
// place as in the program.

#include <gtest/gtest.h>

#include <QApplication>

#include "app/audio/SoundPlayer.h"
#include "app/shell/EngineBridge.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("ZORVO_SOUND_OUT", "none");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    application.setQuitOnLastWindowClosed(false);
    bridge::Install();
    return RUN_ALL_TESTS();
}
