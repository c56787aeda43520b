// The keys a client with the encryption extension adds to its requests, and the buddy key page.

#include <gtest/gtest.h>

#include "directory/client/BuddyKey.h"
#include "directory/client/CallPage.h"

namespace {

const ServerInfo kDir{"127.0.0.1:8080", "/dir"};
const std::string kKey = "3b6a27bcceb6a42d62a3a8d02a6f0d73653215771de243a63ac048a18b59da29";

TEST(EncryptionKeys, AClientWithAnIdentityListsE2e1AndPublishesItsKey) {
    // Without an identity the forms stay exactly as they were.
    EXPECT_EQ(CapabilityKeys(), "&Caps=rv1");
    EXPECT_EQ(HeartbeatExtraKeys("10.0.1.2:1720", ""), "&Caps=rv1&Local=10%2E0%2E1%2E2%3A1720");
    EXPECT_EQ(CapabilityKeys(kKey), "&Caps=rv1,e2e1&IdKey=" + kKey);
    EXPECT_EQ(HeartbeatExtraKeys("10.0.1.2:1720", "198.51.100.7:4000", kKey),
              "&Caps=rv1,e2e1&IdKey=" + kKey +
                  "&Local=10%2E0%2E1%2E2%3A1720&Mapped=198%2E51%2E100%2E7%3A4000");
    EXPECT_EQ(BuddyKeyTarget(kDir, "alice", "p&ss", "bob smith"),
              "/dir\\BuddyKey.asp?User=alice&Pass=p%26ss&Buddy=bob%20smith&Caps=rv1,e2e1");
}

TEST(EncryptionKeys, TheBuddyKeyReplyGivesAKeyNoKeyOrARefusal) {
    BuddyKeyReply r = ParseBuddyKeyReply(true, "+OK " + kKey + "\r\n");
    EXPECT_EQ(r.kind, BuddyKeyReply::Kind::kKey);
    EXPECT_EQ(r.keyHex, kKey);
    std::string upper = kKey;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(ParseBuddyKeyReply(true, "+OK " + upper).keyHex, kKey);

    EXPECT_EQ(ParseBuddyKeyReply(true, "-ERR no key").kind, BuddyKeyReply::Kind::kNoKey);
    EXPECT_EQ(ParseBuddyKeyReply(true, "-no key\n").kind, BuddyKeyReply::Kind::kNoKey);

    r = ParseBuddyKeyReply(true, "-ERR no such user");
    EXPECT_EQ(r.kind, BuddyKeyReply::Kind::kRefused);
    EXPECT_EQ(r.reason, "no such user");
    // A key one digit short, or with a letter that is not hex, is no key.
    EXPECT_EQ(ParseBuddyKeyReply(true, "+OK " + kKey.substr(1)).kind,
              BuddyKeyReply::Kind::kRefused);
    EXPECT_EQ(ParseBuddyKeyReply(true, "+OK g" + kKey.substr(1)).kind,
              BuddyKeyReply::Kind::kRefused);
    EXPECT_EQ(ParseBuddyKeyReply(true, "+OK " + kKey + " more").kind,
              BuddyKeyReply::Kind::kRefused);
    // A service without the extension, or none at all.
    EXPECT_EQ(ParseBuddyKeyReply(true, "<html>404</html>").kind, BuddyKeyReply::Kind::kRefused);
    EXPECT_EQ(ParseBuddyKeyReply(false, "").reason, "no answer from the directory");
}

}  // namespace
