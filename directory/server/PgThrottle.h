#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "directory/server/PgPool.h"
#include "directory/server/Storage.h"

// The throttle of password guesses on PostgreSQL (see Gate): the failures of each pair of user
// name and client address in the UNLOGGED table failed_logins, the pairs that logged in in
// known_logins, so that every process on the database sees the same counts.

// The gates of a batch of requests, each numbered by its place in the batch ("slot"), are the
// first eight parameters of a statement: $1 names, $2 addresses, $3 slots, $4 since, $5 known
// since (arrays with one element for each gate that has limits), then $6 the pair limit, $7 the
// name limit and $8 the address limit (0: none). Such a statement begins with the WITH item
// "closed", which gives the slots whose gate is closed; the known logins are looked at only when
// a name or address limit is reached. The statement "WITH closed AS (...)" followed by `rest`:
// more WITH items after a comma, or the statement's body.
std::string WithClosedSlots(std::string_view rest);

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
