#include <gtest/gtest.h>
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
