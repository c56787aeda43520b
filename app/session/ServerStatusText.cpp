#include "app/session/ServerStatusText.h"

namespace presence {

// The pane is about thirty characters wide: the texts beyond the described ones stay within it.
QString ServerStatusText(const Reachability& facts) {
    if (facts.address.empty()) {
        return QStringLiteral("The server cannot be reached");
    }
    if (!facts.mapped.empty()) {
        return QStringLiteral("Your IP:") + QString::fromStdString(facts.mapped) +
               QStringLiteral(" (mapped)");
    }
    if (facts.address != "LAN") {
        return QStringLiteral("Your IP:") + QString::fromStdString(facts.address);
    }
    return facts.registered ? QStringLiteral("Behind firewall, via directory")
                            : QStringLiteral("Behind firewall");
}

}  // namespace presence
