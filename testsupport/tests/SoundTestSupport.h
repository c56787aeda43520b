#pragma once

#include <cstdio>
#include <string>

namespace sound_test {

// Runs a shell command and gives what it printed (stdout and stderr).
inline std::string Output(const std::string& command) {
    std::string text;
    if (std::FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
            text += buffer;
        }
        pclose(pipe);
    }
    return text;
}

}  // namespace sound_test
