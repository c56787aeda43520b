#include "IdentityFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace identity_file {

namespace {

std::string HexOf(const std::string& bytes) {
    static const char* const kDigits = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += kDigits[c >> 4];
        hex += kDigits[c & 15];
    }
    return hex;
}

// The seed the file's first line holds, or empty.
std::optional<IdentityKey> Parse(const std::string& line) {
    const std::optional<PublicKey> seed = KeyFromHex(line);
    if (!seed) {
        return std::nullopt;
    }
    return IdentityKey::FromSeed(std::string(seed->begin(), seed->end()));
}

// Writes a new identity to `path` in one step: a private temporary file is filled and then
// linked to the name, so that two programs starting at once both end up with the same identity.
bool Create(const std::string& path, const IdentityKey& key, std::string* error) {
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());  // mode 0600
    if (fd < 0) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    const std::string text = HexOf(key.Seed()) + "\n";
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    const bool linked = written && (link(temporary.c_str(), path.c_str()) == 0 || errno == EEXIST);
    unlink(temporary.c_str());
    if (!linked) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
    }
    return linked;
}

}  // namespace

std::string DefaultPath() {
    std::string base;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else if (home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.local/share";
        mkdir((std::string(home) + "/.local").c_str(), 0700);
        mkdir(base.c_str(), 0700);
    } else {
        return "identity.key";
    }
    mkdir((base + "/zorvo").c_str(), 0700);
    return base + "/zorvo/identity.key";
}

std::optional<IdentityKey> LoadOrCreate(const std::string& path, std::string* error) {
    if (access(path.c_str(), F_OK) != 0 && !Create(path, IdentityKey::Generate(), error)) {
        return std::nullopt;
    }
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string line;
    std::getline(in, line);
    std::optional<IdentityKey> key = Parse(line);
    if (!key) {
        *error = path + " does not hold an identity key";
    }
    return key;
}

}  // namespace identity_file
