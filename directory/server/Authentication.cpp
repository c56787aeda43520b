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

std::optional<HttpReply> Directory::Admit(const Params& p, std::initializer_list<const char*> keys,
                                          const Admission& how, std::string* name) {
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
    const std::string& password = *p.One("Pass");
    PasswordCheck::Result r = PasswordCheck::Result::Refused;
    if (NormalizeName(*p.One("User"), name)) {
        r = how.slow ? m_passwords.Slow(*name, password) : m_passwords.Fast(*name, password);
    }
    if (r == PasswordCheck::Result::Failed) {
        return Refuse(how.page, 500, "the directory cannot be read");
    }
    if (r == PasswordCheck::Result::Refused) {
        return Refuse(how.page, 403, how.refusal);
    }
    return std::nullopt;
}
