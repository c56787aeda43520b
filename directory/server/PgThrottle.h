#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "directory/server/PgPool.h"
#include "directory/server/Storage.h"

// The throttle of password guesses on PostgreSQL (see Gate): the failures of each pair of user
// name and client address in the UNLOGGED table failed_logins, the pairs that logged in in
// known_logins, so that every process on the database sees the same counts.

// The gates of a batch of requests, each numbered by its place in the batch ("slot"), are the
// first eight parameters of a statement: $1 names, $2 addresses, $3 slots, $4 since, $5 known
// since (arrays with one element for each gate that has limits), then $6 the pair limit, $7 the
// name limit and $8 the address limit (0: none). This WITH item, "closed", gives the slots whose
// gate is closed. The known logins are looked at only when a name or address limit is reached.
#define ZORVO_PG_CLOSED_SLOTS                                                                \
    "closed AS (SELECT g.slot FROM unnest($1::text[], $2::text[], $3::int[], $4::bigint[], " \
    "$5::bigint[]) AS g(name, address, slot, since, known) WHERE "                           \
    "EXISTS (SELECT 1 FROM failed_logins f WHERE f.name = g.name AND f.address = g.address " \
    "AND f.window_start > g.since AND f.failures >= $6::int) "                               \
    "OR (($7::int > 0 AND (SELECT coalesce(sum(f.failures), 0) FROM failed_logins f "        \
    "WHERE f.name = g.name AND f.window_start > g.since) >= $7::int "                        \
    "OR $8::int > 0 AND (SELECT count(*) FROM failed_logins f "                              \
    "WHERE f.address = g.address AND f.window_start > g.since) >= $8::int) "                 \
    "AND NOT EXISTS (SELECT 1 FROM known_logins k WHERE k.name = g.name "                    \
    "AND k.address = g.address AND k.last_success >= g.known)))"

// The eight gate parameters of a batch, appended to *params.
void AppendGateParams(const std::vector<const Gate*>& gates, std::vector<std::string>* params);

class PgThrottle {
  public:
    explicit PgThrottle(PgPool& pool) : m_pool(pool) {}

    StoreResult CheckGate(const Gate& gate);
    StoreResult CountFailure(const Gate& gate, int64_t now);
    StoreResult RecordSuccess(const Gate& gate, int64_t now);

    // The statements this part prepares on every connection.
    static const std::vector<PgStatement>& Statements();

  private:
    StoreResult Run(const char* statement, const std::vector<std::string>& params);
    // Runs a purge when its last run by this process is period seconds old or more.
    void Purge(std::atomic<int64_t>& last, int64_t period, int64_t now, const char* statement,
               int64_t before);

    PgPool& m_pool;
    std::atomic<int64_t> m_lastFailurePurge{0};
    std::atomic<int64_t> m_lastKnownPurge{0};
};
