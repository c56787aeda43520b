#include "app/session/SessionState.h"

#include "app/session/CallPortMapping.h"
#include "app/session/DirectoryTrust.h"
#include "directory/client/LocalAddress.h"
#include "directory/client/ServiceHost.h"

SessionState::SessionState() : m_pins(std::make_shared<SettingsPinStore>()) {}

SessionState::User SessionState::LoggedInUser() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_user;
}

void SessionState::SetLoggedInUser(const std::string& name, const std::string& password) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_user = User{name, password};
}

std::string SessionState::IdentityKeyHex() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_identityKeyHex;
}

void SessionState::SetIdentityKeyHex(const std::string& hex) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_identityKeyHex = hex;
}

ServerInfo SessionState::Server() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_server;
}

int SessionState::Discover(CWebClient& web) {
    // The download runs without the lock; readers keep seeing the old location meanwhile.
    ServerInfo info = Server();
    const int found = web.DiscoverServer(&info);
    std::lock_guard<std::mutex> lock(m_lock);
    m_server = info;  // a failed discovery may still have replaced the host
    return found;
}

void SessionState::SetServiceHost(const std::string& host) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_serviceHost = host;
}

std::string SessionState::EffectiveServiceHost() const {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_serviceHost.empty()) {
            return m_serviceHost;
        }
    }
    return ServiceHost();
}

void SessionState::SetTimeouts(long connectMs, long totalMs, int classifyMs) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_connectMs = connectMs;
    m_totalMs = totalMs;
    m_classifyMs = classifyMs;
}

std::unique_ptr<CWebClient> SessionState::MakeWebClient(OnClose onClose) const {
    auto web = std::make_unique<CWebClient>();
    web->SetServiceHost(EffectiveServiceHost());
    std::lock_guard<std::mutex> lock(m_lock);
    web->SetTimeouts(m_connectMs, m_totalMs);
    web->SetPinStore(m_pins);
    if (onClose == OnClose::Cancel) {
        web->SetCancel(m_cancel);
    }
    return web;
}

std::string SessionState::ClassifyLocalAddress() const {
    int timeoutMs = 0;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        timeoutMs = m_classifyMs;
    }
    return ::ClassifyLocalAddress(EffectiveServiceHost(), timeoutMs, m_cancel.get());
}

std::string SessionState::LocalAddressToward() const {
    int timeoutMs = 0;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        timeoutMs = m_classifyMs;
    }
    return ::LocalAddressToward(EffectiveServiceHost(), timeoutMs, m_cancel.get());
}

void SessionState::SetPinStore(std::shared_ptr<PinStore> pins) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_pins = std::move(pins);
}

std::shared_ptr<PinStore> SessionState::Pins() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_pins;
}

void SessionState::SetPortMapping(std::shared_ptr<CallPortMapping> mapping) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_portMapping = std::move(mapping);
}

std::shared_ptr<CallPortMapping> SessionState::PortMapping() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_portMapping;
}
