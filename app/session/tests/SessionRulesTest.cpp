#include <gtest/gtest.h>

#include "app/session/BuddyNames.h"
#include "app/session/CallReport.h"
#include "app/session/SessionSettings.h"

namespace {

using buddy_names::JudgeEdit;
using buddy_names::Verdict;

TEST(BuddyNameRules, ARenameIsTrimmedAndLowerCased) {
    const auto result = JudgeEdit({"alice"}, "alice", "  Bob ");
    EXPECT_EQ(result.verdict, Verdict::Replace);
    EXPECT_EQ(result.name, "bob");
}

TEST(BuddyNameRules, RefusesBlanksForbiddenCharactersAndOverlongNames) {
    EXPECT_EQ(JudgeEdit({"alice"}, "alice", "bob smith").verdict, Verdict::Invalid);
    for (const char* name :
         {"a*b", "a&b", "a'b", "a~b", "a,b", "a\"b", "a<b", "a>b", "a?b",  "a%b", "a!b", "a@b",
          "a:b", "a;b", "a`b", "a(b", "a)b", "a+b",  "a=b", "a|b", "a\\b", "a/b", "a\tb"}) {
        EXPECT_EQ(JudgeEdit({}, buddy_names::kNewBuddy, name).verdict, Verdict::Invalid) << name;
    }
    EXPECT_EQ(JudgeEdit({}, buddy_names::kNewBuddy, QString(63, 'a')).verdict, Verdict::Append);
    EXPECT_EQ(JudgeEdit({}, buddy_names::kNewBuddy, QString(64, 'a')).verdict, Verdict::Invalid);
    // 32 two-byte characters are 64 bytes: more than the service keeps.
    EXPECT_EQ(JudgeEdit({}, buddy_names::kNewBuddy, QString(32, QChar(0xE9))).verdict,
              Verdict::Invalid);
    EXPECT_EQ(JudgeEdit({}, buddy_names::kNewBuddy, "bob.smith-2_x").verdict, Verdict::Append);
}

TEST(BuddyNameRules, SameNameInAnotherCaseChangesNothingAndDuplicatesAreRefused) {
    EXPECT_EQ(JudgeEdit({"alice", "bob"}, "alice", "ALICE").verdict, Verdict::Unchanged);
    EXPECT_EQ(JudgeEdit({"alice", "bob"}, buddy_names::kNewBuddy, "Bob").verdict,
              Verdict::Duplicate);
    EXPECT_EQ(JudgeEdit({"alice", "bob"}, "alice", " BOB").verdict, Verdict::Duplicate);
    EXPECT_EQ(JudgeEdit({"alice"}, "alice", "   ").verdict, Verdict::Empty);
}

TEST(BuddyNameRules, AnUnchangedNewEntryIsRemovedAndBoxesHaveTheirTexts) {
    EXPECT_EQ(JudgeEdit({}, buddy_names::kNewBuddy, "**new buddy**").verdict,
              Verdict::RemoveNewEntry);
    EXPECT_EQ(buddy_names::RefusalText(Verdict::Empty), "Buddy name cannot be empty!");
    EXPECT_EQ(buddy_names::RefusalText(Verdict::Duplicate),
              "This buddy is already present in the list");
    EXPECT_EQ(buddy_names::RefusalText(Verdict::Invalid),
              "This buddy name contains invalid characters or spaces");
    EXPECT_EQ(buddy_names::RefusalText(Verdict::Append), "");
}

TEST(BuddyListValue, EveryNameIsFollowedByOneBlank) {
    EXPECT_EQ(session_settings::StoredBuddyValue({"alice", "bob"}), "alice bob ");
    EXPECT_EQ(session_settings::StoredBuddyValue({}), "");
    EXPECT_EQ(session_settings::BuddyListKey("alice"),
              "Software/Mervane/BuddyList/alice/BuddyList");
}

TEST(CallReportFigures, MinutesAndDelayAreRoundedTowardZero) {
    EXPECT_EQ(ReportMinutes(1000, 1059), 0);
    EXPECT_EQ(ReportMinutes(1000, 1061), 1);
    EXPECT_EQ(ReportMinutes(1000, 1000 + 3599), 59);
    EXPECT_EQ(ReportDelay(123.9), 123);
    EXPECT_EQ(ReportDelay(0.0), 0);
}

}  // namespace
