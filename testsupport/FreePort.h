#pragma once

#include <cstdint>

namespace testsupport {

// A port on the loopback address that nobody uses at this moment: the system picks it for a
// socket that is closed again at once. Another process may take it in between, which tests on
// one machine accept.
uint16_t FreeUdpPort();
uint16_t FreeTcpPort();

}  // namespace testsupport
