// The window tests against a sound server run with the engine bridge in place, as in the program.

#include "app/shell/EngineBridge.h"
#include "testsupport/QtTestSetup.h"

namespace {

const bool registered = testsupport::AddQtTestSetup([] { bridge::Install(); });

}  // namespace
