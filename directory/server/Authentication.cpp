#include "directory/server/Authentication.h"

#include <sodium.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>

#include "directory/server/Directory.h"

PasswordCheck::PasswordCheck(Storage& storage, HashCost cost, int slowHashes)
    : m_storage(storage), m_cost(cost), m_slowHashes(std::clamp(slowHashes, 1, 64)) {
    if (sodium_init() < 0) {
        throw std::runtime_error("libsodium cannot be initialised");
    }
    // The digests are keyed with a secret of this process only: they never leave memory.
    randombytes_buf(m_digestKey, sizeof m_digestKey);
}

PasswordCheck::~PasswordCheck() {
    sodium_memzero(m_digestKey, sizeof m_digestKey);
}

PasswordCheck::Digest PasswordCheck::MakeDigest(const std::string& name,
                                                const std::string& password) const {
    std::string message = name;
    message += '\0';
    message += password;
    Digest d{};
    crypto_generichash(d.data(), d.size(), reinterpret_cast<const unsigned char*>(message.data()),
                       message.size(), m_digestKey, sizeof m_digestKey);
    sodium_memzero(message.data(), message.size());
    return d;
}

bool PasswordCheck::Hash(const std::string& password, std::string* hash) {
    unsigned long long ops = crypto_pwhash_OPSLIMIT_INTERACTIVE;
    size_t mem = crypto_pwhash_MEMLIMIT_INTERACTIVE;
    if (m_cost == HashCost::Moderate) {
        ops = crypto_pwhash_OPSLIMIT_MODERATE;
        mem = crypto_pwhash_MEMLIMIT_MODERATE;
    } else if (m_cost == HashCost::Min) {
        ops = crypto_pwhash_OPSLIMIT_MIN;
        mem = crypto_pwhash_MEMLIMIT_MIN;
    }
    char out[crypto_pwhash_STRBYTES];
    m_slowHashes.acquire();
    int rc = crypto_pwhash_str(out, password.data(), password.size(), ops, mem);
    m_slowHashes.release();
    if (rc != 0) {
        return false;
    }
    *hash = out;
    return true;
}

PasswordCheck::Result PasswordCheck::Slow(const std::string& name, const std::string& password) {
    std::string hash;
    StoreResult r = m_storage.GetPasswordHash(name, &hash);
    if (r == StoreResult::NotFound) {
        return Result::Refused;
    }
    if (r == StoreResult::Unavailable) {
        return Result::Unavailable;
    }
    if (r != StoreResult::Ok) {
        return Result::Failed;
    }
    m_slowHashes.acquire();
    int rc = crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size());
    m_slowHashes.release();
    if (rc != 0) {
        return Result::Refused;
    }
    Digest d = MakeDigest(name, password);
    std::unique_lock<std::shared_mutex> lock(m_cacheLock);
    m_cache[name] = d;
    return Result::Ok;
}

PasswordCheck::Result PasswordCheck::Fast(const std::string& name, const std::string& password) {
    {
        std::shared_lock<std::shared_mutex> lock(m_cacheLock);
        auto it = m_cache.find(name);
        if (it != m_cache.end()) {
            Digest d = MakeDigest(name, password);
            return sodium_memcmp(d.data(), it->second.data(), d.size()) == 0 ? Result::Ok
                                                                             : Result::Refused;
        }
    }
    return Slow(name, password);
}

bool PasswordCheck::HasDigest(const std::string& name) {
    std::shared_lock<std::shared_mutex> lock(m_cacheLock);
    return m_cache.count(name) != 0;
}

bool RecentWrites::Due(const std::string& key, const std::string& value, int64_t now) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_entries.find(key);
    return it == m_entries.end() || it->second.value != value ||
           now - it->second.written >= m_refresh;
}

void RecentWrites::Mark(const std::string& key, const std::string& value, int64_t now) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (now - m_lastSweep >= m_refresh || m_entries.size() >= kMaxEntries) {
        m_lastSweep = now;
        std::erase_if(m_entries,
                      [&](const auto& e) { return now - e.second.written >= m_refresh; });
        if (m_entries.size() >= kMaxEntries) {
            m_entries.clear();  // a write too many now and then is better than memory unbounded
        }
    }
    m_entries[key] = {value, now};
}

void RecentWrites::Forget(const std::string& key) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_entries.erase(key);
}

std::string Directory::ClientAddress(const HttpRequest& request) const {
    const std::string& proxy = m_options.trustedProxy;
    if (proxy.empty() || request.peer != proxy || request.forwardedFor.empty()) {
        return request.peer;
    }
    // The balancer appends the address it saw last; entries before it are the client's word.
    std::string_view list = request.forwardedFor;
    size_t comma = list.rfind(',');
    std::string_view last = comma == std::string_view::npos ? list : list.substr(comma + 1);
    while (!last.empty() && last.front() == ' ') {
        last.remove_prefix(1);
    }
    while (!last.empty() && last.back() == ' ') {
        last.remove_suffix(1);
    }
    return last.empty() || last.size() > 45 || HasControl(last) ? request.peer : std::string(last);
}

Gate Directory::GateOf(const std::string& name, const std::string& client) const {
    Gate gate;
    if (m_options.failureLimit <= 0) {
        return gate;  // no limit: the gate is always open and counts nothing
    }
    const int64_t now = Now();
    gate.name = name;
    gate.address = client;
    gate.since = now - m_options.failureWindow;
    gate.knownSince = now - m_options.knownSeconds;
    gate.pairLimit = m_options.failureLimit;
    gate.nameLimit = m_options.nameFailureLimit;
    gate.addressLimit = m_options.addressNameLimit;
    return gate;
}

namespace {

std::string PairKey(const Gate& gate) {
    return gate.name + '\0' + gate.address;
}

}  // namespace

Directory::Access Directory::PassGate(const Gate& gate) {
    switch (m_storage.CheckGate(gate)) {
        case StoreResult::Ok:
            return Access::Ok;
        case StoreResult::Throttled:
            return Access::Throttled;
        case StoreResult::Unavailable:
            return Access::Unavailable;
        default:
            return Access::Failed;
    }
}

Directory::Access Directory::Authenticate(const std::string& name, const std::string& password,
                                          const Gate& gate, bool slow, bool gateInStorage) {
    // The gate comes first, unless the page's storage step checks it and the password costs no
    // slow hash: a closed gate never lets a request spend one.
    const bool gateFirst = !gateInStorage || slow || !m_passwords.HasDigest(name);
    if (gateFirst) {
        Access a = PassGate(gate);
        if (a != Access::Ok) {
            return a;
        }
    }
    PasswordCheck::Result r = PasswordCheck::Result::Refused;
    if (!name.empty()) {
        r = slow ? m_passwords.Slow(name, password) : m_passwords.Fast(name, password);
    }
    switch (r) {
        case PasswordCheck::Result::Ok:
            if (gateFirst) {
                NoteSuccess(gate, slow);
            }
            return Access::Ok;
        case PasswordCheck::Result::Refused:
            return Refusal(gate, gateFirst);
        case PasswordCheck::Result::Unavailable:
            return Access::Unavailable;
        case PasswordCheck::Result::Failed:
            break;
    }
    return Access::Failed;
}

Directory::Access Directory::Refusal(const Gate& gate, bool gatePassed) {
    // Behind a closed gate every password gets the same answer, the right one too: the reply
    // tells a guesser nothing, and nothing more is counted.
    if (!gatePassed && PassGate(gate) == Access::Throttled) {
        return Access::Throttled;
    }
    // Counted even when the database fails to count it: the refusal stands either way.
    m_storage.CountFailure(gate, Now());
    m_knownWrites.Forget(PairKey(gate));
    return Access::Refused;
}

void Directory::NoteSuccess(const Gate& gate, bool always) {
    if (!gate.Limited()) {
        return;
    }
    const int64_t now = Now();
    const std::string pair = PairKey(gate);
    if (!always && !m_knownWrites.Due(pair, "", now)) {
        return;
    }
    if (m_storage.RecordSuccess(gate, now) == StoreResult::Ok) {
        m_knownWrites.Mark(pair, "", now);
    }
}

std::optional<HttpReply> Directory::Admit(const Params& p, const std::string& client,
                                          std::initializer_list<const char*> keys,
                                          const Admission& how, std::string* name, Gate* gate) {
    std::string problem;
    if (!RequireOnce(p, keys, &problem)) {
        return Refuse(how.page, 400, problem);
    }
    if (how.check) {
        problem = how.check();
        if (!problem.empty()) {
            return Refuse(how.page, 400, problem);
        }
    }
    if (!NormalizeName(*p.One("User"), name)) {
        name->clear();
    }
    Gate own = GateOf(*name, client);
    switch (Authenticate(*name, *p.One("Pass"), own, how.slow, how.gateInStorage)) {
        case Access::Ok:
            break;
        case Access::Refused:
            return Refuse(how.page, 403, how.refusal);
        case Access::Throttled:
            return StorageTrouble(how.page, StoreResult::Throttled, "");
        case Access::Unavailable:
            return StorageTrouble(how.page, StoreResult::Unavailable, "");
        case Access::Failed:
            return Refuse(how.page, 500, "the directory cannot be read");
    }
    if (gate != nullptr) {
        *gate = std::move(own);
    }
    return std::nullopt;
}
