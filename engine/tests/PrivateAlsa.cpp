// The engine tests read an ALSA configuration of their own, so that what the host's sound set-up
// loads (a sound server's plugin and its threads, say) never enters them.

#include "testsupport/AlsaConfig.h"

namespace {

const bool kPrivateAlsa = testsupport::UsePrivateAlsaConfig(testsupport::kAlsaFirstCardOnly);

}  // namespace
