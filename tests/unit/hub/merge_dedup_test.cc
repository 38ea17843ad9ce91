// Datagram copies over several paths: each delivered once, a payload the
// application sent twice delivered twice.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include "hub/merge.h"

namespace {

class Dedup : public ::testing::Test {
protected:
    MergeDedup d;
    void SetUp() override
    {
        memset(&d, 0, sizeof d);
        dedup_init(&d, 2000);
    }
    void TearDown() override { dedup_free(&d); }
    bool arrive(int path, const char *text, uint64_t t = 1000)
    {
        return dedup_arrival(&d, path, reinterpret_cast<const uint8_t *>(text), strlen(text), t);
    }
};

TEST_F(Dedup, ACopyOnTheOtherPathIsDropped)
{
    EXPECT_TRUE(arrive(0, "a"));
    EXPECT_FALSE(arrive(1, "a"));
    EXPECT_TRUE(arrive(1, "b"));
    EXPECT_FALSE(arrive(0, "b"));
    EXPECT_EQ(2u, d.delivered);
    EXPECT_EQ(2u, d.duplicates);
}

TEST_F(Dedup, ThePayloadSentTwiceArrivesTwiceInEveryOrder)
{
    const int orders[][4] = {{0, 0, 1, 1}, {0, 1, 0, 1}, {1, 0, 0, 1}, {1, 1, 0, 0}};
    for (const auto &o : orders) {
        dedup_free(&d);
        dedup_init(&d, 2000);
        int n = 0;
        for (int path : o)
            n += arrive(path, "twice");
        EXPECT_EQ(2, n);
    }
}

TEST_F(Dedup, APathThatLosesSomeCostsNothing)
{
    char buf[32];
    int got[3000] = {};
    uint64_t t = 0;
    for (int i = 0; i < 3000; i++) {
        snprintf(buf, sizeof buf, "datagram %d", i);
        t++;
        if (i % 3 != 1)  // path 0 loses a third
            got[i] += arrive(0, buf, t);
        got[i] += arrive(1, buf, t);
    }
    for (int i = 0; i < 3000; i++)
        ASSERT_EQ(1, got[i]) << i;
    EXPECT_EQ(3000u, d.delivered);
}

TEST_F(Dedup, ThreeCopiesOverThreePathsAreOne)
{
    EXPECT_TRUE(arrive(2, "x"));
    EXPECT_FALSE(arrive(0, "x"));
    EXPECT_FALSE(arrive(1, "x"));
}

TEST_F(Dedup, AfterTheWindowTheSamePayloadIsNew)
{
    EXPECT_TRUE(arrive(0, "late", 1000));
    EXPECT_FALSE(arrive(1, "late", 2900));  // within 2 s of the last arrival
    EXPECT_TRUE(arrive(1, "late", 5000));
    EXPECT_EQ(1u, d.used);
}

TEST_F(Dedup, AForgottenPathStartsFromZero)
{
    EXPECT_TRUE(arrive(0, "p"));
    EXPECT_FALSE(arrive(1, "p"));
    dedup_forget_path(&d, 1);
    EXPECT_TRUE(arrive(0, "p"));  // its count now exceeds path 1's
    EXPECT_FALSE(arrive(1, "p"));
}

TEST_F(Dedup, ManyPayloadsInTheWindowGrowTheTable)
{
    char buf[32];
    for (int i = 0; i < 50000; i++) {
        snprintf(buf, sizeof buf, "n%d", i);
        ASSERT_TRUE(arrive(0, buf, 1000 + i / 100));
    }
    for (int i = 0; i < 50000; i++) {
        snprintf(buf, sizeof buf, "n%d", i);
        ASSERT_FALSE(arrive(1, buf, 1500 + i / 100));
    }
    EXPECT_EQ(50000u, d.used);
    EXPECT_EQ(0u, d.cut_short);
}

TEST(MergeHash, TellsNearPayloadsApart)
{
    uint8_t a[64] = {}, b[64] = {};
    b[63] = 1;
    EXPECT_NE(merge_hash(a, 64), merge_hash(b, 64));
    EXPECT_NE(merge_hash(a, 63), merge_hash(a, 64));
    EXPECT_EQ(merge_hash(a, 5), merge_hash(b, 5));
}

}  // namespace
