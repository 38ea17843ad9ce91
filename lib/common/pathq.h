// A bounded send queue for one outgoing stream of a relay (a path, or the
// local client): the bytes its socket has not taken yet.  Write-through
// while the queue is empty: a send first offers everything to the socket
// and queues only the rest, so a socket that keeps up costs no copy.  What
// is queued goes out, in order, before anything sent later.
//
// The queue is a ring in the ByteBuffer's block: len bytes from idx on,
// wrapping at capacity (so a partial send never moves what is left).  Only
// these functions read or write a queue's bytes; len is its fill.  The
// ByteBuffer is the caller's (zero-filled before first use, bfree at the
// end); the functions never close the descriptor.
#pragma once

#include <sys/uio.h>

#include "common/buffer.h"

// Results besides the number of bytes left queued (>= 0).
constexpr int kPathqError = -1;     // the socket failed: errno says why
constexpr int kPathqOverflow = -2;  // the path would fall more than the limit behind

// Sends the `iovcnt` pieces behind what q holds, on non-blocking `fd`.
// Returns the bytes now queued, kPathqError (nothing queued from this call),
// or kPathqOverflow when what the socket did not take would bring the queue
// past `limit` bytes (nothing is added: the caller gives up on the path).
int pathq_send(ByteBuffer *q, int fd, const iovec *iov, int iovcnt, int limit);

// Offers the queued bytes to `fd` again.  Returns the bytes still queued or
// kPathqError.
int pathq_flush(ByteBuffer *q, int fd);
