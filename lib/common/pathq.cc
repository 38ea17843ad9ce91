#include "pathq.h"

#include <errno.h>
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
    // Grow by doubling, not by each piece.
    uint32_t need = (uint32_t)(q->len + rest);
    if (q->capacity < need) {
        uint32_t cap = q->capacity ? q->capacity : 16384;
        while (cap < need)
            cap *= 2;
        brealloc(q, need, cap);
    }
    // Queue what the socket did not take, from the first byte it left.
    for (int k = 0; k < iovcnt; k++) {
        size_t len = iov[k].iov_len;
        if (skip >= len) {
            skip -= len;
            continue;
        }
        bconcat(q, static_cast<const char *>(iov[k].iov_base) + skip, (int)(len - skip));
        skip = 0;
    }
    return q->len;
}

int pathq_flush(ByteBuffer *q, int fd)
{
    if (q->len == 0)
        return 0;
    iovec iov = {q->data, (size_t)q->len};
    ssize_t n = send_some(fd, &iov, 1);
    if (n < 0)
        return kPathqError;
    if (n == q->len)
        breset(q);
    else if (n > 0)
        bshrink(q, (int)n);
    return q->len;
}
