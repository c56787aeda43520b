// The main window's side of calls: Talk and Hang Up, the ringing and progress windows, and the
// in-call display in status pane 2 with the path and the protection of the call beside the
// buttons. The call controller does the work; this shows it.

#include <QAction>
#include <QCheckBox>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>

#include <arpa/inet.h>

#include "app/call/EngineSetup.h"
#include "app/call/InCallDisplay.h"
#include "app/pages/ConnectIpPage.h"
#include "app/pages/IpAddressEdit.h"
#include "app/pages/LoginPage.h"
#include "app/pages/MyPropertySheet.h"
#include "app/pages/OnlinePage.h"
#include "app/shell/BuddyKeyCheck.h"
#include "app/shell/DesktopNotifier.h"
#include "app/shell/Icons.h"
#include "app/shell/MainDialog.h"
#include "app/shell/Prompts.h"
#include "app/shell/SessionCoordinator.h"
#include "app/widgets/GradientProgress.h"
#include "app/widgets/MainStatusBar.h"
#include "app/widgets/StatisticsDialog.h"
#include "app/widgets/WaveformView.h"

namespace {

constexpr int kServerPane = 0;
constexpr int kCallPane = 2;

// The call indicator's look: an orange-blue snake with black text over it.
constexpr uint32_t kIndicatorTrack = 0xFF9A00;       // COLORREF: red 0, green 154, blue 255
constexpr uint32_t kIndicatorSecondStop = 0x00FFCE;  // red 206, green 255, blue 0
constexpr int kIndicatorSnakeLength = 50;
constexpr int kIndicatorStepMs = 30;
// A progress-bar style bit the indicator clears before it shows its text; no painter style
// uses it.
constexpr uint32_t kIndicatorClearedStyle = 0x0002;
const char* const kFirstCallText = "Active 00:00:00";

// The padlock's colours: verified green, changed key red, otherwise the text's own colour; a
// plain call's open padlock grey.
const QColor kLockVerified(20, 130, 40);
const QColor kLockWarning(200, 30, 30);
const QColor kLockPlain(128, 128, 128);
constexpr int kLockSize = 16;

// Shows a dialog of the window in front of it.
void BringUp(QWidget* dialog) {
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

}  // namespace

void CMainDialog::ConnectCallController() {
    CallController* call = m_call;
    connect(call, &CallController::listening, this, [this] {
        m_waveform->Clear();
        SetPaneText(kCallPane, CallController::kReady);
    });
    connect(call, &CallController::serverFailed, this,
            [this] { SetPaneText(kCallPane, CallController::kServerError); });
    connect(call, &CallController::buttonsChanged, this, &CMainDialog::ShowButtons);
    connect(call, &CallController::incomingCall, this, &CMainDialog::ShowIncomingCall);
    connect(call, &CallController::incomingCallWithdrawn, this, [this] {
        if (m_incomingDlg) {
            m_incomingDlg->reject();
        }
    });
    connect(call, &CallController::missedCall, this, [this](const QString& caller) {
        // Before the list comes up: the note is for a user who is away from the window.
        m_notifier->CallMissed(caller, [this] {
            BringForward();
            BringUp(m_missedCallsDlg);
        });
        m_missedCallsDlg->AddMissedCall(caller);
        m_missedCallsDlg->show();
    });
    connect(call, &CallController::attemptStarted, this, &CMainDialog::ShowAttempt);
    connect(call, &CallController::attemptChanged, this, &CMainDialog::OnAttemptChanged);
    connect(call, &CallController::attemptEnded, this, &CMainDialog::OnAttemptEnded);
    connect(call, &CallController::boxRequested, this,
            [this](const QString& text) { prompts::Inform(this, text); });
    connect(call, &CallController::debugLine, this, &CMainDialog::AddStatusLine);
    connect(call, &CallController::statusHandled, this, &CMainDialog::engineStatusHandled);
}

void CMainDialog::ConnectCallDisplay() {
    CallController* call = m_call;
    connect(call, &CallController::callStarted, this, [this] {
        StartCallIndicator();
        ShowCallClock(kFirstCallText, 0);
        m_callPath->setText(incall::PathText(m_call->CallPath()));
        m_callPath->show();
    });
    connect(call, &CallController::pathFound, this,
            [this](int kind) { m_callPath->setText(incall::PathText(kind)); });
    connect(call, &CallController::callFinished, this, [this] {
        if (m_hangUpQuestion) {
            // The question is about a call that is gone.
            m_hangUpQuestion->disconnect();
            delete m_hangUpQuestion.data();
        }
        StopCallIndicator();
        m_callPath->hide();
        m_callPath->clear();
        HideSecurity();
    });
    connect(call, &CallController::callClock, this, &CMainDialog::ShowCallClock);
    ConnectMute();
    connect(call, &CallController::bytesSent, m_statisticsDlg, &StatisticsDialog::AddBytesSent);
    connect(call, &CallController::bytesReceived, m_statisticsDlg,
            &StatisticsDialog::AddBytesReceived);
    connect(call, &CallController::frame, this,
            [this](unsigned code, const int16_t* samples) { m_waveform->SetTrace(code, samples); });
}

void CMainDialog::ConnectMute() {
    // One command, three ways in: the button, Ctrl+M in the window and the tray menu. Only a call
    // that is up can be muted.
    m_muteAction = new QAction("Mute", this);
    m_muteAction->setCheckable(true);
    m_muteAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    m_muteAction->setEnabled(false);
    addAction(m_muteAction);
    m_trayIcon->Menu()->insertAction(m_trayIcon->Action(CSystemTray::kLogoff), m_muteAction);
    auto request = [this](bool muted) {
        m_call->SetMuted(muted);
        ShowMuted(m_call->Muted());  // a refused request leaves the controls as they were
    };
    connect(m_muteAction, &QAction::triggered, this, request);
    connect(m_mute, &QPushButton::clicked, this, request);
    connect(m_call, &CallController::mutedChanged, this, &CMainDialog::ShowMuted);
    connect(m_call, &CallController::buttonsChanged, this, [this](bool inCall) {
        m_mute->setVisible(inCall);
        m_muteAction->setEnabled(inCall);
    });
}

void CMainDialog::ShowMuted(bool muted) {
    m_mute->setChecked(muted);
    m_muteAction->setChecked(muted);
    m_callMuted->setVisible(muted);
}

void CMainDialog::ConnectCallSecurity() {
    BuddyKeyCheck* check = m_session->KeyCheck();
    connect(check, &BuddyKeyCheck::securityChanged, this, &CMainDialog::ShowSecurity);
    connect(check, &BuddyKeyCheck::keyChanged, this,
            [this, check](const QString& name, const QString& sas) {
                BringForward();
                prompts::AskWarning(this, incall::KeyChangedWarning(name, sas),
                                    [check](bool trust) {
                                        if (trust) {
                                            check->TrustPeerKey();
                                        }
                                    });
            });
    connect(check, &BuddyKeyCheck::keyDowngraded, this, [this](const QString& name) {
        BringForward();
        prompts::Warn(this, incall::DowngradeWarning(name));
    });
}

void CMainDialog::ShowSecurity(const incall::Security& security) {
    const bool warns = incall::SecurityWarns(security);
    QColor colour = palette().color(QPalette::WindowText);
    if (!security.encrypted) {
        colour = kLockPlain;
    } else if (warns) {
        colour = kLockWarning;
    } else if (security.check == keypin::KeyCheck::kVerified) {
        colour = kLockVerified;
    }
    m_callLock->setPixmap(icons::LockPixmap(security.encrypted, colour, kLockSize));
    m_callSecurity->setText(incall::SecurityText(security));
    m_callSecurity->setStyleSheet(
        warns ? QString("color: %1; font-weight: bold;").arg(kLockWarning.name()) : QString());
    m_callLock->show();
    m_callSecurity->show();
}

void CMainDialog::HideSecurity() {
    m_callLock->hide();
    m_callLock->clear();
    m_callSecurity->hide();
    m_callSecurity->clear();
    m_callSecurity->setStyleSheet(QString());
}

int CMainDialog::OnEngineStatus(unsigned code, uintptr_t value) {
    return m_call->OnEngineStatus(code, value);
}

void CMainDialog::StartListening() {
    m_waveform->Clear();
    m_call->StartListening();
}

bool CMainDialog::ReleaseEngine() {
    return m_call->ReleaseEngine(false);
}

// --- incoming call ------------------------------------------------------------------------------

void CMainDialog::ShowIncomingCall(const QString& caller, int ringSeconds) {
    // Before the window comes forward: a user away from it also gets a desktop note, whose click
    // brings up the ringing dialog.
    m_notifier->CallRinging(caller, [this] {
        BringForward();
        if (m_incomingDlg) {
            BringUp(m_incomingDlg);
        }
    });
    BringForward();
    auto* dialog = new CIncomingCallDlg(caller, ringSeconds, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_incomingDlg = dialog;
    connect(dialog, &QDialog::finished, this, [this, dialog](int result) {
        m_notifier->RingingEnded();
        m_call->AnswerIncoming(result == QDialog::Accepted, dialog->m_bMissed != 0);
    });
    // Modal to this window, without a loop of its own: the answer comes through `finished`.
    dialog->open();
}

// --- outgoing call ------------------------------------------------------------------------------

bool CMainDialog::FindOnlineCallee(in_addr& address, QString& name, bool& byName) {
    QTreeWidgetItem* item = m_onlinePage->Tree()->currentItem();
    if (!item || item->parent() != m_onlinePage->m_hRoot) {
        prompts::Inform(this,
                        "Please select the buddy to talk with from the list of buddies online");
        return false;
    }
    name = item->text(0).left(256);
    OnlineBuddy buddy;
    if (!m_onlinePage->LookupOnline(name, &buddy)) {
        prompts::Inform(this, "User is not online");
        return false;
    }
    if (buddy.address == 0xFFFFFFFFu) {
        // Behind a router, but registered with the rendezvous as this computer is: the
        // directory sets the call up.
        if (buddy.rendezvous && m_call->Registered()) {
            byName = true;
            return true;
        }
        prompts::Inform(this, "Cannot connect to " + name +
                                  "'s computer since it is behind a firewall. Computers behind a "
                                  "firewall cannot be reached. But they can initiate a connection "
                                  "to you.");
        return false;
    }
    address.s_addr = buddy.address;
    return true;
}

bool CMainDialog::FindCallee(in_addr& address, QString& name, bool& byName) {
    QWidget* page = m_sheet->GetActivePage();
    if (page == m_onlinePage) {
        return FindOnlineCallee(address, name, byName);
    }
    if (page != m_connectIpPage) {
        prompts::Inform(this, "Please select the buddy to talk with from the online list");
        if (m_sheet->HasPage(m_onlinePage)) {
            m_sheet->SetActivePage(m_onlinePage);
        }
        return false;
    }
    IpAddressEdit* control = m_connectIpPage->AddressControl();
    quint8 fields[4] = {};
    // A partly filled address is no address either: calling x.y.0.0 would be a wrong call.
    if (control->IsBlank() || !control->GetAddress(fields)) {
        prompts::Inform(this, "Enter IP Address");
        return false;
    }
    name = control->Text();
    address.s_addr =
        htonl(static_cast<uint32_t>(fields[0]) << 24 | static_cast<uint32_t>(fields[1]) << 16 |
              static_cast<uint32_t>(fields[2]) << 8 | fields[3]);
    return true;
}

void CMainDialog::OnTalk() {
    if (m_call->Attempting()) {
        return;
    }
    in_addr address{};
    QString callee;
    bool byName = false;
    if (!FindCallee(address, callee, byName)) {
        return;
    }
    if (byName) {
        m_session->CallByName(callee);
    } else {
        // A buddy picked from the online list is called by address but known by name.
        const bool named = m_sheet->GetActivePage() == m_onlinePage;
        m_call->PlaceCall(address, enginesetup::PeerPort(), callee, named);
    }
}

void CMainDialog::ShowAttempt(const QString& text) {
    delete m_connectingDlg.data();
    auto* progress = new CConnectingDlg(this);
    m_connectingDlg = progress;
    progress->text = text;
    progress->UpdateData();
    connect(progress, &CConnectingDlg::cancelRequested, m_call, &CallController::CancelCall);
    progress->show();
    progress->move(geometry().center() - progress->rect().center());
}

void CMainDialog::OnAttemptChanged(AttemptState state, const QString& text) {
    if (!m_connectingDlg) {
        return;
    }
    m_connectingDlg->connectState = static_cast<int>(state);
    if (!text.isEmpty()) {
        m_connectingDlg->text = text;
        m_connectingDlg->UpdateData();
    }
}

void CMainDialog::OnAttemptEnded(bool connected) {
    delete m_connectingDlg.data();
    emit attemptEnded(connected);
}

void CMainDialog::OnHangUp() {
    if (!m_call->Engine()) {
        return;
    }
    auto hangUp = [this] {
        m_waveform->Clear();
        m_call->HangUp();
    };
    if (!m_call->InCall()) {
        hangUp();
        return;
    }
    delete m_hangUpQuestion.data();
    m_hangUpQuestion =
        prompts::Ask(this, CallController::kHangUpQuestion, [this, hangUp](bool yes) {
            if (yes && m_call->InCall()) {
                hangUp();
            }
        });
}

// --- in-call display ----------------------------------------------------------------------------

void CMainDialog::StartCallIndicator() {
    // A caller hears "connected" twice for one call: the second time the pane already shows the
    // indicator, and saving again would keep the indicator's look instead of the pane's own.
    StartPaneIndicator(kCallPane, 100, true, m_paneFont);
}

void CMainDialog::StartBusyIndicator() {
    // The login's indicator: the snake starts from the left, and its text is drawn in the
    // font of the login page's check box.
    StartPaneIndicator(kServerPane, 0, false, m_loginPage->AutoLoginCheck()->font());
}

void CMainDialog::SetBusyText(const QString& text) {
    PaneStyle* style = m_statusBar->GetPaneStyle(kServerPane);
    if (style && style->control()) {
        style->control()->Painter().customText = text;
        style->control()->update();
    }
}

void CMainDialog::StopBusyIndicator() {
    m_statusBar->RestoreState(kServerPane);
    m_statusBar->update();
}

void CMainDialog::StartPaneIndicator(int pane, int lastPos, bool clearStyle, const QFont& font) {
    PaneStyle* style = m_statusBar->GetPaneStyle(pane);
    if (!style) {
        return;
    }
    // The pane becomes an animated indicator; its former look is kept for afterwards.
    if (!m_statusBar->HasSavedState(pane)) {
        m_statusBar->SaveState(pane);
    }
    style->SetFlags(style->flags | PSF_CONTROL);
    m_statusBar->update();
    GradientProgress* bar = style->control();
    if (!bar) {
        return;
    }
    GradientPainter& painter = bar->Painter();
    painter.SetRange(0, 100);
    painter.SetPos(50);
    painter.backgroundColour = ColorFromRef(kIndicatorTrack);
    // The indicator paints every pixel itself: the bar behind it need not be drawn at each step.
    bar->setAttribute(Qt::WA_OpaquePaintEvent);
    painter.SetColourStops({ColorFromRef(kIndicatorTrack), ColorFromRef(kIndicatorSecondStop)});
    painter.barTextColour = Qt::black;
    painter.trackTextColour = Qt::black;
    painter.SetPos(lastPos);
    painter.ModifyStyle(0, PBS_SNAKE | PBS_GRADIENT_ON_BAR);
    painter.SetStep(1);
    painter.snakeLength = kIndicatorSnakeLength;
    bar->KillTimer(GradientProgress::kStepTimer);
    bar->SetTimer(GradientProgress::kStepTimer, kIndicatorStepMs);
    painter.ModifyStyle(clearStyle ? kIndicatorClearedStyle : 0, PBS_SHOW_TEXT_ONLY);
    painter.font = font;
    bar->update();
}

void CMainDialog::StopCallIndicator() {
    m_statusBar->RestoreState(kCallPane);
    m_statusBar->update();
}

QString CMainDialog::CallText() const {
    PaneStyle* style = m_statusBar->GetPaneStyle(kCallPane);
    if (style && style->control()) {
        return style->control()->Painter().customText;
    }
    return PaneText(kCallPane);
}

void CMainDialog::ShowCallClock(const QString& text, uint32_t delayColour) {
    PaneStyle* style = m_statusBar->GetPaneStyle(kCallPane);
    if (!style || !style->control()) {
        return;
    }
    GradientPainter& painter = style->control()->Painter();
    painter.customText = text;
    if (delayColour != 0) {
        painter.SetColourStops({ColorFromRef(kIndicatorTrack), ColorFromRef(delayColour)});
    }
    style->control()->update();
}

void CMainDialog::OnClockTimer() {
    m_call->OnClockTick();
}
