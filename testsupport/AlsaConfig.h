#pragma once

#include <string>

namespace testsupport {

// An ALSA configuration naming only the first hardware card, for tests that expect what a
// machine without a sound card does: no system-wide hooks or plugins are loaded.
extern const char* const kAlsaFirstCardOnly;

// Makes the process read `text` as its whole ALSA configuration (through ALSA_CONFIG_PATH), so
// that a test does not depend on the host's sound set-up. Call before the first use of ALSA; the
// file stays until the process ends. Returns false when the file cannot be written.
bool UsePrivateAlsaConfig(const std::string& text);

}  // namespace testsupport
