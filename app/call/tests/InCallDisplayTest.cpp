// The in-call display: the clock text, the delay colour, the mean round trip, the words for
// the way a call got through and for its protection, and the judging of a buddy's key.

#include <gtest/gtest.h>

#include "app/call/InCallDisplay.h"

namespace {

TEST(InCallDisplay, ClockText) {
    EXPECT_EQ(incall::ClockText(3723, 0), "Active 01:02:03");
    EXPECT_EQ(incall::ClockText(15, 120), "Active 00:00:15 Delay=120 ms");
    EXPECT_EQ(incall::ClockText(25 * 3600 + 5, 0), "Active 01:00:05");  // the span's day only
    EXPECT_EQ(incall::ClockText(0, 0), "Active 00:00:00");
}

TEST(InCallDisplay, DelayColourRunsFromGreenToRed) {
    EXPECT_EQ(incall::DelayColour(0), 0x00FF00u);
    EXPECT_EQ(incall::DelayColour(120), 0x00FD01u);
    EXPECT_EQ(incall::DelayColour(8000), 0x007F7Fu);
    EXPECT_EQ(incall::DelayColour(16000), 0x0000FFu);
    EXPECT_EQ(incall::DelayColour(60000), 0x0000FFu);
}

TEST(InCallDisplay, PathTextSaysHowTheCallGotThrough) {
    EXPECT_EQ(incall::PathText(1), "Connected (direct)");
    EXPECT_EQ(incall::PathText(2), "Connected (same local network)");
    EXPECT_EQ(incall::PathText(3), "Connected (router port mapping)");
    EXPECT_EQ(incall::PathText(4), "Connected (punched through the routers)");
    EXPECT_EQ(incall::PathText(5), "Connected (relayed)");
    EXPECT_EQ(incall::PathText(0), "Connected");
    EXPECT_EQ(incall::PathText(6), "Connected");
    EXPECT_EQ(incall::PathText(257), "Connected");  // not 1 once cut to a byte
}

TEST(InCallDisplay, SecurityTextSaysWhetherTheCallIsEncryptedAndWhatToCompare) {
    using keypin::KeyCheck;
    EXPECT_EQ(incall::SecurityText({false, "", "alice", KeyCheck::kUnknown}), "Not encrypted");
    EXPECT_EQ(incall::SecurityText({true, "123 456", "alice", KeyCheck::kVerified}),
              QString::fromUtf8("Encrypted \u00b7 verified alice"));
    EXPECT_EQ(incall::SecurityText({true, "123 456", "", KeyCheck::kUnknown}),
              QString::fromUtf8("Encrypted \u00b7 compare 123 456"));
    EXPECT_EQ(incall::SecurityText({true, "123 456", "alice", KeyCheck::kFirstUse}),
              QString::fromUtf8("Encrypted \u00b7 compare 123 456"));
    EXPECT_EQ(incall::SecurityText({true, "123 456", "alice", KeyCheck::kChanged}),
              QString::fromUtf8("Encrypted \u00b7 alice's key has changed: compare 123 456"));
    EXPECT_TRUE(incall::SecurityWarns({true, "123 456", "alice", KeyCheck::kChanged}));
    EXPECT_FALSE(incall::SecurityWarns({true, "123 456", "alice", KeyCheck::kVerified}));
    // The window test checks the whole box text as shown.
}

// One row per situation: what is pinned, what the directory said, and the verdict with the key
// pinned afterwards.
TEST(KeyPinning, TheDecisionFollowsThePinnedKeyThenTheDirectory) {
    using keypin::DirectoryKey;
    using keypin::KeyCheck;
    const QString peer = QString(64, 'a');
    const QString other = QString(64, 'b');
    const DirectoryKey published{DirectoryKey::Kind::kKey, peer};
    const DirectoryKey otherPublished{DirectoryKey::Kind::kKey, other};
    const DirectoryKey none{DirectoryKey::Kind::kNoKey, {}};
    const DirectoryKey unavailable{DirectoryKey::Kind::kUnavailable, {}};
    struct Row {
        QString name;
        std::optional<QString> pinned;
        std::optional<DirectoryKey> directory;
        KeyCheck check;
        std::optional<QString> pin;
    };
    const Row rows[] = {
        {"alice", peer, std::nullopt, KeyCheck::kVerified, std::nullopt},
        {"alice", other, std::nullopt, KeyCheck::kChanged, std::nullopt},
        // The pinned key wins over a directory that now publishes the peer's.
        {"alice", other, published, KeyCheck::kChanged, std::nullopt},
        {"alice", std::nullopt, std::nullopt, KeyCheck::kPending, std::nullopt},
        {"alice", std::nullopt, published, KeyCheck::kVerified, peer},
        {"alice", std::nullopt, otherPublished, KeyCheck::kChanged, std::nullopt},
        {"alice", std::nullopt, none, KeyCheck::kFirstUse, peer},
        {"alice", std::nullopt, unavailable, KeyCheck::kUnknown, std::nullopt},
        {"", other, published, KeyCheck::kUnknown, std::nullopt},
    };
    for (const Row& row : rows) {
        const keypin::Decision d = keypin::Decide(row.name, peer, row.pinned, row.directory);
        EXPECT_EQ(d.check, row.check) << row.pinned.value_or("-").left(1).toStdString() << " "
                                      << (row.directory ? int(row.directory->kind) : -1);
        EXPECT_EQ(d.pin, row.pin);
    }
    EXPECT_EQ(keypin::PeerName(" Alice "), "alice");
    EXPECT_EQ(keypin::PeerName("UNKNOWN"), "");
    EXPECT_EQ(keypin::SettingsKey("bo/b"), "BuddyKeys/bo%2Fb");
}

TEST(InCallDisplay, MeanOfRoundTrips) {
    incall::DelayMean mean;
    mean.Add(100);
    EXPECT_FLOAT_EQ(mean.mean, 100);
    mean.Add(300);
    EXPECT_FLOAT_EQ(mean.mean, 200);
    EXPECT_EQ(mean.samples, 2u);
}

}  // namespace
