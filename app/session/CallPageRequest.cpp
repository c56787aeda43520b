#include "app/session/CallPageRequest.h"

namespace {

// A refusal's reason is shown in a box: a service's long page is cut.
constexpr std::size_t kMaxReasonBytes = 200;

}  // namespace

CallPageRequest::CallPageRequest(SessionState* state, QObject* parent)
    : QObject(parent),
      m_request(state, this, &CallBuddyTarget,
                [this](const std::string& buddy, bool answered, const std::string& reply) {
                    OnReply(buddy, answered, reply);
                }) {}

CallPageRequest::~CallPageRequest() = default;

bool CallPageRequest::Start(const QString& buddy) {
    if (m_request.IsBusy()) {
        return false;
    }
    m_page.reset();
    return m_request.Start(buddy.toStdString());
}

std::string CallPageRequest::RefusalReason(bool answered, const std::string& reply) {
    if (!answered || reply.empty()) {
        return "no answer from the directory";
    }
    if (reply[0] == '-' || reply[0] == '#') {
        const std::size_t blank = reply.find_first_of(" \t");
        const std::size_t text = reply.find_first_not_of(" \t\r\n", blank);
        if (blank == std::string::npos || text == std::string::npos) {
            return "the directory refused the call";
        }
        std::string reason = reply.substr(text, kMaxReasonBytes);
        while (!reason.empty() && (reason.back() == '\r' || reason.back() == '\n')) {
            reason.pop_back();
        }
        return reason;
    }
    // A service without the extension answers with its page-not-found text.
    return "the directory cannot connect calls through home routers";
}

void CallPageRequest::OnReply(const std::string& buddy, bool answered, const std::string& reply) {
    std::string reason;
    if (answered && !reply.empty() && reply[0] == '+') {
        m_page = ParseCallPage(reply, &reason);
    } else {
        reason = RefusalReason(answered, reply);
    }
    emit this->answered(QString::fromStdString(buddy), m_page.has_value(),
                        QString::fromStdString(reason));
}
