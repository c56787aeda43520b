#include "app/session/BuddyKeyRequest.h"

BuddyKeyRequest::BuddyKeyRequest(SessionState* state, QObject* parent)
    : QObject(parent),
      m_request(state, this, &BuddyKeyTarget,
                [this](const std::string& buddy, bool answered, const std::string& reply) {
                    emit this->answered(QString::fromStdString(buddy),
                                        ParseBuddyKeyReply(answered, reply));
                }) {}

BuddyKeyRequest::~BuddyKeyRequest() = default;

bool BuddyKeyRequest::Start(const QString& buddy) {
    return m_request.Start(buddy.toStdString());
}
