#include "pathq.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

// One sendmsg that reports "the socket is full" as 0 bytes taken.
static ssize_t send_some(int fd, const iovec *iov, int iovcnt)
{
    msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = const_cast<iovec *>(iov);
    msg.msg_iovlen = iovcnt;
    for (;;) {
        ssize_t n = sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return -1;
    }
}

// The queued bytes as at most two pieces (the ring may wrap); their count.
static int ring_pieces(const ByteBuffer *q, iovec *iov)
{
    uint32_t first = q->capacity - (uint32_t)q->idx;
    if (first > (uint32_t)q->len)
        first = (uint32_t)q->len;
    iov[0].iov_base = q->data + q->idx;
    iov[0].iov_len = first;
    iov[1].iov_base = q->data;
    iov[1].iov_len = (uint32_t)q->len - first;
    return iov[1].iov_len ? 2 : 1;
}

// Appends count bytes at the ring's end; room is there.
static void ring_put(ByteBuffer *q, const char *src, uint32_t count)
{
    uint32_t end = ((uint32_t)q->idx + (uint32_t)q->len) % q->capacity;
    uint32_t first = q->capacity - end < count ? q->capacity - end : count;
    memcpy(q->data + end, src, first);
    memcpy(q->data, src + first, count - first);
    q->len += (int32_t)count;
}

// Makes room for `need` bytes in all, doubling; the ring starts at 0 after.
static void ring_grow(ByteBuffer *q, uint32_t need)
{
    if (q->capacity >= need)
        return;
    uint32_t cap = q->capacity ? q->capacity : 16384;
    while (cap < need)
        cap *= 2;
    char *block = static_cast<char *>(ss_malloc(cap));
    if (q->len) {
        iovec iov[2];
        ring_pieces(q, iov);
        memcpy(block, iov[0].iov_base, iov[0].iov_len);
        memcpy(block + iov[0].iov_len, iov[1].iov_base, iov[1].iov_len);
    }
    free(q->data);
    q->data = block;
    q->capacity = cap;
    q->idx = 0;
}

int pathq_send(ByteBuffer *q, int fd, const iovec *iov, int iovcnt, int limit)
{
    size_t total = 0;
    for (int k = 0; k < iovcnt; k++)
        total += iov[k].iov_len;
    size_t skip = 0;
    if (q->len == 0) {
        ssize_t n = send_some(fd, iov, iovcnt);
        if (n < 0)
            return kPathqError;
        skip = (size_t)n;
    }
    size_t rest = total - skip;
    if (rest == 0)
        return q->len;
    if ((size_t)q->len + rest > (size_t)limit)
        return kPathqOverflow;
    ring_grow(q, (uint32_t)(q->len + rest));
    // Queue what the socket did not take, from the first byte it left.
    for (int k = 0; k < iovcnt; k++) {
        size_t len = iov[k].iov_len;
        if (skip >= len) {
            skip -= len;
            continue;
        }
        ring_put(q, static_cast<const char *>(iov[k].iov_base) + skip, (uint32_t)(len - skip));
        skip = 0;
    }
    return q->len;
}

int pathq_flush(ByteBuffer *q, int fd)
{
    if (q->len == 0)
        return 0;
    iovec iov[2];
    int cnt = ring_pieces(q, iov);
    ssize_t n = send_some(fd, iov, cnt);
    if (n < 0)
        return kPathqError;
    q->len -= (int32_t)n;
    q->idx = q->len ? (int32_t)(((uint32_t)q->idx + (uint32_t)n) % q->capacity) : 0;
    return q->len;
}
