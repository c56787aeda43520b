// The tray icon's activation, Exit while the first close's "Info" dialog is open, and texts from
// the network shown as received, never as markup.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <QTreeWidget>

#include "ShellTestSupport.h"
#include "app/settings/ProgramSettings.h"
#include "app/shell/EngineBridge.h"
#include "util/MessageBox.h"

using namespace shelltest;

namespace {

const QString kMarkup = QStringLiteral("<b>x</b><img src=\"y\"><a href=\"http://z/\">z</a>");

template <typename T>
T* VisibleTopLevel() {
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (auto* widget = qobject_cast<T*>(top); widget && widget->isVisible()) {
            return widget;
        }
    }
    return nullptr;
}

// The visible message box whose text is `text`, or null.
QMessageBox* BoxWithText(const QString& text) {
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(top); box && box->text() == text) {
            return box;
        }
    }
    return nullptr;
}

// How the box's text label shows its text.
Qt::TextFormat ShownFormat(QMessageBox* box) {
    auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    return label ? label->textFormat() : Qt::AutoText;
}

TEST(Tray, ASingleActivationBringsTheHiddenWindowBack) {
    Client client;
    CMainDialog& w = *client.window;
    ASSERT_FALSE(w.isVisible());
    // What a status notifier desktop sends for a click on the icon.
    w.Tray()->OnTrayNotification(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(WaitUntil([&] { return w.isVisible(); }, 3000));

    w.hide();
    w.Tray()->OnTrayNotification(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(WaitUntil([&] { return w.isVisible(); }, 3000));

    // The context menu and a middle click are not activations.
    w.hide();
    w.Tray()->OnTrayNotification(QSystemTrayIcon::Context);
    w.Tray()->OnTrayNotification(QSystemTrayIcon::MiddleClick);
    QTest::qWait(100);
    EXPECT_FALSE(w.isVisible());
}

TEST(TrayInfo, ExitChosenWhileTheInfoIsOpenEndsTheProgram) {
    Client client;
    CMainDialog& w = *client.window;
    ASSERT_EQ(ProgramSettings::ReadNumber(settings::kDontShowDlgOnMinimize, 0), 0);
    w.showNormal();
    bool exited = false;
    QObject::connect(&w, &CMainDialog::exited, [&] { exited = true; });
    bool exitChosen = false;
    // Once the Info dialog is up the user chooses the tray's Exit. Should the window still be
    // stuck in its close handler, a watchdog closes the dialog so that the test goes on.
    QTimer::singleShot(0, [&] {
        if (!WaitUntil([] { return VisibleTopLevel<CTrayInfoDlg>() != nullptr; }, 5000)) {
            return;
        }
        exitChosen = true;
        w.Tray()->Action(CSystemTray::kExit)->trigger();
        QTimer::singleShot(3000, [] {
            if (CTrayInfoDlg* info = VisibleTopLevel<CTrayInfoDlg>()) {
                info->reject();
            }
        });
    });
    w.close();
    ASSERT_TRUE(WaitUntil([&] { return exitChosen; }, 6000)) << "the Info dialog never opened";
    EXPECT_TRUE(WaitUntil([&] { return exited; }, 2000));
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(VisibleTopLevel<CTrayInfoDlg>(), nullptr);
}

TEST(TrayInfo, ClosingAgainWhileItIsOpenShowsItOnce) {
    Client client;
    CMainDialog& w = *client.window;
    w.showNormal();
    // Should the close handler wait for the dialog, a watchdog closes it so that the test ends.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] {
        if (CTrayInfoDlg* info = VisibleTopLevel<CTrayInfoDlg>()) {
            info->reject();
        }
    });
    watchdog.start(3000);
    w.close();
    ASSERT_TRUE(WaitUntil([&] { return w.TrayInfo() && w.TrayInfo()->isVisible(); }, 3000));
    CTrayInfoDlg* first = w.TrayInfo();
    w.showNormal();
    w.close();
    EXPECT_EQ(w.TrayInfo(), first);
    EXPECT_FALSE(w.isVisible());
    first->accept();
    EXPECT_TRUE(WaitUntil([&] { return w.TrayInfo() == nullptr; }, 3000));
}

TEST(StrangersTexts, AServiceReplyInABoxIsShownAsReceived) {
    // The session's boxes ("#" replies) come through the engine's box hook, as the program
    // installs it (a test before may have put a recorder in its place).
    bridge::Install();
    const QString reply = "#" + kMarkup;
    MessageBox(reply.toStdString().c_str(), "Mervane");
    QMessageBox* box = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (box = BoxWithText(reply)) != nullptr; }, 3000));
    EXPECT_EQ(ShownFormat(box), Qt::PlainText);
    box->close();
}

TEST(StrangersTexts, TheWindowsOwnBoxesShowANameAsReceived) {
    prompts::SetResponder({});
    const QString text = "Cannot connect to " + kMarkup;
    prompts::Inform(nullptr, text);
    QMessageBox* box = BoxWithText(text);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(ShownFormat(box), Qt::PlainText);
    box->close();
}

TEST(StrangersTexts, ACallersNameIsShownAsWrittenWhereverItAppears) {
    Client client;
    CMainDialog& w = *client.window;
    // The ringing dialog's "From :" field and the Missed Calls list are plain fields.
    CIncomingCallDlg ringing(kMarkup, 5);
    ringing.show();
    auto* caller = ringing.findChild<QLineEdit*>(QStringLiteral("caller"));
    ASSERT_NE(caller, nullptr);
    EXPECT_EQ(caller->text(), kMarkup);
    w.MissedCalls()->AddMissedCall(kMarkup);
    EXPECT_EQ(w.MissedCalls()->List()->topLevelItem(0)->text(0), kMarkup);
    // The call's protection line names the buddy.
    EXPECT_EQ(w.CallSecurityLabel()->textFormat(), Qt::PlainText);
}

}  // namespace
