#include "directory/server/PgRendezvous.h"

#include <libpq-fe.h>
#include <poll.h>

#include <chrono>
#include <cstdlib>

#include "directory/server/Database.h"

namespace {

constexpr int kWaitMs = 500;            // the listener looks for notices at least this often
constexpr int64_t kNoticeSeconds = 10;  // a notice not sent by then is dropped
constexpr int64_t kPurgeSeconds = 60;

const char* const kTables = R"sql(
CREATE UNLOGGED TABLE IF NOT EXISTS rendezvous(
    name text PRIMARY KEY,
    key text NOT NULL,
    seen bigint NOT NULL,
    caps text NOT NULL,
    local text NOT NULL,
    mapped text NOT NULL,
    source text NOT NULL,
    registered bigint NOT NULL,
    holder text NOT NULL,
    sequence numeric(20) NOT NULL DEFAULT 0
);
CREATE UNLOGGED TABLE IF NOT EXISTS call_tokens(
    token text PRIMARY KEY,
    caller text NOT NULL,
    callee text NOT NULL,
    expires bigint NOT NULL,
    relay text NOT NULL
);
CREATE INDEX IF NOT EXISTS call_tokens_by_caller ON call_tokens(caller, expires);
CREATE UNLOGGED TABLE IF NOT EXISTS call_notices(
    id bigserial PRIMARY KEY,
    holder text NOT NULL,
    callee text NOT NULL,
    token text NOT NULL,
    caller text NOT NULL,
    candidates text NOT NULL,
    made bigint NOT NULL
);
CREATE INDEX IF NOT EXISTS call_notices_by_holder ON call_notices(holder);
)sql";

// Keys and tokens are kept as hexadecimal text, addresses as "a.b.c.d:port" ('' for none).
const std::vector<PgStatement> kStatements = {
    // A presence that lapsed (seen before $7) starts again: new key, no registration.
    {"rv_announce", R"sql(
INSERT INTO rendezvous(name, key, seen, caps, local, mapped, source, registered, holder)
VALUES($1, $2, $3, $4, $5, $6, '', 0, '')
ON CONFLICT (name) DO UPDATE SET
    key = CASE WHEN rendezvous.seen < $7 THEN EXCLUDED.key ELSE rendezvous.key END,
    source = CASE WHEN rendezvous.seen < $7 THEN '' ELSE rendezvous.source END,
    registered = CASE WHEN rendezvous.seen < $7 THEN 0 ELSE rendezvous.registered END,
    holder = CASE WHEN rendezvous.seen < $7 THEN '' ELSE rendezvous.holder END,
    seen = EXCLUDED.seen, caps = EXCLUDED.caps, local = EXCLUDED.local,
    mapped = EXCLUDED.mapped
RETURNING key
)sql"},
    {"rv_forget", R"sql(DELETE FROM rendezvous WHERE name = $1)sql"},
    {"rv_find", R"sql(
SELECT key, seen, caps, local, mapped, source, registered, holder, sequence::text
FROM rendezvous WHERE name = $1 AND seen >= $2
)sql"},
    {"rv_register", R"sql(
UPDATE rendezvous SET source = $2, registered = $3, holder = $4, sequence = $5::numeric
WHERE name = $1
)sql"},
    {"rv_registered", R"sql(
SELECT name FROM rendezvous
WHERE name = ANY($1::text[]) AND registered >= $2 AND source <> ''
)sql"},
    {"rv_add_token", R"sql(
INSERT INTO call_tokens(token, caller, callee, expires, relay)
SELECT $1::text, $2::text, $3::text, $4::bigint, ''
WHERE (SELECT count(*) FROM call_tokens WHERE caller = $2 AND expires > $5) < $6
RETURNING 1
)sql"},
    {"rv_offer_relay", R"sql(
WITH old AS (
    SELECT token, relay FROM call_tokens
    WHERE token = $1 AND caller = $2 AND expires > $3
    FOR UPDATE)
UPDATE call_tokens t SET relay = CASE WHEN old.relay = '' THEN $4 ELSE old.relay END
FROM old WHERE t.token = old.token
RETURNING t.callee, t.expires, old.relay
)sql"},
    // The notice goes to the process that holds the callee's registration, woken by NOTIFY.
    {"rv_post_notice", R"sql(
WITH n AS (
    INSERT INTO call_notices(holder, callee, token, caller, candidates, made)
    SELECT holder, name, $2::text, $3::text, $4::text, $5::bigint FROM rendezvous
    WHERE name = $1 AND holder <> ''
    RETURNING holder)
SELECT pg_notify('zorvo_rv_' || holder, '') FROM n
)sql"},
    {"rv_purge_tokens", R"sql(DELETE FROM call_tokens WHERE expires <= $1)sql"},
};

// The listener's statement: this process's notices, taken out of the table.
constexpr const char* kTakeNotices = R"sql(
DELETE FROM call_notices WHERE holder = $1
RETURNING callee, token, caller, candidates, made
)sql";

std::string Optional(const std::optional<sockaddr_in>& a) {
    return a ? EndpointText(*a) : "";
}

std::optional<sockaddr_in> Endpoint(const std::string& text) {
    sockaddr_in a{};
    return ParseEndpoint(text, &a) ? std::optional<sockaddr_in>(a) : std::nullopt;
}

// Candidates as "kind:a.b.c.d:port" separated by blanks, kind the number of the wire format.
std::string CandidateText(const std::vector<stun::Candidate>& candidates) {
    std::string text;
    for (const stun::Candidate& c : candidates) {
        text += (text.empty() ? "" : " ") + std::to_string(static_cast<int>(c.kind)) + ":" +
                EndpointText(c.address);
    }
    return text;
}

std::vector<stun::Candidate> CandidatesFrom(const std::string& text) {
    std::vector<stun::Candidate> out;
    for (const std::string& word : SplitStoredBuddies(text)) {
        stun::Candidate c;
        int kind = word.size() > 2 && word[1] == ':' ? word[0] - '0' : 0;
        if (kind >= 1 && kind <= 4 && ParseEndpoint(word.substr(2), &c.address)) {
            c.kind = static_cast<stun::CandidateKind>(kind);
            out.push_back(c);
        }
    }
    return out;
}

bool Exec(PGconn* conn, const char* sql, std::string* problem) {
    PGresult* r = PQexec(conn, sql);
    ExecStatusType s = PQresultStatus(r);
    bool ok = s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
    if (!ok) {
        *problem = OneLine(PQresultErrorMessage(r));
    }
    PQclear(r);
    return ok;
}

int64_t WallSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::unique_ptr<PgRendezvousRegistry> PgRendezvousRegistry::Open(const std::string& uri,
                                                                 int connections,
                                                                 std::string* error) {
    std::unique_ptr<PgRendezvousRegistry> r(new PgRendezvousRegistry());
    r->m_uri = uri;
    r->m_holder = stun::ToHex(RandomBytes(8));
    r->m_listener = PgPool::Connect(uri, error);
    if (r->m_listener == nullptr) {
        return nullptr;
    }
    std::string problem;
    const std::string listen = "LISTEN zorvo_rv_" + r->m_holder;
    if (!Exec(r->m_listener, "BEGIN", &problem) || !Exec(r->m_listener, kPgSchemaLock, &problem) ||
        !Exec(r->m_listener, kTables, &problem) || !Exec(r->m_listener, "COMMIT", &problem) ||
        !Exec(r->m_listener, listen.c_str(), &problem)) {
        *error = ShownDatabase(uri) + ": " + problem;
        return nullptr;
    }
    r->m_pool = PgPool::Open(uri, connections, kStatements, error);
    if (!r->m_pool) {
        return nullptr;
    }
    r->m_thread = std::thread([p = r.get()] { p->Listen(); });
    return r;
}

PgRendezvousRegistry::~PgRendezvousRegistry() {
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
    PQfinish(m_listener);
}

StoreResult PgRendezvousRegistry::Run(const char* statement, const std::vector<std::string>& params,
                                      PgResult* out) {
    PgPool::Lease c = m_pool->Acquire();
    if (!c) {
        return StoreResult::Unavailable;
    }
    return c->Run(statement, params, out);
}

StoreResult PgRendezvousRegistry::Announce(const std::string& name, const Announcement& a,
                                           int64_t now, int64_t keepSince, std::string* key) {
    PgResult r;
    StoreResult s = Run("rv_announce",
                        {name, stun::ToHex(RandomBytes(kRendezvousKeyBytes)), std::to_string(now),
                         a.caps, Optional(a.local), Optional(a.mapped), std::to_string(keepSince)},
                        &r);
    if (s != StoreResult::Ok) {
        return s;
    }
    std::optional<std::string> bytes = r.Rows() == 1 ? stun::FromHex(r.Text(0, 0)) : std::nullopt;
    if (!bytes) {
        return StoreResult::Error;
    }
    *key = *bytes;
    return StoreResult::Ok;
}

StoreResult PgRendezvousRegistry::Forget(const std::string& name) {
    PgResult r;
    return Run("rv_forget", {name}, &r);
}

StoreResult PgRendezvousRegistry::Find(const std::string& name, int64_t since,
                                       RendezvousPeer* out) {
    PgResult r;
    StoreResult s = Run("rv_find", {name, std::to_string(since)}, &r);
    if (s != StoreResult::Ok || r.Rows() == 0) {
        return s != StoreResult::Ok ? s : StoreResult::NotFound;
    }
    RendezvousPeer p;
    p.key = stun::FromHex(r.Text(0, 0)).value_or("");
    p.seen = r.Int(0, 1);
    p.caps = r.Text(0, 2);
    p.local = Endpoint(r.Text(0, 3));
    p.mapped = Endpoint(r.Text(0, 4));
    p.source = Endpoint(r.Text(0, 5));
    p.registered = r.Int(0, 6);
    p.holder = r.Text(0, 7);
    p.sequence = std::strtoull(r.Text(0, 8).c_str(), nullptr, 10);
    *out = std::move(p);
    return StoreResult::Ok;
}

StoreResult PgRendezvousRegistry::Register(const std::string& name, const sockaddr_in& source,
                                           int64_t now, uint64_t sequence) {
    PgResult r;
    StoreResult s = Run(
        "rv_register",
        {name, EndpointText(source), std::to_string(now), m_holder, std::to_string(sequence)}, &r);
    if (s != StoreResult::Ok) {
        return s;
    }
    return r.Changed() == 1 ? StoreResult::Ok : StoreResult::NotFound;
}

StoreResult PgRendezvousRegistry::Registered(const std::vector<std::string>& names, int64_t since,
                                             std::vector<bool>* out) {
    PgResult r;
    StoreResult s = Run("rv_registered", {TextArray(names), std::to_string(since)}, &r);
    if (s != StoreResult::Ok) {
        return s;
    }
    out->assign(names.size(), false);
    for (int row = 0; row < r.Rows(); ++row) {
        const std::string name = r.Text(row, 0);
        for (size_t i = 0; i < names.size(); ++i) {
            (*out)[i] = (*out)[i] || names[i] == name;
        }
    }
    return StoreResult::Ok;
}

StoreResult PgRendezvousRegistry::AddToken(const CallToken& token, int64_t now) {
    PgResult r;
    if (now - m_lastPurge.exchange(now) >= kPurgeSeconds) {
        Run("rv_purge_tokens", {std::to_string(now)}, &r);
    }
    StoreResult s =
        Run("rv_add_token",
            {stun::ToHex(token.token), token.caller, token.callee, std::to_string(token.expires),
             std::to_string(now), std::to_string(kTokensPerCaller)},
            &r);
    if (s != StoreResult::Ok) {
        return s;
    }
    return r.Rows() == 1 ? StoreResult::Ok : StoreResult::Throttled;
}

StoreResult PgRendezvousRegistry::OfferRelay(const std::string& token, const std::string& caller,
                                             const stun::Candidate& relay, int64_t now,
                                             CallToken* out, bool* fresh) {
    PgResult r;
    const std::string offered = CandidateText({relay});
    StoreResult s =
        Run("rv_offer_relay", {stun::ToHex(token), caller, std::to_string(now), offered}, &r);
    if (s != StoreResult::Ok || r.Rows() == 0) {
        return s != StoreResult::Ok ? s : StoreResult::NotFound;
    }
    const std::string before = r.Text(0, 2);
    if (!before.empty() && before != offered) {
        return StoreResult::Exists;
    }
    *fresh = before.empty();
    *out = CallToken{token, caller, r.Text(0, 0), r.Int(0, 1), relay};
    return StoreResult::Ok;
}

StoreResult PgRendezvousRegistry::PostNotice(const CallNoticeOrder& order) {
    PgResult r;
    StoreResult s = Run("rv_post_notice",
                        {order.callee, stun::ToHex(order.token), order.caller,
                         CandidateText(order.candidates), std::to_string(WallSeconds())},
                        &r);
    if (s != StoreResult::Ok) {
        return s;
    }
    return r.Rows() == 1 ? StoreResult::Ok : StoreResult::NotFound;
}

void PgRendezvousRegistry::SetNoticeSink(NoticeSink sink) {
    std::lock_guard<std::mutex> lock(m_sinkLock);
    m_sink = std::move(sink);
}

void PgRendezvousRegistry::Listen() {
    auto lastTry = std::chrono::steady_clock::now();
    while (!m_stop) {
        if (PQstatus(m_listener) != CONNECTION_OK) {
            // The database went away: try again once a second, and listen again once back.
            std::this_thread::sleep_for(std::chrono::milliseconds(kWaitMs));
            if (std::chrono::steady_clock::now() - lastTry >= std::chrono::seconds(1)) {
                lastTry = std::chrono::steady_clock::now();
                PQreset(m_listener);
                std::string ignored;
                const std::string listen = "LISTEN zorvo_rv_" + m_holder;
                Exec(m_listener, listen.c_str(), &ignored);
            }
            continue;
        }
        pollfd p{PQsocket(m_listener), POLLIN, 0};
        poll(&p, 1, kWaitMs);
        PQconsumeInput(m_listener);
        while (PGnotify* n = PQnotifies(m_listener)) {
            PQfreemem(n);
        }
        TakeNotices();
    }
}

bool PgRendezvousRegistry::TakeNotices() {
    const char* params[] = {m_holder.c_str()};
    PGresult* r = PQexecParams(m_listener, kTakeNotices, 1, nullptr, params, nullptr, nullptr, 0);
    bool ok = PQresultStatus(r) == PGRES_TUPLES_OK;
    const int rows = ok ? PQntuples(r) : 0;
    const int64_t oldest = WallSeconds() - kNoticeSeconds;
    std::vector<CallNoticeOrder> orders;
    for (int row = 0; row < rows; ++row) {
        if (std::atoll(PQgetvalue(r, row, 4)) < oldest) {
            continue;
        }
        CallNoticeOrder o;
        o.callee = PQgetvalue(r, row, 0);
        o.token = stun::FromHex(PQgetvalue(r, row, 1)).value_or("");
        o.caller = PQgetvalue(r, row, 2);
        o.candidates = CandidatesFrom(PQgetvalue(r, row, 3));
        orders.push_back(std::move(o));
    }
    PQclear(r);
    std::lock_guard<std::mutex> lock(m_sinkLock);
    for (const CallNoticeOrder& o : orders) {
        if (m_sink && o.token.size() == kTokenBytes) {
            m_sink(o);
        }
    }
    return ok;
}
