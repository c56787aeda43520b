#include "app/shell/BuddyKeyCheck.h"

#include "app/call/CallController.h"
#include "app/session/BuddyKeyRequest.h"
#include "app/session/SessionState.h"

namespace {

keypin::DirectoryKey FromReply(const BuddyKeyReply& reply) {
    keypin::DirectoryKey key;
    switch (reply.kind) {
        case BuddyKeyReply::Kind::kKey:
            key.kind = keypin::DirectoryKey::Kind::kKey;
            key.keyHex = QString::fromStdString(reply.keyHex);
            break;
        case BuddyKeyReply::Kind::kNoKey:
            key.kind = keypin::DirectoryKey::Kind::kNoKey;
            break;
        case BuddyKeyReply::Kind::kRefused:
            key.kind = keypin::DirectoryKey::Kind::kUnavailable;
            break;
    }
    return key;
}

}  // namespace

BuddyKeyCheck::BuddyKeyCheck(CallController* call, SessionState* state, QObject* parent)
    : QObject(parent),
      m_call(call),
      m_state(state),
      m_request(std::make_unique<BuddyKeyRequest>(state)) {
    connect(call, &CallController::securityFound, this, &BuddyKeyCheck::OnSecurityFound);
    connect(call, &CallController::callFinished, this, [this] {
        // A directory answer still on its way belongs to a call that is gone.
        m_awaitingDirectory = false;
        m_security = incall::Security();
        m_peerKey.clear();
    });
    connect(m_request.get(), &BuddyKeyRequest::answered, this, &BuddyKeyCheck::OnDirectoryAnswer);
}

BuddyKeyCheck::~BuddyKeyCheck() = default;

void BuddyKeyCheck::OnSecurityFound(bool encrypted, const QString& sas, const QString& peerKeyHex) {
    m_awaitingDirectory = false;
    m_security = incall::Security{encrypted, sas, m_call->PeerName(), keypin::KeyCheck::kUnknown};
    m_peerKey = peerKeyHex;
    if (!encrypted) {
        // A buddy whose key is pinned called with encryption before: a call in clear now may
        // mean that someone on the way took the offer out.
        const QString& name = m_security.peerName;
        const bool downgraded = !name.isEmpty() && keypin::Pinned(name).has_value();
        if (downgraded) {
            m_security.check = keypin::KeyCheck::kDowngraded;
        }
        emit securityChanged(m_security);
        if (downgraded) {
            emit keyDowngraded(name);
        }
        return;
    }
    const QString& name = m_security.peerName;
    keypin::Decision decision =
        keypin::Decide(name, peerKeyHex, keypin::Pinned(name), std::nullopt);
    if (decision.check == keypin::KeyCheck::kPending) {
        // Nothing pinned yet: the directory says which key the buddy published. Without a login
        // (or while an earlier question is still out) nothing can be said about the key.
        m_awaitingDirectory = m_state->loggedIn.load() == 1 && m_request->Start(name);
        if (!m_awaitingDirectory) {
            decision = keypin::Decide(name, peerKeyHex, std::nullopt, keypin::DirectoryKey());
        }
    }
    Apply(decision);
}

void BuddyKeyCheck::OnDirectoryAnswer(const QString& buddy, const BuddyKeyReply& reply) {
    if (!m_awaitingDirectory || buddy != m_security.peerName) {
        return;  // the call it was asked for has ended
    }
    m_awaitingDirectory = false;
    const QString& name = m_security.peerName;
    Apply(keypin::Decide(name, m_peerKey, keypin::Pinned(name), FromReply(reply)));
}

void BuddyKeyCheck::TrustPeerKey() {
    if (m_security.check != keypin::KeyCheck::kChanged || m_peerKey.isEmpty()) {
        return;
    }
    keypin::Pin(m_security.peerName, m_peerKey);
    m_security.check = keypin::KeyCheck::kVerified;
    emit securityChanged(m_security);
}

void BuddyKeyCheck::Apply(const keypin::Decision& decision) {
    if (decision.pin) {
        keypin::Pin(m_security.peerName, *decision.pin);
    }
    m_security.check = decision.check;
    emit securityChanged(m_security);
    if (decision.check == keypin::KeyCheck::kChanged) {
        emit keyChanged(m_security.peerName, m_security.sas);
    }
}
