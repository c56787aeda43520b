#pragma once

#include "engine/Voxlane.h"

// How the client's engines are made, as the environment chooses.
namespace enginesetup {

// The engine's audio: ZORVO_MIC, ZORVO_SPEAKER (a WAV path or "none"; default the sound card);
// and the user's identity (identity_store), made on first use.
EngineOptions OptionsFromEnvironment();
// The port listened on: ZORVO_CALL_PORT, default 1720.
unsigned CallPort();
// The port called on the peer: ZORVO_PEER_PORT, or the call port (two clients on one machine
// listen on different ports and call each other's).
unsigned PeerPort();

}  // namespace enginesetup
