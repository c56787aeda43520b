// Feeds arbitrary text to the client's readers of the directory's extended replies: the buddy
// key page, the call page and the heartbeat's rendezvous words. Whatever comes in, a key that is
// taken is 64 lowercase hex digits and a call page has its token, its probe key and a candidate.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "directory/client/BuddyKey.h"
#include "directory/client/CallPage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string reply(reinterpret_cast<const char*>(data), size);
    const BuddyKeyReply key = ParseBuddyKeyReply(true, reply);
    if (key.kind == BuddyKeyReply::Kind::kKey) {
        if (key.keyHex.size() != 64 ||
            key.keyHex.find_first_not_of("0123456789abcdef") != std::string::npos) {
            std::abort();
        }
    }
    std::string error;
    if (const auto page = ParseCallPage(reply, &error)) {
        if (page->token.empty() || page->probeKey.empty() || page->candidates.empty()) {
            std::abort();
        }
    }
    ParseRendezvousReply(reply);
    return 0;
}
