#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

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

static void expect_uuid(const char *text, const char *hex)
{
    uint8_t uuid[16];
    uint8_t expected[16];
    for (int i = 0; i < 16; i++)
        expected[i] = (uint8_t)strtoul(std::string(hex + 2 * i, 2).c_str(), nullptr, 16);
    memset(uuid, 0x5a, sizeof uuid);
    EXPECT_EQ(extinfo_uuid(text, uuid), 0) << text;
    EXPECT_EQ(memcmp(uuid, expected, 16), 0) << text;
}

// The text is read as sscanf reads "%02hhx" pairs and "%[-]" runs.
TEST(LinkHeader, UuidPairsAreReadAsScanfReadsThem)
{
    // White space before a pair (not before a separator) is skipped.
    expect_uuid("  00 11 22 33-44 55-6677-8899-aabbccddeeff", "00112233445566778899aabbccddeeff");
    expect_uuid("00112233-\t4455-6677-8899-aabbccddeeff", "00112233445566778899aabbccddeeff");
    // A pair ends at two characters or at the first one that is no digit.
    expect_uuid("0112233-4455-6677-8899-aabbccddeeff", "01122303445566778899aabbccddeeff");
    expect_uuid("00112233-4455-6677-8899-aabbccddeef", "00112233445566778899aabbccddee0f");
    // A sign or a 0x prefix counts among a pair's two characters.
    expect_uuid("-1+2ab33-4455-6677-8899-aabbccddeeff", "ff02ab33445566778899aabbccddeeff");
    expect_uuid("0x112233-4455-6677-8899-aabbccddeeff", "00112233445566778899aabbccddeeff");
}

TEST(LinkHeaderDeathTest, MalformedUuidLogsTheConversionsMade)
{
    debug = 4;
    uint8_t uuid[16];
    EXPECT_EXIT(extinfo_uuid("   ", uuid), testing::ExitedWithCode(255), "ERR:     -1process failed");
    EXPECT_EXIT(extinfo_uuid("zz", uuid), testing::ExitedWithCode(255), "ERR: zz 0process failed");
    EXPECT_EXIT(extinfo_uuid("-", uuid), testing::ExitedWithCode(255), "ERR: - 0process failed");
    EXPECT_EXIT(extinfo_uuid("0011zz", uuid), testing::ExitedWithCode(255), " 2process failed");
    EXPECT_EXIT(extinfo_uuid("0X-x2233-4455-6677-8899-aabbccddeeff", uuid), testing::ExitedWithCode(255),
                " 1process failed");
    EXPECT_EXIT(extinfo_uuid("00112233-", uuid), testing::ExitedWithCode(255), " 5process failed");
    EXPECT_EXIT(extinfo_uuid("00112233-44g5", uuid), testing::ExitedWithCode(255), " 6process failed");
    EXPECT_EXIT(extinfo_uuid("00112233-4455-6677-8899-aabbccddee", uuid), testing::ExitedWithCode(255),
                " 19process failed");
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
