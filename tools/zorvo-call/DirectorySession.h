#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "directory/client/CallPage.h"
#include "directory/client/PortMapper.h"
#include "directory/client/WebClient.h"
#include "engine/CallPath.h"

// zorvo-call's session with a directory service, as the desktop client keeps one: discovery,
// login with the rendezvous extension, a heartbeat every 45 s on its own thread (which also
// renews a router port mapping), the call page for a call by name, call reports, and the logoff
// at the end.
class DirectorySession {
  public:
    DirectorySession(std::string serviceHost, std::string user, std::string password,
                     unsigned callPort, bool portMapping);
    ~DirectorySession();  // logs off

    // The directory's TLS key ("sha256//..."), vouched for by the operator: every https host of
    // the session must present it. "" (the default): only certificates the system's
    // authorities vouch for.
    void TrustKey(const std::string& pin);
    // The identity key to publish (64 hex digits, docs/encryption.md); "" publishes none and
    // leaves encryption out of the capabilities.
    void PublishIdentity(const std::string& keyHex) { m_identityHex = keyHex; }

    // Discovery, login and the first heartbeat; false with *error set when any fails (one line;
    // for a TLS key that is not trusted, its fingerprint and how to trust it).
    bool LogIn(std::string* error);
    // The rendezvous of the last heartbeat, for the engine; empty when the service has none.
    std::optional<RendezvousConfig> Rendezvous() const;

    // The plan of a call to a buddy by name; empty with *error set when the buddy cannot be
    // reached through the rendezvous. *address then holds the buddy's listed address when it is
    // online with one ("LAN" or dotted), else "".
    std::optional<CallPlan> PlanCall(const std::string& buddy, std::string* address,
                                     std::string* error);

    // A call report: the other party, whole minutes so far and the mean round trip (ms). The
    // first of a call (sessionId 0) obtains the record's number.
    void ReportCall(const std::string& remote, int minutes, int avgDelay);
    void NewCall() { m_sessionId = 0; }

  private:
    bool Heartbeat();
    void HeartbeatLoop();
    // On the heartbeat thread: asks the router to forward the call port (or renews the lease)
    // and sends a heartbeat at once when the mapping changed.
    void KeepPortMapping(bool first);
    std::string Get(const std::string& target);
    // The refusal of a TLS key by the last request, as one line; "" when there was none.
    std::string KeyRefusal() const;
    std::string OnlineAddress(const std::string& buddy);

    const std::string m_serviceHost;
    const std::string m_user;
    const std::string m_password;
    const unsigned m_callPort;
    const bool m_portMapping;
    std::string m_identityHex;  // published with the login and every heartbeat
    std::string m_discoveryFile;
    CWebClient m_web;
    ServerInfo m_server;
    std::string m_localAddress;  // dotted, toward the service
    std::string m_mapped;  // "a.b.c.d:port" while the router forwards the call port (heartbeats)
    PortMapper m_mapper;   // the heartbeat thread's
    bool m_loggedIn = false;
    int m_sessionId = 0;

    mutable std::mutex m_lock;  // m_rendezvous, and the heartbeat thread's stop
    std::optional<RendezvousConfig> m_rendezvous;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_heartbeat;
};
