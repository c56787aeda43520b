#include "app/shell/ZorvoApp.h"

#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

#include "app/shell/EngineBridge.h"
#include "app/shell/MainDialog.h"
#include "app/sounds/SoundPlayer.h"

namespace {

constexpr int kPulseTimeoutMs = 1000;
const char* const kPulse = "pulse";

}  // namespace

CZorvoApp::CZorvoApp() = default;

CZorvoApp::~CZorvoApp() = default;

QString CZorvoApp::InstanceName() {
    QString name = qEnvironmentVariable("ZORVO_INSTANCE_NAME");
    if (name.isEmpty()) {
        name = QString("MERVANE_ZORVO-%1").arg(getuid());
    }
    return name;
}

bool CZorvoApp::WantsHidden(const QStringList& arguments) {
    return arguments.join(' ').toLower().contains("dontshow");
}

bool CZorvoApp::InitInstance(const QStringList& arguments) {
    // Another copy running? Pulse it and end.
    {
        QLocalSocket other;
        other.connectToServer(InstanceName());
        if (other.waitForConnected(kPulseTimeoutMs)) {
            other.write(kPulse);
            other.waitForBytesWritten(kPulseTimeoutMs);
            other.disconnectFromServer();
            return false;
        }
    }
    // A channel left behind by a copy that crashed is taken over.
    QLocalServer::removeServer(InstanceName());
    m_hInstanceEvent = new QLocalServer(this);
    m_hInstanceEvent->setSocketOptions(QLocalServer::UserAccessOption);
    if (m_hInstanceEvent->listen(InstanceName())) {
        connect(m_hInstanceEvent, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket* peer = m_hInstanceEvent->nextPendingConnection()) {
                connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                    if (peer->readAll().contains(kPulse)) {
                        OnPulse();
                    }
                });
                connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            }
        });
    }

    bridge::Install();
    m_mainWindow = std::make_unique<CMainDialog>();
    connect(m_mainWindow.get(), &CMainDialog::exited, qApp, &QCoreApplication::quit,
            Qt::QueuedConnection);
    m_mainWindow->OnInitDialog(!WantsHidden(arguments));
    return true;
}

void CZorvoApp::OnPulse() {
    if (!m_mainWindow || m_mainWindow->m_bExiting) {
        return;
    }
    SoundPlayer::Instance().Beep(1000, 1000);
    m_mainWindow->BringForward();
    m_mainWindow->AddStatusLine("Brought to the front by a second start");
}
