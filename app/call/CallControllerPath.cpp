// The call controller's part in calls across home routers: the rendezvous every engine carries,
// the listening engine's registration there, calls by name with the directory's call page, and
// the path a call took and how it is protected.

#include "app/call/CallController.h"
#include "app/call/EngineSetup.h"
#include "app/call/InCallDisplay.h"
#include "app/call/KeyPinning.h"

namespace {

bool SameRendezvous(const std::optional<RendezvousConfig>& a,
                    const std::optional<RendezvousConfig>& b) {
    if (!a || !b) {
        return a.has_value() == b.has_value();
    }
    return a->server.sin_addr.s_addr == b->server.sin_addr.s_addr &&
           a->server.sin_port == b->server.sin_port && a->user == b->user && a->key == b->key &&
           a->callPort == b->callPort;
}

}  // namespace

void CallController::SetRendezvous(const std::optional<RendezvousConfig>& rendezvous) {
    std::optional<RendezvousConfig> next = rendezvous;
    if (next) {
        next->callPort = enginesetup::CallPort();  // registered from the port it listens on
    }
    if (SameRendezvous(next, m_options.rendezvous)) {
        return;
    }
    m_options.rendezvous = next;
    if (m_registered) {
        m_registered = false;
        emit registrationChanged(false);
    }
    // The listening engine took the rendezvous when it was made: one that only waits is
    // replaced, so that it registers with the new one (or no longer registers at all).
    if (Idle() && !m_shutDown) {
        DestroyEngine();
        StartListening();
    }
}

void CallController::CheckRegistration() {
    // A registration once answered holds for the same rendezvous: the listening engine made
    // after a call goes on with it. The engine says when its registration was answered; only
    // the listening engine's answer counts.
    if (!m_options.rendezvous || m_registered) {
        return;
    }
    if (m_engine && m_engineListens && m_engine->GetPublicAddress()) {
        m_registered = true;
        emit registrationChanged(true);
    }
}

bool CallController::BeginCallByName(const QString& remoteUser) {
    if (Attempting() || InCall() || m_shutDown) {
        return false;
    }
    m_remoteUser = remoteUser;
    m_peerName = keypin::PeerName(remoteUser);
    m_awaitingPage = true;
    emit attemptStarted("Connecting..");
    return true;
}

bool CallController::PlaceCallVia(const CallPlan& plan) {
    if (!m_awaitingPage) {
        return false;  // cancelled while the page was on its way
    }
    m_awaitingPage = false;
    if (InCall() || m_shutDown) {
        emit attemptEnded(false);
        return false;
    }
    return LaunchAttempt([&plan](Voxlane& engine) { return engine.InitConnectVia(plan); });
}

void CallController::AbandonCallByName(const QString& reason) {
    if (!m_awaitingPage) {
        return;
    }
    m_awaitingPage = false;
    emit debugLine("Connect failed..Please Retry");
    emit boxRequested("Cannot connect to " + m_remoteUser + ": " + reason);
    emit attemptEnded(false);
}

void CallController::OnPathFound(int kind) {
    m_pathKind = kind;
    emit debugLine(incall::PathText(kind));
    emit pathFound(kind);
}

void CallController::OnSecurityFound() {
    if (!m_engine) {
        return;
    }
    m_security = m_engine->GetCallSecurity();
    m_securityKnown = true;
    if (!m_security.encrypted) {
        emit securityFound(false, QString(), QString());
        return;
    }
    emit securityFound(true, QString::fromStdString(m_security.sas),
                       QString::fromStdString(KeyHex(m_security.peerIdentity)));
}
