// The shell tests run with the engine bridge in place, as in the program, and with an ALSA
// configuration that names no card: the window's mixer and sound devices stay off the host's.

#include "app/shell/EngineBridge.h"
#include "testsupport/AlsaConfig.h"
#include "testsupport/QtTestSetup.h"

namespace {

const bool noCard = testsupport::UsePrivateAlsaConfig(
    "pcm.!default { type hw card 31 }\n"
    "ctl.!default { type hw card 31 }\n");
const bool registered = testsupport::AddQtTestSetup([] { bridge::Install(); });

}  // namespace
