// The batching of heartbeats and online lists: many threads submit at once, one batch is at the
// database at a time, and every thread gets the answer to its own request.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "directory/server/PgPresence.h"

namespace {

using Request = PgPresence::Request;

// What the batches looked like, gathered by the run function.
struct BatchLog {
    std::mutex lock;
    std::vector<size_t> sizes;
    std::atomic<int> atDatabase{0};
    std::atomic<int> mostAtDatabase{0};
};

// Answers each request of a batch from its own fields, as a database round trip would, after
// holding the batch for a while so that others queue behind it.
PgPresence::Combiner::Run Answering(BatchLog& log, std::chrono::microseconds hold) {
    return [&log, hold](std::vector<Request*>& batch) {
        int now = ++log.atDatabase;
        int most = log.mostAtDatabase.load();
        while (now > most && !log.mostAtDatabase.compare_exchange_weak(most, now)) {
        }
        std::this_thread::sleep_for(hold);
        for (Request* q : batch) {
            q->result = q->now % 2 == 0 ? StoreResult::Ok : StoreResult::Throttled;
            q->addresses = {q->name};
        }
        --log.atDatabase;
        std::lock_guard<std::mutex> g(log.lock);
        log.sizes.push_back(batch.size());
    };
}

// Runs threads x rounds requests through one combiner; counts the answers that were not the
// thread's own.
int WrongAnswers(PgPresence::Combiner& combiner, const PgPresence::Combiner::Run& run, int threads,
                 int rounds) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (int i = 0; i < rounds; ++i) {
                Request r;
                r.name = "user" + std::to_string(t) + "-" + std::to_string(i);
                r.now = t + i;
                combiner.Submit(&r, run);
                StoreResult expected = r.now % 2 == 0 ? StoreResult::Ok : StoreResult::Throttled;
                bool own =
                    r.result == expected && r.addresses.size() == 1 && r.addresses[0] == r.name;
                wrong += own ? 0 : 1;
            }
        });
    }
    for (std::thread& t : pool) {
        t.join();
    }
    return wrong.load();
}

TEST(PresenceBatches, EveryThreadGetsItsOwnAnswerAndOneBatchAtATimeServesMany) {
    PgPresence::Combiner combiner;
    BatchLog log;
    constexpr int kThreads = 16;
    constexpr int kRounds = 150;
    EXPECT_EQ(
        WrongAnswers(combiner, Answering(log, std::chrono::microseconds(200)), kThreads, kRounds),
        0);
    size_t answered = 0;
    for (size_t n : log.sizes) {
        answered += n;
    }
    EXPECT_EQ(answered, static_cast<size_t>(kThreads * kRounds));
    EXPECT_EQ(log.mostAtDatabase.load(), 1);
    // Sixteen threads on one batch at a time: the queue must have gathered.
    EXPECT_LT(log.sizes.size(), answered / 2);
}

TEST(PresenceBatches, ABatchNeverHoldsMoreThanSixtyFourRequests) {
    PgPresence::Combiner combiner;
    BatchLog log;
    EXPECT_EQ(WrongAnswers(combiner, Answering(log, std::chrono::milliseconds(2)), 100, 20), 0);
    EXPECT_LE(*std::max_element(log.sizes.begin(), log.sizes.end()), 64u);
    EXPECT_GT(*std::max_element(log.sizes.begin(), log.sizes.end()), 32u);
}

TEST(PresenceBatches, ALoneRequestGoesAtOnceInABatchOfItsOwn) {
    PgPresence::Combiner combiner;
    BatchLog log;
    EXPECT_EQ(WrongAnswers(combiner, Answering(log, std::chrono::microseconds(0)), 1, 5), 0);
    EXPECT_EQ(log.sizes, std::vector<size_t>(5, 1));
}

}  // namespace
