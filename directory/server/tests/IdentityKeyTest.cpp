// Identity keys of clients with the encryption extension, on both backends: published at login
// and with heartbeats, fetched by buddies on BuddyKey.asp, and a page that is not there for a
// request without the capability.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cctype>
#include <memory>
#include <string>

#include "directory/server/tests/PageService.h"

namespace {

// Ed25519 public keys (RFC 8032, tests 1 and 2).
const std::string kAliceKey = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
const std::string kAliceNewKey = "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c";
const std::string kCaps = "&Caps=rv1,e2e1";

class IdentityKeys : public ::testing::TestWithParam<Backend> {
  protected:
    void SetUp() override {
        static int counter = 0;
        std::string error;
        ASSERT_TRUE(m_database.Create(GetParam(), "idkey" + std::to_string(counter++), &error))
            << error;
        Open();
        m_service->Register("alice", "a");
        m_service->Register("bob", "b");
    }
    void Open() {
        m_service.reset();
        m_service = std::make_unique<PageService>(m_database, m_now);
        ASSERT_TRUE(m_service->store);
    }
    // bob asks for a buddy's key.
    HttpReply KeyOf(const std::string& buddy, const std::string& query = "&Caps=e2e1") {
        return m_service->From("198.18.0.2",
                               "/zorvo\\BuddyKey.asp?User=bob&Pass=b&Buddy=" + buddy + query);
    }
    // Makes the database look like one of the first schema, which had no identity keys.
    void MakeFirstSchema() {
        m_service.reset();
        if (GetParam() == Backend::Postgres) {
            m_database.Query(
                "ALTER TABLE accounts DROP COLUMN id_key; DROP TABLE known_logins, failed_logins; "
                "UPDATE zorvo_schema SET version = 1");
            return;
        }
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(m_database.db().c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db,
                               "ALTER TABLE accounts DROP COLUMN id_key; DROP TABLE known_logins; "
                               "PRAGMA user_version = 1",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }

    TestDatabase m_database;
    std::atomic<int64_t> m_now{1700000000};
    std::unique_ptr<PageService> m_service;
};

TEST_P(IdentityKeys, TheKeyPublishedLastIsWhatBuddiesFetch) {
    PageService& s = *m_service;
    EXPECT_EQ(KeyOf("alice").body, "-ERR no key");
    EXPECT_EQ(s.Login("198.18.0.1", "alice", "a", kCaps + "&IdKey=" + kAliceKey).body, "+OK ");
    HttpReply r = KeyOf("Alice");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "+OK " + kAliceKey);
    // A heartbeat with a new key replaces it; the heartbeat's reply is the one without a key.
    EXPECT_EQ(s.Heartbeat("198.18.0.1", "alice", "a", "&Caps=e2e1&IdKey=" + kAliceNewKey).body,
              "+OK");
    EXPECT_EQ(KeyOf("alice").body, "+OK " + kAliceNewKey);
    HttpReply none = KeyOf("bob");
    EXPECT_EQ(none.status, 404);
    EXPECT_EQ(none.body, "-ERR no key");
    HttpReply nobody = KeyOf("nobody");
    EXPECT_EQ(nobody.status, 404);
    EXPECT_EQ(nobody.body, "-ERR no such user");
    EXPECT_EQ(KeyOf("bad%20name").body, "-ERR bad Buddy");
    // Kept across a restart.
    Open();
    EXPECT_EQ(KeyOf("alice").body, "+OK " + kAliceNewKey);
}

TEST_P(IdentityKeys, WithoutTheCapabilityThePageIsNotThereAndNoKeyIsStored) {
    PageService& s = *m_service;
    HttpReply plain = s.From("198.18.0.2", "/zorvo\\NoSuchPage.asp?User=bob&Pass=b&Buddy=alice");
    ASSERT_EQ(plain.status, 404);
    for (const char* query : {"", "&Caps=rv1", "&Caps=e2e10", "&caps=E2E1", "&Caps=e2e1%"}) {
        HttpReply r = KeyOf("alice", query);
        EXPECT_EQ(r.status, plain.status) << query;
        EXPECT_EQ(r.body, plain.body) << query;
        EXPECT_EQ(r.contentType, plain.contentType) << query;
    }
    // A key given by a client that does not list the extension is not taken.
    EXPECT_EQ(s.Login("198.18.0.1", "alice", "a", "&Caps=rv1&IdKey=" + kAliceKey).body, "+OK ");
    EXPECT_EQ(s.Heartbeat("198.18.0.1", "alice", "a", "&IdKey=" + kAliceKey).body, "+OK");
    EXPECT_EQ(KeyOf("alice").body, "-ERR no key");
    EXPECT_EQ(KeyOf("alice", "&Caps=rv1,e2e1").status, 404);
}

TEST_P(IdentityKeys, AWrongPasswordIsRefusedAndCountedLikeOnAnyOtherPage) {
    PageService& s = *m_service;
    ASSERT_EQ(s.Login("198.18.0.1", "alice", "a", kCaps + "&IdKey=" + kAliceKey).body, "+OK ");
    const std::string wrong = "/zorvo\\BuddyKey.asp?User=bob&Pass=x&Buddy=alice&Caps=e2e1";
    for (int i = 0; i < 10; ++i) {
        HttpReply r = s.From("198.18.0.2", wrong);
        EXPECT_EQ(r.status, 403) << i;
        EXPECT_EQ(r.body, "-ERR invalid user name or password") << i;
    }
    HttpReply r = KeyOf("alice");
    EXPECT_EQ(r.status, 429);
    EXPECT_EQ(r.body, "-ERR too many failed logins; try again later");
    EXPECT_EQ(s.From("198.18.0.2", "/zorvo\\BuddyKey.asp?User=bob&Pass=b&Caps=e2e1").body,
              "-ERR missing key Buddy");
}

TEST_P(IdentityKeys, AMalformedKeyIsIgnoredAndTheRepliesStayTheSame) {
    PageService& s = *m_service;
    ASSERT_EQ(s.Login("198.18.0.1", "alice", "a", kCaps + "&IdKey=" + kAliceKey).body, "+OK ");
    std::string upper = kAliceNewKey;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const std::string bad[] = {
        kAliceNewKey.substr(1),
        kAliceNewKey + "00",
        upper,
        "g" + kAliceNewKey.substr(1),
        std::string(64, 'f'),                     // not a point on the curve
        "01" + std::string(62, '0'),              // the neutral element
        kAliceNewKey + "&IdKey=" + kAliceNewKey,  // given twice
        "",
        "%00" + kAliceNewKey.substr(2),
    };
    for (const std::string& key : bad) {
        EXPECT_EQ(s.Login("198.18.0.1", "alice", "a", kCaps + "&IdKey=" + key).body, "+OK ") << key;
        EXPECT_EQ(s.Heartbeat("198.18.0.1", "alice", "a", kCaps + "&IdKey=" + key).body, "+OK")
            << key;
        EXPECT_EQ(KeyOf("alice").body, "+OK " + kAliceKey) << key;
    }
}

TEST_P(IdentityKeys, ADatabaseOfTheFirstSchemaKeepsItsAccountsAndGainsKeys) {
    ASSERT_EQ(m_service->Login("198.18.0.1", "alice", "a").body, "+OK ");
    MakeFirstSchema();
    const std::string idKeyColumns =
        GetParam() == Backend::Sqlite
            ? "SELECT count(*) FROM pragma_table_info('accounts') WHERE name = 'id_key'"
            : "SELECT count(*) FROM information_schema.columns WHERE table_name = 'accounts' "
              "AND column_name = 'id_key'";
    ASSERT_EQ(m_database.Query(idKeyColumns), "0");
    Open();
    EXPECT_EQ(m_database.Query(idKeyColumns), "1");
    PageService& s = *m_service;
    EXPECT_EQ(s.Login("198.18.0.1", "alice", "a", kCaps + "&IdKey=" + kAliceKey).body, "+OK ");
    EXPECT_EQ(KeyOf("alice").body, "+OK " + kAliceKey);
    EXPECT_EQ(m_database.Query(GetParam() == Backend::Sqlite ? "PRAGMA user_version"
                                                             : "SELECT version FROM zorvo_schema"),
              "2");
}

INSTANTIATE_TEST_SUITE_P(Backends, IdentityKeys,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const ::testing::TestParamInfo<Backend>& info) {
                             return BackendName(info.param);
                         });

}  // namespace
