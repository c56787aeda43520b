#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "directory/client/WebClient.h"

class CallPortMapping;

// What the login session, the presence worker, the call reports and the buddy sync share: the
// login flags, the logged-in user and the directory server's location. The flags are atomic;
// the strings are copied in and out under one lock, so any thread may read them.
class SessionState {
  public:
    SessionState();

    // 1 while logged in to the directory service.
    std::atomic<int> loggedIn{0};
    // 1 while the presence worker may log in automatically; a refused login clears it.
    std::atomic<int> autoLoginPending{1};
    // 1 from the moment a logoff is asked for until a login or logoff has ended: no presence
    // request is sent meanwhile for a user on the way out.
    std::atomic<int> logoffPending{0};

    struct User {
        std::string name;
        std::string password;
    };

    // The user of the last successful login (kept after a logoff: a periodic call report still
    // names him).
    User LoggedInUser() const;
    void SetLoggedInUser(const std::string& name, const std::string& password);

    // The user's identity key for encrypted calls, 64 lowercase hex digits: the login and the
    // heartbeat publish it with the encryption extension. Empty (the default): a client without
    // the extension, whose requests stay as before.
    std::string IdentityKeyHex() const;
    void SetIdentityKeyHex(const std::string& hex);

    // The directory server as the last successful discovery left it.
    ServerInfo Server() const;
    // Runs a discovery on a copy of the server location and stores the result; 1 on success.
    int Discover(CWebClient& web);

    // The service web host for discovery and the own-address check; "" means ServiceHost().
    void SetServiceHost(const std::string& host);
    std::string EffectiveServiceHost() const;

    // Bounds of every request made for this session (connect, whole exchange) and of the
    // own-address check.
    void SetTimeouts(long connectMs, long totalMs, int classifyMs);

    // What a request does when the program closes while it runs: presence, lists, discovery
    // and logins end at once; writes of what the user did (call records, buddy lists) finish
    // within their time-outs.
    enum class OnClose { Cancel, Finish };

    // The keys of directories that no authority vouches for, as the user trusted them (the
    // settings file unless replaced).
    void SetPinStore(std::shared_ptr<PinStore> pins);
    std::shared_ptr<PinStore> Pins() const;

    // A request object for this session's host, time-outs and trusted keys.
    std::unique_ptr<CWebClient> MakeWebClient(OnClose onClose = OnClose::Cancel) const;

    // "", "LAN" or the own dotted address, against the service web host.
    std::string ClassifyLocalAddress() const;
    // The own dotted address toward the service web host, unclassified; "" when it cannot be
    // reached.
    std::string LocalAddressToward() const;

    // The UDP port the program listens for calls on (1720 unless set): the heartbeat names it.
    void SetCallPort(unsigned port) { m_callPort.store(port); }
    unsigned CallPort() const { return m_callPort.load(); }

    // The router's forwarding of the call port; null (the default) when the program has none.
    void SetPortMapping(std::shared_ptr<CallPortMapping> mapping);
    std::shared_ptr<CallPortMapping> PortMapping() const;

    // The program is closing: every cancellable request of this session, under way or to come,
    // ends at once (within about a second) instead of running into its time-out.
    void CancelRequests() { m_cancel->store(true); }

  private:
    mutable std::mutex m_lock;
    User m_user;
    std::string m_identityKeyHex;
    ServerInfo m_server;
    std::string m_serviceHost;
    long m_connectMs = 5000;
    long m_totalMs = 15000;
    int m_classifyMs = 10000;
    std::atomic<unsigned> m_callPort{1720};
    std::shared_ptr<CallPortMapping> m_portMapping;
    std::shared_ptr<PinStore> m_pins;
    const std::shared_ptr<std::atomic<bool>> m_cancel = std::make_shared<std::atomic<bool>>(false);
};
