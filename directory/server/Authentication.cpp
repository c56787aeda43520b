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
        return gate;  // no limit: the gate has no keys and is always open
    }
    if (!name.empty()) {
        gate.keys.push_back("user " + name);
    }
    if (!client.empty()) {
        gate.keys.push_back("addr " + client);
    }
    gate.since = Now() - m_options.failureWindow;
    gate.limit = m_options.failureLimit;
    return gate;
}

Directory::Access Directory::Authenticate(const std::string& name, const std::string& password,
                                          const Gate& gate, bool slow, bool gateChecked) {
    if (!gateChecked) {
        StoreResult g = m_storage.CheckGate(gate);
        if (g == StoreResult::Throttled) {
            return Access::Throttled;
        }
        if (g != StoreResult::Ok) {
            return g == StoreResult::Unavailable ? Access::Unavailable : Access::Failed;
        }
    }
    PasswordCheck::Result r = PasswordCheck::Result::Refused;
    if (!name.empty()) {
        r = slow ? m_passwords.Slow(name, password) : m_passwords.Fast(name, password);
    }
    switch (r) {
        case PasswordCheck::Result::Ok:
            return Access::Ok;
        case PasswordCheck::Result::Refused:
            // Counted even when the database fails to count it: the refusal stands either way.
            m_storage.CountFailure(gate.keys, Now(), m_options.failureWindow);
            return Access::Refused;
        case PasswordCheck::Result::Unavailable:
            return Access::Unavailable;
        case PasswordCheck::Result::Failed:
            break;
    }
    return Access::Failed;
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
