#include "directory/server/Directory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <set>
#include <thread>

#include "directory/protocol/Pages.h"
#include "directory/server/SqliteStorage.h"
#include "directory/server/tests/TestDatabase.h"

namespace {

std::string TempDb(const char* name) {
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir != nullptr ? dir : "/tmp") + "/zorvo-dirtest-" +
                       std::to_string(getpid()) + "-" + name + ".db";
    for (const char* suffix : {"", "-wal", "-shm"}) {
        unlink((path + suffix).c_str());
    }
    return path;
}

// The page handling over a fresh database of each backend, with a clock the test moves.
class DirectoryTest : public ::testing::TestWithParam<Backend> {
  protected:
    void SetUp() override {
        static int counter = 0;
        std::string error;
        ASSERT_TRUE(m_database.Create(GetParam(), "dir" + std::to_string(counter++), &error))
            << error;
        Open();
    }
    void TearDown() override {
        m_dir.reset();
        m_store.reset();
    }
    // Opens the service over the database, as a start of the program does.
    void Open() {
        std::string error;
        m_store = m_database.Open(&error);
        ASSERT_TRUE(m_store) << error;
        DirectoryOptions o;
        o.hashCost = HashCost::Min;
        o.clock = [this] { return m_now.load(); };
        o.advertise = "127.0.0.1:8080";
        o.failureLimit = m_failureLimit;
        m_dir = std::make_unique<Directory>(*m_store, o);
    }
    void Restart() {
        m_dir.reset();
        m_store.reset();
        Open();
    }
    HttpReply Get(const std::string& target) { return GetFrom(target, ""); }
    // A request that came from the client address peer.
    HttpReply GetFrom(const std::string& target, const std::string& peer) {
        HttpRequest r;
        r.method = "GET";
        r.target = target;
        r.peer = peer;
        return m_dir->Handle(r);
    }
    HttpReply Post(const std::string& target, const std::string& form) {
        HttpRequest r;
        r.method = "POST";
        r.target = target;
        r.body = form;
        r.contentType = "application/x-www-form-urlencoded";
        return m_dir->Handle(r);
    }
    void Register(const std::string& user, const std::string& pass) {
        HttpReply r = Get("/register.asp?User=" + user + "&Pass=" + pass);
        ASSERT_EQ(r.status, 200) << r.body;
    }
    std::string Login(const std::string& user, const std::string& pass,
                      const std::string& ip = "LAN") {
        return Get("/zorvo\\logmein.asp?User=" + user + "&Pass=" + pass + "&IPAddr=" + ip).body;
    }

    TestDatabase m_database;
    std::atomic<int64_t> m_now{1700000000};
    int m_failureLimit = 10;
    std::unique_ptr<Storage> m_store;
    std::unique_ptr<Directory> m_dir;
};

TEST(NameRule, TrimsLowersAndRefusesForbiddenCharacters) {
    std::string out;
    ASSERT_TRUE(Directory::NormalizeName("  Bob \t", &out));
    EXPECT_EQ(out, "bob");
    ASSERT_TRUE(Directory::NormalizeName("caf\xC3\xA9-_.#$", &out));
    for (char c : std::string("*&'~ ,\"<>?%!@:;`()+=|\\/\t\x01\x7F")) {
        EXPECT_FALSE(Directory::NormalizeName(std::string("a") + c + "b", &out))
            << "character " << static_cast<int>(c);
    }
    EXPECT_FALSE(Directory::NormalizeName("", &out));
    EXPECT_FALSE(Directory::NormalizeName("   ", &out));
    EXPECT_TRUE(Directory::NormalizeName(std::string(63, 'x'), &out));
    EXPECT_FALSE(Directory::NormalizeName(std::string(64, 'x'), &out));
    EXPECT_FALSE(Directory::NormalizeName(std::string("a\0b", 3), &out));
}

TEST(NumbersAndAddresses, OnlyPlainForms) {
    int v = 0;
    EXPECT_TRUE(Directory::ParseInt32("-2147483648", &v));
    EXPECT_EQ(v, INT32_MIN);
    EXPECT_FALSE(Directory::ParseInt32("2147483648", &v));
    EXPECT_FALSE(Directory::ParseInt32("", &v));
    EXPECT_FALSE(Directory::ParseInt32("-", &v));
    EXPECT_FALSE(Directory::ParseInt32("1e3", &v));
    EXPECT_FALSE(Directory::ParseInt32(" 1", &v));
    std::string a;
    EXPECT_TRUE(Directory::NormalizeAddress("10.0.0.5", &a));
    EXPECT_TRUE(Directory::NormalizeAddress("LAN", &a));
    EXPECT_FALSE(Directory::NormalizeAddress("lan", &a));
    EXPECT_FALSE(Directory::NormalizeAddress("10.0.0", &a));
    EXPECT_FALSE(Directory::NormalizeAddress("10.0.0.5 evil 1.1.1.1", &a));
    EXPECT_FALSE(Directory::NormalizeAddress("256.0.0.1", &a));
}

TEST_P(DirectoryTest, DiscoveryTextPointsAtTheService) {
    HttpReply r = Get("/ZorvoServer.txt");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "[ZORVO]\r\nCURRENT IP=127.0.0.1:8080\r\nPATH=/zorvo\r\n");
}

TEST_P(DirectoryTest, PagesAnswerUnderThePathAndTheRootWithBackslashes) {
    Register("alice", "pw");
    for (const char* page : {"/zorvo\\logmein.asp", "/zorvo/logmein.asp", "/logmein.asp",
                             "\\zorvo\\\\LOGMEIN.ASP", "/ZORVO%5Clogmein.asp"}) {
        HttpReply r = Get(std::string(page) + "?User=alice&Pass=pw&IPAddr=LAN");
        EXPECT_EQ(r.body.substr(0, 3), "+OK") << page;
    }
    for (const char* page : {"/other\\logmein.asp", "/zorvo/x/logmein.asp", "/logmein.aspx",
                             "/zorvo", "/%zz", "/a%00b"}) {
        HttpReply r = Get(std::string(page) + "?User=alice&Pass=pw&IPAddr=LAN");
        EXPECT_GE(r.status, 400) << page;
        EXPECT_EQ(r.body[0], '-') << page;
    }
}

TEST_P(DirectoryTest, LoginAcceptsOnlyTheRightPasswordAndCarriesTheBuddies) {
    Register("alice", "secret");
    EXPECT_EQ(Login("alice", "secret"), "+OK ");
    EXPECT_EQ(
        Get("/zorvo\\SyncBList.asp?User=alice&Pass=secret&buddy=Bob&buddy=carol&buddy=BOB").body,
        "+OK");
    std::string reply = Login("ALICE", "secret");
    EXPECT_EQ(reply, "+OK bob carol");
    EXPECT_EQ(reply.substr(4), "bob carol");
    // Refusals in the form the client treats as refused: anything but a leading "+".
    EXPECT_EQ(Login("alice", "Secret")[0], '-');
    EXPECT_EQ(Login("nobody", "secret")[0], '-');
    EXPECT_EQ(Login("al'ice", "secret")[0], '-');
    EXPECT_EQ(Login("alice", "secret", "1.2.3")[0], '-');
}

TEST_P(DirectoryTest, HeartbeatsKeepUsersOnlineForTwoMinutes) {
    Register("alice", "a");
    Register("bob", "b");
    Register("carol", "c");
    ASSERT_EQ(Login("bob", "b", "10.0.0.5"), "+OK ");
    ASSERT_EQ(Login("carol", "c", "LAN"), "+OK ");
    ASSERT_EQ(Login("alice", "a"), "+OK ");
    std::string list =
        "/zorvo\\GetUserList.asp?User=alice&Pass=a&buddy=bob&buddy=carol&"
        "buddy=dave&buddy=BOB&buddy=b%2Fd";
    EXPECT_EQ(Get(list).body, "+OK bob 10.0.0.5 carol LAN");

    m_now += 100;
    EXPECT_EQ(Get("/zorvo\\iamup.asp?User=bob&Pass=b&IPAddr=172.32.0.1").body, "+OK");
    m_now += 30;  // carol's last sign of life is now 130 s old
    EXPECT_EQ(Get(list).body, "+OK bob 172.32.0.1");

    EXPECT_EQ(Get("/zorvo\\logmeoff.asp?User=bob&Pass=b&IPAddr=LAN").body, "+OK");
    EXPECT_EQ(Get(list).body, "+OK");
    EXPECT_EQ(Get("/zorvo\\GetUserList.asp?User=alice&Pass=a").body, "+OK");
}

TEST_P(DirectoryTest, OnlineListNeverOutgrowsWhatTheClientReads) {
    // 80 online buddies with 60-character names would need about 6000 bytes; the client reads
    // 4095, so the list stops early at a whole pair instead of being cut inside one.
    Register("alice", "a");
    std::string list = "/zorvo\\GetUserList.asp?User=alice&Pass=a";
    for (int i = 0; i < 80; ++i) {
        std::string name = std::string(58, 'n') + std::to_string(10 + i);
        Register(name, "p");
        ASSERT_EQ(Login(name, "p", "100.64.100.100"), "+OK ");
        list += "&buddy=" + name;
    }
    std::string body = Get(list).body;
    EXPECT_LE(body.size(), 4095u);
    std::vector<std::string> words;
    size_t pos = 0;
    while (pos < body.size()) {
        size_t end = std::min(body.find(' ', pos), body.size());
        words.push_back(body.substr(pos, end - pos));
        pos = end + 1;
    }
    ASSERT_GT(words.size(), 40u);
    EXPECT_EQ(words.size() % 2, 1u);
    EXPECT_EQ(words.back(), "100.64.100.100");
}

TEST_P(DirectoryTest, RefusedHeartbeatBeginsWithHashOthersWithMinus) {
    Register("alice", "a");
    ASSERT_EQ(Login("alice", "a"), "+OK ");
    EXPECT_EQ(Get("/zorvo\\iamup.asp?User=alice&Pass=b&IPAddr=LAN").body[0], '#');
    EXPECT_EQ(Get("/zorvo\\iamup.asp?User=zed&Pass=a&IPAddr=LAN").body[0], '#');
    EXPECT_EQ(Get("/zorvo\\iamup.asp?User=alice&Pass=a").body[0], '#');
    EXPECT_EQ(Get("/zorvo\\iamup.asp?User=alice&Pass=a&IPAddr=LAN&IPAddr=LAN").body[0], '#');
    EXPECT_EQ(Get("/zorvo\\iamup.asp?User=alice&Pass=%G&IPAddr=LAN").body[0], '#');
    EXPECT_EQ(Get("/zorvo\\GetUserList.asp?User=alice&Pass=b").body[0], '-');
    EXPECT_EQ(Get("/zorvo\\logmeoff.asp?User=alice&Pass=b").body[0], '-');
    EXPECT_EQ(Get("/zorvo\\SyncBList.asp?User=alice&Pass=b&buddy=x").body[0], '-');
    // The refused requests changed nothing.
    EXPECT_EQ(Login("alice", "a"), "+OK ");
}

TEST_P(DirectoryTest, PasswordsAreCheckedAfterARestartWithoutANewLogin) {
    Register("alice", "a");
    ASSERT_EQ(Login("alice", "a"), "+OK ");
    Restart();
    EXPECT_EQ(Get("/zorvo\\iamup.asp?User=alice&Pass=a&IPAddr=LAN").body, "+OK");
    EXPECT_EQ(Get("/zorvo\\iamup.asp?User=alice&Pass=x&IPAddr=LAN").body[0], '#');
}

TEST_P(DirectoryTest, CallReportsKeepOneRecordPerCall) {
    Register("alice", "a");
    Register("bob", "b");
    std::string open =
        "/zorvo\\iamtalking.asp?User=alice&RemUser=bob&Minutes=0&SessionID=0&"
        "AvgDelay=0";
    HttpReply first = Get(open);
    ASSERT_EQ(first.body.substr(0, 4), "+OK ");
    int id = std::atoi(first.body.c_str() + 4);
    ASSERT_GT(id, 0);
    // The caller reports the call begun twice: both get the same record.
    m_now += 3;
    EXPECT_EQ(Get(open).body, first.body);
    std::string update =
        "/zorvo\\iamtalking.asp?User=alice&RemUser=bob&Minutes=5&SessionID=" + std::to_string(id) +
        "&AvgDelay=123";
    EXPECT_EQ(Get(update).body, first.body);
    // Bob cannot write to alice's record, and a later call gets a new one.
    HttpReply stolen = Get("/zorvo\\iamtalking.asp?User=bob&RemUser=alice&Minutes=9&SessionID=" +
                           std::to_string(id) + "&AvgDelay=1");
    EXPECT_EQ(stolen.body[0], '-');
    m_now += 600;
    HttpReply later = Get(open);
    EXPECT_NE(later.body, first.body);
    EXPECT_EQ(later.body.substr(0, 4), "+OK ");

    std::vector<CallRecord> calls;
    ASSERT_EQ(m_store->RecentCalls("alice", 10, &calls), StoreResult::Ok);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].minutes, 5);
    EXPECT_EQ(calls[1].avgDelay, 123);
}

TEST_P(DirectoryTest, BadCallReportsStoreNothing) {
    Register("alice", "a");
    const char* bad[] = {
        "User=alice&RemUser=bob&Minutes=-1&SessionID=0&AvgDelay=0",
        "User=alice&RemUser=bob&Minutes=1&SessionID=-5&AvgDelay=0",
        "User=alice&RemUser=bob&Minutes=x&SessionID=0&AvgDelay=0",
        "User=alice&RemUser=bob&Minutes=99999999999&SessionID=0&AvgDelay=0",
        "User=alice&RemUser=bob&Minutes=1&SessionID=0&AvgDelay=0&AvgDelay=1",
        "User=alice&RemUser=bob&Minutes=1&SessionID=0",
        "User=alice&RemUser=&Minutes=1&SessionID=0&AvgDelay=0",
        "User=alice&RemUser=a%0Ab&Minutes=1&SessionID=0&AvgDelay=0",
        "User=nobody&RemUser=bob&Minutes=1&SessionID=0&AvgDelay=0",
        "User=alice&RemUser=bob&Minutes=1&SessionID=777&AvgDelay=0",
    };
    for (const char* q : bad) {
        HttpReply r = Get(std::string("/zorvo\\iamtalking.asp?") + q);
        EXPECT_EQ(r.body[0], '-') << q;
        EXPECT_GE(r.status, 400) << q;
    }
    std::vector<CallRecord> calls;
    ASSERT_EQ(m_store->RecentCalls("alice", 10, &calls), StoreResult::Ok);
    EXPECT_TRUE(calls.empty());
}

TEST_P(DirectoryTest, SqlMetacharactersAreDataOrRefused) {
    Register("alice", "a'--");
    ASSERT_EQ(Login("alice", "a%27--"), "+OK ");
    std::string inject = "x%27%3B%20DROP%20TABLE%20accounts%3B--";
    EXPECT_EQ(Login(inject, "a")[0], '-');
    EXPECT_EQ(Get("/register.asp?User=" + inject + "&Pass=p").status, 400);
    EXPECT_EQ(Get("/zorvo\\SyncBList.asp?User=alice&Pass=a%27--&buddy=" + inject).body[0], '-');
    HttpReply call = Get("/zorvo\\iamtalking.asp?User=alice&RemUser=" + inject +
                         "&Minutes=0&SessionID=0&AvgDelay=0");
    ASSERT_EQ(call.body.substr(0, 4), "+OK ");
    std::vector<CallRecord> calls;
    ASSERT_EQ(m_store->RecentCalls("alice", 10, &calls), StoreResult::Ok);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].remote, "x'; DROP TABLE accounts;--");
    // Shown escaped on the account page.
    HttpReply page = Post("/myaccount.asp", "User=alice&Pass=a%27--");
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("x&#39;; DROP TABLE accounts;--"), std::string::npos);
    EXPECT_EQ(Login("alice", "a%27--"), "+OK ");
}

TEST_P(DirectoryTest, InvalidSyncLeavesTheStoredListAlone) {
    Register("alice", "a");
    ASSERT_EQ(Get("/zorvo\\SyncBList.asp?User=alice&Pass=a&buddy=bob").body, "+OK");
    const char* bad[] = {
        "User=alice&Pass=a&buddy=bob&buddy=bad%20name",
        "User=alice&Pass=a&buddy=",
        "User=alice&Pass=a&Pass=a&buddy=carol",
        "User=alice&buddy=carol",
        "User=alice&Pass=a&buddy=carol%",
    };
    for (const char* q : bad) {
        EXPECT_EQ(Get(std::string("/zorvo\\SyncBList.asp?") + q).body[0], '-') << q;
    }
    std::string many;
    for (int i = 0; i < 200; ++i) {
        many += "&buddy=buddy" + std::to_string(i) + "xxxxxx";
    }
    EXPECT_EQ(Get("/zorvo\\SyncBList.asp?User=alice&Pass=a" + many).body,
              "-ERR buddy list too long");
    EXPECT_EQ(Login("alice", "a"), "+OK bob");
    // An empty list is a list too.
    EXPECT_EQ(Get("/zorvo\\SyncBList.asp?User=alice&Pass=a").body, "+OK");
    EXPECT_EQ(Login("alice", "a"), "+OK ");
}

TEST_P(DirectoryTest, RegistrationFollowsTheNameRule) {
    EXPECT_EQ(Get("/register.asp").status, 200);
    EXPECT_NE(Get("/register.asp").body.find("<form"), std::string::npos);
    EXPECT_EQ(Post("/register.asp", "User=+Dave+&Pass=p1&Pass2=p1").status, 200);
    EXPECT_EQ(Login("dave", "p1"), "+OK ");
    EXPECT_EQ(Post("/register.asp", "User=DAVE&Pass=p2").status, 409);
    EXPECT_EQ(Login("dave", "p1"), "+OK ");
    EXPECT_EQ(Post("/register.asp", "User=eve&Pass=p1&Pass2=p2").status, 400);
    EXPECT_EQ(Post("/register.asp", "User=eve+smith&Pass=p1").status, 400);
    EXPECT_EQ(Post("/register.asp", "User=eve&Pass=").status, 400);
    EXPECT_EQ(Post("/register.asp", "User=eve&Pass=" + std::string(64, 'p')).status, 400);
    EXPECT_EQ(Post("/register.asp", "User=eve&Pass=a%00b").status, 400);
    EXPECT_EQ(Post("/register.asp", "User=eve").status, 400);
    EXPECT_EQ(Post("/register.asp", "User=eve&User=eva&Pass=p").status, 400);
    EXPECT_EQ(Login("eve", "p1")[0], '-');
    HttpRequest json{"POST", "/register.asp", "{\"User\":\"eve\"}", "application/json", "", "", "",
                     ""};
    EXPECT_EQ(m_dir->Handle(json).status, 415);
}

TEST_P(DirectoryTest, AccountPageEscapesWhatItShows) {
    Register("alice", "a");
    HttpReply form =
        Get("/myaccount.asp?LoginMsg=Please%20Login%20to%20Invite%20your%20friends%3Cscript%3E&"
            "redirurl=myaccount.asp%3F%23INVITE");
    EXPECT_EQ(form.status, 200);
    EXPECT_NE(form.body.find("Please Login to Invite your friends&lt;script&gt;"),
              std::string::npos);
    EXPECT_EQ(form.body.find("<script>"), std::string::npos);
    EXPECT_EQ(Post("/myaccount.asp", "User=alice&Pass=b").status, 403);
    HttpReply page = Post("/myaccount.asp", "User=alice&Pass=a");
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("id=\"INVITE\""), std::string::npos);
    EXPECT_NE(page.body.find("http://127.0.0.1:8080/register.asp"), std::string::npos);
}

TEST_P(DirectoryTest, UnknownPagesAndMethodsGetClearReplies) {
    EXPECT_EQ(Get("/default.asp").status, 404);
    EXPECT_EQ(Get("/../../etc/passwd").status, 404);
    HttpRequest put{"PUT", "/zorvo\\iamup.asp?User=a&Pass=b&IPAddr=LAN", "", "", "", "", "", ""};
    HttpReply r = m_dir->Handle(put);
    EXPECT_EQ(r.status, 405);
    EXPECT_EQ(r.body[0], '#');
    HttpRequest postLogin{"POST",
                          "/zorvo\\logmein.asp",
                          "User=a&Pass=b&IPAddr=LAN",
                          "application/x-www-form-urlencoded",
                          "",
                          "",
                          "",
                          ""};
    EXPECT_EQ(m_dir->Handle(postLogin).status, 405);
    EXPECT_EQ(Get("/").status, 200);
}

TEST_P(DirectoryTest, RestartKeepsAccountsBuddiesAndCalls) {
    Register("alice", "a");
    ASSERT_EQ(Get("/zorvo\\SyncBList.asp?User=alice&Pass=a&buddy=bob&buddy=carol").body, "+OK");
    HttpReply call =
        Get("/zorvo\\iamtalking.asp?User=alice&RemUser=bob&Minutes=0&SessionID=0&"
            "AvgDelay=0");
    ASSERT_EQ(call.body.substr(0, 4), "+OK ");
    Restart();
    EXPECT_EQ(Login("alice", "a"), "+OK bob carol");
    std::vector<CallRecord> calls;
    ASSERT_EQ(m_store->RecentCalls("alice", 10, &calls), StoreResult::Ok);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ("+OK " + std::to_string(calls[0].id), call.body);
}

TEST_P(DirectoryTest, ConcurrentLoginsSyncsAndHeartbeatsLoseNoWrite) {
    constexpr int kUsers = 16;
    constexpr int kRounds = 25;
    for (int u = 0; u < kUsers; ++u) {
        Register("user" + std::to_string(u), "pw");
    }
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int u = 0; u < kUsers; ++u) {
        threads.emplace_back([&, u] {
            std::string user = "user" + std::to_string(u);
            for (int i = 0; i < kRounds; ++i) {
                std::string sync = "/zorvo\\SyncBList.asp?User=" + user + "&Pass=pw&buddy=b" +
                                   std::to_string(u) + "r" + std::to_string(i);
                bool ok =
                    Get(sync).body == "+OK" &&
                    Get("/zorvo\\iamup.asp?User=" + user + "&Pass=pw&IPAddr=LAN").body == "+OK" &&
                    Login(user, "pw").rfind("+OK ", 0) == 0;
                failures += ok ? 0 : 1;
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    Restart();
    for (int u = 0; u < kUsers; ++u) {
        EXPECT_EQ(Login("user" + std::to_string(u), "pw"),
                  "+OK b" + std::to_string(u) + "r" + std::to_string(kRounds - 1));
    }
}

TEST(SqliteStorage, RefusesAFileThatIsNotADatabase) {
    std::string path = TempDb("notadb");
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("this is not a database, just some text that is long enough to matter\n", f);
    std::fclose(f);
    std::string error;
    EXPECT_FALSE(SqliteStorage::Open(path, &error));
    EXPECT_FALSE(error.empty());
    unlink(path.c_str());
}

}  // namespace

namespace {

using directory::replies::Judge;
using directory::replies::Verdict;

TEST_P(DirectoryTest, RefusalsTakeTheFormTheClientJudgesForEachPage) {
    Register("amy", "pw");
    EXPECT_EQ(Judge(Login("amy", "no")), Verdict::Refused);
    EXPECT_EQ(Judge(Get("/zorvo\\iamup.asp?User=amy&Pass=no&IPAddr=LAN").body), Verdict::Message);
    EXPECT_EQ(Judge(Get("/zorvo\\GetUserList.asp?User=amy&Pass=no").body), Verdict::Refused);
    EXPECT_EQ(Judge(Get("/zorvo\\SyncBList.asp?User=amy&Pass=no&buddy=bo").body), Verdict::Refused);
    EXPECT_EQ(Judge(Login("amy", "pw")), Verdict::Accepted);
    EXPECT_EQ(Judge(Get("/zorvo\\iamup.asp?User=amy&Pass=pw&IPAddr=LAN").body), Verdict::Accepted);
}

TEST_P(DirectoryTest, AMalformedValueIsRefusedBeforeThePasswordIsChecked) {
    Register("amy", "pw");
    HttpReply r = Get("/zorvo\\logmein.asp?User=amy&Pass=wrong&IPAddr=1.2.3");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, "-ERR bad IPAddr");
    r = Get("/zorvo\\SyncBList.asp?User=amy&Pass=wrong&buddy=a%20b");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, "-ERR invalid buddy name");
    r = Get("/zorvo\\iamup.asp?User=amy&Pass=wrong&IPAddr=LAN");
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(r.body, "#ERR Invalid user name or password. Please login again.");
}

}  // namespace

TEST_P(DirectoryTest, ValuesWithANulByteAreRefusedWhereANameANumberOrAnAddressIsExpected) {
    Register("alice", "pw");
    HttpReply r = Get("/zorvo\\iamup.asp?User=alice&Pass=pw&IPAddr=198.18.0.9%00");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, "#ERR bad IPAddr");
    EXPECT_EQ(Login("alice", "pw", "198.18.0.9%00"), "-ERR bad IPAddr");
    EXPECT_EQ(Login("alice", "pw", "198.18.0.9%00junk"), "-ERR bad IPAddr");
    EXPECT_EQ(Login("alice%00", "pw")[0], '-');
    EXPECT_EQ(Get("/zorvo\\SyncBList.asp?User=alice&Pass=pw&buddy=bob%00x").body,
              "-ERR invalid buddy name");
    for (const char* key : {"Minutes", "SessionID", "AvgDelay"}) {
        std::string q = "User=alice&RemUser=bob&Minutes=0&SessionID=0&AvgDelay=0";
        q.replace(q.find(std::string(key) + "=0") + std::string(key).size() + 1, 1, "0%00");
        EXPECT_EQ(Get("/zorvo\\iamtalking.asp?" + q).status, 400) << key;
    }
    EXPECT_EQ(Get("/zorvo\\iamtalking.asp?User=alice&RemUser=b%00ob&Minutes=0&SessionID=0&"
                  "AvgDelay=0")
                  .status,
              400);
    // Nothing was stored by any of them.
    std::vector<CallRecord> calls;
    ASSERT_EQ(m_store->RecentCalls("alice", 10, &calls), StoreResult::Ok);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(Get("/zorvo\\GetUserList.asp?User=alice&Pass=pw&buddy=alice").body, "+OK");
}

TEST_P(DirectoryTest, HostileValuesInEveryKeyAreStoredLiterallyOrRefused) {
    m_failureLimit = 0;  // hundreds of refused passwords: the throttle is not under test here
    Restart();
    Register("alice", "pw");
    ASSERT_EQ(Get("/zorvo\\SyncBList.asp?User=alice&Pass=pw&buddy=bob").body, "+OK");
    const std::string hostile[] = {
        "%27",
        "%27%3B--",
        "%22",
        "%5C",
        "%5C%27",
        "%3B",
        "--",
        "%2F*",
        "*%2F",
        "%00",
        "a%00b",
        "%25",
        "%FF%FE",
        "%27)%3B%20DROP%20TABLE%20accounts%3B--",
        "%5C0",
        "$1",
        "%7B%22a%22%7D",
        std::string(5000, 'x'),
        "%E2%80%AE",
        "%C0%AF",
    };
    const char* pages[][2] = {
        {"logmein.asp", "User=alice&Pass=pw&IPAddr=LAN"},
        {"logmeoff.asp", "User=alice&Pass=pw"},
        {"iamup.asp", "User=alice&Pass=pw&IPAddr=LAN"},
        {"GetUserList.asp", "User=alice&Pass=pw&buddy=bob"},
        {"SyncBList.asp", "User=alice&Pass=pw&buddy=bob"},
        {"iamtalking.asp", "User=alice&RemUser=bob&Minutes=0&SessionID=0&AvgDelay=0"},
    };
    std::set<std::string> acceptedRemotes;
    std::string lastList = "bob";
    for (const auto& [page, query] : pages) {
        std::string q = query;
        for (size_t at = 0; (at = q.find('=', at)) != std::string::npos; ++at) {
            size_t end = std::min(q.find('&', at), q.size());
            for (const std::string& value : hostile) {
                std::string bad = q.substr(0, at + 1) + value + q.substr(end);
                HttpReply r = Get(std::string("/zorvo\\") + page + "?" + bad);
                EXPECT_LT(r.status, 500) << page << "?" << bad.substr(0, 200);
                std::string remote;
                if (r.status == 200 && std::string(page) == "SyncBList.asp") {
                    // Only a buddy name can be hostile and still be accepted: a valid name.
                    ASSERT_TRUE(q.compare(at - 5, 5, "buddy") == 0) << bad.substr(0, 200);
                    ASSERT_TRUE(PercentDecode(value, true, &remote));
                    ASSERT_TRUE(Directory::NormalizeName(remote, &lastList));
                }
                if (r.status == 200 && std::string(page) == "iamtalking.asp") {
                    ASSERT_TRUE(q.compare(at - 7, 7, "RemUser") == 0) << bad.substr(0, 200);
                    ASSERT_TRUE(PercentDecode(value, true, &remote));
                    acceptedRemotes.insert(remote);
                }
            }
        }
    }
    // The database is whole: the account, its list and every call record that was accepted.
    EXPECT_EQ(Login("alice", "pw"), "+OK " + lastList);
    std::vector<CallRecord> calls;
    ASSERT_EQ(m_store->RecentCalls("alice", 1000, &calls), StoreResult::Ok);
    std::set<std::string> storedRemotes;
    for (const CallRecord& c : calls) {
        storedRemotes.insert(c.remote);
    }
    EXPECT_EQ(storedRemotes, acceptedRemotes);
    EXPECT_EQ(calls.size(), acceptedRemotes.size());
    EXPECT_EQ(acceptedRemotes.count("'); DROP TABLE accounts;--"), 1u);
    EXPECT_EQ(acceptedRemotes.count("\\'"), 1u);
    Register("dave", "d");
    EXPECT_EQ(Login("dave", "d"), "+OK ");
}

INSTANTIATE_TEST_SUITE_P(Backends, DirectoryTest,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const ::testing::TestParamInfo<Backend>& info) {
                             return BackendName(info.param);
                         });
