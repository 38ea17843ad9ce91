#include "hub/relay.h"

#include <errno.h>
#include <ev.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "common/buffer.h"
#include "common/linkhead.h"
#include "common/log.h"
#include "common/net.h"
#include "common/pathq.h"
#include "hub/hub.h"
#include "hub/internal.h"  // hub_addr_text
#include "hub/json.h"
#include "hub/merge.h"

#define RELAY_OWNER(ptr, type, member) \
    reinterpret_cast<type *>(reinterpret_cast<char *>(ptr) - offsetof(type, member))

constexpr int kSlot = 2;  // HubDevice::plug index of this plug-in
// One read of a path.
constexpr size_t kPathRead = 65536;
// Delivered bytes the backend has not taken yet, above which the paths are
// not read (a slow backend slows the relay).
constexpr int kBackendPause = 256 * 1024;
// A path's receive buffer: with the relay's queue, what a path can be
// behind stays well inside the history.
constexpr int kPathRcvbuf = 1024 * 1024;
// A path not placed yet holds frames no placed path has delivered (or as
// many as it may hold), and no path delivered anything for this long: the
// placed paths that sent nothing meanwhile are dead, and are closed so that
// it takes over.
constexpr double kStallSeconds = 2.0;
// Reply frames: the relay reads 256 bytes at a time and skips 28.
constexpr size_t kReplyFrame = 256;
constexpr size_t kReplyText = kReplyFrame - kMergeHeadLen;
constexpr uint64_t kReplyFrames = 256;  // waiting reply frames at most
// The pace of reply frames: one leaves a path only when the one before it
// has left (none unsent), checked this often.
constexpr double kReplyTick = 0.001;
// dgramhop: copies within this long of the last arrival are duplicates.
constexpr uint32_t kDedupWindowMs = 2000;
// A datagram source not heard from for this long no longer counts as open.
constexpr double kDgramPathIdle = 10.0;

struct RelaySession;

struct RelayPath {
    MergePath m;
    RelaySession *s;
    RelayPath *next;
    int fd;
    ev_io rio;
    ev_timer hold;
    bool reading;
    bool placed;        // its place in the stream was found (and logged)
    ev_tstamp last_rx;  // latest bytes from it
    uint64_t reply_next;  // the next reply frame it has to send
    char peer[64];
    size_t held;
    uint8_t buf[kMergeHeadLen + kPathRead];
};

struct RelayDev;

struct RelaySession {
    MergeStream ms;
    RelayDev *rd;
    RelayPath *paths;
    int npaths;
    // The backend connection and what it has not taken yet.
    int bfd;
    ev_io brio, bwio;
    bool bconnected;
    bool bfailed;  // set inside a delivery; acted upon after it
    bool paused;   // paths not read: the backend is behind
    bool ending;   // no path left: what is queued goes out, then the end
    ByteBuffer bq;
    ev_tstamp last_delivery;
    uint64_t delivered_seen;
    // Reply frames [rtail, rhead), frame i at rframes[i % kReplyFrames].
    uint8_t *rframes;
    uint64_t rtail, rhead;
    bool backend_reading;
    ev_timer pace;
    ev_timer watch;
    char name[40];
};

struct DgramPath {
    sockaddr_storage a;
    socklen_t len;
    ev_tstamp seen;
    bool used;
};

struct RelayDev {
    HubDevice *d;
    sockaddr_storage tcp_to;
    socklen_t tcp_len;
    sockaddr_storage udp_to;
    socklen_t udp_len;
    RelaySession *session;
    // Streams: figures of every session so far (the current one's added).
    uint64_t frames, frames_dropped, ambiguous, sessions;
    // Datagrams.
    int ufd;
    ev_io uio;
    MergeDedup dd;
    DgramPath dpath[kDedupPaths];
};

static RelayDev *rdevs;
static size_t nrdevs;
static HubPlug relay_plug;
static ev_timer dgram_sweep;  // dgramhop identities go offline when quiet

static RelayDev *rdev_of(HubDevice *d)
{
    return static_cast<RelayDev *>(d->plug[kSlot]);
}

static ev_tstamp now()
{
    return ev_now(hub_loop);
}

// ------------------------------------------------------------ the backend

static void session_free(RelaySession *s);
static void session_fail(RelaySession *s, const char *why);
static void session_check(RelaySession *s);
static void paths_flow(RelaySession *s);

// Delivered bytes: to the backend, or queued while it connects or is slow.
static void relay_deliver(MergeStream *ms, const uint8_t *p, size_t n)
{
    RelaySession *s = RELAY_OWNER(ms, RelaySession, ms);
    s->rd->d->bytes_up += n;
    s->last_delivery = now();
    if (s->bfailed)
        return;
    if (!s->bconnected) {
        bconcat(&s->bq, reinterpret_cast<const char *>(p), static_cast<int>(n));
        return;
    }
    iovec iov = {const_cast<uint8_t *>(p), n};
    int left = pathq_send(&s->bq, s->bfd, &iov, 1, 1 << 30);
    if (left < 0) {
        s->bfailed = true;
        return;
    }
    if (left > 0 && !ev_is_active(&s->bwio))
        ev_io_start(hub_loop, &s->bwio);
}

static void backend_read_cb(struct ev_loop *, ev_io *w, int);

static void backend_connected(RelaySession *s)
{
    s->bconnected = true;
    log_info("%s: backend %s connected\n", s->name, s->rd->d->backend_tcp);
    ev_io_start(hub_loop, &s->brio);
    s->backend_reading = true;
    if (s->bq.len > 0)
        ev_io_start(hub_loop, &s->bwio);
}

static void backend_write_cb(struct ev_loop *, ev_io *w, int)
{
    RelaySession *s = RELAY_OWNER(w, RelaySession, bwio);
    if (!s->bconnected) {
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(s->bfd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
            err = errno;
        if (err != 0) {
            errno = err;
            log_err("%s: backend %s: connect failed: %m\n", s->name, s->rd->d->backend_tcp);
            session_fail(s, "no backend");
            return;
        }
        ev_io_stop(hub_loop, w);
        backend_connected(s);
        paths_flow(s);
        return;
    }
    int left = pathq_flush(&s->bq, s->bfd);
    if (left < 0) {
        log_err("%s: backend %s: send failed: %m\n", s->name, s->rd->d->backend_tcp);
        session_fail(s, "backend failed");
        return;
    }
    if (left == 0) {
        ev_io_stop(hub_loop, w);
        if (s->ending) {
            session_free(s);
            return;
        }
    }
    paths_flow(s);
}

static void backend_open(RelaySession *s)
{
    RelayDev *rd = s->rd;
    s->bfd = socket(rd->tcp_to.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ev_io_init(&s->brio, backend_read_cb, s->bfd, EV_READ);
    ev_io_init(&s->bwio, backend_write_cb, s->bfd, EV_WRITE);
    if (s->bfd < 0) {
        log_err("%s: backend socket: %m\n", s->name);
        s->bfailed = true;
        return;
    }
    if (connect(s->bfd, reinterpret_cast<sockaddr *>(&rd->tcp_to), rd->tcp_len) == 0) {
        backend_connected(s);
        return;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        log_err("%s: backend %s: connect failed: %m\n", s->name, rd->d->backend_tcp);
        s->bfailed = true;
        return;
    }
    ev_io_start(hub_loop, &s->bwio);
}

// ---------------------------------------------------------------- replies

static void pace_arm(RelaySession *s)
{
    if (!ev_is_active(&s->pace) && s->rtail < s->rhead) {
        ev_timer_set(&s->pace, kReplyTick, kReplyTick);
        ev_timer_start(hub_loop, &s->pace);
    }
}

// The backend's bytes become reply frames: the relay's header, at most 228
// bytes of text and zeros up to 256 bytes, so that each of the relay's
// 256-byte reads takes exactly one frame and its text ends there.
static void backend_read_cb(struct ev_loop *, ev_io *w, int)
{
    RelaySession *s = RELAY_OWNER(w, RelaySession, brio);
    size_t room = static_cast<size_t>(kReplyFrames - (s->rhead - s->rtail));
    if (room == 0) {
        ev_io_stop(hub_loop, w);
        s->backend_reading = false;
        return;
    }
    uint8_t buf[kReplyText * 16];
    size_t want = room < 16 ? room * kReplyText : sizeof buf;
    ssize_t n = recv(s->bfd, buf, want, 0);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n == 0)
            log_info("%s: backend %s closed the connection\n", s->name, s->rd->d->backend_tcp);
        else
            log_err("%s: backend %s: %m\n", s->name, s->rd->d->backend_tcp);
        session_fail(s, "backend closed");
        return;
    }
    for (ssize_t off = 0; off < n; off += kReplyText) {
        size_t len = static_cast<size_t>(n - off) < kReplyText ? n - off : kReplyText;
        uint8_t *f = s->rframes + (s->rhead % kReplyFrames) * kReplyFrame;
        memcpy(f, s->ms.head, kMergeHeadLen);
        memcpy(f + kMergeHeadLen, buf + off, len);
        memset(f + kMergeHeadLen + len, 0, kReplyText - len);
        s->rhead++;
        s->rd->d->bytes_down += len;
    }
    pace_arm(s);
}

// Each path takes the next reply frame once the one before has left it.
static void pace_cb(struct ev_loop *, ev_timer *w, int)
{
    RelaySession *s = RELAY_OWNER(w, RelaySession, pace);
    uint64_t low = s->rhead;
    for (RelayPath *p = s->paths; p; p = p->next) {
        if (p->reply_next < s->rtail)
            p->reply_next = s->rtail;
        int unsent = 0;
        if (p->reply_next < s->rhead && ioctl(p->fd, SIOCOUTQNSD, &unsent) == 0 && unsent == 0) {
            const uint8_t *f = s->rframes + (p->reply_next % kReplyFrames) * kReplyFrame;
            ssize_t r = send(p->fd, f, kReplyFrame, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (r == static_cast<ssize_t>(kReplyFrame))
                p->reply_next++;
        }
        if (p->reply_next < low)
            low = p->reply_next;
    }
    // A path far behind (or stuck) loses its oldest frames rather than stop
    // the others: the ring drops what the fastest path has sent once full.
    uint64_t fastest = s->rtail;
    for (RelayPath *p = s->paths; p; p = p->next)
        if (p->reply_next > fastest)
            fastest = p->reply_next;
    s->rtail = low;
    if (s->rhead - s->rtail == kReplyFrames && fastest > s->rtail) {
        s->rtail++;
        s->rd->d->dropped_down += kReplyText;
    }
    if (!s->paths)
        s->rtail = s->rhead;
    if (s->rtail == s->rhead)
        ev_timer_stop(hub_loop, w);
    if (!s->backend_reading && s->bconnected && s->rhead - s->rtail < kReplyFrames) {
        ev_io_start(hub_loop, &s->brio);
        s->backend_reading = true;
    }
}

// ----------------------------------------------------------------- paths

static void path_read_cb(struct ev_loop *, ev_io *w, int);
static void hold_cb(struct ev_loop *, ev_timer *w, int);
static void watch_cb(struct ev_loop *, ev_timer *w, int);

// Reads the paths while the backend keeps up, each while it may hold more.
static void paths_flow(RelaySession *s)
{
    s->paused = s->bq.len >= kBackendPause;
    for (RelayPath *p = s->paths; p; p = p->next) {
        bool want = !s->paused && !mstream_path_full(&p->m) && p->m.state != MERGE_FAILED;
        if (want && !p->reading)
            ev_io_start(hub_loop, &p->rio);
        else if (!want && p->reading)
            ev_io_stop(hub_loop, &p->rio);
        p->reading = want;
    }
}

static void device_state(RelayDev *rd, const char *peer)
{
    HubDevice *d = rd->d;
    bool online = rd->session && rd->session->npaths > 0;
    if (peer)
        snprintf(d->peer, sizeof d->peer, "%s", peer);
    if (online != d->online) {
        d->online = online;
        d->since = time(nullptr);
        if (online)
            d->link_ups++;
    }
    d->transport = HubTransport::tcp;
}

// The one end of a path: its watchers stopped, its descriptor closed, its
// place in the merge given up (another path may take over now).
static void path_close(RelayPath *p, const char *why)
{
    RelaySession *s = p->s;
    ev_io_stop(hub_loop, &p->rio);
    ev_timer_stop(hub_loop, &p->hold);
    close(p->fd);
    for (RelayPath **l = &s->paths; *l; l = &(*l)->next) {
        if (*l == p) {
            *l = p->next;
            break;
        }
    }
    s->npaths--;
    log_info("%s: path %s closed: %s (%d open)\n", s->name, p->peer, why, s->npaths);
    mstream_path_remove(&s->ms, &p->m);
    free(p);
    if (s->npaths == 0) {
        // The session ends once the backend has everything.
        s->ending = true;
        s->rd->session = nullptr;
        device_state(s->rd, nullptr);
        if (s->bq.len == 0 || s->bfailed)
            session_free(s);
        return;
    }
    session_check(s);
}

// After every call into the merge: close what failed in it, follow the
// backend's state and the flow.
static void session_check(RelaySession *s)
{
    if (s->bfailed && !s->ending) {
        session_fail(s, "backend failed");
        return;
    }
    for (RelayPath *p = s->paths; p; p = p->next) {
        if (p->m.state == MERGE_FAILED) {
            log_err("%s: path %s %s\n", s->name, p->peer, p->m.why);
            path_close(p, p->m.why);  // checks again
            return;
        }
        if (p->m.state == MERGE_PLACED && !p->placed) {
            p->placed = true;
            log_info("%s: path %s placed at frame %llu, %llu behind the head\n", s->name,
                     p->peer, static_cast<unsigned long long>(p->m.pos),
                     static_cast<unsigned long long>(s->ms.head_idx - p->m.pos));
        } else if (p->m.state == MERGE_UNPLACED) {
            p->placed = false;
        }
    }
    RelayDev *rd = s->rd;
    rd->d->last_seen = time(nullptr);
    paths_flow(s);
}

// The `total` bytes in p->buf (held ones first) into the merge; what may
// begin a header stays in front, for kHoldSeconds as a board's does, then
// counts as payload (the client paused right after it).
static void path_input(RelayPath *p, size_t total)
{
    size_t keep = mstream_input(&p->s->ms, &p->m, p->buf, total);
    if (keep)
        memmove(p->buf, p->buf + total - keep, keep);
    p->held = keep;
    ev_timer_stop(hub_loop, &p->hold);
    if (keep) {
        ev_timer_set(&p->hold, kHoldSeconds, 0.);
        ev_timer_start(hub_loop, &p->hold);
    }
}

static void path_read_cb(struct ev_loop *, ev_io *w, int)
{
    RelayPath *p = RELAY_OWNER(w, RelayPath, rio);
    RelaySession *s = p->s;
    ssize_t n = recv(p->fd, p->buf + p->held, kPathRead, 0);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        char why[64];
        snprintf(why, sizeof why, "%s", n == 0 ? "closed by the relay" : strerror(errno));
        // Nothing can follow what was held: it was payload.
        if (p->held)
            mstream_flush_held(&s->ms, &p->m, p->buf, p->held);
        path_close(p, why);
        return;
    }
    p->last_rx = now();
    path_input(p, p->held + static_cast<size_t>(n));
    session_check(s);
}

static void hold_cb(struct ev_loop *, ev_timer *w, int)
{
    RelayPath *p = RELAY_OWNER(w, RelayPath, hold);
    RelaySession *s = p->s;
    if (p->held && mstream_flush_held(&s->ms, &p->m, p->buf, p->held))
        p->held = 0;
    session_check(s);
}

static void watch_cb(struct ev_loop *, ev_timer *w, int)
{
    RelaySession *s = RELAY_OWNER(w, RelaySession, watch);
    // A path not placed waits when it holds frames the history has not, or
    // when it keeps receiving while nothing is delivered (its frames fit
    // several places, so they may be new as well as old).
    ev_tstamp t = now();
    bool waiting = false;
    for (RelayPath *p = s->paths; p; p = p->next)
        waiting |= p->m.state == MERGE_UNPLACED &&
                   (p->m.ahead || mstream_path_full(&p->m) || t - p->last_rx < 1.0);
    if (!waiting || t - s->last_delivery < kStallSeconds)
        return;
    for (RelayPath *p = s->paths; p; p = p->next) {
        if (p->m.state == MERGE_PLACED && t - p->last_rx >= kStallSeconds) {
            log_warning("%s: path %s sent nothing for %.0f s while another waits: closed\n",
                        s->name, p->peer, t - p->last_rx);
            path_close(p, "silent");
            return;  // the next look in a second
        }
    }
}

static RelaySession *session_new(RelayDev *rd)
{
    RelaySession *s = static_cast<RelaySession *>(ss_malloc(sizeof *s));
    s->rd = rd;
    rd->sessions++;
    snprintf(s->name, sizeof s->name, "%s", rd->d->mac_text);
    uint8_t head[kMergeHeadLen];
    memcpy(head, magic, 6);
    memset(head + kMergeGroupAt, 0, 16);
    memcpy(head + 22, rd->d->mac, 6);
    mstream_init(&s->ms, head, relay_deliver, s->name);
    s->rframes = static_cast<uint8_t *>(ss_malloc(kReplyFrames * kReplyFrame));
    s->last_delivery = now();
    ev_init(&s->pace, pace_cb);
    ev_init(&s->watch, watch_cb);
    ev_timer_set(&s->watch, 1., 1.);
    ev_timer_start(hub_loop, &s->watch);
    backend_open(s);
    log_info("%s: session %llu begins, backend %s\n", s->name,
             static_cast<unsigned long long>(rd->sessions), rd->d->backend_tcp);
    return s;
}

static void session_free(RelaySession *s)
{
    RelayDev *rd = s->rd;
    while (s->paths) {
        RelayPath *p = s->paths;
        s->paths = p->next;
        ev_io_stop(hub_loop, &p->rio);
        ev_timer_stop(hub_loop, &p->hold);
        close(p->fd);
        bfree(&p->m.pend);
        free(p->m.plen);
        free(p);
    }
    s->npaths = 0;
    if (rd->session == s)
        rd->session = nullptr;
    rd->frames += s->ms.frames_delivered;
    rd->frames_dropped += mstream_copies_dropped(&s->ms);
    rd->ambiguous += s->ms.ambiguous;
    ev_io_stop(hub_loop, &s->brio);
    ev_io_stop(hub_loop, &s->bwio);
    ev_timer_stop(hub_loop, &s->pace);
    ev_timer_stop(hub_loop, &s->watch);
    if (s->bfd >= 0)
        close(s->bfd);
    log_info("%s: session ends: %llu frames delivered (%llu bytes), %llu copies dropped\n",
             s->name, static_cast<unsigned long long>(s->ms.frames_delivered),
             static_cast<unsigned long long>(s->ms.bytes_delivered),
             static_cast<unsigned long long>(mstream_copies_dropped(&s->ms)));
    mstream_free(&s->ms);
    bfree(&s->bq);
    free(s->rframes);
    free(s);
    device_state(rd, nullptr);
}

// The backend is gone or cannot be had: every path of the session closes
// (the relay connects again and a new session begins).
static void session_fail(RelaySession *s, const char *why)
{
    log_err("%s: session ends: %s\n", s->name, why);
    s->rd->d->dropped_up += static_cast<uint64_t>(s->bq.len);
    session_free(s);
}

static void relay_tcp(HubDevice *d, int fd, const sockaddr_storage *peer, socklen_t peerlen,
                      const uint8_t *rest, size_t n)
{
    (void)peerlen;
    RelayDev *rd = rdev_of(d);
    setnonblocking(fd);
    int rcv = kPathRcvbuf, one = 1;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    static const int keepalive[][3] = {{SOL_SOCKET, SO_KEEPALIVE, 1},
                                       {IPPROTO_TCP, TCP_KEEPIDLE, 10},
                                       {IPPROTO_TCP, TCP_KEEPINTVL, 5},
                                       {IPPROTO_TCP, TCP_KEEPCNT, 3}};
    for (const auto &k : keepalive)
        setsockopt(fd, k[0], k[1], &k[2], sizeof k[2]);
    if (!rd->session)
        rd->session = session_new(rd);
    RelaySession *s = rd->session;
    RelayPath *p = static_cast<RelayPath *>(ss_malloc(sizeof *p));
    p->s = s;
    p->fd = fd;
    p->m.owner = p;
    p->last_rx = now();
    p->reply_next = s->rhead;
    hub_addr_text(peer, p->peer, sizeof p->peer);
    ev_io_init(&p->rio, path_read_cb, fd, EV_READ);
    ev_init(&p->hold, hold_cb);
    p->next = s->paths;
    s->paths = p;
    s->npaths++;
    mstream_path_add(&s->ms, &p->m);
    log_info("%s: path %s joins (%d open)\n", s->name, p->peer, s->npaths);
    device_state(rd, p->peer);
    if (s->bfailed) {
        session_fail(s, "no backend");
        return;
    }
    if (n > 0) {
        memcpy(p->buf, rest, n);
        path_input(p, n);
    }
    session_check(s);
}

// -------------------------------------------------------------- datagrams

// A backend reply goes to every path heard from within the dedup window
// of the latest datagram: dgramhop reads replies on one of its sockets
// only, which the hub cannot tell, and passes on the copy that arrives
// there (the others it never reads).
static void dgram_reply_cb(struct ev_loop *, ev_io *w, int)
{
    RelayDev *rd = RELAY_OWNER(w, RelayDev, uio);
    for (int i = 0; i < 64; i++) {
        uint8_t buf[65536];
        ssize_t n = recv(rd->ufd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0)
            return;
        ev_tstamp latest = 0;
        for (const DgramPath &dp : rd->dpath)
            if (dp.used && dp.seen > latest)
                latest = dp.seen;
        bool sent = false;
        for (const DgramPath &dp : rd->dpath)
            if (dp.used && latest - dp.seen < kDedupWindowMs / 1000. &&
                hub_udp_sendto(&dp.a, dp.len, buf, static_cast<size_t>(n)) >= 0)
                sent = true;
        if (sent)
            rd->d->bytes_down += static_cast<uint64_t>(n);
        else
            rd->d->dropped_down += static_cast<uint64_t>(n);
    }
}

static int dgram_path(RelayDev *rd, const sockaddr_storage *src, socklen_t srclen, ev_tstamp t)
{
    int oldest = 0;
    for (int i = 0; i < kDedupPaths; i++) {
        DgramPath *dp = &rd->dpath[i];
        if (dp->used && dp->len == srclen && memcmp(&dp->a, src, srclen) == 0)
            return i;
        if (!dp->used || (rd->dpath[oldest].used && dp->seen < rd->dpath[oldest].seen))
            oldest = i;
    }
    DgramPath *dp = &rd->dpath[oldest];
    if (dp->used)
        dedup_forget_path(&rd->dd, oldest);
    memcpy(&dp->a, src, srclen);
    dp->len = srclen;
    dp->used = true;
    dp->seen = t;
    return oldest;
}

static void relay_datagram(HubDevice *d, const sockaddr_storage *src, socklen_t srclen,
                           const uint8_t *payload, size_t n)
{
    RelayDev *rd = rdev_of(d);
    ev_tstamp t = now();
    int path = dgram_path(rd, src, srclen, t);
    rd->dpath[path].seen = t;
    d->last_seen = time(nullptr);
    if (!d->online) {
        d->online = true;
        d->since = d->last_seen;
        d->link_ups++;
    }
    d->transport = HubTransport::udp;
    if (!dedup_arrival(&rd->dd, path, payload, n, static_cast<uint64_t>(t * 1000.)))
        return;
    hub_addr_text(src, d->peer, sizeof d->peer);
    if (send(rd->ufd, payload, n, MSG_DONTWAIT) < 0)
        d->dropped_up += n;
    else
        d->bytes_up += n;
}

// A dgramhop identity is offline once no path was heard from for a while.
static void dgram_sweep_cb(struct ev_loop *, ev_timer *, int)
{
    for (size_t i = 0; i < nrdevs; i++) {
        RelayDev *rd = &rdevs[i];
        HubDevice *d = rd->d;
        if (!d->backend_udp || !d->online || d->transport != HubTransport::udp)
            continue;
        bool heard = false;
        for (const DgramPath &dp : rd->dpath)
            heard |= dp.used && now() - dp.seen < kDgramPathIdle;
        if (!heard) {
            d->online = false;
            d->since = time(nullptr);
            log_info("%s: no datagram for %.0f s: offline\n", d->mac_text, kDgramPathIdle);
        }
    }
}

// ----------------------------------------------------------------- status

static int dgram_paths_open(const RelayDev *rd)
{
    int n = 0;
    for (const DgramPath &dp : rd->dpath)
        n += dp.used && now() - dp.seen < kDgramPathIdle;
    return n;
}

bool relay_figures(const HubDevice *d, RelayFigures *f)
{
    const RelayDev *rd = static_cast<const RelayDev *>(d->plug[kSlot]);
    if (!rd)
        return false;
    memset(f, 0, sizeof *f);
    f->stream = d->backend_tcp != nullptr;
    f->datagram = d->backend_udp != nullptr;
    const RelaySession *s = rd->session;
    f->stream_paths_open = s ? static_cast<uint64_t>(s->npaths) : 0;
    f->sessions = rd->sessions;
    f->frames_delivered = rd->frames + (s ? s->ms.frames_delivered : 0);
    f->frames_duplicates = rd->frames_dropped + (s ? mstream_copies_dropped(&s->ms) : 0);
    f->ambiguous_failovers = rd->ambiguous + (s ? s->ms.ambiguous : 0);
    f->datagram_paths_open = static_cast<uint64_t>(dgram_paths_open(rd));
    f->datagrams_delivered = rd->dd.delivered;
    f->datagram_duplicates = rd->dd.duplicates;
    f->window_cut_short = rd->dd.cut_short;
    return true;
}

static void relay_status(HubDevice *d, JsonOut *j)
{
    RelayFigures f;
    if (!relay_figures(d, &f))
        return;
    json_open(j, "relay");
    if (f.stream) {
        json_open(j, "stream");
        json_u64(j, "paths_open", f.stream_paths_open);
        json_u64(j, "sessions", f.sessions);
        json_u64(j, "frames_delivered", f.frames_delivered);
        json_u64(j, "duplicates_dropped", f.frames_duplicates);
        json_u64(j, "ambiguous_failovers", f.ambiguous_failovers);
        json_close(j);
    }
    if (f.datagram) {
        json_open(j, "datagram");
        json_u64(j, "paths_open", f.datagram_paths_open);
        json_u64(j, "datagrams_delivered", f.datagrams_delivered);
        json_u64(j, "duplicates_dropped", f.datagram_duplicates);
        json_u64(j, "window_cut_short", f.window_cut_short);
        json_close(j);
    }
    json_close(j);
}

// --------------------------------------------------------------- start-up

static void resolve(const char *hostport, int socktype, sockaddr_storage *to, socklen_t *len)
{
    char host[256];
    const char *colon = strrchr(hostport, ':');
    size_t hl = static_cast<size_t>(colon - hostport);
    if (hl >= sizeof host)
        hl = sizeof host - 1;
    memcpy(host, hostport, hl);
    host[hl] = '\0';
    // [v6]:port
    char *h = host;
    if (h[0] == '[' && hl > 1 && h[hl - 1] == ']') {
        h[hl - 1] = '\0';
        h++;
    }
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socktype;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(h, colon + 1, &hints, &res);
    if (rc != 0 || !res) {
        log_err("backend %s: %s\n", hostport, rc ? gai_strerror(rc) : "no address");
        exit(1);
    }
    memcpy(to, res->ai_addr, res->ai_addrlen);
    *len = res->ai_addrlen;
    freeaddrinfo(res);
}

void relay_start()
{
    size_t n = hub_device_count();
    rdevs = static_cast<RelayDev *>(ss_malloc(sizeof(RelayDev) * (n ? n : 1)));
    for (size_t i = 0; i < n; i++) {
        HubDevice *d = hub_device_at(i);
        if (!d->backend_tcp && !d->backend_udp)
            continue;
        RelayDev *rd = &rdevs[nrdevs++];
        rd->d = d;
        rd->ufd = -1;
        d->plug[kSlot] = rd;
        if (d->backend_tcp)
            resolve(d->backend_tcp, SOCK_STREAM, &rd->tcp_to, &rd->tcp_len);
        if (d->backend_udp) {
            resolve(d->backend_udp, SOCK_DGRAM, &rd->udp_to, &rd->udp_len);
            dedup_init(&rd->dd, kDedupWindowMs);
            rd->ufd = socket(rd->udp_to.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (rd->ufd < 0 ||
                connect(rd->ufd, reinterpret_cast<sockaddr *>(&rd->udp_to), rd->udp_len) < 0) {
                log_err("backend %s: %m\n", d->backend_udp);
                exit(1);
            }
            int buf = 4 << 20;
            setsockopt(rd->ufd, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
            ev_io_init(&rd->uio, dgram_reply_cb, rd->ufd, EV_READ);
            ev_io_start(hub_loop, &rd->uio);
        }
    }
    ev_timer_init(&dgram_sweep, dgram_sweep_cb, 1., 1.);
    for (size_t i = 0; i < nrdevs; i++)
        if (rdevs[i].d->backend_udp && !ev_is_active(&dgram_sweep))
            ev_timer_start(hub_loop, &dgram_sweep);
    log_info("relay: %zu relay identities\n", nrdevs);
    relay_plug.name = "relay";
    relay_plug.slot = kSlot;
    relay_plug.relay_tcp = relay_tcp;
    relay_plug.relay_datagram = relay_datagram;
    relay_plug.status_fields = relay_status;
    hub_plug_register(&relay_plug);
}
