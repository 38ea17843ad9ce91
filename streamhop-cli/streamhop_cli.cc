// streamhop-cli: connects to a local TCP server and to a remote TCP server and
// forwards what the local server sends to the remote one, every write behind
// the LinkHeader.  What the remote server sends is only printed.  One pair of
// connections at a time; when either side ends, both are closed and, a second
// later, made again.
#include <errno.h>
#include <netdb.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
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
    printf("recv buf %s\n", rbuf);
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
    // The "recv buf" and "retry connect" lines are read by whatever watches
    // this program: hand each one over when it is complete.
    setvbuf(stdout, nullptr, _IOLBF, 0);
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

    for (;;) {
        int lfd = link_local_server();
        if (lfd < 0) {
            sleep(1);
            continue;
        }
        int rfd = link_remote_server();
        if (rfd < 0) {
            // This cycle's local connection is of no use without a remote one.
            close(lfd);
            sleep(1);
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
        puts("retry connect");
        sleep(1);
    }
}
