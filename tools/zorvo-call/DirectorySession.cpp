#include "DirectorySession.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "directory/client/LocalAddress.h"
#include "directory/client/Requests.h"

namespace {

constexpr auto kHeartbeatPeriod = std::chrono::seconds(45);
constexpr int kLocalAddressTimeoutMs = 5000;

}  // namespace

DirectorySession::DirectorySession(std::string serviceHost, std::string user, std::string password,
                                   unsigned callPort, bool portMapping)
    : m_serviceHost(std::move(serviceHost)),
      m_user(std::move(user)),
      m_password(std::move(password)),
      m_callPort(callPort),
      m_portMapping(portMapping) {
    // The discovery text goes to a file of this run's own, removed at the end.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    m_discoveryFile = std::string(runtime && *runtime ? runtime : "/tmp") + "/zorvo-call-" +
                      std::to_string(getpid()) + ".ini";
    m_web.SetServiceHost(m_serviceHost);
    m_web.SetDiscoveryFile(m_discoveryFile);
    m_web.SetTimeouts(3000, 8000);
}

DirectorySession::~DirectorySession() {
    {
        std::lock_guard lock(m_lock);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_heartbeat.joinable()) {
        m_heartbeat.join();
    }
    if (m_loggedIn) {
        Get(LogoffTarget(m_server, m_user, m_password, ClassifyAddressText(m_localAddress)));
    }
    std::remove(m_discoveryFile.c_str());
}

void DirectorySession::TrustKey(const std::string& pin) {
    if (!pin.empty()) {
        m_web.SetPinStore(std::make_shared<MemoryPinStore>(pin));
    }
}

std::string DirectorySession::KeyRefusal() const {
    const std::optional<KeyProblem> problem = m_web.LastKeyProblem();
    if (!problem) {
        return "";
    }
    if (problem->verdict == KeyVerdict::Changed) {
        return "the directory at " + problem->host +
               " presents another TLS key than --trust-key (SHA-256 fingerprint " +
               problem->key.fingerprint + "); refused, nothing was sent";
    }
    return "the directory at " + problem->host +
           " presents a TLS key no authority vouches for (SHA-256 fingerprint " +
           problem->key.fingerprint +
           "); if zorvo-directory printed that fingerprint, run again with --trust-key " +
           problem->key.pin;
}

std::string DirectorySession::Get(const std::string& target) {
    std::string reply;
    if (!m_web.Get(m_server.host, target, &reply)) {
        return "";
    }
    return reply;
}

bool DirectorySession::LogIn(std::string* error) {
    m_localAddress = LocalAddressToward(m_serviceHost, kLocalAddressTimeoutMs);
    if (m_localAddress.empty()) {
        *error = "cannot reach the directory at " + m_serviceHost;
        return false;
    }
    if (!m_web.DiscoverServer(&m_server)) {
        *error = KeyRefusal();
        if (error->empty()) {
            *error = "the directory at " + m_serviceHost + " does not say where its pages are";
        }
        return false;
    }
    const std::string reply =
        Get(LoginTarget(m_server, m_user, m_password, ClassifyAddressText(m_localAddress)) +
            CapabilityKeys(m_identityHex));
    if (reply.empty() && !KeyRefusal().empty()) {
        *error = KeyRefusal();
        return false;
    }
    if (reply.empty() || reply[0] != '+') {
        *error = "login refused: " + (reply.empty() ? std::string("no answer") : reply);
        return false;
    }
    m_loggedIn = true;
    Heartbeat();
    m_heartbeat = std::thread(&DirectorySession::HeartbeatLoop, this);
    return true;
}

bool DirectorySession::Heartbeat() {
    const std::string address = m_mapped.empty() ? ClassifyAddressText(m_localAddress)
                                                 : m_mapped.substr(0, m_mapped.find(':'));
    const std::string local = m_localAddress + ":" + std::to_string(m_callPort);
    const std::string reply = Get(IamUpTarget(m_server, m_user, m_password, address) +
                                  HeartbeatExtraKeys(local, m_mapped, m_identityHex));
    if (reply.empty() || reply[0] == '#') {
        std::fprintf(stderr, "zorvo-call: heartbeat refused: %s\n",
                     reply.empty() ? "no answer" : reply.c_str());
        return false;
    }
    std::optional<RendezvousConfig> config;
    if (const auto rv = ParseRendezvousReply(reply)) {
        config = RendezvousConfig{rv->server, m_user, rv->key, m_callPort};
    }
    std::lock_guard lock(m_lock);
    m_rendezvous = config;
    return true;
}

void DirectorySession::HeartbeatLoop() {
    // Asking the router takes seconds where none answers: here it keeps the login short.
    KeepPortMapping(true);
    std::unique_lock lock(m_lock);
    while (!m_wake.wait_for(lock, kHeartbeatPeriod, [this] { return m_stopping; })) {
        lock.unlock();
        KeepPortMapping(false);
        Heartbeat();
        lock.lock();
    }
    lock.unlock();
    m_mapper.Remove();
}

void DirectorySession::KeepPortMapping(bool first) {
    if (!m_portMapping) {
        return;
    }
    const PortMapping mapping =
        first ? m_mapper.Map(static_cast<uint16_t>(m_callPort)) : m_mapper.Renew();
    const std::string mapped =
        mapping.Valid() ? mapping.externalAddress + ":" + std::to_string(mapping.externalPort) : "";
    if (mapped == m_mapped) {
        return;
    }
    m_mapped = mapped;
    std::printf("MAPPING %s %s\n", MappingMethodName(mapping.method),
                mapped.empty() ? "none" : mapped.c_str());
    std::fflush(stdout);
    if (first) {
        Heartbeat();  // the directory lists the mapped address now, not in 45 s
    }
}

std::optional<RendezvousConfig> DirectorySession::Rendezvous() const {
    std::lock_guard lock(m_lock);
    return m_rendezvous;
}

std::optional<CallPlan> DirectorySession::PlanCall(const std::string& buddy, std::string* address,
                                                   std::string* error) {
    *address = "";
    const auto page =
        ParseCallPage(Get(CallBuddyTarget(m_server, m_user, m_password, buddy)), error);
    if (!page) {
        *address = OnlineAddress(buddy);
        return std::nullopt;
    }
    CallPlan plan{page->token, page->probeKey, page->candidates, std::nullopt};
    if (page->turnServer) {
        plan.relay = RelayServer{*page->turnServer, page->turnUser, page->turnPassword};
    }
    return plan;
}

std::string DirectorySession::OnlineAddress(const std::string& buddy) {
    const std::string reply =
        Get(GetUserListTarget(m_server, m_user, m_password, {buddy}) + CapabilityKeys());
    if (reply.empty() || reply[0] != '+') {
        return "";
    }
    const std::vector<std::string> words = SplitWords(reply);
    for (size_t i = 1; i + 1 < words.size(); i += 2) {
        if (words[i] == buddy) {
            return SplitOnlineAddress(words[i + 1]).address;
        }
    }
    return "";
}

void DirectorySession::ReportCall(const std::string& remote, int minutes, int avgDelay) {
    const std::string reply =
        Get(CallReportTarget(m_server, m_user, remote, minutes, m_sessionId, avgDelay));
    m_sessionId = SessionIdFromReply(reply, m_sessionId);
}
