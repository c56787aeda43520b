#pragma once

#include <QObject>
#include <QString>

#include "app/session/BuddyPageRequest.h"
#include "directory/client/BuddyKey.h"

class SessionState;

// Asks the directory's buddy key page ("BuddyKey.asp") for the identity key a buddy published,
// on a worker thread of its own: the GUI thread never waits for the network. One request runs at
// a time; its outcome comes back as `answered` on the thread the object lives on.
class BuddyKeyRequest : public QObject {
    Q_OBJECT
  public:
    explicit BuddyKeyRequest(SessionState* state, QObject* parent = nullptr);
    // Waits for a request under way (bounded by its time-outs; at once once the session's
    // requests are cancelled).
    ~BuddyKeyRequest() override;

    // Asks for `buddy`'s key as the logged-in user; false while a request runs.
    bool Start(const QString& buddy);
    bool IsBusy() const { return m_request.IsBusy(); }

  signals:
    void answered(const QString& buddy, const BuddyKeyReply& reply);

  private:
    BuddyPageRequest m_request;
};
