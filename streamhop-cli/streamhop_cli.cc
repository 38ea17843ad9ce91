// streamhop-cli: connects to a local TCP server and to a remote TCP server and
// forwards what the local server sends to the remote one, every write behind
// the LinkHeader.  What the remote server sends is only printed.  One pair of
// connections at a time; when either side ends, both are closed and, a second
// later, made again.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <ev.h>

#include "cmdline.h"
#include "common/linkhead.h"
#include "common/log.h"
#include "common/net.h"

LinkHeader tcphead;

namespace {

constexpr size_t kBufSize = 2048;
// One byte of buf is never filled: the room runs from buf to buf + kRoom.
constexpr size_t kRoom = kBufSize - 1;
constexpr size_t kHeadLen = sizeof(LinkHeader);
constexpr size_t kRemoteChunk = 8;
// Room for lines that standard output has not taken yet.
constexpr size_t kOutQueue = 4096;

// The one pair of connections.  The watchers come first and in this order:
// each callback finds the record from its own watcher.
struct RelayClient {
    ev_io lio;   // lfd readable: lrecv_cb
    ev_io rwio;  // rfd writable: rsend_cb
    ev_io rrio;  // rfd readable: rrecv_cb
    int lfd;     // connected to the local server, -1 between pairs
    int rfd;     // connected to the remote server, -1 between pairs
    char buf[kBufSize];
    msghdr msg;  // every write to rfd; prepared once by init_msg
    iovec iov[2];  // [0] what is left of the header, [1] the pending bytes
    char *head;  // first byte not yet sent
    char *tail;  // end of the bytes received; buf <= head <= tail <= buf + kRoom
    // Header bytes of the current frame already accepted by the kernel: not 0
    // only after a write that cut the header.  The next write then sends the
    // rest of the header before any payload, so the remote side never sees a
    // partial header followed by other bytes.
    size_t head_sent;
};

RelayClient relay_client;

// Standard output, where the "recv buf" and "retry connect" lines go.  A
// reader that stops (a stuck log collector, a pipe nobody reads) must not
// stop the relay, so no write to it ever blocks: what it does not take at
// once waits in `q` for the write watcher, and a line that does not fit
// there any more is dropped whole and counted; the count is logged once the
// queue has drained.  Dropping rather than no longer reading the remote
// server keeps that connection's end noticed and its sender unhindered (a
// server that answers everything it gets would otherwise stop reading what
// we send it once its answers back up).
//
// The descriptor stdout refers to may be shared: a terminal with the shell
// that started us, a pipe or socket that stderr also writes to.  Its
// O_NONBLOCK flag would change it for all of them, so it is left alone:
// a socket is written with MSG_DONTWAIT, a pipe or terminal through a
// description of its own opened non-blocking; where that cannot be opened
// (no /proc, a pipe of another user), only when poll says it has room, at
// most PIPE_BUF bytes at a time, which a pipe takes without waiting.  Other
// files (regular files, /dev/null) never hold a writer up.
enum OutWay { kOutWrite, kOutSend, kOutPolled };

struct StdoutQueue {
    ev_io wio;  // fd writable while bytes wait: stdout_cb
    int fd;     // -1: no standard output, lines go nowhere
    OutWay way;
    size_t head;  // queued bytes are q[head, head + len)
    size_t len;
    unsigned long dropped;  // lines dropped since the queue was last empty
    char q[kOutQueue];
};

StdoutQueue out;

RelayClient *client_of_lio(ev_io *w)
{
    return reinterpret_cast<RelayClient *>(w);
}

RelayClient *client_of_rwio(ev_io *w)
{
    return reinterpret_cast<RelayClient *>(reinterpret_cast<char *>(w) -
                                           offsetof(RelayClient, rwio));
}

RelayClient *client_of_rrio(ev_io *w)
{
    return reinterpret_cast<RelayClient *>(reinterpret_cast<char *>(w) -
                                           offsetof(RelayClient, rrio));
}

void close_and_free_net(struct ev_loop *loop, RelayClient *rc);
void rsend_cb(struct ev_loop *loop, ev_io *w, int revents);

// getaddrinfo + a blocking connect to the first address that takes it.
// `func` and `side` make the lines read as the caller's own.
int link_server(const char *func, const char *side, const char *host, const char *port)
{
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    int ret = getaddrinfo(host, port, &hints, &res);
    if (ret != 0) {
        fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(ret));
        return -1;
    }
    int fd = -1;
    for (addrinfo *ai = res; ai != nullptr; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd < 0)
            continue;
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
            log_debug_as(func, "connect %s server ok, fd %d\n", side, fd);
            break;
        }
        log_debug_as(func, "connect %s server fail and close(fd)\n", side);
        close(fd);
        fd = -1;
    }
    freeaddrinfo(res);
    if (fd < 0)
        fprintf(stderr, "Could not getaddrinfo\n");
    return fd;
}

int link_local_server()
{
    return link_server(__func__, "local", args_info.localip_arg, args_info.localport_arg);
}

int link_remote_server()
{
    return link_server(__func__, "remote", args_info.dstip_arg, args_info.dstport_arg);
}

void stdout_cb(struct ev_loop *loop, ev_io *w, int revents);

void stdout_open()
{
    out.fd = -1;
    struct stat st;
    if (fstat(STDOUT_FILENO, &st) == 0) {
        out.fd = STDOUT_FILENO;
        out.way = kOutWrite;
        if (S_ISSOCK(st.st_mode)) {
            out.way = kOutSend;
        } else if (S_ISFIFO(st.st_mode) || isatty(STDOUT_FILENO)) {
            int fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (fd >= 0)
                out.fd = fd;
            else
                out.way = kOutPolled;
        }
    }
    ev_io_init(&out.wio, stdout_cb, out.fd, EV_WRITE);
}

// One write that does not wait: the count taken, or -1 with errno.
ssize_t stdout_write(const char *p, size_t n)
{
    if (out.way == kOutSend)
        return send(out.fd, p, n, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (out.way == kOutPolled) {
        pollfd pf = {out.fd, POLLOUT, 0};
        if (poll(&pf, 1, 0) != 1) {
            errno = EAGAIN;
            return -1;
        }
        if (n > PIPE_BUF)
            n = PIPE_BUF;
    }
    return write(out.fd, p, n);
}

// Hands the queue to standard output as far as it takes it now.
void stdout_flush(struct ev_loop *loop)
{
    while (out.len > 0) {
        ssize_t n = stdout_write(out.q + out.head, out.len);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                ev_io_start(loop, &out.wio);
                return;
            }
            // Nobody will read it any more (the reader went, the file is
            // full or gone): the lines from now on go nowhere.
            log_warning("standard output failed: %m(%d), its lines are dropped\n", errno);
            ev_io_stop(loop, &out.wio);
            out.fd = -1;
            out.len = 0;
            break;
        }
        out.head += static_cast<size_t>(n);
        out.len -= static_cast<size_t>(n);
    }
    out.head = 0;
    ev_io_stop(loop, &out.wio);
    if (out.dropped > 0) {
        log_warning("%lu lines for standard output dropped while it was not read\n",
                    out.dropped);
        out.dropped = 0;
    }
}

void stdout_cb(struct ev_loop *loop, ev_io *, int)
{
    stdout_flush(loop);
}

// Queues one whole line behind those waiting, or drops it when it does not
// fit; written at once when nothing waits.
void stdout_line(struct ev_loop *loop, const char *line, size_t n)
{
    if (out.fd < 0)
        return;
    if (out.len + n > sizeof out.q) {
        out.dropped++;
        return;
    }
    if (out.head + out.len + n > sizeof out.q) {
        memmove(out.q, out.q + out.head, out.len);
        out.head = 0;
    }
    memcpy(out.q + out.head + out.len, line, n);
    out.len += n;
    if (!ev_is_active(&out.wio))
        stdout_flush(loop);
}

void pause_cb(struct ev_loop *loop, ev_timer *, int)
{
    ev_break(loop, EVBREAK_ONE);
}

// The second between two cycles, spent in the loop so that standard output
// goes on draining meanwhile.
void pause_cycle(struct ev_loop *loop)
{
    ev_timer t;
    ev_timer_init(&t, pause_cb, 1., 0.);
    // The connects ran outside the loop: its clock may be behind.
    ev_now_update(loop);
    ev_timer_start(loop, &t);
    ev_run(loop, 0);
    ev_timer_stop(loop, &t);
}

void init_msg(msghdr *message, iovec *vector)
{
    message->msg_name = nullptr;
    message->msg_namelen = 0;
    message->msg_iov = vector;
    message->msg_iovlen = 2;
    message->msg_control = nullptr;
    message->msg_controllen = 0;
    message->msg_flags = 0;
    vector[0].iov_base = &tcphead;
    vector[0].iov_len = kHeadLen;
    vector[1].iov_base = nullptr;
    vector[1].iov_len = 0;
}

void lrecv_cb(struct ev_loop *loop, ev_io *w, int)
{
    RelayClient *rc = client_of_lio(w);
    char *end = rc->buf + kRoom;
    if (rc->tail >= end) {
        // The local socket stays readable while the buffer is full: stop
        // watching it (rsend_cb starts it again once the buffer is empty)
        // instead of running this callback on every loop pass.
        log_debug("buf full and return\n");
        ev_io_stop(loop, &rc->lio);
        return;
    }
    ssize_t n = recv(rc->lfd, rc->tail, end - rc->tail, 0);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            log_debug("local recv again\n");
            return;
        }
        log_debug("recv faild, close connect: %m %d\n", errno);
        close_and_free_net(loop, rc);
        return;
    }
    if (n == 0) {
        log_debug("local recv 0 bytes, close connect\n");
        // What the local server sent just before it closed may still be
        // pending: give it one (non-blocking) write before the teardown.
        if (rc->head < rc->tail)
            rsend_cb(loop, &rc->rwio, EV_WRITE);
        close_and_free_net(loop, rc);
        return;
    }
    rc->tail += n;
    log_debug("local recv %d\n", (int)n);
    ev_io_start(loop, &rc->rwio);
}

void rsend_cb(struct ev_loop *loop, ev_io *w, int)
{
    RelayClient *rc = client_of_rwio(w);
    if (rc->head >= rc->tail) {
        log_debug("stop send rio\n");
        ev_io_stop(loop, &rc->rwio);
        return;
    }
    size_t head_left = kHeadLen - rc->head_sent;
    size_t pending = rc->tail - rc->head;
    rc->iov[0].iov_base = reinterpret_cast<char *>(&tcphead) + rc->head_sent;
    rc->iov[0].iov_len = head_left;
    rc->iov[1].iov_base = rc->head;
    rc->iov[1].iov_len = pending;
    ssize_t n = sendmsg(rc->rfd, &rc->msg, 0);
    if (n < 0) {
        log_err("sendmsg failed: %m(%d)\n", errno);
        return;
    }
    log_debug("sendmsg ret = %d bytes\n", (int)n);
    size_t sent = static_cast<size_t>(n);
    if (sent < head_left) {
        rc->head_sent += sent;
        return;
    }
    // The header is complete: a payload left over goes out behind a header
    // of its own, like every write.
    rc->head_sent = 0;
    rc->head += sent - head_left;
    if (rc->head >= rc->tail) {
        rc->head = rc->tail = rc->buf;
        if (!ev_is_active(&rc->lio) && rc->lfd >= 0)
            ev_io_start(loop, &rc->lio);
    }
}

void rrecv_cb(struct ev_loop *loop, ev_io *w, int)
{
    RelayClient *rc = client_of_rrio(w);
    char rbuf[kRemoteChunk + 1];  // the extra zero ends a full piece of text
    memset(rbuf, 0, sizeof rbuf);
    ssize_t n = recv(rc->rfd, rbuf, kRemoteChunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;  // nothing there after all; the connection is fine
    if (n <= 0) {
        log_debug("remote server closed\n");
        close_and_free_net(loop, rc);
        return;
    }
    char text[sizeof "recv buf \n" + kRemoteChunk];
    int len = snprintf(text, sizeof text, "recv buf %s\n", rbuf);
    stdout_line(loop, text, static_cast<size_t>(len));
}

// The one teardown of a pair: safe to call again, ends the current ev_run.
void close_and_free_net(struct ev_loop *loop, RelayClient *rc)
{
    if (rc->lfd < 0 && rc->rfd < 0)
        return;
    memset(rc->buf, 0, sizeof rc->buf);
    ev_io_stop(loop, &rc->lio);
    ev_io_stop(loop, &rc->rwio);
    ev_io_stop(loop, &rc->rrio);
    if (rc->lfd >= 0)
        close(rc->lfd);
    if (rc->rfd >= 0)
        close(rc->rfd);
    rc->lfd = -1;
    rc->rfd = -1;
    rc->head_sent = 0;
    ev_break(loop, EVBREAK_ALL);
}

}  // namespace

int main(int argc, char **argv)
{
    proc_args(argc, argv);
    struct ev_loop *loop = ev_default_loop(0);
    tcp_head_init(&tcphead, args_info.nic_arg, args_info.uuid_arg);
    // A write to a connection the remote server has reset must fail with
    // EPIPE, not end the process.
    signal(SIGPIPE, SIG_IGN);

    RelayClient *rc = &relay_client;
    memset(&rc->msg, 0, sizeof rc->msg);
    memset(rc->iov, 0, sizeof rc->iov);
    init_msg(&rc->msg, rc->iov);
    rc->lfd = -1;
    rc->rfd = -1;
    stdout_open();

    for (;;) {
        int lfd = link_local_server();
        if (lfd < 0) {
            pause_cycle(loop);
            continue;
        }
        int rfd = link_remote_server();
        if (rfd < 0) {
            // This cycle's local connection is of no use without a remote one.
            close(lfd);
            pause_cycle(loop);
            continue;
        }
        setnonblocking(rfd);
        setnonblocking(lfd);
        rc->lfd = lfd;
        rc->rfd = rfd;
        rc->head = rc->tail = rc->buf;
        rc->head_sent = 0;
        ev_io_init(&rc->lio, lrecv_cb, lfd, EV_READ);
        ev_io_init(&rc->rwio, rsend_cb, rfd, EV_WRITE);
        ev_io_init(&rc->rrio, rrecv_cb, rfd, EV_READ);
        ev_io_start(loop, &rc->lio);
        ev_io_start(loop, &rc->rwio);
        ev_io_start(loop, &rc->rrio);
        ev_run(loop, 0);
        static const char retry[] = "retry connect\n";
        stdout_line(loop, retry, sizeof retry - 1);
        pause_cycle(loop);
    }
}
