// streamhop: accepts one local TCP client per cycle and writes each chunk it
// sends, behind the link header, to the remote server over one connection
// per configured outgoing interface; replies read from one of them
// (remote_fd) go back to the client.  A cycle ends as a whole when a side
// closes, and the next one starts a second later.
#include <errno.h>
#include <ev.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include "cmdline.h"
#include "common/buffer.h"
#include "common/daemon.h"
#include "common/linkhead.h"
#include "common/net.h"
#include "common/pathq.h"
#include "common/log.h"
#include "ifmon/ifmon.h"

// One cycle's session: the listener, the local client, the remote socket.
struct RelaySession {
    ev_io listen_io;
    ev_io client_io;
    int listen_fd;
    int client_fd;  // 0 until a client is accepted
    ev_io remote_io;
    int remote_fd;  // one of the entries of sdrfd; 0 none yet, -1 none left
    int closed;     // the cycle has been torn down
};

LinkHeader tcphead;
struct ev_loop *loop;
struct hostent *host;
RelaySession sercli;
char remotebuffer[256];

// One outgoing path (one entry of sdrfd) within a cycle.  A path is down
// (no connection: waiting for its back-off or for the monitor), connecting
// (non-blocking connect under way, bounded by the timer) or up.  Every end
// of a path goes through path_release; only the whole cycle's end closes
// the client.
enum PathState { PATH_DOWN, PATH_CONNECTING, PATH_UP };
struct Path {
    ev_io wio;       // EV_WRITE: connect completion, then draining the queue
    ev_timer timer;  // the connect bound, or the back-off wait
    ByteBuffer q;    // bytes of whole frames the socket has not taken yet
    int state;
    int backoff;     // seconds before the next attempt after a failure
};
static Path *paths;

// Readers that drop what the remote server sends on the connections other
// than remote_fd, one per entry, so that nothing piles up unread in the
// kernel.  Allocated with the table, for one cycle.
static SocketWatch *drain;

// Deferred look at the paths (the end of a cycle cannot happen inside the
// monitor's handlers, which still use the table afterwards).
static ev_timer check_timer;
// Set from the start of a cycle until its first connections have settled;
// the listener is served only after that.
static int settling;
// Whether the client is being read (it is not while every path is behind).
static int client_reading;
// Replies the client has not taken yet, and the watcher that writes them
// when it can; while the queue is full the reply connection is not read, so
// a client that does not read slows only its own replies.
static ByteBuffer replyq;
static ev_io client_wio;
static int replies_paused;

// A connection attempt that the kernel does not answer ends after this.
static const int kReconnectSeconds = 3;
// Back-off between attempts of a path: doubles from the first to the last.
static const int kBackoffFirst = 1;
static const int kBackoffLast = 30;
// Upstream frames: the header, then at most this many bytes of the client's.
static const int kFrameData = 1400;
// One read of the client: up to this many frames.
static const int kReadFrames = 16;
// How far (bytes) a path's queue may fall behind the fastest path's before
// the path is closed, and the mark above which a path counts as behind: the
// client is read while at least one path is below it, so the fastest path
// sets the pace.  A queue thus holds at most about limit + mark + one read.
// (256 KiB closed paths only a few percent slower than the other under a
// saturating load within a second.)
static const int kPathQueueLimit = 1024 * 1024;
static const int kPathQueuePause = 64 * 1024;
// Keepalive of an idle path: first probe after this many seconds of silence,
// then one per interval; it fails after that many unanswered probes.
static const int kKeepIdle = 10;
static const int kKeepInterval = 5;
static const int kKeepProbes = 3;
// Each path socket's send buffer (the kernel doubles it for its overhead).
static const int kPathSendBuffer = 256 * 1024;
// A path with data in flight fails when nothing at all was acknowledged for
// this long (about the reach of the keepalive), looked at every few seconds.
// A server that is alive but does not read answers the window probes and
// has nothing unacknowledged in flight, so it only slows the client.
static const unsigned kStallSeconds = 25;
static const int kStallCheckSeconds = 5;
// Replies queued for the client above which the reply connection is not
// read; one read more always fits.
static const int kReplyPause = 32 * 1024;

// Where the remote server is, resolved once per cycle.
static sockaddr_in remote_addrs[4];
static int remote_count;

static RelaySession *session_of(ev_io *w, size_t offset)
{
    return reinterpret_cast<RelaySession *>(reinterpret_cast<char *>(w) - offset);
}

static void check_args()
{
    const struct {
        const char *value;
        const char *name;
    } required[] = {{args_info.port_arg, "port"},
                    {args_info.dstport_arg, "dstport"},
                    {args_info.dstip_arg, "dstip"},
                    {args_info.uuid_arg, "uuid"}};
    for (const auto &r : required) {
        if (!r.value) {
            log_err("please fill %s parament\n", r.name);
            exit(-1);
        }
    }
}

static int create_tcpserver()
{
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res;
    int rc = getaddrinfo(NULL, args_info.port_arg, &hints, &res);
    if (rc != 0) {
        fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(rc));
        exit(1);
    }
    int fd = -1;
    for (addrinfo *p = res; p; p = p->ai_next) {
        fd = socket(p->ai_family, p->ai_socktype, p->ai_protocol);
        if (fd < 0)
            continue;
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, p->ai_addr, p->ai_addrlen) == 0) {
            log_debug("bind addr ok\n");
            break;
        }
        log_debug("bind fail and close\n");
        close(fd);
        fd = -1;
    }
    if (fd < 0)
        fprintf(stderr, "Could not getaddrinfo\n");
    freeaddrinfo(res);
    return fd;
}

// Resolves --dstip and --dstport once per cycle; a name that does not
// resolve ends the process, as at every start of a cycle.
static void resolve_tcpserver()
{
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res;
    int rc = getaddrinfo(args_info.dstip_arg, args_info.dstport_arg, &hints, &res);
    if (rc != 0) {
        fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(rc));
        exit(1);
    }
    remote_count = 0;
    for (addrinfo *p = res; p && remote_count < 4; p = p->ai_next)
        if (p->ai_addrlen == sizeof(sockaddr_in))
            memcpy(&remote_addrs[remote_count++], p->ai_addr, sizeof(sockaddr_in));
    freeaddrinfo(res);
    if (remote_count == 0) {
        fprintf(stderr, "Could not getaddrinfo\n");
        exit(1);
    }
}

// Closes *fd when it is open and leaves it -1.
__attribute__((noinline)) static void close_fd(int *fd)
{
    if (*fd > 0)
        close(*fd);
    *fd = -1;
}

static void close_and_free_net(struct ev_loop *loop, RelaySession *s)
{
    if (s->closed)
        return;
    s->closed = 1;

    ev_io_stop(loop, &st.io);
    close_fd(&st.fd);

    ev_io_stop(loop, &s->client_io);
    ev_io_stop(loop, &s->remote_io);
    ev_io_stop(loop, &s->listen_io);
    ev_io_stop(loop, &client_wio);
    ev_timer_stop(loop, &check_timer);
    bfree(&replyq);
    replies_paused = 0;

    // Each descriptor of the cycle once: remote_fd is normally an entry.
    unsigned n = ifmon_count();
    for (unsigned i = 0; i < n; i++) {
        if (drain)
            ev_io_stop(loop, &drain[i].io);
        if (paths) {
            ev_io_stop(loop, &paths[i].wio);
            ev_timer_stop(loop, &paths[i].timer);
            bfree(&paths[i].q);
        }
        if (sdrfd[i] > 0 && sdrfd[i] == s->remote_fd)
            s->remote_fd = -1;
        close_fd(&sdrfd[i]);
    }
    close_fd(&s->remote_fd);
    close_fd(&s->listen_fd);
    close_fd(&s->client_fd);

    free(sdrfd);
    sdrfd = NULL;
    free(drain);
    drain = NULL;
    free(paths);
    paths = NULL;
    ev_break(loop, EVBREAK_ALL);
}

static void path_write_cb(struct ev_loop *loop, ev_io *w, int);

// One shot of timer w after `seconds`.  (Not inlined: a call is smaller
// than the watcher's fields set in place.)
__attribute__((noinline)) static void start_timer(ev_timer *w, int seconds)
{
    ev_timer_set(w, seconds, 0.);
    ev_timer_start(loop, w);
}

// Watcher w on fd for `events`, started.
__attribute__((noinline)) static void start_io(ev_io *w,
                                               void (*cb)(struct ev_loop *, ev_io *, int),
                                               int fd, int events)
{
    ev_io_init(w, cb, fd, events);
    ev_io_start(loop, w);
}

static void schedule_check()
{
    if (!ev_is_active(&check_timer))
        start_timer(&check_timer, 0);
}

static void remote_recv_cb(struct ev_loop *loop, ev_io *w, int);
static void client_send_cb(struct ev_loop *loop, ev_io *w, int);
static void drain_cb(struct ev_loop *loop, ev_io *w, int);

// remote_io on entry `remote`'s socket (-1: where it is), drain readers on
// the other connected paths.
static void watch_entries(int remote)
{
    if (remote >= 0) {
        ev_io_stop(loop, &sercli.remote_io);
        sercli.remote_fd = sdrfd[remote];
        ev_io_init(&sercli.remote_io, remote_recv_cb, sercli.remote_fd, EV_READ);
        if (!replies_paused)
            ev_io_start(loop, &sercli.remote_io);
    }
    for (unsigned j = 0; j < ifmon_count(); j++) {
        ev_io_stop(loop, &drain[j].io);
        drain[j].sock = sdrfd[j];
        if (paths[j].state == PATH_UP && sdrfd[j] != sercli.remote_fd) {
            start_io(&drain[j].io, drain_cb, sdrfd[j], EV_READ);
        }
    }
}

// Reads the client while some path keeps up (and one is connected); stops
// reading it while every path is behind, so that the client is slowed to the
// pace of the fastest path instead of being dropped.
static void client_flow()
{
    if (sercli.closed || sercli.client_fd <= 0)
        return;
    int keeps_up = ifmon_count() == 0;  // nowhere to send: read and drop
    for (unsigned i = 0; i < ifmon_count(); i++)
        if (paths[i].state == PATH_UP && paths[i].q.len < kPathQueuePause)
            keeps_up = 1;
    if (keeps_up && !client_reading) {
        log_debug("read the client again\n");
        ev_io_start(loop, &sercli.client_io);
        client_reading = 1;
    } else if (!keeps_up && client_reading) {
        log_debug("stop reading the client: no path keeps up\n");
        ev_io_stop(loop, &sercli.client_io);
        client_reading = 0;
    }
}

// The one release of a path: its watchers stopped, its queue dropped (a new
// connection starts on a frame boundary), replies moved to another connected
// path.  The entry's socket is the caller's to close.
static void path_release(int i)
{
    Path *p = &paths[i];
    ev_io_stop(loop, &p->wio);
    ev_timer_stop(loop, &p->timer);
    ev_io_stop(loop, &drain[i].io);
    bfree(&p->q);
    int was_up = p->state == PATH_UP;
    p->state = PATH_DOWN;
    if (was_up && sdrfd[i] > 0 && sdrfd[i] == sercli.remote_fd) {
        ev_io_stop(loop, &sercli.remote_io);
        sercli.remote_fd = -1;
        int next = -1;
        for (unsigned j = 0; j < ifmon_count(); j++)
            if ((int)j != i && paths[j].state == PATH_UP)
                next = (int)j;
        if (next >= 0) {
            watch_entries(next);
            log_debug("remote_fd moves to sdrfd[%d] = %d\n", next, sdrfd[next]);
        }
    }
    schedule_check();
}

// Path i failed (errno `err` in `what`): closed, and tried again after its
// back-off, which doubles with every failure in a row.
static void path_failed(int i, const char *what, int err)
{
    Path *p = &paths[i];
    const char *name = args_info.outdev_arg[i];
    log_err("%s on %s failed: %s(%d), sdrfd[%d] closed, retry in %d s\n", what, name,
            strerror(err), err, i, p->backoff);
    path_release(i);
    ifmon_close(i, __func__);
    start_timer(&p->timer, p->backoff);
    p->backoff = p->backoff * 2 > kBackoffLast ? kBackoffLast : p->backoff * 2;
}

static void path_up(int i)
{
    Path *p = &paths[i];
    ev_io_stop(loop, &p->wio);
    ev_timer_stop(loop, &p->timer);
    p->state = PATH_UP;
    p->backoff = kBackoffFirst;
    log_debug("connect tcpserver ok: %s, sdrfd[%d] = %d\n", args_info.outdev_arg[i], i, sdrfd[i]);
    start_timer(&p->timer, kStallCheckSeconds);
    // A path that comes while no reply connection is left takes the
    // replies; at the start of a cycle the last one listed does, once all
    // have settled.  A reply connection that works keeps them.
    watch_entries(settling || sercli.remote_fd > 0 ? -1 : i);
    schedule_check();
}

// Starts a non-blocking connection of entry i's fresh socket; the outcome
// comes to path_write_cb, or to path_timer_cb when the kernel says nothing.
static void link_to_tcpserver(int i)
{
    Path *p = &paths[i];
    int fd = sdrfd[i];
    static unsigned turn;  // several addresses: each attempt takes the next
    const sockaddr_in *to = &remote_addrs[turn++ % remote_count];
    // The same kernel buffer on every path (no autotuning), so that how far
    // a path's queue is behind compares like with like across paths.
    int sndbuf = kPathSendBuffer;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    // An idle path whose uplink died silently fails its keepalive and comes
    // back like any failed path (one with data in flight: path_timer_cb).
    static const int keepalive[][3] = {{SOL_SOCKET, SO_KEEPALIVE, 1},
                                       {IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdle},
                                       {IPPROTO_TCP, TCP_KEEPINTVL, kKeepInterval},
                                       {IPPROTO_TCP, TCP_KEEPCNT, kKeepProbes}};
    for (const auto &k : keepalive)
        setsockopt(fd, k[0], k[1], &k[2], sizeof k[2]);
    int rc = connect(fd, reinterpret_cast<const sockaddr *>(to), sizeof *to);
    if (rc == 0) {
        path_up(i);
        return;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        path_failed(i, "connect", errno);
        return;
    }
    p->state = PATH_CONNECTING;
    start_io(&p->wio, path_write_cb, fd, EV_WRITE);
    start_timer(&p->timer, kReconnectSeconds);
}

static Path *path_of_io(ev_io *w)
{
    return reinterpret_cast<Path *>(reinterpret_cast<char *>(w) - offsetof(Path, wio));
}

static void path_write_cb(struct ev_loop *loop, ev_io *w, int)
{
    Path *p = path_of_io(w);
    int i = (int)(p - paths);
    if (p->state == PATH_CONNECTING) {
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(sdrfd[i], SOL_SOCKET, SO_ERROR, &err, &len) < 0)
            err = errno;
        if (err == 0)
            path_up(i);
        else
            path_failed(i, "connect", err);
        return;
    }
    int left = pathq_flush(&p->q, sdrfd[i]);
    if (left < 0) {
        path_failed(i, "sendto", errno);
        return;
    }
    if (left == 0)
        ev_io_stop(loop, w);
    if (!client_reading && left < kPathQueuePause)
        client_flow();
}

static void path_timer_cb(struct ev_loop *, ev_timer *w, int)
{
    Path *p = reinterpret_cast<Path *>(reinterpret_cast<char *>(w) - offsetof(Path, timer));
    int i = (int)(p - paths);
    if (p->state == PATH_CONNECTING) {
        path_failed(i, "connect", ETIMEDOUT);
        return;
    }
    if (p->state == PATH_UP) {
        // The kernel alone would retransmit for a quarter of an hour.
        tcp_info ti;
        socklen_t len = sizeof ti;
        int wait = kStallCheckSeconds;
        if (getsockopt(sdrfd[i], IPPROTO_TCP, TCP_INFO, &ti, &len) == 0 && ti.tcpi_unacked) {
            if (ti.tcpi_last_ack_recv >= kStallSeconds * 1000) {
                log_err("%s: nothing acknowledged for %u ms, %u segments in flight\n",
                        args_info.outdev_arg[i], ti.tcpi_last_ack_recv, ti.tcpi_unacked);
                path_failed(i, "send", ETIMEDOUT);
                return;
            }
            // Look again when the bound is reached, if nothing comes first.
            unsigned left = (kStallSeconds * 1000 - ti.tcpi_last_ack_recv) / 1000 + 1;
            if (left < (unsigned)wait)
                wait = (int)left;
        }
        start_timer(&p->timer, wait);
        return;
    }
    // The back-off is over.  An interface without an address waits for the
    // monitor instead.
    if (!ifmon_present(i))
        return;
    if (ifmon_open(i, __func__) > 0) {
        link_to_tcpserver(i);
    } else {
        start_timer(&p->timer, p->backoff);
    }
}

// Ends the cycle when no path is left connected or connecting; at the start
// of a cycle, begins serving the listener once the first attempts settled.
static void check_cb(struct ev_loop *loop, ev_timer *, int)
{
    if (sercli.closed)
        return;
    int up = 0, connecting = 0, last = -1;
    for (unsigned i = 0; i < ifmon_count(); i++) {
        if (paths[i].state == PATH_UP) {
            up++;
            last = (int)i;
        }
        connecting += paths[i].state == PATH_CONNECTING;
    }
    if (settling) {
        if (connecting)
            return;
        settling = 0;
        if (up || ifmon_count() == 0) {
            watch_entries(last);
            ev_io_start(loop, &sercli.listen_io);
            return;
        }
    }
    if (!up && !connecting && ifmon_count() > 0) {
        fprintf(stderr, "Could not getaddrinfo\n");
        log_err("no interface connected to tcpserver\n");
        close_and_free_net(loop, &sercli);
        return;
    }
    client_flow();
}

static void recv_cb(struct ev_loop *loop, ev_io *w, int)
{
    RelaySession *s = session_of(w, offsetof(RelaySession, client_io));
    char buf[kFrameData * kReadFrames];
    ssize_t n = recv(s->client_fd, buf, sizeof buf, 0);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            log_debug("cli recv again\n");
            return;
        }
        if (n < 0)
            log_debug("recv faild: %m %d\n", errno);
        else
            log_debug("local server recv 0 bytes\n");
        close_and_free_net(loop, s);
        return;
    }
    log_debug("recv %d bytes\n", (int)n);
    // Consecutive frames, each the header and at most kFrameData bytes, in
    // one gather write per path.
    iovec iov[2 * kReadFrames];
    int cnt = 0;
    for (ssize_t off = 0; off < n; off += kFrameData) {
        iov[cnt].iov_base = &tcphead;
        iov[cnt++].iov_len = sizeof tcphead;
        iov[cnt].iov_base = buf + off;
        iov[cnt++].iov_len = (size_t)(n - off < kFrameData ? n - off : kFrameData);
    }
    // How far a path is behind counts from the fastest one's queue.
    int fastest = kPathQueuePause;
    for (unsigned i = 0; i < ifmon_count(); i++)
        if (paths[i].state == PATH_UP && paths[i].q.len < fastest)
            fastest = paths[i].q.len;
    for (unsigned i = 0; i < ifmon_count(); i++) {
        Path *p = &paths[i];
        if (p->state != PATH_UP)
            continue;
        int ret = pathq_send(&p->q, sdrfd[i], iov, cnt, fastest + kPathQueueLimit);
        if (ret < 0) {  // kPathqError (errno says why) or kPathqOverflow
            int err = ENOBUFS;
            if (ret == kPathqError) {
                err = errno;
                log_err("sendto failed: %m(%d), sdrfd[%d] = %d\n", err, (int)i, sdrfd[i]);
            } else {
                log_err("%s falls more than %d bytes behind, sdrfd[%d] = %d\n",
                        args_info.outdev_arg[i], kPathQueueLimit, (int)i, sdrfd[i]);
            }
            path_failed((int)i, "sendto", err);
            continue;
        }
        log_debug("send ret = %d\n", ret);
        if (ret > 0 && !ev_is_active(&p->wio)) {
            start_io(&p->wio, path_write_cb, sdrfd[i], EV_WRITE);
        }
    }
    client_flow();
}

static int entry_of_fd(int fd)
{
    for (unsigned i = 0; i < ifmon_count(); i++)
        if (sdrfd[i] == fd)
            return (int)i;
    return -1;
}

// A send to the client failed (it is gone): the cycle ends.
__attribute__((noinline)) static void client_failed(struct ev_loop *loop)
{
    log_debug("send to local client failed: %m %d\n", errno);
    close_and_free_net(loop, &sercli);
}

static void remote_recv_cb(struct ev_loop *loop, ev_io *w, int)
{
    RelaySession *s = session_of(w, offsetof(RelaySession, remote_io));
    ssize_t n = recv(s->remote_fd, remotebuffer, sizeof remotebuffer, 0);
    if (n == 0) {
        log_debug("remote server close\n");
        close_and_free_net(loop, s);
        return;
    }
    if (n < 0) {
        // A failed connection (reset, timeout) ends that path only.
        int err = errno;
        int i = entry_of_fd(s->remote_fd);
        if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR && i >= 0)
            path_failed(i, "recv", err);
        return;
    }
    // The first 28 bytes are the server's header; the text ends at the
    // first zero byte or with what was read.
    const char *text = remotebuffer + sizeof(LinkHeader);
    int len = n > (ssize_t)sizeof(LinkHeader) ? (int)(n - sizeof(LinkHeader)) : 0;
    const char *zero = static_cast<const char *>(memchr(text, 0, len));
    if (zero)
        len = (int)(zero - text);
    if (s->client_fd <= 0)
        return;
    iovec iov = {const_cast<char *>(text), (size_t)len};
    int left = pathq_send(&replyq, s->client_fd, &iov, 1, kReplyPause + sizeof remotebuffer);
    log_debug("reply of %d bytes: %d to local client, %d queued\n", (int)n, len, left);
    if (left < 0) {
        client_failed(loop);
        return;
    }
    if (left > 0 && !ev_is_active(&client_wio))
        start_io(&client_wio, client_send_cb, s->client_fd, EV_WRITE);
    if (left >= kReplyPause) {
        log_debug("stop reading replies: the client does not take them\n");
        ev_io_stop(loop, w);
        replies_paused = 1;
    }
}

// Hands queued replies to the client as it takes them, and reads the reply
// connection again once the queue is half empty.
static void client_send_cb(struct ev_loop *loop, ev_io *w, int)
{
    RelaySession *s = &sercli;
    int left = pathq_flush(&replyq, s->client_fd);
    if (left < 0) {
        client_failed(loop);
        return;
    }
    if (left == 0)
        ev_io_stop(loop, w);
    if (replies_paused && left < kReplyPause / 2) {
        replies_paused = 0;
        if (s->remote_fd > 0)
            ev_io_start(loop, &s->remote_io);
    }
}

static void drain_cb(struct ev_loop *, ev_io *w, int)
{
    SocketWatch *dw = reinterpret_cast<SocketWatch *>(reinterpret_cast<char *>(w) -
                                                      offsetof(SocketWatch, io));
    char buf[512];
    ssize_t n = recv(dw->sock, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
        log_debug("dropped %d bytes from fd %d\n", (int)n, dw->sock);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    // The server ended or lost this connection: the path goes and comes back.
    path_failed((int)(dw - drain), "recv", n == 0 ? ECONNRESET : errno);
}

// streamhop's step for entry i of the table.  It never tears the cycle down
// itself (the monitor still uses the table after it): check_cb does.
static int stream_entry_step(int i, IfmonEvent event, const char *name, const char *func)
{
    Path *p = &paths[i];
    // Closing: nothing may stay watching the descriptor about to go, and a
    // pending retry is moot (the monitor re-opens the entry or not).
    // Opened: the path starts afresh.
    ev_timer_stop(loop, &p->timer);
    if (p->state != PATH_DOWN)
        path_release(i);
    if (event == IFMON_CLOSING)
        return 0;
    p->backoff = kBackoffFirst;
    if (sdrfd[i] > 0) {
        link_to_tcpserver(i);
    } else {
        log_err_as(func, "connect %s to tcpserver failed, sdrfd[%d] = %d\n", name, i, sdrfd[i]);
        start_timer(&p->timer, p->backoff);
    }
    return 0;
}

static void accept_cb(struct ev_loop *loop, ev_io *w, int)
{
    RelaySession *s = session_of(w, offsetof(RelaySession, listen_io));
    int fd = accept(s->listen_fd, NULL, NULL);
    if (fd < 0) {
        // A client that went away before being taken is no reason to stop.
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED)
            return;
        log_err("local listen accept fail\n");
        exit(-1);
    }
    log_debug("accept ok\n");
    // Never blocks the loop: replies wait in replyq while the client is slow.
    setnonblocking(fd);
    s->client_fd = fd;
    log_debug("stop listen\n");
    ev_io_stop(loop, &s->listen_io);
    ev_io_init(&s->client_io, recv_cb, s->client_fd, EV_READ);
    client_reading = 0;
    client_flow();
}

int main(int argc, char **argv)
{
    proc_args(argc, argv);
    check_args();
    tcp_head_init(&tcphead, args_info.nic_arg, args_info.uuid_arg);
    loop = start_daemon(0);
    ifmon_setup(SOCK_STREAM, args_info.outdev_arg, args_info.outdev_given, stream_entry_step);

    for (;;) {
        memset(&sercli, 0, sizeof sercli);
        sercli.listen_fd = create_tcpserver();
        if (listen(sercli.listen_fd, 2) < 0) {
            log_err("listen failed: %m(%d)\n", errno);
            exit(1);
        }
        log_debug("listen ok\n");
        while (!(host = gethostbyname(args_info.dstip_arg))) {
            log_err("Get host name error: %s\n", args_info.dstip_arg);
            sleep(1);
        }
        resolve_tcpserver();
        // Served once the first connections have settled (check_cb).
        ev_io_init(&sercli.listen_io, accept_cb, sercli.listen_fd, EV_READ);

        st.fd = ip_monitor();
        start_io(&st.io, ipstat_cb, st.fd, EV_READ);

        unsigned n = args_info.outdev_given;
        sdrfd = static_cast<int *>(ss_malloc(sizeof(int) * (n + 1)));
        drain = static_cast<SocketWatch *>(ss_malloc(sizeof(SocketWatch) * (n + 1)));
        paths = static_cast<Path *>(ss_malloc(sizeof(Path) * (n + 1)));
        for (unsigned i = 0; i < n; i++) {
            sdrfd[i] = -1;
            drain[i].sock = -1;
            ev_io_init(&drain[i].io, drain_cb, -1, EV_READ);
            ev_io_init(&paths[i].wio, path_write_cb, -1, EV_WRITE);
            ev_timer_init(&paths[i].timer, path_timer_cb, 0., 0.);
            paths[i].backoff = kBackoffFirst;
        }
        log_debug("given outdev %d\n", (int)n);

        settling = 1;
        client_reading = 0;
        ev_timer_init(&check_timer, check_cb, 0., 0.);
        get_ifi_info();
        schedule_check();
        ev_run(loop, 0);
        // A cycle torn down in the dump, or a loop left for another reason:
        // make sure nothing of this cycle stays open.
        close_and_free_net(loop, &sercli);
        sleep(1);
        log_debug("=================goto recreate=====================\n");
    }
}
