#include "app/session/ServerStatusText.h"

namespace presence {

QString ServerStatusText(const Reachability& facts) {
    if (facts.address.empty()) {
        return QStringLiteral("The server cannot be reached");
    }
    if (!facts.mapped.empty()) {
        return QStringLiteral("Your IP:") + QString::fromStdString(facts.mapped) +
               QStringLiteral(" (router port mapping)");
    }
    if (facts.address != "LAN") {
        return QStringLiteral("Your IP:") + QString::fromStdString(facts.address);
    }
    return facts.registered ? QStringLiteral("Behind firewall, reachable through the directory")
                            : QStringLiteral("Behind firewall");
}

}  // namespace presence
