#include "directory/server/Query.h"

#include <gtest/gtest.h>

namespace {

TEST(PercentDecode, StrictAboutEscapes) {
    std::string out;
    ASSERT_TRUE(PercentDecode("a%20b%2Ec%e9+x", true, &out));
    EXPECT_EQ(out, "a b.c\xE9 x");
    ASSERT_TRUE(PercentDecode("a+b", false, &out));
    EXPECT_EQ(out, "a+b");
    ASSERT_TRUE(PercentDecode("%00", false, &out));
    EXPECT_EQ(out, std::string(1, '\0'));
    EXPECT_FALSE(PercentDecode("%", true, &out));
    EXPECT_FALSE(PercentDecode("%4", true, &out));
    EXPECT_FALSE(PercentDecode("ab%G1", true, &out));
    EXPECT_FALSE(PercentDecode("%1G", true, &out));
    EXPECT_FALSE(PercentDecode("x%%41", true, &out));
}

TEST(ParseQuery, KeepsOrderAndRepeats) {
    std::vector<QueryParam> q;
    std::string error;
    ASSERT_TRUE(ParseQuery("User=a&&buddy=x&buddy=y&flag&=v&Pass=", &q, &error));
    ASSERT_EQ(q.size(), 6u);
    EXPECT_EQ(q[1].value, "x");
    EXPECT_EQ(q[2].value, "y");
    EXPECT_EQ(q[3].key, "flag");
    EXPECT_EQ(q[3].value, "");
    EXPECT_EQ(q[4].key, "");
    EXPECT_EQ(q[5].key, "Pass");
    EXPECT_FALSE(ParseQuery("User=a&Pass=%zz", &q, &error));
    EXPECT_NE(error.find("Pass"), std::string::npos);
    EXPECT_FALSE(ParseQuery("Us%r=a", &q, &error));
}

TEST(Params, LookupIgnoresCaseAndRefusesRepeats) {
    Params p({{"user", "a"}, {"PASS", "b"}, {"Pass", "c"}, {"buddy", "x"}, {"Buddy", "y"}});
    ASSERT_NE(p.One("User"), nullptr);
    EXPECT_EQ(*p.One("User"), "a");
    EXPECT_EQ(p.One("Pass"), nullptr);  // given twice
    EXPECT_EQ(p.Count("pass"), 2u);
    EXPECT_EQ(p.One("IPAddr"), nullptr);
    EXPECT_EQ(p.All("BUDDY"), (std::vector<std::string>{"x", "y"}));
}

TEST(RedactQuery, HidesEveryPasswordValue) {
    EXPECT_EQ(RedactQuery("User=a&Pass=secret&IPAddr=LAN"), "User=a&Pass=***&IPAddr=LAN");
    EXPECT_EQ(RedactQuery("pass=s1&PASS2=s2&P%61ss=s3&Pass"), "pass=***&PASS2=***&P%61ss=***&Pass");
    EXPECT_EQ(RedactQuery("a=1&&b=2"), "a=1&&b=2");
    EXPECT_EQ(RedactQuery(""), "");
}

}  // namespace
