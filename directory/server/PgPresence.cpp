#include "directory/server/PgPresence.h"

#include <algorithm>
#include <set>

#include "directory/server/PgThrottle.h"

namespace {

const std::vector<PgStatement> kStatements = {
    // Heartbeats: the gates ($1 to $8, see PgThrottle.h), then ($9 names, $10 addresses,
    // $11 times, $12 slots). A name twice in one batch is written once, with its last report;
    // rows are written in name order, so that batches of two processes meeting on the same names
    // cannot deadlock. Gives the closed slots.
    {"set_online_batch", WithClosedSlots(R"sql(,
given AS (
    SELECT DISTINCT ON (name) name, address, seen
    FROM unnest($9::text[], $10::text[], $11::bigint[], $12::int[])
        AS i(name, address, seen, slot)
    WHERE slot NOT IN (SELECT slot FROM closed)
    ORDER BY name, slot DESC),
up AS (
    INSERT INTO presence(name, address, seen)
    SELECT name, address, seen FROM given ORDER BY name
    ON CONFLICT (name) DO UPDATE SET address = EXCLUDED.address, seen = EXCLUDED.seen)
SELECT slot FROM closed
)sql")},
    // Online lists: the gates, then ($9 every name asked about, $10 the earliest since). Gives
    // the presence rows (slot null) and the closed slots (name null).
    {"get_online_batch", WithClosedSlots(R"sql(
SELECT name, address, seen, NULL::int AS slot FROM presence
WHERE name = ANY($9::text[]) AND seen >= $10
UNION ALL SELECT NULL, NULL, NULL, slot FROM closed
)sql")},
};

// The gates of a batch, in its order.
std::vector<std::string> GateParams(const std::vector<PgPresence::Request*>& batch) {
    std::vector<const Gate*> gates;
    for (const PgPresence::Request* q : batch) {
        gates.push_back(q->gate);
    }
    std::vector<std::string> params;
    AppendGateParams(gates, &params);
    return params;
}

// The same result for every request of a batch.
void Finish(std::vector<PgPresence::Request*>& batch, StoreResult r) {
    for (PgPresence::Request* q : batch) {
        q->result = r;
    }
}

}  // namespace

const std::vector<PgStatement>& PgPresence::Statements() {
    return kStatements;
}

void PgPresence::Combiner::Submit(Request* request, const Run& run) {
    std::unique_lock<std::mutex> lock(m_lock);
    using Stage = Request::Stage;
    m_queue.push_back(request);
    while (request->stage != Stage::Answered) {
        const bool queued = request->stage == Stage::Queued || request->stage == Stage::Called;
        // Still queued with a place free at the database: take the queue there.
        if (queued && m_running < kRunners) {
            RunBatch(lock, run);
            continue;
        }
        if (request->stage == Stage::Called) {
            request->stage = Stage::Queued;  // another thread took the place first
        }
        request->wake.wait(lock, [request] {
            return request->stage == Stage::Answered || request->stage == Stage::Called;
        });
    }
}

void PgPresence::Combiner::RunBatch(std::unique_lock<std::mutex>& lock, const Run& run) {
    const size_t n = std::min(m_queue.size(), kMaxBatch);
    std::vector<Request*> batch(m_queue.begin(), m_queue.begin() + static_cast<long>(n));
    m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<long>(n));
    for (Request* q : batch) {
        q->stage = Request::Stage::AtDatabase;
    }
    ++m_running;
    lock.unlock();
    run(batch);
    lock.lock();
    --m_running;
    for (Request* q : batch) {
        q->stage = Request::Stage::Answered;
        q->wake.notify_one();
    }
    // What queued meanwhile goes next, taken there by the thread of its first request that
    // has not been called yet.
    for (Request* q : m_queue) {
        if (q->stage == Request::Stage::Queued) {
            q->stage = Request::Stage::Called;
            q->wake.notify_one();
            break;
        }
    }
}

StoreResult PgPresence::SetOnline(const std::string& name, const std::string& address, int64_t now,
                                  const Gate& gate) {
    Request r;
    r.name = name;
    r.address = address;
    r.now = now;
    r.gate = &gate;
    m_heartbeats.Submit(&r, [this](std::vector<Request*>& batch) { RunHeartbeats(batch); });
    return r.result;
}

StoreResult PgPresence::GetOnline(const std::vector<std::string>& names, int64_t since,
                                  const Gate& gate, std::vector<std::string>* addresses) {
    Request r;
    r.names = names;
    r.since = since;
    r.gate = &gate;
    m_lists.Submit(&r, [this](std::vector<Request*>& batch) { RunLists(batch); });
    *addresses = std::move(r.addresses);
    return r.result;
}

void PgPresence::RunHeartbeats(std::vector<Request*>& batch) {
    std::vector<std::string> names;
    std::vector<std::string> addresses;
    std::string times = "{";
    std::string slots = "{";
    for (size_t i = 0; i < batch.size(); ++i) {
        names.push_back(batch[i]->name);
        addresses.push_back(batch[i]->address);
        times += (i == 0 ? "" : ",") + std::to_string(batch[i]->now);
        slots += (i == 0 ? "" : ",") + std::to_string(i);
    }
    std::vector<std::string> params = GateParams(batch);
    params.insert(params.end(), {TextArray(names), TextArray(addresses), times + "}", slots + "}"});
    PgPool::Lease c = m_pool.Acquire();
    PgResult rows;
    StoreResult r = c ? c->Run("set_online_batch", params, &rows) : StoreResult::Unavailable;
    Finish(batch, r);
    for (int i = 0; r == StoreResult::Ok && i < rows.Rows(); ++i) {
        batch[static_cast<size_t>(rows.Int(i, 0))]->result = StoreResult::Throttled;
    }
}

void PgPresence::RunLists(std::vector<Request*>& batch) {
    std::set<std::string> asked;
    int64_t earliest = batch.front()->since;
    for (const Request* q : batch) {
        asked.insert(q->names.begin(), q->names.end());
        earliest = std::min(earliest, q->since);
    }
    std::vector<std::string> params = GateParams(batch);
    params.insert(params.end(),
                  {TextArray({asked.begin(), asked.end()}), std::to_string(earliest)});
    PgPool::Lease c = m_pool.Acquire();
    PgResult rows;
    StoreResult r = c ? c->Run("get_online_batch", params, &rows) : StoreResult::Unavailable;
    Finish(batch, r);
    if (r != StoreResult::Ok) {
        return;
    }
    for (Request* q : batch) {
        q->addresses.assign(q->names.size(), std::string());
    }
    for (int i = 0; i < rows.Rows(); ++i) {
        if (!rows.IsNull(i, 3)) {
            Request* q = batch[static_cast<size_t>(rows.Int(i, 3))];
            q->result = StoreResult::Throttled;
            q->addresses.clear();
            continue;
        }
        std::string name = rows.Text(i, 0);
        int64_t seen = rows.Int(i, 2);
        for (Request* q : batch) {
            for (size_t k = 0; k < q->names.size() && q->result == StoreResult::Ok; ++k) {
                if (q->names[k] == name && seen >= q->since) {
                    q->addresses[k] = rows.Text(i, 1);
                }
            }
        }
    }
}
