#include <QApplication>
#include <QDateTime>
#include <QThread>

#include <memory>

#include "app/mixer/VolumeSliders.h"
#include "app/settings/DeviceChoice.h"
#include "app/settings/ProgramSettingsDialog.h"
#include "app/shell/MainDialog.h"

// The main window's settings, mixer and sound device wiring.

namespace {

// How long a text about a missing device holds status pane 1 before the presence texts return.
constexpr qint64 kAudioStatusMs = 30000;
constexpr int kStatusPane = 1;

}  // namespace

void CMainDialog::ConnectSettings() {
    // The mixer: a quiet microphone is raised each time a call comes up.
    connect(m_call, &CallController::callStarted, m_volume, &VolumeSliders::RaiseQuietMicrophone);
    connect(m_call, &CallController::audioRouted, this, &CMainDialog::ShowAudioStatus);
}

void CMainDialog::ShowAudioStatus(const QString& text) {
    if (text.isEmpty()) {
        return;
    }
    AddStatusLine(text);
    m_audioStatusUntil = QDateTime::currentMSecsSinceEpoch() + kAudioStatusMs;
    SetPaneText(kStatusPane, text);
}

void CMainDialog::OpenSettings() {
    if (m_settingsDlg) {
        m_settingsDlg->raise();
        m_settingsDlg->activateWindow();
        return;
    }
    if (m_listingDevices) {
        return;  // the dialog opens as soon as the devices are listed
    }
    // Listing the devices wakes the sound library, which takes a while against a sound server:
    // it runs on a thread of its own while the window shows that it is busy.
    m_listingDevices = true;
    QApplication::setOverrideCursor(Qt::BusyCursor);
    auto lists = std::make_shared<ProgramSettingsDialog::DeviceLists>();
    QThread* thread = QThread::create([lists] {
        lists->microphones = devices::Names(true);
        lists->speakers = devices::Names(false);
    });
    connect(thread, &QThread::finished, this, [this, thread, lists] {
        thread->deleteLater();
        QApplication::restoreOverrideCursor();
        m_listingDevices = false;
        if (!m_destroyed) {
            ShowSettings(lists->microphones, lists->speakers);
        }
    });
    thread->start();
}

void CMainDialog::ShowSettings(const QStringList& microphones, const QStringList& speakers) {
    const ProgramSettingsDialog::DeviceLists lists{microphones, speakers};
    auto* dialog = new ProgramSettingsDialog(this, QString(), &lists);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_settingsDlg = dialog;
    connect(dialog, &QDialog::finished, this, [this](int result) {
        if (result == QDialog::Accepted) {
            // The next call and the ringing sounds use what was chosen.
            m_call->RefreshAudioRoute();
        }
    });
    dialog->open();
    emit settingsOpened();
}
