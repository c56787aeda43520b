#pragma once

#include <condition_variable>
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
        bool done = false;
    };

    // Runs requests of one kind in batches; at most kRunners batches at the database at once.
    class Combiner {
      public:
        using Run = std::function<void(std::vector<Request*>&)>;
        void Submit(Request* request, const Run& run);

      private:
        static constexpr int kRunners = 2;
        static constexpr size_t kMaxBatch = 64;
        std::mutex m_lock;
        std::condition_variable m_finished;
        std::vector<Request*> m_queue;
        int m_running = 0;
    };

  private:
    void RunHeartbeats(std::vector<Request*>& batch);
    void RunLists(std::vector<Request*>& batch);

    PgPool& m_pool;
    Combiner m_heartbeats;
    Combiner m_lists;
};
