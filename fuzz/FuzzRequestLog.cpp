// Feeds arbitrary request targets to the redaction of the request log: whatever a client sends,
// the query as logged keeps every key and separator, and the value of every key whose value the
// log hides (HidesValue: a key that names a password or cannot be decoded; its own cases are in
// the unit tests) is "***", whatever the split.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "directory/server/Query.h"

namespace {

// Aborts unless shown is query with the values of the password keys replaced.
void Check(std::string_view query, std::string_view shown) {
    size_t in = 0;
    size_t out = 0;
    for (;;) {
        size_t inEnd = std::min(query.find_first_of("&?", in), query.size());
        size_t outEnd = std::min(shown.find_first_of("&?", out), shown.size());
        std::string_view piece = query.substr(in, inEnd - in);
        std::string_view logged = shown.substr(out, outEnd - out);
        size_t eq = piece.find('=');
        bool hidden = eq != std::string_view::npos && HidesValue(piece.substr(0, eq));
        std::string expected =
            hidden ? std::string(piece.substr(0, eq + 1)) + "***" : std::string(piece);
        if (logged != expected || (inEnd < query.size()) != (outEnd < shown.size())) {
            std::abort();
        }
        if (inEnd == query.size()) {
            return;
        }
        if (query[inEnd] != shown[outEnd]) {
            std::abort();
        }
        in = inEnd + 1;
        out = outEnd + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view target(reinterpret_cast<const char*>(data), size);
    const std::string shown = RedactQuery(target);
    Check(target, shown);
    // Redacting what was logged changes nothing more.
    if (RedactQuery(shown) != shown) {
        std::abort();
    }
    return 0;
}
