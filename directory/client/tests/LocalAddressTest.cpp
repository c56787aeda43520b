#include "directory/client/LocalAddress.h"

#include <gtest/gtest.h>

#include "testsupport/FreePort.h"
#include "testsupport/TestHttpServer.h"

namespace {

TEST(ClassifyAddressText, PrivateRangesByPrefix) {
    EXPECT_EQ(ClassifyAddressText("172.16.0.1"), "LAN");
    EXPECT_EQ(ClassifyAddressText("172.31.255.254"), "LAN");
    EXPECT_EQ(ClassifyAddressText("172.15.0.1"), "172.15.0.1");
    EXPECT_EQ(ClassifyAddressText("172.32.0.1"), "172.32.0.1");
    EXPECT_EQ(ClassifyAddressText("10.0.0.1"), "LAN");
    EXPECT_EQ(ClassifyAddressText("192.168.1.20"), "LAN");
    EXPECT_EQ(ClassifyAddressText("169.254.3.4"), "LAN");
    EXPECT_EQ(ClassifyAddressText("100.64.0.1"), "100.64.0.1");
    EXPECT_EQ(ClassifyAddressText("127.0.0.1"), "LAN");
    EXPECT_EQ(ClassifyAddressText("127.0.0.2"), "127.0.0.2");
    EXPECT_EQ(ClassifyAddressText("192.169.0.1"), "192.169.0.1");
    EXPECT_EQ(ClassifyAddressText("110.0.0.1"), "110.0.0.1");
}

TEST(ClassifyLocalAddress, LoopbackServiceIsLan) {
    testsupport::TestHttpServer server;
    std::string host = server.Start();
    EXPECT_EQ(ClassifyLocalAddress(host, 2000), "LAN");
}

TEST(ClassifyLocalAddress, ACancelledCheckGivesEmptyForAServiceThatWouldAnswer) {
    testsupport::TestHttpServer server;
    std::string host = server.Start();
    std::atomic<bool> cancel{false};
    EXPECT_EQ(ClassifyLocalAddress(host, 2000, &cancel), "LAN");
    cancel = true;
    EXPECT_EQ(ClassifyLocalAddress(host, 2000, &cancel), "");
}

TEST(ClassifyLocalAddress, RefusedOrBadHostGivesEmpty) {
    EXPECT_EQ(ClassifyLocalAddress("127.0.0.1:" + std::to_string(testsupport::FreeTcpPort()), 2000),
              "");
    EXPECT_EQ(ClassifyLocalAddress("127.0.0.1:99999", 2000), "");
    EXPECT_EQ(ClassifyLocalAddress("", 2000), "");
}

}  // namespace
