#include "testsupport/AlsaConfig.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace testsupport {

const char* const kAlsaFirstCardOnly =
    "pcm.!default { type hw card 0 }\n"
    "ctl.!default { type hw card 0 }\n";

bool UsePrivateAlsaConfig(const std::string& text) {
    const char* folder = std::getenv("TMPDIR");
    std::string path = std::string(folder && *folder ? folder : "/tmp") + "/zorvo-alsa-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0) {
        return false;
    }
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!written) {
        return false;
    }
    // Removed at exit; ALSA has read it by then or never will.
    static std::string s_path;
    if (!s_path.empty()) {
        std::remove(s_path.c_str());
    }
    s_path = path;
    std::atexit([] { std::remove(s_path.c_str()); });
    return setenv("ALSA_CONFIG_PATH", path.c_str(), 1) == 0;
}

}  // namespace testsupport
