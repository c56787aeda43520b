// What the request log shows of a query: every key and separator as sent, the value of every key
// that names a password hidden, however the key is spelt.

#include <gtest/gtest.h>

#include "directory/server/Query.h"

namespace {

TEST(LogRedaction, HidesTheValueOfEveryKeyThatNamesAPasswordHoweverItIsSpelt) {
    EXPECT_EQ(RedactQuery("User=a&Password=s1&tpass=s2&Pass%32=s3&pAsS=s4"),
              "User=a&Password=***&tpass=***&Pass%32=***&pAsS=***");
    // A key that cannot be decoded is read by no page, and might be a password key.
    EXPECT_EQ(RedactQuery("User=a&P%zzss=s5&%=s6"), "User=a&P%zzss=***&%=***");
    // A stray '?' does not hide a password key inside the value before it.
    EXPECT_EQ(RedactQuery("User=a?Pass=s7&IPAddr=LAN"), "User=a?Pass=***&IPAddr=LAN");
    EXPECT_EQ(RedactQuery("?Pass=s8?"), "?Pass=***?");
    // Everything else stays as it came, a key "Pass" without a value too.
    EXPECT_EQ(RedactQuery("/zorvo\\logmein.asp"), "/zorvo\\logmein.asp");
    EXPECT_EQ(RedactQuery("User=passer&buddy=bob&Pass&&x=1"), "User=passer&buddy=bob&Pass&&x=1");
}

}  // namespace
