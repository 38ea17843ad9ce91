#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "hub/core.h"

TEST(HubMac, ParsesBothCases)
{
    uint8_t mac[6];
    ASSERT_EQ(hub_parse_mac("aa:BB:0c:dd:ee:01", mac), 0);
    EXPECT_EQ(mac[1], 0xbb);
    EXPECT_EQ(mac[5], 0x01);
    EXPECT_EQ(hub_parse_mac("aa:bb:cc:dd:ee", mac), -1);
    EXPECT_EQ(hub_parse_mac("aa:bb:cc:dd:ee:ff:00", mac), -1);
    EXPECT_EQ(hub_parse_mac("aa-bb-cc-dd-ee-ff", mac), -1);
}
