#include "app/shell/SessionCoordinator.h"

#include <QTreeWidgetItem>

#include "app/call/EngineSetup.h"
#include "app/pages/BuddyListPage.h"
#include "app/pages/LoginPage.h"
#include "app/pages/OnlinePage.h"
#include "app/session/BuddySync.h"
#include "app/session/CallPageRequest.h"
#include "app/session/CallPortMapping.h"
#include "app/session/CallReport.h"
#include "app/session/LoginSession.h"
#include "app/session/PresenceWorker.h"
#include "app/session/RouterPortMapping.h"
#include "app/session/SessionState.h"
#include "app/shell/BuddyKeyCheck.h"
#include "app/sounds/SoundPlayer.h"

namespace {

const char* const kStartingUp = "Starting up.. please wait";
const char* const kPleaseLogin = "Please Login";

}  // namespace

SessionCoordinator::SessionCoordinator(CallController* call, const Pages& pages, QObject* parent)
    : QObject(parent),
      m_call(call),
      m_pages(pages),
      m_state(std::make_unique<SessionState>()),
      m_login(std::make_unique<LoginSession>(m_state.get())),
      m_presence(std::make_unique<PresenceWorker>(m_state.get())),
      m_sync(std::make_unique<BuddySync>(m_state.get())),
      m_callPage(std::make_unique<CallPageRequest>(m_state.get())),
      m_keyCheck(std::make_unique<BuddyKeyCheck>(call, m_state.get())) {
    m_state->SetCallPort(enginesetup::CallPort());
    if (const std::optional<IdentityKey>& identity = call->NextEngineOptions().identity) {
        m_state->SetIdentityKeyHex(KeyHex(identity->publicKey));
    }
    // The home router is asked to forward the call port at each login; a new mapping is told to
    // the directory by a heartbeat at once (Refresh only posts to the presence thread).
    // The mapping may outlive the presence worker (a login worker still finishing at exit holds
    // it): it reaches the worker only through this cell, which Stop empties.
    m_mappingRefresh = std::make_shared<std::atomic<PresenceWorker*>>(m_presence.get());
    m_state->SetPortMapping(std::make_shared<RouterPortMapping>([cell = m_mappingRefresh] {
        if (PresenceWorker* presence = cell->load()) {
            presence->Refresh();
        }
    }));
    BuddyListPage* buddies = m_pages.buddies;
    m_presence->SetBuddySource([buddies] {
        // Runs on the presence thread: Buddies() hands over a copy taken under the page's lock.
        std::vector<std::string> names;
        for (const QString& name : buddies->Buddies()) {
            names.push_back(name.toStdString());
        }
        return names;
    });
    m_pages.login->AttachSession(m_login.get());
    ConnectLogin();
    ConnectPresence();
    ConnectRendezvous();
    connect(buddies, &BuddyListPage::buddiesEdited, m_sync.get(), &BuddySync::MarkDirty);
    connect(buddies, &BuddyListPage::addRequested, buddies, &BuddyListPage::Add);
    connect(buddies, &BuddyListPage::deleteRequested, buddies, &BuddyListPage::Delete);
    connect(m_pages.online, &OnlinePage::playSound, this, [](const QString& name, unsigned flags) {
        SoundPlayer::Instance().PlaySound(name, flags);
    });
    connect(m_call, &CallController::callReportDue, this, &SessionCoordinator::OnCallReportDue);
}

SessionCoordinator::~SessionCoordinator() {
    Stop();
}

void SessionCoordinator::ConnectLogin() {
    LoginSession* login = m_login.get();
    connect(login, &LoginSession::loginStarted, this, [this] {
        m_busy = true;
        emit busyStarted(QString());
    });
    connect(login, &LoginSession::busyTextChanged, this, &SessionCoordinator::busyTextChanged);
    connect(login, &LoginSession::loggedIn, this, &SessionCoordinator::OnLoggedIn);
    connect(login, &LoginSession::loginFinished, this, &SessionCoordinator::OnLoginFinished);
    connect(login, &LoginSession::loggedOff, this, [this] {
        m_call->SetUserName(QString());
        m_call->SetRendezvous(std::nullopt);  // new engines no longer register
        emit loginChanged(false, UserName());
    });
    connect(login, &LoginSession::statusText, this, &SessionCoordinator::serverPaneTextChanged);
}

void SessionCoordinator::ConnectPresence() {
    // The worker's signals come from its own thread; `this` lives on the GUI thread, so they
    // arrive there queued and the worker never waits for the window.
    PresenceWorker* presence = m_presence.get();
    connect(presence, &PresenceWorker::statusChanged, this, &SessionCoordinator::panesChanged,
            Qt::QueuedConnection);
    connect(
        presence, &PresenceWorker::loginRequested, this,
        [this] {
            if (m_state->loggedIn.load() == 0) {
                m_pages.login->Login();
            }
        },
        Qt::QueuedConnection);
    connect(
        presence, &PresenceWorker::logoffRequested, this, [this] { m_login->Logoff(); },
        Qt::QueuedConnection);
    connect(
        presence, &PresenceWorker::onlineReplyReceived, this,
        [this](const QString& reply) {
            // A reply that arrives after a logoff belongs to a user who is gone.
            if (m_state->loggedIn.load() == 1) {
                m_pages.online->UpdateFromReply(reply);
            }
        },
        Qt::QueuedConnection);
}

void SessionCoordinator::ConnectRendezvous() {
    connect(m_presence.get(), &PresenceWorker::rendezvousReceived, this,
            &SessionCoordinator::OnRendezvous, Qt::QueuedConnection);
    connect(m_call, &CallController::registrationChanged, this, [this](bool registered) {
        m_presence->SetRegistered(registered);
        emit panesChanged();
    });
    connect(m_callPage.get(), &CallPageRequest::answered, this, &SessionCoordinator::OnCallPage);
}

void SessionCoordinator::OnRendezvous(const QString& server, const QByteArray& key) {
    // A reply that arrives after a logoff belongs to a user who is gone.
    const std::optional<sockaddr_in> address = stun::ParseEndpoint(server.toStdString());
    if (m_state->loggedIn.load() != 1 || !address || key.isEmpty()) {
        m_call->SetRendezvous(std::nullopt);
        return;
    }
    RendezvousConfig config;
    config.server = *address;
    config.user = m_state->LoggedInUser().name;
    config.key = key.toStdString();
    m_call->SetRendezvous(config);
}

void SessionCoordinator::CallByName(const QString& buddy) {
    if (!m_call->BeginCallByName(buddy)) {
        return;
    }
    if (!m_callPage->Start(buddy)) {
        m_call->AbandonCallByName("the previous call is still being set up");
    }
}

void SessionCoordinator::OnCallPage(const QString& buddy, bool accepted, const QString& reason) {
    if (!m_call->AwaitingCallPage() || buddy != m_call->RemoteUser()) {
        return;  // the attempt it was for has ended
    }
    if (!accepted) {
        m_call->AbandonCallByName(reason);
        return;
    }
    const CallPage& page = *m_callPage->Page();
    CallPlan plan{page.token, page.probeKey, page.candidates, std::nullopt};
    if (page.turnServer) {
        plan.relay = RelayServer{*page.turnServer, page.turnUser, page.turnPassword};
    }
    m_call->PlaceCallVia(plan);
}

void SessionCoordinator::Start() {
    m_presence->Start();
}

void SessionCoordinator::Stop() {
    // A heartbeat or login waiting on a hanging service would hold the exit for its time-out.
    m_state->CancelRequests();
    if (m_presence) {
        m_presence->Stop();
    }
    // The router forwards the call port no longer once the program is gone.
    if (const std::shared_ptr<CallPortMapping> mapping = m_state->PortMapping()) {
        mapping->Remove();
    }
    if (m_mappingRefresh) {
        m_mappingRefresh->store(nullptr);
    }
}

bool SessionCoordinator::LoggedIn() const {
    return m_state->loggedIn.load() == 1;
}

QString SessionCoordinator::UserName() const {
    return QString::fromStdString(m_state->LoggedInUser().name);
}

QString SessionCoordinator::ServerPaneText() const {
    return LoggedIn() ? QString::fromStdString(m_state->Server().host) : QString(kPleaseLogin);
}

QString SessionCoordinator::ServerStatus() const {
    const QString status = m_presence->ServerStatus();
    return status.isEmpty() ? QString(kStartingUp) : status;
}

void SessionCoordinator::Refresh() {
    m_presence->Refresh();
    emit panesChanged();
}

void SessionCoordinator::RequestLogin() {
    if (!LoggedIn()) {
        m_pages.login->Login();
    }
}

void SessionCoordinator::RequestLogoff() {
    if (LoggedIn()) {
        m_login->Logoff();
    }
}

void SessionCoordinator::OnLoggedIn(const QString& user, const QString& buddyText) {
    // The window shows the logged-in pages first, so that the pages below have their windows.
    emit loginChanged(true, user);
    m_call->SetUserName(user);
    m_pages.buddies->SetUser(user);
    m_pages.buddies->SetBuddiesFromText(buddyText);
    m_sync->ClearDirty();  // the list is the server's own copy now
    m_pages.online->SetOwnName(user);
    if (m_pages.online->m_hRoot) {
        m_pages.online->m_hRoot->setExpanded(true);
    }
}

void SessionCoordinator::OnLoginFinished(int state) {
    (void)state;
    if (m_busy) {
        m_busy = false;
        emit busyEnded();
    }
    // A heartbeat at once: the new user is announced and his online buddies are listed.
    Refresh();
}

void SessionCoordinator::OnCallReportDue(CallReportKind kind) {
    CallFigures figures;
    figures.connected = true;  // the controller only asks while the call is up
    figures.callStart = static_cast<int64_t>(m_call->CallStart());
    figures.avgDelay = m_call->AverageDelay();
    figures.remoteUser = m_call->RemoteUser().toStdString();
    figures.newCall = kind == CallReportKind::kCallUp;
    // The opening and closing reports need a logged-in user; the periodic one is sent with the
    // last login's name whatever the state. All three go out from the presence thread, so the
    // window never waits for the service.
    m_presence->RequestCallReport(figures, kind != CallReportKind::kPeriodic);
}
