// The per-path send queue over a socketpair with a tiny send buffer, so
// that the socket really refuses bytes and takes only part of a gather write.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/pathq.h"

namespace {

class PathQueue : public ::testing::Test {
protected:
    int sv[2] = {-1, -1};
    ByteBuffer q;
    char sent[1 << 20];
    int nsent = 0;

    void SetUp() override
    {
        memset(&q, 0, sizeof q);
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
        int small = 4096;
        setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        fcntl(sv[0], F_SETFL, O_NONBLOCK);
        fcntl(sv[1], F_SETFL, O_NONBLOCK);
    }
    void TearDown() override
    {
        bfree(&q);
        for (int fd : sv)
            if (fd >= 0)
                close(fd);
    }
    // A "frame": a 5-byte head and an odd-sized body, numbered k.
    int send_frame(int k, int limit)
    {
        char head[8], body[777];
        snprintf(head, sizeof head, "%04d|", k % 10000);
        memset(body, 'a' + k % 26, sizeof body);
        iovec iov[2] = {{head, 5}, {body, sizeof body}};
        int r = pathq_send(&q, sv[0], iov, 2, limit);
        if (r >= 0) {
            memcpy(sent + nsent, head, 5);
            memcpy(sent + nsent + 5, body, sizeof body);
            nsent += 5 + sizeof body;
        }
        return r;
    }
    int drain(char *out, int room)
    {
        int got = 0;
        for (;;) {
            ssize_t n = read(sv[1], out + got, room - got);
            if (n <= 0)
                return got;
            got += (int)n;
        }
    }
    // Reads and flushes until everything sent has arrived at out, which
    // already holds n bytes; then compares it with what was sent.
    void drain_all(char *out, int n, int room)
    {
        for (int rounds = 0; rounds < 10000 && (q.len > 0 || n < nsent); rounds++) {
            n += drain(out + n, room - n);
            ASSERT_GE(pathq_flush(&q, sv[0]), 0);
        }
        n += drain(out + n, room - n);
        ASSERT_EQ(nsent, n);
        EXPECT_EQ(0, memcmp(sent, out, n));
        EXPECT_EQ(0, q.len);
    }
};

}  // namespace

TEST_F(PathQueue, WritesThroughWhileEmptyAndKeepsOrderWhenTheSocketIsFull)
{
    // The socket takes the first frame whole: nothing is queued.
    EXPECT_EQ(0, send_frame(0, 1 << 20));
    EXPECT_EQ(0u, q.capacity);

    // Fill it: the rest queues, and a later frame never overtakes it.
    int k = 1;
    while (q.len == 0)
        ASSERT_GE(send_frame(k++, 1 << 20), 0);
    for (int more = 0; more < 5; more++)
        ASSERT_GT(send_frame(k++, 1 << 20), 0);

    static char got[1 << 20];
    int n = 0;
    drain_all(got, n, (int)sizeof got);
}

TEST_F(PathQueue, APathThatWouldFallTooFarBehindIsRefusedAndNothingIsAdded)
{
    int limit = 8192;
    int k = 0;
    int r;
    while ((r = send_frame(k++, limit)) >= 0)
        ASSERT_LE(r, limit);
    EXPECT_EQ(kPathqOverflow, r);
    int held = q.len;
    EXPECT_GT(held, limit - 782);
    EXPECT_EQ(kPathqOverflow, send_frame(k, limit));
    EXPECT_EQ(held, q.len);
}

TEST_F(PathQueue, AClosedPeerIsAnErrorNotASignal)
{
    close(sv[1]);
    sv[1] = -1;
    EXPECT_EQ(kPathqError, send_frame(0, 1 << 20));
    EXPECT_EQ(EPIPE, errno);
    EXPECT_EQ(0, q.len);
    EXPECT_EQ(0, pathq_flush(&q, sv[0]));  // nothing queued: nothing to fail
}

TEST_F(PathQueue, PartialSendsWrapAroundTheQueueInOrderWithoutGrowingIt)
{
    // A few frames queued at a time and drained a little at a time, for far
    // more bytes than the queue holds: the ring wraps many times, the order
    // holds and the block stays the first size.
    static char got[1 << 20];
    int n = 0, k = 0;
    while (nsent < (int)sizeof sent - 8 * 782) {
        while (q.len < 8000 && nsent < (int)sizeof sent - 8 * 782)
            ASSERT_GE(send_frame(k++, 1 << 20), 0);
        char part[1000];
        ssize_t r = read(sv[1], part, sizeof part);
        if (r > 0) {
            memcpy(got + n, part, r);
            n += (int)r;
        }
        ASSERT_GE(pathq_flush(&q, sv[0]), 0);
    }
    drain_all(got, n, (int)sizeof got);
    EXPECT_EQ(16384u, q.capacity);
}

TEST_F(PathQueue, AWrappedQueueThatGrowsKeepsItsOrder)
{
    static char got[1 << 20];
    int n = 0, k = 0;
    // Wrap the ring first, then let it fill far past its first size.
    while (q.len < 12000)
        ASSERT_GE(send_frame(k++, 1 << 20), 0);
    n += drain(got + n, 6000);
    ASSERT_GE(pathq_flush(&q, sv[0]), 0);
    for (int more = 0; more < 80; more++)
        ASSERT_GT(send_frame(k++, 1 << 20), 0);
    EXPECT_GT(q.capacity, 16384u);
    drain_all(got, n, (int)sizeof got);
}
