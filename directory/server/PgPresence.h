#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "directory/server/PgPool.h"
#include "directory/server/Storage.h"

// Heartbeats and online-list requests on PostgreSQL, the hot path of the directory. Requests
// that arrive while others of their kind are at the database wait for them and then go together
// in one statement: under load, one round trip serves many requests; alone, a request goes at
// once. Each request keeps its own gate.
class PgPresence {
  public:
    explicit PgPresence(PgPool& pool) : m_pool(pool) {}

    StoreResult SetOnline(const std::string& name, const std::string& address, int64_t now,
                          const Gate& gate);
    StoreResult GetOnline(const std::vector<std::string>& names, int64_t since, const Gate& gate,
                          std::vector<std::string>* addresses);

    // The statements this part prepares on every connection.
    static const std::vector<PgStatement>& Statements();

    struct Request {
        // A heartbeat: name, address and now; a list request: names and since.
        std::string name;
        std::string address;
        int64_t now = 0;
        std::vector<std::string> names;
        int64_t since = 0;
        const Gate* gate = nullptr;
        std::vector<std::string> addresses;  // a list request's answer
        StoreResult result = StoreResult::Error;
        // Where the request stands, guarded by the combiner's lock:
        //   Queued -> Called (a place at the database freed up; its thread is to take the
        //             queue there) -> Queued again when another thread took the place first
        //   Queued or Called -> AtDatabase (in a batch) -> Answered.
        // Its thread waits on wake and is woken only on Called and Answered.
        enum class Stage { Queued, Called, AtDatabase, Answered };
        Stage stage = Stage::Queued;
        std::condition_variable wake;
    };

    // Runs requests of one kind in batches; at most kRunners batches at the database at once.
    // A thread sleeps once per request: a batch's runner wakes the threads of its requests
    // when their answers are in, and the thread of the first request still waiting when a
    // runner's place frees up, which then takes the queue to the database.
    class Combiner {
      public:
        using Run = std::function<void(std::vector<Request*>&)>;
        void Submit(Request* request, const Run& run);

      private:
        // Takes up to kMaxBatch requests off the queue and runs them; called and returns with
        // the lock held.
        void RunBatch(std::unique_lock<std::mutex>& lock, const Run& run);

        // One batch of a kind at the database at a time: requests that come meanwhile gather
        // for the next. With two, batches held 1.8 requests instead of 2.8 under the load
        // benchmark and the service answered a fifth fewer requests a second.
        static constexpr int kRunners = 1;
        static constexpr size_t kMaxBatch = 64;
        std::mutex m_lock;
        std::deque<Request*> m_queue;
        int m_running = 0;
    };

  private:
    void RunHeartbeats(std::vector<Request*>& batch);
    void RunLists(std::vector<Request*>& batch);

    PgPool& m_pool;
    Combiner m_heartbeats;
    Combiner m_lists;
};
