#include "app/session/PresenceWorker.h"

#include "app/session/CallPortMapping.h"
#include "app/session/ServerStatusText.h"
#include "app/session/SessionSettings.h"
#include "app/session/SessionState.h"
#include "directory/client/CallPage.h"
#include "directory/client/LocalAddress.h"
#include "directory/client/Requests.h"
#include "util/MessageBox.h"
#include "util/Thread.h"

PresenceWorker::PresenceWorker(SessionState* state, QObject* parent)
    : QObject(parent), m_state(state) {
    m_thread = std::make_unique<Thread>(&PresenceWorker::Run, this);
    m_timer.setInterval(45000);
    connect(&m_timer, &QTimer::timeout, this, &PresenceWorker::Refresh);
}

PresenceWorker::~PresenceWorker() {
    Stop();
}

void PresenceWorker::SetBuddySource(std::function<std::vector<std::string>()> source) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_buddySource = std::move(source);
}

void PresenceWorker::Start() {
    m_bStarted = true;
    m_thread->Resume();
    m_timer.start();
    Refresh();
}

void PresenceWorker::Stop() {
    m_timer.stop();
    if (!m_thread) {
        return;
    }
    PostThreadMessage(m_thread->GetID(), WM_PRESENCE_QUIT, 0, 0);
    if (m_bStarted) {
        m_thread->WaitForDeath(INFINITE);
    }
    m_thread.reset();  // a thread never started ends without running
}

uint32_t PresenceWorker::ThreadId() const {
    return m_thread ? m_thread->GetID() : 0;
}

QString PresenceWorker::ServerStatus() const {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_bAddressChecked) {
        return QString::fromStdString(m_strServerStatus);
    }
    presence::Reachability facts;
    facts.address = m_strLocalAddress;
    facts.registered = m_bRegistered;
    if (m_bMappedSamePort) {
        facts.mapped = m_strMapped.substr(0, m_strMapped.find(':'));
    }
    return presence::ServerStatusText(facts);
}

void PresenceWorker::SetRegistered(bool registered) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_bRegistered = registered;
}

QString PresenceWorker::LocalAddress() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return QString::fromStdString(m_strLocalAddress);
}

void PresenceWorker::Refresh() {
    if (m_thread) {
        PostThreadMessage(m_thread->GetID(), WM_PRESENCE_CHECK, 0, 0);
    }
}

void PresenceWorker::RequestCallReport(const CallFigures& figures, bool requireLogin) {
    if (!m_thread) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_reports.push_back(Report{figures, requireLogin});
    }
    PostThreadMessage(m_thread->GetID(), WM_CALL_REPORT, 0, 0);
}

uint32_t PresenceWorker::Run(void* argument) {
    auto* self = static_cast<PresenceWorker*>(argument);
    ThreadMsg msg;
    while (GetMessage(msg)) {
        const uint32_t message = msg.message;
        DisposeMessage(msg);
        if (message == WM_PRESENCE_QUIT) {
            return 0;
        }
        if (message == WM_CALL_REPORT) {
            self->SendNextReport();
        } else {
            self->Heartbeat();  // any other message counts as a heartbeat request
        }
    }
    return 0;
}

void PresenceWorker::RequestLogoff() {
    m_state->logoffPending = 1;  // no further requests for this user while he goes
    emit logoffRequested();      // queued to the GUI thread; this thread goes on at once
}

// Steps 1 to 5 of a heartbeat: the own address, the status text, automatic login. False when
// the service cannot be reached.
bool PresenceWorker::CheckAddress() {
    std::string old;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        old = m_strLocalAddress;
        if (m_bFirstHeartbeat.exchange(0) != 0) {
            m_strServerStatus = "Checking server";
        }
    }
    const std::string dotted = m_state->LocalAddressToward();
    const std::string address = dotted.empty() ? std::string() : ClassifyAddressText(dotted);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_strLocalAddress = address;
        m_strLocalDotted = dotted;
        m_bAddressChecked = true;
    }
    if (address != old) {
        // Queued to the GUI thread; this thread does not wait for the panes.
        emit statusChanged(ServerStatus(), QString::fromStdString(address));
    }
    if (address.empty()) {
        m_bServerReachable = 0;
        if (m_state->loggedIn.load() == 1) {
            RequestLogoff();
        }
        return false;
    }
    if (m_bServerReachable.load() == 0 && m_state->autoLoginPending.load() == 1 &&
        session_settings::AutoLogin()) {
        emit loginRequested();
    }
    m_bServerReachable = 1;
    return true;
}

void PresenceWorker::Heartbeat() {
    if (CheckAddress() && m_state->loggedIn.load() == 1 && m_state->logoffPending.load() == 0) {
        ExchangeWithServer();
    }
    emit heartbeatDone();
}

// Steps 7 to 9: "iamup.asp", then "GetUserList.asp" with a copy of the buddy list.
void PresenceWorker::ExchangeWithServer() {
    RenewMapping();
    std::unique_ptr<CWebClient> web = m_state->MakeWebClient();
    const ServerInfo server = m_state->Server();
    const SessionState::User user = m_state->LoggedInUser();
    std::string reply;
    if (!web->Get(server.host, IamUpRequest(server, user.name, user.password), &reply)) {
        RequestLogoff();
        return;
    }
    if (!reply.empty() && reply[0] == '#') {
        RequestLogoff();
        Refresh();
        // Shown on the GUI thread by the program's hook; this thread goes on at once.
        MessageBox(reply.c_str(), "Mervane");
        return;
    }
    TakeRendezvous(reply);
    std::function<std::vector<std::string>()> source;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        source = m_buddySource;
    }
    const std::vector<std::string> buddies = source ? source() : std::vector<std::string>();
    reply.clear();
    if (!web->Get(server.host,
                  GetUserListTarget(server, user.name, user.password, buddies) + CapabilityKeys(),
                  &reply) ||
        reply.empty()) {
        return;
    }
    if (reply[0] == '+') {
        emit onlineReplyReceived(QString::fromStdString(reply));
    } else if (reply[0] == '-') {
        RequestLogoff();
    }
}

// "iamup.asp" with the own address class (or the router's address while it forwards the call
// port on the same number, so that clients without the extension can call it), then the
// capabilities, the own address and call port and the router's mapping.
std::string PresenceWorker::IamUpRequest(const ServerInfo& server, const std::string& user,
                                         const std::string& password) {
    std::string addressClass;
    std::string local;
    std::string mapped;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        addressClass =
            m_bMappedSamePort ? m_strMapped.substr(0, m_strMapped.find(':')) : m_strLocalAddress;
        if (!m_strLocalDotted.empty()) {
            local = m_strLocalDotted + ":" + std::to_string(m_state->CallPort());
        }
        mapped = m_strMapped;
    }
    return IamUpTarget(server, user, password, addressClass) +
           HeartbeatExtraKeys(local, mapped, m_state->IdentityKeyHex());
}

// Renews the router's mapping of the call port when due and takes its external side.
void PresenceWorker::RenewMapping() {
    const std::shared_ptr<CallPortMapping> mapping = m_state->PortMapping();
    std::string external;
    if (mapping) {
        mapping->RenewIfDue();
        external = mapping->External();
    }
    const auto endpoint = stun::ParseEndpoint(external);
    if (!endpoint) {
        external.clear();
    }
    const bool samePort = endpoint && ntohs(endpoint->sin_port) == m_state->CallPort();
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        changed = external != m_strMapped || samePort != m_bMappedSamePort;
        m_strMapped = external;
        m_bMappedSamePort = samePort;
    }
    if (changed) {
        emit statusChanged(ServerStatus(), LocalAddress());
    }
}

void PresenceWorker::TakeRendezvous(const std::string& reply) {
    const std::optional<RendezvousReply> rendezvous = ParseRendezvousReply(reply);
    if (!rendezvous) {
        emit rendezvousReceived(QString(), QByteArray());
        return;
    }
    emit rendezvousReceived(QString::fromStdString(stun::EndpointText(rendezvous->server)),
                            QByteArray::fromStdString(rendezvous->key));
}

void PresenceWorker::SendNextReport() {
    Report report;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_reports.empty()) {
            return;
        }
        report = m_reports.front();
        m_reports.pop_front();
    }
    if (report.figures.newCall) {
        m_nSessionId = 0;  // a call came up: its first answer gives the new record id
    }
    if (report.requireLogin && m_state->loggedIn.load() != 1) {
        return;
    }
    std::unique_ptr<CWebClient> web = m_state->MakeWebClient(SessionState::OnClose::Finish);
    SendCallReport(*web, m_state->Server(), m_state->LoggedInUser().name, report.figures,
                   m_nSessionId, ReportClockNow());
}
