#include "directory/client/Requests.h"

#include <gtest/gtest.h>

#include "directory/protocol/Pages.h"

namespace {

const ServerInfo kDir{"127.0.0.1:8080", "/dir"};

TEST(Targets, LoginAndLogoffCarryEncodedCredentialsAndAddress) {
    std::string login = LoginTarget(kDir, "bob smith", "p&ss", "LAN");
    EXPECT_EQ(login.rfind("/dir\\logmein.asp?User=", 0), 0u);
    EXPECT_EQ(login, "/dir\\logmein.asp?User=bob%20smith&Pass=p%26ss&IPAddr=LAN");
    EXPECT_EQ(LogoffTarget(kDir, "a", "b", "1.2.3.4"),
              "/dir\\logmeoff.asp?User=a&Pass=b&IPAddr=1%2E2%2E3%2E4");
    // An empty path still puts the backslash first.
    EXPECT_EQ(LoginTarget(ServerInfo{"h", ""}, "a", "b", "LAN"),
              "\\logmein.asp?User=a&Pass=b&IPAddr=LAN");
}

TEST(Targets, BuddyListsBecomeRepeatedBuddyKeys) {
    EXPECT_EQ(GetUserListTarget(kDir, "carol", "pw", {}),
              "/dir\\GetUserList.asp?User=carol&Pass=pw");
    EXPECT_EQ(GetUserListTarget(kDir, "carol", "pw", {"alice", "b.b"}),
              "/dir\\GetUserList.asp?User=carol&Pass=pw&buddy=alice&buddy=b%2Eb");
    // The saved list text ends with a blank; words are split at any white space.
    EXPECT_EQ(SyncBListTarget(kDir, "carol", "pw", "alice bob "),
              "/dir\\SyncBList.asp?User=carol&Pass=pw&buddy=alice&buddy=bob");
    EXPECT_EQ(SyncBListTarget(kDir, "carol", "pw", "  \t\n"),
              "/dir\\SyncBList.asp?User=carol&Pass=pw");
    EXPECT_EQ(IamUpTarget(kDir, "carol", "pw", "LAN"),
              "/dir\\iamup.asp?User=carol&Pass=pw&IPAddr=LAN");
}

TEST(Targets, CallReportWritesNumbersInDecimalUnescaped) {
    EXPECT_EQ(CallReportTarget(kDir, "carol", "10.0.0.5", 1, 0, 123),
              "/dir\\iamtalking.asp?User=carol&RemUser=10%2E0%2E0%2E5&Minutes=1&SessionID=0&"
              "AvgDelay=123");
    EXPECT_EQ(CallReportTarget(kDir, "c", "d", -2, -7, 0),
              "/dir\\iamtalking.asp?User=c&RemUser=d&Minutes=-2&SessionID=-7&AvgDelay=0");
}

TEST(Replies, BuddyTextIsTheLoginReplyAfterFourCharacters) {
    EXPECT_EQ(BuddyTextFromLoginReply("+OK alice bob"), "alice bob");
    EXPECT_EQ(BuddyTextFromLoginReply("+xyzalice"), "alice");
    EXPECT_EQ(BuddyTextFromLoginReply("+OK "), "");
    EXPECT_EQ(BuddyTextFromLoginReply("+OK"), "");
    EXPECT_EQ(BuddyTextFromLoginReply(""), "");
}

TEST(Replies, SessionIdComesFromTheFirstAcceptedReport) {
    EXPECT_EQ(SessionIdFromReply("+abc42", 0), 42);
    EXPECT_EQ(SessionIdFromReply("+OK   17 minutes", 0), 17);
    EXPECT_EQ(SessionIdFromReply("+OK 99", 42), 42);  // later replies change nothing
    EXPECT_EQ(SessionIdFromReply("+ab", 0), 0);       // shorter than 5 characters
    EXPECT_EQ(SessionIdFromReply("+abc", 0), 0);
    EXPECT_EQ(SessionIdFromReply("-ERR 5", 0), 0);
    EXPECT_EQ(SessionIdFromReply("+OK x5", 0), 0);
    EXPECT_EQ(SessionIdFromReply("+OK 99999999999999999999", 0), 2147483647);
}

TEST(Replies, SplitWordsSkipsAllWhiteSpace) {
    EXPECT_EQ(SplitWords(" a\tb\r\nc  "), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_TRUE(SplitWords("").empty());
}

}  // namespace

namespace {

TEST(Replies, AreJudgedByTheirFirstCharacterAlone) {
    using directory::replies::Judge;
    using directory::replies::Verdict;
    EXPECT_EQ(Judge("+OK alice"), Verdict::Accepted);
    EXPECT_EQ(Judge("+"), Verdict::Accepted);
    EXPECT_EQ(Judge("-ERR invalid user name or password"), Verdict::Refused);
    EXPECT_EQ(Judge("#ERR Please login again."), Verdict::Message);
    EXPECT_EQ(Judge("<html>not found</html>"), Verdict::Other);
    EXPECT_EQ(Judge(" +OK"), Verdict::Other);
    EXPECT_EQ(Judge(""), Verdict::Other);
}

}  // namespace
