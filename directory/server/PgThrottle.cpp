#include "directory/server/PgThrottle.h"

namespace {

// How often known logins whose last success is too old are removed by one process, at most.
constexpr int64_t kKnownPurgeSeconds = 3600;

// The WITH item of WithClosedSlots.
constexpr const char* kClosedSlots = R"sql(
closed AS (
    SELECT g.slot
    FROM unnest($1::text[], $2::text[], $3::int[], $4::bigint[], $5::bigint[])
        AS g(name, address, slot, since, known)
    WHERE EXISTS (
              SELECT 1 FROM failed_logins f
              WHERE f.name = g.name AND f.address = g.address
                AND f.window_start > g.since AND f.failures >= $6::int)
       OR (($7::int > 0
            AND (SELECT coalesce(sum(f.failures), 0) FROM failed_logins f
                 WHERE f.name = g.name AND f.window_start > g.since) >= $7::int
            OR $8::int > 0
            AND (SELECT count(*) FROM failed_logins f
                 WHERE f.address = g.address AND f.window_start > g.since) >= $8::int)
           AND NOT EXISTS (
               SELECT 1 FROM known_logins k
               WHERE k.name = g.name AND k.address = g.address AND k.last_success >= g.known)))
)sql";

const std::vector<PgStatement> kStatements = {
    {"check_gate", WithClosedSlots(R"sql(
SELECT count(*) FROM closed
)sql")},
    // ($1 name, $2 address, $3 now, $4 since): a pair whose window began at or before since
    // starts a new one.
    {"count_failure", R"sql(
INSERT INTO failed_logins(name, address, window_start, failures) VALUES($1, $2, $3, 1)
ON CONFLICT (name, address) DO UPDATE SET
    failures = CASE WHEN failed_logins.window_start <= $4 THEN 1
                    ELSE failed_logins.failures + 1 END,
    window_start = CASE WHEN failed_logins.window_start <= $4 THEN $3
                        ELSE failed_logins.window_start END
)sql"},
    // ($1 name, $2 address, $3 now)
    {"record_success", R"sql(
WITH cleared AS (DELETE FROM failed_logins WHERE name = $1 AND address = $2)
INSERT INTO known_logins(name, address, last_success) VALUES($1, $2, $3)
ON CONFLICT (name, address) DO UPDATE SET
    last_success = GREATEST(known_logins.last_success, EXCLUDED.last_success)
)sql"},
    {"purge_failures", R"sql(DELETE FROM failed_logins WHERE window_start <= $1)sql"},
    {"purge_known", R"sql(DELETE FROM known_logins WHERE last_success < $1)sql"},
};

// An array literal of numbers.
template <typename Number>
std::string NumberArray(const std::vector<Number>& items) {
    std::string text = "{";
    for (size_t i = 0; i < items.size(); ++i) {
        text += (i == 0 ? "" : ",") + std::to_string(items[i]);
    }
    return text + "}";
}

}  // namespace

std::string WithClosedSlots(std::string_view rest) {
    return std::string("WITH") + kClosedSlots + std::string(rest);
}

void AppendGateParams(const std::vector<const Gate*>& gates, std::vector<std::string>* params) {
    std::vector<std::string> names;
    std::vector<std::string> addresses;
    std::vector<size_t> slots;
    std::vector<int64_t> since;
    std::vector<int64_t> known;
    Gate limits;  // the service gives every gate the same limits
    for (size_t i = 0; i < gates.size(); ++i) {
        const Gate& g = *gates[i];
        if (!g.Limited()) {
            continue;
        }
        names.push_back(g.name);
        addresses.push_back(g.address);
        slots.push_back(i);
        since.push_back(g.since);
        known.push_back(g.knownSince);
        limits = g;
    }
    params->insert(params->end(),
                   {TextArray(names), TextArray(addresses), NumberArray(slots), NumberArray(since),
                    NumberArray(known), std::to_string(limits.pairLimit),
                    std::to_string(limits.nameLimit), std::to_string(limits.addressLimit)});
}

const std::vector<PgStatement>& PgThrottle::Statements() {
    return kStatements;
}

StoreResult PgThrottle::Run(const char* statement, const std::vector<std::string>& params) {
    PgPool::Lease c = m_pool.Acquire();
    if (!c) {
        return StoreResult::Unavailable;
    }
    PgResult r;
    return c->Run(statement, params, &r);
}

StoreResult PgThrottle::CheckGate(const Gate& gate) {
    if (!gate.Limited()) {
        return StoreResult::Ok;
    }
    std::vector<std::string> params;
    AppendGateParams({&gate}, &params);
    PgPool::Lease c = m_pool.Acquire();
    if (!c) {
        return StoreResult::Unavailable;
    }
    PgResult r;
    StoreResult s = c->Run("check_gate", params, &r);
    if (s != StoreResult::Ok) {
        return s;
    }
    return r.Rows() == 1 && r.Int(0, 0) > 0 ? StoreResult::Throttled : StoreResult::Ok;
}

StoreResult PgThrottle::CountFailure(const Gate& gate, int64_t now) {
    if (!gate.Limited()) {
        return StoreResult::Ok;
    }
    StoreResult s = Run("count_failure",
                        {gate.name, gate.address, std::to_string(now), std::to_string(gate.since)});
    // Counts whose window has passed are removed now and then by whichever process is first.
    if (s == StoreResult::Ok) {
        Purge(m_lastFailurePurge, now - gate.since, now, "purge_failures", gate.since);
    }
    return s;
}

StoreResult PgThrottle::RecordSuccess(const Gate& gate, int64_t now) {
    if (!gate.Limited()) {
        return StoreResult::Ok;
    }
    StoreResult s = Run("record_success", {gate.name, gate.address, std::to_string(now)});
    if (s == StoreResult::Ok) {
        Purge(m_lastKnownPurge, kKnownPurgeSeconds, now, "purge_known", gate.knownSince);
    }
    return s;
}

void PgThrottle::Purge(std::atomic<int64_t>& last, int64_t period, int64_t now,
                       const char* statement, int64_t before) {
    int64_t seen = last.load();
    if (now - seen >= period && last.compare_exchange_strong(seen, now)) {
        Run(statement, {std::to_string(before)});
    }
}
