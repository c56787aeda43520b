#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "directory/server/PgPool.h"
#include "directory/server/RendezvousRegistry.h"

// The rendezvous registry on the PostgreSQL database that several service processes share, in
// UNLOGGED tables beside presence: `rendezvous` (a row per user with the extension: key, reported
// addresses, registration address and time, and the process that holds the registration),
// `call_tokens` and `call_notices`. A call notice is sent by the process that holds the callee's
// registration, since the callee's router lets in only datagrams from the address its keep-alives
// went to: the process that takes the call page (or the relay offer) puts the notice in
// `call_notices` for that process and wakes it with NOTIFY; each process LISTENs on a channel of
// its own and also looks for its notices every half second, in case a wake-up was lost.
class PgRendezvousRegistry : public RendezvousRegistry {
  public:
    // Connects (connections: the pool's size, plus one that listens), creates the tables and
    // prepares the statements; on failure returns null and sets *error to one line without the
    // password.
    static std::unique_ptr<PgRendezvousRegistry> Open(const std::string& uri, int connections,
                                                      std::string* error);
    ~PgRendezvousRegistry() override;

    StoreResult Announce(const std::string& name, const Announcement& a, int64_t now,
                         int64_t keepSince, std::string* key) override;
    StoreResult Forget(const std::string& name) override;
    StoreResult Find(const std::string& name, int64_t since, RendezvousPeer* out) override;
    StoreResult Register(const std::string& name, const sockaddr_in& source, int64_t now,
                         uint64_t sequence) override;
    StoreResult Registered(const std::vector<std::string>& names, int64_t since,
                           std::vector<bool>* out) override;
    StoreResult AddToken(const CallToken& token, int64_t now) override;
    StoreResult OfferRelay(const std::string& token, const std::string& caller,
                           const stun::Candidate& relay, int64_t now, CallToken* out,
                           bool* fresh) override;
    StoreResult PostNotice(const CallNoticeOrder& order) override;
    void SetNoticeSink(NoticeSink sink) override;

    // This process's name among the holders of registrations.
    const std::string& Holder() const { return m_holder; }

  private:
    PgRendezvousRegistry() = default;
    StoreResult Run(const char* statement, const std::vector<std::string>& params, PgResult* out);
    // The listening thread: waits for a NOTIFY (or half a second), then takes this process's
    // notices out of the table and hands them to the sink.
    void Listen();
    bool TakeNotices();

    std::string m_uri;
    std::string m_holder;
    std::unique_ptr<PgPool> m_pool;
    pg_conn* m_listener = nullptr;
    std::mutex m_sinkLock;
    NoticeSink m_sink;
    std::atomic<bool> m_stop{false};
    std::atomic<int64_t> m_lastPurge{0};
    std::thread m_thread;
};
