// Throttling of password guesses, through the service's pages on both backends: a pair of name
// and address past its own limit is refused; a name guessed at from many addresses, and an
// address guessing at many names, are refused except where the name logged in before; honest
// users sharing one address are not held back by each other's typing errors.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "directory/server/tests/PageService.h"

namespace {

constexpr const char* kThrottled = "-ERR too many failed logins; try again later";
constexpr const char* kRefused = "-ERR invalid user name or password";

class Throttling : public ::testing::TestWithParam<Backend> {
  protected:
    void SetUp() override {
        static int counter = 0;
        std::string error;
        ASSERT_TRUE(m_database.Create(GetParam(), "throttle" + std::to_string(counter++), &error))
            << error;
        m_service = std::make_unique<PageService>(m_database, m_now);
        ASSERT_TRUE(m_service->store);
    }

    TestDatabase m_database;
    std::atomic<int64_t> m_now{1700000000};
    std::unique_ptr<PageService> m_service;
};

TEST_P(Throttling, TheEleventhWrongPasswordWithinTheWindowIsRefusedEvenWithTheRightOne) {
    PageService& s = *m_service;
    s.Register("alice", "right");
    s.Register("bob", "b");
    const std::string home = "198.18.0.1";
    ASSERT_EQ(s.Login(home, "alice", "right").body, "+OK ");
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(s.Login(home, "alice", "wrong").body, kRefused) << i;
    }
    // Past its own limit a pair is refused though it logged in before, on every page, and with
    // any password the same way: the reply tells a guesser nothing.
    HttpReply login = s.Login(home, "alice", "right");
    EXPECT_EQ(login.status, 429);
    EXPECT_EQ(login.body, kThrottled);
    for (const char* pass : {"right", "wrong"}) {
        HttpReply beat = s.Heartbeat(home, "alice", pass);
        EXPECT_EQ(beat.status, 429) << pass;
        EXPECT_EQ(beat.body, std::string("#") + (kThrottled + 1)) << pass;
        EXPECT_EQ(s.From(home, std::string("/zorvo\\GetUserList.asp?User=alice&Pass=") + pass).body,
                  kThrottled)
            << pass;
    }
    HttpRequest account{"POST",
                        "/myaccount.asp",
                        "User=alice&Pass=right",
                        "application/x-www-form-urlencoded",
                        "",
                        home,
                        "",
                        ""};
    EXPECT_EQ(s.dir->Handle(account).status, 429);
    // Another name at that address, and the name at another one, are not held back.
    EXPECT_EQ(s.Login(home, "bob", "b").body, "+OK ");
    EXPECT_EQ(s.Login("10.9.9.9", "alice", "right").body, "+OK ");
    m_now += 59;
    EXPECT_EQ(s.Heartbeat(home, "alice", "right").status, 429);
    m_now += 2;  // the window has passed
    EXPECT_EQ(s.Heartbeat(home, "alice", "right").body, "+OK");
    EXPECT_EQ(s.Login(home, "alice", "right").body, "+OK ");
}

TEST_P(Throttling, GuessesAtANameNeverLockItsOwnerOutWhereItLoggedInBefore) {
    PageService& s = *m_service;
    s.Register("alice", "right");
    const std::string home = "198.18.0.1";
    ASSERT_EQ(s.Login(home, "alice", "right").body, "+OK ");
    // 50 guesses from one address: 10 counted, then that pair is refused.
    int refused = 0;
    for (int i = 0; i < 50; ++i) {
        refused += s.Login("203.0.113.9", "alice", "guess" + std::to_string(i)).status == 403;
    }
    EXPECT_EQ(refused, 10);
    EXPECT_EQ(s.Login(home, "alice", "right").body, "+OK ");
    // Then one guess each from 40 more addresses: once the name has 30 failures in all, every
    // address it never logged in from is refused, with the right password too.
    refused = 0;
    for (int i = 0; i < 40; ++i) {
        refused += s.Login("198.19.0." + std::to_string(i + 1), "alice", "guess").status == 403;
    }
    EXPECT_EQ(refused, 20);
    EXPECT_EQ(s.Login("198.18.0.200", "alice", "right").body, kThrottled);
    EXPECT_EQ(s.Login(home, "alice", "right").body, "+OK ");
    EXPECT_EQ(s.Heartbeat(home, "alice", "right").body, "+OK");
    m_now += 61;
    EXPECT_EQ(s.Login("198.18.0.200", "alice", "right").body, "+OK ");
}

TEST_P(Throttling, HonestUsersSharingOneAddressAllLogInDespiteTheirTypingErrors) {
    PageService& s = *m_service;
    const std::string office = "100.64.0.1";  // one address for all, as behind a carrier's NAT
    for (int u = 0; u < 30; ++u) {
        s.Register("user" + std::to_string(u), "pw");
    }
    for (int typo = 0; typo < 2; ++typo) {
        for (int u = 0; u < 30; ++u) {
            EXPECT_EQ(s.Login(office, "user" + std::to_string(u), "pq").body, kRefused) << u;
        }
    }
    for (int u = 0; u < 30; ++u) {
        EXPECT_EQ(s.Login(office, "user" + std::to_string(u), "pw").body, "+OK ") << u;
        EXPECT_EQ(s.Heartbeat(office, "user" + std::to_string(u), "pw").body, "+OK") << u;
    }
    // Their logins cleared their failures: a guesser at the same address reaches the limit of
    // 50 names only with 50 names of its own, and the users who logged in there go on.
    s.Register("newcomer", "pw");
    for (int i = 0; i < 49; ++i) {
        EXPECT_EQ(s.Login(office, "stranger" + std::to_string(i), "x").status, 403) << i;
    }
    EXPECT_EQ(s.Login(office, "newcomer", "pw").body, "+OK ");
    EXPECT_EQ(s.Login(office, "stranger49", "x").status, 403);
    EXPECT_EQ(s.Login(office, "stranger50", "x").body, kThrottled);
    EXPECT_EQ(s.Login(office, "user7", "pw").body, "+OK ");
    EXPECT_EQ(s.Heartbeat(office, "newcomer", "pw").body, "+OK");
}

TEST_P(Throttling, OneAddressGuessingManyNamesIsHeldBackToo) {
    PageService& s = *m_service;
    s.Register("carol", "c");
    s.Register("dave", "d");
    const std::string stuffer = "198.18.0.77";
    ASSERT_EQ(s.Login(stuffer, "carol", "c").body, "+OK ");
    // 500 guesses over 500 names, on the login and the heartbeat: 50 names are checked, the
    // rest refused unchecked.
    int refused = 0;
    int throttled = 0;
    for (int i = 0; i < 500; ++i) {
        std::string user = "user" + std::to_string(i);
        HttpReply r = i % 2 == 0 ? s.Login(stuffer, user, "x") : s.Heartbeat(stuffer, user, "x");
        refused += r.status == 403;
        throttled += r.status == 429;
    }
    EXPECT_EQ(refused, 50);
    EXPECT_EQ(throttled, 450);
    EXPECT_EQ(s.Login(stuffer, "dave", "d").body, kThrottled);
    EXPECT_EQ(s.Login("198.18.0.78", "dave", "d").body, "+OK ");
    EXPECT_EQ(s.Login(stuffer, "carol", "c").body, "+OK ");
    m_now += 61;
    EXPECT_EQ(s.Login(stuffer, "dave", "d").body, "+OK ");
}

// The rules of the gate on the storage alone, with small limits.
TEST_P(Throttling, ASuccessForgetsThePairsFailuresAndMakesThePairKnown) {
    Storage& st = *m_service->store;
    const int64_t t = 5000;
    auto gate = [t](const std::string& name, const std::string& address) {
        Gate g;
        g.name = name;
        g.address = address;
        g.since = t - 60;
        g.knownSince = t - 1000;
        g.pairLimit = 3;
        g.nameLimit = 4;
        g.addressLimit = 2;
        return g;
    };
    auto closed = [&](const Gate& g) { return st.CheckGate(g) == StoreResult::Throttled; };
    ASSERT_EQ(st.CountFailure(gate("amy", "a"), t), StoreResult::Ok);
    ASSERT_EQ(st.CountFailure(gate("amy", "a"), t), StoreResult::Ok);
    EXPECT_FALSE(closed(gate("amy", "a")));
    ASSERT_EQ(st.CountFailure(gate("bob", "a"), t), StoreResult::Ok);
    EXPECT_TRUE(closed(gate("cid", "a")));  // two names with failures at a
    EXPECT_TRUE(closed(gate("amy", "a")));
    ASSERT_EQ(st.RecordSuccess(gate("amy", "a"), t), StoreResult::Ok);
    EXPECT_FALSE(closed(gate("cid", "a")));  // amy's failures at a are gone
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(st.CountFailure(gate("amy", "b"), t), StoreResult::Ok);
    }
    EXPECT_TRUE(closed(gate("amy", "b")));
    EXPECT_FALSE(closed(gate("amy", "c")));
    ASSERT_EQ(st.CountFailure(gate("amy", "c"), t), StoreResult::Ok);
    EXPECT_TRUE(closed(gate("amy", "d")));   // four failures of amy in all
    EXPECT_FALSE(closed(gate("amy", "a")));  // but amy logged in at a
    Gate later = gate("amy", "a");
    later.knownSince = t + 1;  // the success is too old now
    EXPECT_TRUE(closed(later));
    Gate next = gate("amy", "b");
    next.since = t;  // every window has passed
    EXPECT_FALSE(closed(next));
    EXPECT_EQ(st.CheckGate(Gate{}), StoreResult::Ok);
}

INSTANTIATE_TEST_SUITE_P(Backends, Throttling,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const ::testing::TestParamInfo<Backend>& info) {
                             return BackendName(info.param);
                         });

// Two services on one PostgreSQL database, as two processes behind a balancer: the counts and
// the known logins of one hold on the other.
TEST(SharedThrottle, TwoServicesOnOneDatabaseCountTogether) {
    TestDatabase database;
    std::string error;
    ASSERT_TRUE(database.Create(Backend::Postgres, "throttle-shared", &error)) << error;
    std::atomic<int64_t> now{1700000000};
    PageService one(database, now);
    PageService two(database, now);
    ASSERT_TRUE(one.store && two.store);
    one.Register("alice", "right");
    one.Register("dave", "d");
    const std::string home = "198.18.0.1";
    ASSERT_EQ(one.Login(home, "alice", "right").body, "+OK ");
    // 50 names guessed at from one address, half on each.
    for (int i = 0; i < 50; ++i) {
        PageService& s = i % 2 == 0 ? one : two;
        EXPECT_EQ(s.Login("198.18.0.77", "user" + std::to_string(i), "x").status, 403) << i;
    }
    EXPECT_EQ(two.Login("198.18.0.77", "user50", "x").body, kThrottled);
    EXPECT_EQ(one.Login("198.18.0.77", "dave", "d").body, kThrottled);
    // 30 failures for alice from as many addresses, half on each.
    for (int i = 0; i < 30; ++i) {
        PageService& s = i % 2 == 0 ? one : two;
        EXPECT_EQ(s.Login("198.19.0." + std::to_string(i + 1), "alice", "x").status, 403) << i;
    }
    EXPECT_EQ(two.Login("198.18.0.200", "alice", "right").body, kThrottled);
    EXPECT_EQ(two.Login(home, "alice", "right").body, "+OK ");  // known through the other one
    EXPECT_EQ(two.Heartbeat(home, "alice", "right").body, "+OK");
    EXPECT_EQ(database.Query("SELECT count(*) FROM known_logins"), "1");
}

}  // namespace
