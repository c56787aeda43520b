#include "app/call/EngineSetup.h"

#include <QString>

#include "app/settings/IdentityStore.h"

namespace enginesetup {
namespace {

unsigned PortFrom(const char* variable, unsigned fallback) {
    bool ok = false;
    const unsigned port = qEnvironmentVariable(variable).toUInt(&ok);
    return ok && port > 0 && port < 65536 ? port : fallback;
}

}  // namespace

EngineOptions OptionsFromEnvironment() {
    EngineOptions options;
    options.microphone = qEnvironmentVariable("ZORVO_MIC").toStdString();
    options.speaker = qEnvironmentVariable("ZORVO_SPEAKER").toStdString();
    // Every engine carries the user's identity: calls are encrypted whenever the peer can.
    options.identity = identity_store::Identity();
    return options;
}

unsigned CallPort() {
    return PortFrom("ZORVO_CALL_PORT", kDefaultCallPort);
}

unsigned PeerPort() {
    return PortFrom("ZORVO_PEER_PORT", CallPort());
}

}  // namespace enginesetup
