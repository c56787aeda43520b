#pragma once

#include <QObject>
#include <QString>

#include <memory>

#include "app/call/InCallDisplay.h"
#include "directory/client/BuddyKey.h"

class BuddyKeyRequest;
class CallController;
class SessionState;

// Judges the identity key the peer of an encrypted call proved (keypin::Decide): against the key
// pinned for the buddy's name on an earlier call and, while nothing is pinned, against the key the
// buddy published in the directory (asked for off the GUI thread, only while logged in). The
// first call's key is pinned when the directory's matches it, or on trust when the directory has
// none. What the in-call display is to show comes out as signals.
class BuddyKeyCheck : public QObject {
    Q_OBJECT
  public:
    BuddyKeyCheck(CallController* call, SessionState* state, QObject* parent = nullptr);
    ~BuddyKeyCheck() override;

    // The protection of the call of the moment as the display shows it.
    const incall::Security& Current() const { return m_security; }

    // The user compared the authentication string of the call of the moment and trusts the
    // peer's changed key: it replaces the pinned one and the call counts as verified. Does
    // nothing once the call has ended or when its key was not a changed one.
    void TrustPeerKey();

  signals:
    // The call's protection as it is to be shown now; again when the directory's answer decided.
    void securityChanged(const incall::Security& security);
    // The peer's key is not the one pinned for `name` (or published): the user is warned, once
    // per call, before anything private is said.
    void keyChanged(const QString& name, const QString& sas);
    // A call with `name`, whose key is pinned, is not encrypted: the user is warned once.
    void keyDowngraded(const QString& name);

  private:
    void OnSecurityFound(bool encrypted, const QString& sas, const QString& peerKeyHex);
    void OnDirectoryAnswer(const QString& buddy, const BuddyKeyReply& reply);
    void Apply(const keypin::Decision& decision);

    CallController* m_call;
    SessionState* m_state;
    std::unique_ptr<BuddyKeyRequest> m_request;
    incall::Security m_security;
    QString m_peerKey;
    // The directory was asked about m_security.peerName for the call of the moment.
    bool m_awaitingDirectory = false;
};
