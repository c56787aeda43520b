#pragma once

#include <QObject>
#include <QString>

#include <optional>
#include <string>

#include "app/session/BuddyPageRequest.h"
#include "directory/client/CallPage.h"

// Asks the directory's call page ("CallBuddy.asp") for the way to a buddy behind a home router,
// on a worker thread of its own: the GUI thread never waits for the network. One request runs
// at a time; its outcome comes back as `answered` on the thread the object lives on.
class CallPageRequest : public QObject {
    Q_OBJECT
  public:
    explicit CallPageRequest(SessionState* state, QObject* parent = nullptr);
    // Waits for a request under way (bounded by its time-outs; at once once the session's
    // requests are cancelled).
    ~CallPageRequest() override;

    // Asks for the logged-in user's call to `buddy`; false while a request runs.
    bool Start(const QString& buddy);
    bool IsBusy() const { return m_request.IsBusy(); }

    // The page of the last accepted answer.
    const std::optional<CallPage>& Page() const { return m_page; }

    // Why the service gave no page, in words for a box: the text after a refusal's first word
    // ("-ERR bob is not online" gives "bob is not online"), or what else went wrong.
    static std::string RefusalReason(bool answered, const std::string& reply);

  signals:
    // The page for `buddy` came back: accepted (Page() holds it) or refused, `reason` saying why.
    void answered(const QString& buddy, bool accepted, const QString& reason);

  private:
    void OnReply(const std::string& buddy, bool answered, const std::string& reply);

    BuddyPageRequest m_request;
    std::optional<CallPage> m_page;
};
