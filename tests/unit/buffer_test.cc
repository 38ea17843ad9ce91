#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include "common/buffer.h"

TEST(ByteBuffer, AppendWithinCapacityDoesNotGrow)
{
    ByteBuffer b;
    balloc(&b, 2048);
    char src[100];
    memset(src, 'x', sizeof src);
    char *block = b.data;
    bconcat(&b, src, 100);
    EXPECT_EQ(b.len, 100);
    EXPECT_EQ(b.capacity, 2048u);
    EXPECT_EQ(b.data, block);
    bfree(&b);
}

TEST(ByteBuffer, GrowsToExactlyTheNeededLength)
{
    ByteBuffer b;
    balloc(&b, 2048);
    char src[2000];
    memset(src, 'a', sizeof src);
    bconcat(&b, src, 2000);
    memset(src, 'b', 100);
    bconcat(&b, src, 100);
    EXPECT_EQ(b.len, 2100);
    EXPECT_EQ(b.capacity, 2100u);
    EXPECT_EQ(b.data[1999], 'a');
    EXPECT_EQ(b.data[2000], 'b');
    EXPECT_EQ(b.data[2099], 'b');
    bfree(&b);
}

TEST(ByteBuffer, ShrinkDropsTheFrontAndKeepsTheBlock)
{
    ByteBuffer b;
    balloc(&b, 2048);
    bconcat(&b, "abcdef", 6);
    char *block = b.data;
    bshrink(&b, 3);
    EXPECT_EQ(b.len, 3);
    EXPECT_EQ(b.idx, 0);
    EXPECT_EQ(b.capacity, 2048u);
    EXPECT_EQ(b.data, block);
    EXPECT_EQ(memcmp(b.data, "def", 3), 0);
    // A partial write of everything but one byte, then the last byte.
    bshrink(&b, 2);
    EXPECT_EQ(b.len, 1);
    EXPECT_EQ(b.data[0], 'f');
    bfree(&b);
}

TEST(ByteBuffer, ResetKeepsCapacityAndEmptiness)
{
    ByteBuffer b;
    balloc(&b, 2048);
    EXPECT_EQ(bufempty(&b), 1);
    char src[2048];
    memset(src, 'z', sizeof src);
    bconcat(&b, src, 500);
    EXPECT_EQ(bufempty(&b), 0);
    breset(&b);
    EXPECT_EQ(bufempty(&b), 1);
    char *block = b.data;
    bconcat(&b, src, 2048);
    EXPECT_EQ(b.data, block);
    EXPECT_EQ(b.capacity, 2048u);
    bfree(&b);
    EXPECT_EQ(bufempty(&b), 1);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.capacity, 0u);
    bfree(&b);  // twice is harmless
    bfree(nullptr);
}

TEST(ByteBuffer, ReallocTakesTheLargerSize)
{
    EXPECT_EQ(brealloc(nullptr, 10, 10), -1);
    ByteBuffer b;
    balloc(&b, 2048);
    EXPECT_EQ(brealloc(&b, 10, 4096), 4096);
    EXPECT_EQ(b.capacity, 4096u);
    EXPECT_EQ(brealloc(&b, 100, 0), 100);  // never shrinks
    EXPECT_EQ(b.capacity, 4096u);
    // Nothing appended for an empty or negative count.
    bconcat(&b, "x", 0);
    bconcat(&b, "x", -5);
    EXPECT_EQ(b.len, 0);
    bfree(&b);
}

TEST(ByteBuffer, AllocationIsZeroFilled)
{
    unsigned char *p = static_cast<unsigned char *>(ss_malloc(64));
    for (int i = 0; i < 64; i++)
        EXPECT_EQ(p[i], 0);
    p = static_cast<unsigned char *>(ss_realloc(p, 4096));
    EXPECT_EQ(p[63], 0);
    free(p);
}
