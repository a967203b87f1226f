// The line a service shows in `systemctl status`, and the count of the last minute behind it.
#include <gtest/gtest.h>

#include "common/servicestatus.h"

using namespace common;

TEST(ServiceStatus, TheLineAdminsRead) {
    EXPECT_EQ(serviceStatusText({12, 3402, "requests", 2}), "12 open, 3 402 requests, 2 refused in the last minute");
    EXPECT_EQ(serviceStatusText({0, 0, "logins", 0}), "0 open, 0 logins, 0 refused in the last minute");
    EXPECT_EQ(groupedNumber(999), "999");
    EXPECT_EQ(groupedNumber(1000), "1 000");
    EXPECT_EQ(groupedNumber(1234567), "1 234 567");
    EXPECT_EQ(groupedNumber(18446744073709551615ull), "18 446 744 073 709 551 615");
}

TEST(ServiceStatus, RecentCountForgetsWhatIsOlderThanAMinute) {
    RecentCount c;
    EXPECT_EQ(c.lastMinute(1000), 0);
    c.add(1000);
    c.add(1000);
    c.add(1030);
    EXPECT_EQ(c.lastMinute(1030), 3);
    EXPECT_EQ(c.lastMinute(1059), 3);
    EXPECT_EQ(c.lastMinute(1060), 1);  // the two of second 1000 are a minute old
    // A second's slot used again a minute later starts from nothing.
    c.add(1060);
    EXPECT_EQ(c.lastMinute(1060), 2);
    EXPECT_EQ(c.lastMinute(1089), 2);
    EXPECT_EQ(c.lastMinute(1090), 1);
    EXPECT_EQ(c.lastMinute(5000), 0);
    // The clock's first seconds (and a start at 0) count too.
    RecentCount early;
    early.add(0);
    EXPECT_EQ(early.lastMinute(0), 1);
    EXPECT_EQ(early.lastMinute(59), 1);
}
