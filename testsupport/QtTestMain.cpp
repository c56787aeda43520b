// The main of every Qt test program: GoogleTest over a QApplication that runs on the offscreen
// platform unless a display is asked for, with the program's sounds silenced.

#include <gtest/gtest.h>

#include <QApplication>

#include <vector>

#include "testsupport/QtTestSetup.h"

namespace testsupport {

namespace {

std::vector<std::function<void()>>& Setups() {
    static std::vector<std::function<void()>> setups;
    return setups;
}

}  // namespace

bool AddQtTestSetup(std::function<void()> setup) {
    Setups().push_back(std::move(setup));
    return true;
}

}  // namespace testsupport

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    qputenv("ZORVO_SOUND_OUT", "none");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    application.setQuitOnLastWindowClosed(false);
    for (const auto& setup : testsupport::Setups()) {
        setup();
    }
    return RUN_ALL_TESTS();
}
