#include <gtest/gtest.h>
#include <string.h>

#include "common/linkhead.h"
#include "common/log.h"

static const uint8_t kUuidBytes[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                       0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

TEST(LinkHeader, UuidTextGivesItsBytesInOrder)
{
    uint8_t uuid[16];
    EXPECT_EQ(extinfo_uuid("00112233-4455-6677-8899-aabbccddeeff", uuid), 0);
    EXPECT_EQ(memcmp(uuid, kUuidBytes, 16), 0);
    memset(uuid, 0, sizeof uuid);
    EXPECT_EQ(extinfo_uuid("00112233-4455-6677-8899-AABBCCDDEEFF", uuid), 0);
    EXPECT_EQ(memcmp(uuid, kUuidBytes, 16), 0);
    memset(uuid, 0, sizeof uuid);
    EXPECT_EQ(extinfo_uuid("00112233-4455-6677-8899-aabbccddeeff and more", uuid), 0);
    EXPECT_EQ(memcmp(uuid, kUuidBytes, 16), 0);
    // Up to three hyphens per separator fit.
    memset(uuid, 0, sizeof uuid);
    EXPECT_EQ(extinfo_uuid("00112233---4455-6677-8899-aabbccddeeff", uuid), 0);
    EXPECT_EQ(memcmp(uuid, kUuidBytes, 16), 0);
}

TEST(LinkHeaderDeathTest, MalformedUuidEndsTheProcess)
{
    debug = 4;
    uint8_t uuid[16];
    EXPECT_EXIT(extinfo_uuid("", uuid), testing::ExitedWithCode(255), "ERR:  -1process failed");
    EXPECT_EXIT(extinfo_uuid("00112233445566778899aabbccddeeff", uuid),
                testing::ExitedWithCode(255), " 4process failed");
    // A fourth hyphen would be read as the sign of the next pair.
    EXPECT_EXIT(extinfo_uuid("00112233----455-6677-8899-aabbccddeeff", uuid),
                testing::ExitedWithCode(255), "process failed");
    char long_run[6000];
    memset(long_run, '-', sizeof long_run);
    memcpy(long_run, "00112233", 8);
    snprintf(long_run + 5008, sizeof long_run - 5008, "4455-6677-8899-aabbccddeeff");
    EXPECT_EXIT(extinfo_uuid(long_run, uuid), testing::ExitedWithCode(255), "process failed");
}

TEST(LinkHeader, HeadStartsWithMagicThenUuidThenMac)
{
    LinkHeader head;
    memset(&head, 0xa5, sizeof head);
    EXPECT_EQ(tcp_head_init(&head, "lo", "00112233-4455-6677-8899-aabbccddeeff"), 0);
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&head);
    EXPECT_EQ(memcmp(bytes, "kovlat", 6), 0);
    EXPECT_EQ(memcmp(bytes + 6, kUuidBytes, 16), 0);
    uint8_t mac[6];
    ASSERT_EQ(extinfo_nicmac("lo", mac), 0);
    EXPECT_EQ(memcmp(bytes + 22, mac, 6), 0);
}

TEST(LinkHeaderDeathTest, UnusableInterfaceEndsTheProcess)
{
    debug = 4;
    LinkHeader head;
    const char *uuid = "00112233-4455-6677-8899-aabbccddeeff";
    EXPECT_EXIT(udp_head_init(&head, "fwnosuchnic0", uuid), testing::ExitedWithCode(255),
                "Get ap mac failed.*\n.*udp_head_init\\(\\): ERR: extinfo_nicmac: fwnosuchnic0 failed");
    // 16 characters do not fit an interface request: refused, not cut to "lo...".
    uint8_t mac[6];
    EXPECT_EQ(extinfo_nicmac("looooooooooooooo", mac), -1);
    EXPECT_EXIT(tcp_head_init(&head, "looooooooooooooooooooo", uuid), testing::ExitedWithCode(255),
                "extinfo_nicmac: lo+ failed");
}
