// linkhub's core: the boards' listeners (TCP and UDP on one port), the
// board links, the tcp: endpoints and the way bytes go between them.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "common/linkhead.h"
#include "common/log.h"
#include "hub/internal.h"
#include "hub/json.h"

struct ev_loop *hub_loop;
HubPlug *hub_plugs;
uint64_t hub_accept_shed;

static HubDevice *devices;
static HubDeviceCore *cores;
static size_t device_count;

// Devices by MAC: open addressing, index + 1 (0: empty).
static uint32_t *mac_table;
static size_t mac_mask;

static uint8_t (*groups)[16];
static int group_count;

static int board_fd = -1;  // TCP listener for the boards
static ev_io board_io;
static int udp_fd = -1;  // the same port, UDP
static ev_io udp_io;
static ev_timer udp_sweep;
static double udp_timeout;

// Kept open to be closed when accept() finds no descriptor left: the
// waiting connection is then taken and closed instead of waking the loop
// again at once.
static int spare_fd = -1;
static ev_tstamp shed_logged;
// Listeners stopped after descriptor exhaustion, started again a little later.
static ev_io **paused;
static size_t paused_count, paused_size;
static ev_timer resume_timer;
constexpr double kResumeSeconds = 0.1;

constexpr double kHeaderSeconds = 10;
// Kernel buffer sizes of an application's TCP connection, each way.
constexpr int kAppSocketBuffer = 65536;
constexpr int kRefusalMax = 256;
constexpr double kRefusalLogSeconds = 10;
static HubRefusal refusals[kRefusalMax];
static ev_tstamp refusal_logged[kRefusalMax];
static uint64_t refusal_quiet[kRefusalMax];  // refusals since the last line
static size_t refusal_count;

// One board TCP link: first waiting for its header (dev NULL), then the
// device's link until it ends or another link takes over.
struct HubLink {
    ev_io io;        // EV_READ
    ev_timer timer;  // the header bound
    int fd;
    bool failed;  // a send failed; the read callback ends the link
    HubDevice *dev;
    uint8_t head[kHeadLen];
    uint8_t head_len;
    HubSplit split;
    uint16_t frame_max;  // line bytes per frame towards the board
    char peer[64];
    sockaddr_storage addr;
    socklen_t addrlen;
};

// Reads from a board; the held bytes of a cut header go in front.
static uint8_t read_buf[kHeadLen + kUpRead];
// Reads from an application.
static uint8_t app_buf[kDownQueueMax];
// A datagram; one byte more than the largest, to see what is cut.
static uint8_t dgram_buf[65536];

static void link_read_cb(struct ev_loop *loop, ev_io *w, int revents);
static void pace_cb(struct ev_loop *loop, ev_timer *w, int revents);
static void pace_run(HubDeviceCore *c);

double hub_clock()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

void hub_plug_register(HubPlug *p)
{
    p->next = hub_plugs;
    hub_plugs = p;
}

size_t hub_device_count()
{
    return device_count;
}

HubDevice *hub_device_at(size_t i)
{
    return i < device_count ? &devices[i] : nullptr;
}

size_t hub_refusal_count()
{
    return refusal_count;
}

const HubRefusal *hub_refusal_at(size_t i)
{
    return i < refusal_count ? &refusals[i] : nullptr;
}

static size_t mac_hash(const uint8_t *mac)
{
    uint32_t h = 2166136261u;
    for (int i = 0; i < 6; i++)
        h = (h ^ mac[i]) * 16777619u;
    return h;
}

static HubDevice *device_by_mac(const uint8_t *mac)
{
    for (size_t i = mac_hash(mac) & mac_mask;; i = (i + 1) & mac_mask) {
        uint32_t v = mac_table[i];
        if (v == 0)
            return nullptr;
        if (memcmp(devices[v - 1].mac, mac, 6) == 0)
            return &devices[v - 1];
    }
}

static bool group_accepted(const uint8_t *g)
{
    for (int i = 0; i < group_count; i++)
        if (memcmp(groups[i], g, 16) == 0)
            return true;
    return false;
}

static void uuid_text(const uint8_t *u, char *text, size_t size)
{
    snprintf(text, size,
             "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0], u[1],
             u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14],
             u[15]);
}

void hub_addr_text(const sockaddr_storage *a, char *text, size_t size)
{
    char host[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (a->ss_family == AF_INET) {
        const sockaddr_in *in = reinterpret_cast<const sockaddr_in *>(a);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        port = ntohs(in->sin_port);
        snprintf(text, size, "%s:%u", host, port);
    } else if (a->ss_family == AF_INET6) {
        const sockaddr_in6 *in6 = reinterpret_cast<const sockaddr_in6 *>(a);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
        snprintf(text, size, "[%s]:%u", host, port);
    } else {
        snprintf(text, size, "?");
    }
}

// The address part of "ip:port" (what refusals of a peer are counted by).
static void peer_host(const char *peer, char *host, size_t size)
{
    snprintf(host, size, "%s", peer);
    char *colon = strrchr(host, ':');
    if (colon != nullptr)
        *colon = '\0';
}

// Counts a refusal of `what` (an identity or a peer's address) and logs it,
// at most once per kRefusalLogSeconds for each.
static void refuse(const char *func, const char *what, const char *peer, const char *reason)
{
    size_t i = 0;
    while (i < refusal_count && strcmp(refusals[i].what, what) != 0)
        i++;
    if (i == refusal_count) {
        if (refusal_count == kRefusalMax)
            i = kRefusalMax - 1;  // the last entry gathers the rest
        else
            refusal_count++;
        if (i < kRefusalMax - 1 || refusals[i].what[0] == '\0')
            snprintf(refusals[i].what, sizeof refusals[i].what, "%s",
                     i < kRefusalMax - 1 ? what : "others");
    }
    refusals[i].count++;
    ev_tstamp now = ev_now(hub_loop);
    if (refusal_logged[i] != 0 && now - refusal_logged[i] < kRefusalLogSeconds) {
        refusal_quiet[i]++;
        return;
    }
    refusal_logged[i] = now;
    if (refusal_quiet[i] > 0)
        log_warning_as(func, "refused %s from %s: %s (and %llu more since the last line)\n", what,
                       peer, reason, static_cast<unsigned long long>(refusal_quiet[i]));
    else
        log_warning_as(func, "refused %s from %s: %s\n", what, peer, reason);
    refusal_quiet[i] = 0;
}

static void resume_cb(struct ev_loop *loop, ev_timer *w, int revents)
{
    (void)w;
    (void)revents;
    for (size_t i = 0; i < paused_count; i++)
        ev_io_start(loop, paused[i]);
    paused_count = 0;
}

int hub_accept(int listen_fd, ev_io *w, sockaddr_storage *peer, socklen_t *peerlen)
{
    *peerlen = sizeof *peer;
    int fd = accept4(listen_fd, reinterpret_cast<sockaddr *>(peer), peerlen,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0)
        return fd;
    if (errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM)
        return -1;
    int err = errno;
    // Out of descriptors: the spare one takes the waiting connection, which
    // is closed at once; the listener rests a moment either way, so that a
    // queue of waiting connections does not keep the loop busy.
    hub_accept_shed++;
    if (spare_fd >= 0) {
        close(spare_fd);
        int shed = accept(listen_fd, nullptr, nullptr);
        if (shed >= 0)
            close(shed);
        spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    ev_io_stop(hub_loop, w);
    if (paused_count == paused_size) {
        paused_size = paused_size ? 2 * paused_size : 16;
        paused = static_cast<ev_io **>(ss_realloc(paused, paused_size * sizeof *paused));
    }
    paused[paused_count++] = w;
    if (!ev_is_active(&resume_timer)) {
        ev_timer_set(&resume_timer, kResumeSeconds, 0.);
        ev_timer_start(hub_loop, &resume_timer);
    }
    ev_tstamp now = ev_now(hub_loop);
    if (now - shed_logged >= 1) {
        shed_logged = now;
        errno = err;
        log_err_as("accept_cb", "accept failed: %m; connection shed (%llu so far)\n",
                   static_cast<unsigned long long>(hub_accept_shed));
    }
    errno = EAGAIN;
    return -1;
}

bool hub_app_attached(const HubDeviceCore *c)
{
    return c->app.fd >= 0 || hub_pty_attached(c);
}

static void notify_link_change(HubDevice *d)
{
    for (HubPlug *p = hub_plugs; p; p = p->next)
        if (p->link_change)
            p->link_change(d);
}

// ---- towards the board ----

// Drops what waits for the board's line (it went offline: a command
// delivered later would be worse than none).
static void drop_down(HubDeviceCore *c)
{
    c->dev->dropped_down += static_cast<uint64_t>(c->down.len);
    bfree(&c->down);
    ev_timer_stop(hub_loop, &c->pace_timer);
    c->ack_waits = 0;
    if (c->app_paused) {
        c->app_paused = false;
        if (c->app.fd >= 0)
            ev_io_start(hub_loop, &c->app_io);
        hub_pty_resume(c);
    }
}

// Seconds before the next frame of `payload` bytes may leave (0: now).
// For a TCP board, the previous frame must also have reached the board's
// kernel (nothing of ours unacknowledged) and the gap must have passed:
// then the board, which reads its socket whenever its line took the
// previous chunk, has had the time to read that frame alone.
static double pace_wait(HubDeviceCore *c, size_t payload)
{
    double now = hub_clock();
    double gap = c->link ? c->line.gap_ms / 1000.0 : 0;
    double wait = hub_pace_wait(&c->pace, now, c->line.baud, gap, payload);
    if (wait > 0 || c->link == nullptr)
        return wait;
    int outq = 0;
    if (ioctl(c->link->fd, SIOCOUTQ, &outq) == 0 && outq > 0) {
        // Not acknowledged yet: look again soon, less often the longer it takes.
        int k = c->ack_waits < 6 ? c->ack_waits : 6;
        c->ack_waits++;
        return 0.0005 * (1 << k);
    }
    c->ack_waits = 0;
    return 0;
}

// The link failed while sending: its read callback ends it in the loop
// (not inside a plug-in's call).
static void link_fail(HubLink *l)
{
    l->failed = true;
    ev_feed_event(hub_loop, &l->io, EV_READ);
}

// Sends one frame (TCP: header and payload; UDP: a datagram) of n bytes.
// 0, or -1 when the link failed.
static int send_frame(HubDeviceCore *c, const uint8_t *p, size_t n)
{
    HubDevice *d = c->dev;
    if (c->link != nullptr) {
        HubLink *l = c->link;
        iovec iov[2];
        iov[0].iov_base = l->head;
        iov[0].iov_len = kHeadLen;
        iov[1].iov_base = const_cast<uint8_t *>(p);
        iov[1].iov_len = n;
        ssize_t r = writev(l->fd, iov, 2);
        if (r != static_cast<ssize_t>(n + kHeadLen)) {
            // The socket had nothing of ours left (the previous frame was
            // acknowledged), so it takes a whole frame: anything else is a
            // failing link.
            if (r < 0)
                log_warning_as("board_send", "%s/%s send to %s failed: %m\n", d->group_text,
                               d->mac_text, l->peer);
            else
                log_warning_as("board_send", "%s/%s send to %s cut at %d of %d bytes\n",
                               d->group_text, d->mac_text, l->peer, static_cast<int>(r),
                               static_cast<int>(n + kHeadLen));
            link_fail(l);
            return -1;
        }
    } else {
        ssize_t r = sendto(udp_fd, p, n, 0, reinterpret_cast<const sockaddr *>(&c->udp_peer),
                           c->udp_peerlen);
        if (r < 0) {
            if (errno == EAGAIN || errno == ENOBUFS)
                return 1;  // later
            log_warning_as("board_send", "%s/%s send to %s failed: %m\n", d->group_text,
                           d->mac_text, d->peer);
            d->dropped_down += n;
            return 0;
        }
    }
    d->bytes_down += n;
    hub_pace_sent(&c->pace, hub_clock(), c->line.baud, n);
    return 0;
}

static size_t frame_max(const HubDeviceCore *c)
{
    return c->link ? c->link->frame_max : kDatagramPayload;
}

// Sends from p as long as the pacing lets frames go; returns what went.
static size_t send_direct(HubDeviceCore *c, const uint8_t *p, size_t n)
{
    size_t done = 0;
    while (done < n) {
        size_t k = n - done < frame_max(c) ? n - done : frame_max(c);
        if (pace_wait(c, k) > 0)
            break;
        int r = send_frame(c, p + done, k);
        if (r < 0) {
            // The link ends; what is left goes with it.
            c->dev->dropped_down += n - done;
            return n;
        }
        if (r > 0)
            break;
        done += k;
    }
    return done;
}

static void pace_arm(HubDeviceCore *c, double wait)
{
    ev_timer_stop(hub_loop, &c->pace_timer);
    ev_timer_set(&c->pace_timer, wait > 0 ? wait : 0.0005, 0.);
    ev_timer_start(hub_loop, &c->pace_timer);
}

static void pace_run(HubDeviceCore *c)
{
    ByteBuffer *q = &c->down;
    while (q->len > 0) {
        size_t k = static_cast<size_t>(q->len) < frame_max(c) ? q->len : frame_max(c);
        double wait = pace_wait(c, k);
        if (wait > 0) {
            pace_arm(c, wait);
            break;
        }
        int r = send_frame(c, reinterpret_cast<uint8_t *>(q->data), k);
        if (r < 0)
            return;
        if (r > 0) {
            pace_arm(c, 0.001);
            break;
        }
        bshrink(q, static_cast<int>(k));
    }
    if (q->len == 0)
        bfree(q);
    if (c->app_paused && q->len < kDownQueueMax / 2) {
        c->app_paused = false;
        if (c->app.fd >= 0)
            ev_io_start(hub_loop, &c->app_io);
        hub_pty_resume(c);
    }
}

static void pace_cb(struct ev_loop *loop, ev_timer *w, int revents)
{
    (void)loop;
    (void)revents;
    pace_run(HUB_OWNER(w, HubDeviceCore, pace_timer));
}

size_t hub_line_write(HubDevice *d, const uint8_t *p, size_t n)
{
    HubDeviceCore *c = d->core;
    if (n == 0)
        return 0;
    if (!d->online || (c->link != nullptr && c->link->failed) ||
        static_cast<size_t>(c->down.len) + n > kDownQueueMax) {
        d->dropped_down += n;
        return 0;
    }
    size_t done = c->down.len == 0 ? send_direct(c, p, n) : 0;
    if (done < n) {
        bconcat(&c->down, reinterpret_cast<const char *>(p + done), static_cast<int>(n - done));
        if (!ev_is_active(&c->pace_timer))
            pace_arm(c, pace_wait(c, static_cast<size_t>(c->down.len) < frame_max(c)
                                         ? c->down.len
                                         : frame_max(c)));
    }
    return n;
}

ssize_t hub_udp_sendto(const sockaddr_storage *to, socklen_t tolen, const uint8_t *p, size_t n)
{
    return sendto(udp_fd, p, n, 0, reinterpret_cast<const sockaddr *>(to), tolen);
}

int hub_app_read(HubDeviceCore *c, int fd)
{
    HubDevice *d = c->dev;
    size_t space = kDownQueueMax - c->down.len;
    if (d->online && space == 0) {
        // The board is behind: its applications wait (pace_run resumes them).
        c->app_paused = true;
        ev_io_stop(hub_loop, &c->app_io);
        hub_pty_pause(c);
        return 1;
    }
    if (!d->online)
        space = sizeof app_buf;
    ssize_t n = read(fd, app_buf, space);
    if (n > 0) {
        hub_line_write(d, app_buf, static_cast<size_t>(n));
        return 1;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 1;
    if (n == 0)
        errno = 0;
    return 0;
}

// ---- towards the applications ----

void hub_sink_drained(HubDeviceCore *c)
{
    if (!c->board_paused || c->link == nullptr)
        return;
    HubSink *pty = hub_pty_sink(c);
    if (c->app.q.len > 0 || (pty != nullptr && pty->q.len > 0))
        return;
    c->board_paused = false;
    ev_io_start(hub_loop, &c->link->io);
}

// A write to an endpoint failed for good: a TCP application is ended
// here (its reader may be paused); a pty's end shows as its hang-up.
static void sink_failed(HubDeviceCore *c, HubSink *s)
{
    if (s == &c->app) {
        log_info_as("app_write", "%s: write to the application failed: %m\n", c->dev->mac_text);
        hub_sink_close(c, s);
        return;
    }
    c->dev->dropped_up += static_cast<uint64_t>(s->q.len);
    bfree(&s->q);
    ev_io_stop(hub_loop, &s->wio);
    hub_sink_drained(c);
}

static void sink_write_cb(struct ev_loop *loop, ev_io *w, int revents)
{
    (void)revents;
    HubSink *s = HUB_OWNER(w, HubSink, wio);
    ssize_t n = write(s->fd, s->q.data, s->q.len);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return;
        sink_failed(s->owner, s);
        return;
    }
    if (n < s->q.len) {
        bshrink(&s->q, static_cast<int>(n));
        return;
    }
    bfree(&s->q);
    ev_io_stop(loop, w);
    hub_sink_drained(s->owner);
}

void hub_sink_init(HubDeviceCore *c, HubSink *s)
{
    s->fd = -1;
    s->owner = c;
    ev_init(&s->wio, sink_write_cb);
}

void hub_sink_write(HubDeviceCore *c, HubSink *s, const iovec *iov, int runs, bool *taken)
{
    int i = 0;
    if (s->q.len == 0) {
        // One writev for all the runs; the run it cut, and the rest, queue.
        ssize_t w = writev(s->fd, iov, runs);
        if (w < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                sink_failed(c, s);
                return;
            }
            w = 0;
        }
        size_t done = static_cast<size_t>(w);
        for (; i < runs && done >= iov[i].iov_len; i++) {
            taken[i] = true;
            done -= iov[i].iov_len;
        }
        if (i == runs)
            return;
        bconcat(&s->q, static_cast<const char *>(iov[i].iov_base) + done,
                static_cast<int>(iov[i].iov_len - done));
        taken[i++] = true;
        ev_io_set(&s->wio, s->fd, EV_WRITE);
        ev_io_start(hub_loop, &s->wio);
    }
    // Behind a queue: each run goes in whole if it fits, else it is not taken.
    for (; i < runs; i++) {
        if (static_cast<size_t>(s->q.len) + iov[i].iov_len > kUpQueueMax)
            continue;
        bconcat(&s->q, static_cast<const char *>(iov[i].iov_base),
                static_cast<int>(iov[i].iov_len));
        taken[i] = true;
    }
}

void hub_sink_close(HubDeviceCore *c, HubSink *s)
{
    if (s->fd < 0)
        return;
    ev_io_stop(hub_loop, &s->wio);
    c->dev->dropped_up += static_cast<uint64_t>(s->q.len);
    bfree(&s->q);
    if (s == &c->app) {
        ev_io_stop(hub_loop, &c->app_io);
        close(s->fd);
        log_info_as("app_detach", "%s: application detached from tcp:%s\n", c->dev->mac_text,
                    c->dev->tcp_endpoint);
    }
    s->fd = -1;
    hub_sink_drained(c);
}

void hub_deliver_runs(HubDeviceCore *c, const iovec *iov, int runs)
{
    HubDevice *d = c->dev;
    bool taken[kDeliverRuns] = {};
    for (HubPlug *pl = hub_plugs; pl; pl = pl->next)
        if (pl->line_bytes)
            for (int i = 0; i < runs; i++)
                if (pl->line_bytes(d, static_cast<const uint8_t *>(iov[i].iov_base),
                                   iov[i].iov_len))
                    taken[i] = true;
    if (c->app.fd >= 0)
        hub_sink_write(c, &c->app, iov, runs, taken);
    HubSink *pty = hub_pty_sink(c);
    if (pty != nullptr && pty->fd >= 0)
        hub_sink_write(c, pty, iov, runs, taken);
    for (int i = 0; i < runs; i++) {
        if (taken[i])
            d->bytes_up += iov[i].iov_len;
        else
            d->dropped_up += iov[i].iov_len;
    }
}

void hub_deliver_up(HubDeviceCore *c, const uint8_t *p, size_t n)
{
    iovec v = {const_cast<uint8_t *>(p), n};
    hub_deliver_runs(c, &v, 1);
}

// The runs of one read, gathered so that each endpoint gets them in one
// writev rather than one write per frame.
struct UpBatch {
    HubDeviceCore *c;
    int runs;
    iovec iov[kDeliverRuns];
};

static void batch_emit(void *ctx, const uint8_t *p, size_t n)
{
    UpBatch *b = static_cast<UpBatch *>(ctx);
    if (b->runs == kDeliverRuns) {
        hub_deliver_runs(b->c, b->iov, b->runs);
        b->runs = 0;
    }
    b->iov[b->runs].iov_base = const_cast<uint8_t *>(p);
    b->iov[b->runs].iov_len = n;
    b->runs++;
}

// Splits what a board link read and delivers its runs.
static void split_deliver(HubLink *l, const uint8_t *p, size_t n)
{
    UpBatch b;
    b.c = l->dev->core;
    b.runs = 0;
    hub_split(l->head, &l->split, p, n, read_buf, batch_emit, &b);
    if (b.runs > 0)
        hub_deliver_runs(b.c, b.iov, b.runs);
}

static void deliver_emit(void *ctx, const uint8_t *p, size_t n)
{
    hub_deliver_up(static_cast<HubDeviceCore *>(ctx), p, n);
}

// ---- the tcp: endpoint ----

static void app_read_cb(struct ev_loop *loop, ev_io *w, int revents)
{
    (void)loop;
    (void)revents;
    HubDeviceCore *c = HUB_OWNER(w, HubDeviceCore, app_io);
    if (hub_app_read(c, c->app.fd) == 0) {
        if (errno != 0)
            log_info("%s: application read failed: %m\n", c->dev->mac_text);
        hub_sink_close(c, &c->app);
    }
}

static void app_accept_cb(struct ev_loop *loop, ev_io *w, int revents)
{
    (void)revents;
    HubDeviceCore *c = HUB_OWNER(w, HubDeviceCore, listen_io);
    sockaddr_storage peer;
    socklen_t peerlen;
    int fd = hub_accept(c->listen_fd, w, &peer, &peerlen);
    if (fd < 0)
        return;
    char text[64];
    hub_addr_text(&peer, text, sizeof text);
    if (c->app.fd >= 0) {
        log_warning("%s: second application from %s closed: tcp:%s has one\n", c->dev->mac_text,
                    text, c->dev->tcp_endpoint);
        close(fd);
        return;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    c->app.fd = fd;
    ev_io_set(&c->app_io, fd, EV_READ);
    if (!c->app_paused)
        ev_io_start(loop, &c->app_io);
    log_info_as("app_attach", "%s: application attached to tcp:%s from %s\n", c->dev->mac_text,
                c->dev->tcp_endpoint, text);
}

// "[ADDR:]PORT" or "ADDR:PORT" into a bound socket of `type`; -1 when it
// cannot be resolved or bound (errno, and a reason in the log).
static int bind_endpoint(const char *func, const char *text, int type, bool addr_optional)
{
    char host[256];
    const char *port = text;
    const char *colon = strrchr(text, ':');
    host[0] = '\0';
    if (colon != nullptr) {
        size_t n = colon - text;
        if (n >= sizeof host)
            n = sizeof host - 1;
        memcpy(host, text, n);
        host[n] = '\0';
        port = colon + 1;
    } else if (!addr_optional) {
        log_err_as(func, "%s: no ADDR:PORT\n", text);
        return -1;
    }
    // [v6]:port
    char *h = host;
    size_t hl = strlen(h);
    if (hl >= 2 && h[0] == '[' && h[hl - 1] == ']') {
        h[hl - 1] = '\0';
        h++;
    }
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(*h ? h : nullptr, port, &hints, &res);
    if (rc != 0) {
        log_err_as(func, "%s: %s\n", text, gai_strerror(rc));
        return -1;
    }
    int fd = socket(res->ai_family, res->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_err_as(func, "%s: socket: %m\n", text);
        freeaddrinfo(res);
        return -1;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, res->ai_addr, res->ai_addrlen) < 0 ||
        (type == SOCK_STREAM && listen(fd, SOMAXCONN) < 0)) {
        log_err_as(func, "%s: bind: %m\n", text);
        close(fd);
        fd = -1;
    }
    freeaddrinfo(res);
    return fd;
}

// ---- board links over TCP ----

static void link_close(HubLink *l)
{
    if (l->fd < 0)
        return;
    ev_io_stop(hub_loop, &l->io);
    ev_timer_stop(hub_loop, &l->timer);
    close(l->fd);
    l->fd = -1;
    free(l);
}

static const char *transport_text(HubTransport t)
{
    return t == HubTransport::tcp ? "tcp" : "udp";
}

// The device goes offline (its link ended or went silent).
static void board_link_down(HubDevice *d, const char *why)
{
    HubDeviceCore *c = d->core;
    log_info_as("board_link_down", "%s/%s down from %s over %s: %s\n", d->group_text, d->mac_text,
                d->peer, transport_text(d->transport), why);
    d->online = false;
    d->transport = HubTransport::none;
    d->since = time(nullptr);
    c->link = nullptr;
    c->board_paused = false;
    drop_down(c);
    notify_link_change(d);
}

// Ends link l of its device (or a link still waiting for its header).
static void link_end(HubLink *l, const char *why)
{
    HubDevice *d = l->dev;
    if (d != nullptr && d->core->link == l) {
        link_close(l);
        board_link_down(d, why);
        return;
    }
    link_close(l);
}

static void set_keepalive(int fd)
{
    int on = 1, idle = 30, intvl = 10, cnt = 3;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof cnt);
    // Frames a board does not acknowledge end the link as well.
    unsigned timeout_ms = 60000;
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout_ms, sizeof timeout_ms);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// A new link of device d (header `head`) from `peer` over `t`.  A device
// online already takes it over from its current link (restarted board,
// half-open link): the old link is closed, the applications stay, and what
// waits for the line goes to the new link, paced afresh.
// The group of the device's latest link: the one in its header.
static void take_group(HubDevice *d, const uint8_t *head)
{
    memcpy(d->group, head + 6, 16);
    uuid_text(d->group, d->group_text, sizeof d->group_text);
}

static void board_arrives(HubDevice *d, const uint8_t *head, const char *peer, HubTransport t)
{
    HubDeviceCore *c = d->core;
    take_group(d, head);
    if (d->online) {
        log_info_as("board_takeover", "%s/%s: link from %s over %s takes over from %s over %s\n",
                    d->group_text, d->mac_text, peer, transport_text(t), d->peer,
                    transport_text(d->transport));
        d->takeovers++;
        if (c->link != nullptr)
            link_close(c->link);
        c->link = nullptr;
        c->board_paused = false;
        ev_timer_stop(hub_loop, &c->pace_timer);
    } else {
        d->link_ups++;
        log_info_as("board_link_up", "%s/%s up from %s over %s\n", d->group_text, d->mac_text,
                    peer, transport_text(t));
    }
    c->pace = HubPace{};
    c->ack_waits = 0;
    d->online = true;
    d->transport = t;
    snprintf(d->peer, sizeof d->peer, "%s", peer);
    d->since = time(nullptr);
    d->last_seen = d->since;
}

static void board_link_up(HubDevice *d, HubLink *l)
{
    HubDeviceCore *c = d->core;
    board_arrives(d, l->head, l->peer, HubTransport::tcp);
    c->link = l;
    // A frame must reach the board in one segment: the board reads each
    // frame by itself, so it must not see only a part of one.
    int mss = 0;
    socklen_t ml = sizeof mss;
    l->frame_max = kFramePayload;
    if (getsockopt(l->fd, IPPROTO_TCP, TCP_MAXSEG, &mss, &ml) == 0 && mss > kHeadLen + 64 &&
        mss - kHeadLen < kFramePayload)
        l->frame_max = static_cast<uint16_t>(mss - kHeadLen);
    notify_link_change(d);
    if (c->down.len > 0)
        pace_run(c);
}

// The first kHeadLen bytes of a link are in l->head: whose are they?
// Returns the device, or NULL after the refusal (the link is then closed).
static HubDevice *link_identify(HubLink *l)
{
    char host[64];
    peer_host(l->peer, host, sizeof host);
    if (memcmp(l->head, magic, sizeof magic) != 0) {
        refuse("link_identify", host, l->peer, "no link header");
        return nullptr;
    }
    char g[37], what[64];
    uuid_text(l->head + 6, g, sizeof g);
    snprintf(what, sizeof what, "%s/%s", g, mac_ntoa(l->head + 22));
    if (!group_accepted(l->head + 6)) {
        refuse("link_identify", what, l->peer, "group not accepted");
        return nullptr;
    }
    HubDevice *d = device_by_mac(l->head + 22);
    if (d == nullptr) {
        refuse("link_identify", what, l->peer, "board not listed");
        return nullptr;
    }
    return d;
}

static HubPlug *relay_plug(bool tcp)
{
    for (HubPlug *p = hub_plugs; p; p = p->next)
        if (tcp ? p->relay_tcp != nullptr : p->relay_datagram != nullptr)
            return p;
    return nullptr;
}

// Held bytes of a cut header go out as line bytes unless the rest follows soon.
static void hold_timer(HubLink *l)
{
    ev_timer_stop(hub_loop, &l->timer);
    if (hub_split_waiting(&l->split)) {
        ev_timer_set(&l->timer, kHoldSeconds, 0.);
        ev_timer_start(hub_loop, &l->timer);
    }
}

// Bytes of a link still waiting for its header: the header first, then
// the link belongs to its device (or to the relay plug-in).
static void link_header_read(HubLink *l, const uint8_t *p, size_t n)
{
    size_t need = static_cast<size_t>(kHeadLen - l->head_len);
    size_t take = need < n ? need : n;
    memcpy(l->head + l->head_len, p, take);
    l->head_len += take;
    if (l->head_len < kHeadLen)
        return;
    HubDevice *d = link_identify(l);
    if (d == nullptr) {
        link_close(l);
        return;
    }
    ev_timer_stop(hub_loop, &l->timer);
    if (d->backend_tcp != nullptr) {
        HubPlug *pl = relay_plug(true);
        if (pl == nullptr) {
            refuse("link_identify", d->mac_text, l->peer, "no relay for backend-tcp");
            link_close(l);
            return;
        }
        // The plug-in owns the descriptor from here on.
        ev_io_stop(hub_loop, &l->io);
        int fd = l->fd;
        l->fd = -1;
        sockaddr_storage addr = l->addr;
        socklen_t addrlen = l->addrlen;
        take_group(d, l->head);
        free(l);
        pl->relay_tcp(d, fd, &addr, addrlen, p + take, n - take);
        return;
    }
    l->dev = d;
    board_link_up(d, l);
    if (n > take)
        split_deliver(l, p + take, n - take);
    hold_timer(l);
}

static void link_read_cb(struct ev_loop *loop, ev_io *w, int revents)
{
    (void)loop;
    (void)revents;
    HubLink *l = HUB_OWNER(w, HubLink, io);
    if (l->failed) {
        link_end(l, "send failed");
        return;
    }
    uint8_t *at = read_buf + l->split.held_len;
    ssize_t n = recv(l->fd, at, kUpRead, 0);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        char why[64];
        snprintf(why, sizeof why, "%s", n == 0 ? "closed by the board" : strerror(errno));
        link_end(l, why);
        return;
    }
    if (l->dev == nullptr) {
        link_header_read(l, at, static_cast<size_t>(n));
        return;
    }
    HubDevice *d = l->dev;
    HubDeviceCore *c = d->core;
    d->last_seen = time(nullptr);
    split_deliver(l, at, static_cast<size_t>(n));
    if (c->link != l)
        return;
    hold_timer(l);
    // A slow application slows its board: not read until it took the rest.
    HubSink *pty = hub_pty_sink(c);
    if (c->app.q.len > 0 || (pty != nullptr && pty->q.len > 0)) {
        c->board_paused = true;
        ev_io_stop(hub_loop, &l->io);
    }
}

static void link_timer_cb(struct ev_loop *loop, ev_timer *w, int revents)
{
    (void)loop;
    (void)revents;
    HubLink *l = HUB_OWNER(w, HubLink, timer);
    if (l->dev != nullptr) {
        // The stream paused inside what could have begun a header.
        hub_split_flush(&l->split, deliver_emit, l->dev->core);
        return;
    }
    char host[64];
    peer_host(l->peer, host, sizeof host);
    refuse("link_timer_cb", host, l->peer, "no link header within 10 s");
    link_close(l);
}

static void board_accept_cb(struct ev_loop *loop, ev_io *w, int revents)
{
    (void)revents;
    // A few at a time, so that a flood of links does not hold up the rest.
    for (int i = 0; i < 64; i++) {
        sockaddr_storage peer;
        socklen_t peerlen;
        int fd = hub_accept(board_fd, w, &peer, &peerlen);
        if (fd < 0)
            return;
        set_keepalive(fd);
        HubLink *l = static_cast<HubLink *>(ss_malloc(sizeof *l));
        l->fd = fd;
        l->addr = peer;
        l->addrlen = peerlen;
        hub_addr_text(&peer, l->peer, sizeof l->peer);
        ev_io_init(&l->io, link_read_cb, fd, EV_READ);
        ev_io_start(loop, &l->io);
        ev_timer_init(&l->timer, link_timer_cb, kHeaderSeconds, 0.);
        ev_timer_start(loop, &l->timer);
        log_debug_as("board_accept", "link from %s\n", l->peer);
    }
}

// ---- board links over UDP ----

static void udp_board(HubDevice *d, const uint8_t *head, const sockaddr_storage *src,
                      socklen_t srclen, const uint8_t *payload, size_t n)
{
    HubDeviceCore *c = d->core;
    char peer[64];
    hub_addr_text(src, peer, sizeof peer);
    bool same = d->online && d->transport == HubTransport::udp && c->udp_peerlen == srclen &&
                memcmp(&c->udp_peer, src, srclen) == 0;
    if (!same) {
        board_arrives(d, head, peer, HubTransport::udp);
        memcpy(&c->udp_peer, src, srclen);
        c->udp_peerlen = srclen;
        notify_link_change(d);
    }
    d->last_seen = time(nullptr);
    c->udp_seen = ev_now(hub_loop);
    if (n > 0)
        hub_deliver_up(c, payload, n);
    if (!same && c->down.len > 0)
        pace_run(c);
}

static void udp_read_cb(struct ev_loop *loop, ev_io *w, int revents)
{
    (void)loop;
    (void)w;
    (void)revents;
    for (int i = 0; i < 64; i++) {
        sockaddr_storage src;
        socklen_t srclen = sizeof src;
        ssize_t n = recvfrom(udp_fd, dgram_buf, sizeof dgram_buf, MSG_TRUNC,
                             reinterpret_cast<sockaddr *>(&src), &srclen);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR)
                log_warning_as("udp_read_cb", "recvfrom: %m\n");
            return;
        }
        char peer[64], host[64];
        hub_addr_text(&src, peer, sizeof peer);
        peer_host(peer, host, sizeof host);
        if (n < kHeadLen) {
            char why[64];
            snprintf(why, sizeof why, "datagram of %d bytes (no header)", static_cast<int>(n));
            refuse("udp_read_cb", host, peer, why);
            continue;
        }
        if (n > static_cast<ssize_t>(sizeof dgram_buf)) {
            refuse("udp_read_cb", host, peer, "datagram larger than 65535 bytes");
            continue;
        }
        if (memcmp(dgram_buf, magic, sizeof magic) != 0) {
            refuse("udp_read_cb", host, peer, "no link header");
            continue;
        }
        char g[37], what[64];
        uuid_text(dgram_buf + 6, g, sizeof g);
        snprintf(what, sizeof what, "%s/%s", g, mac_ntoa(dgram_buf + 22));
        if (!group_accepted(dgram_buf + 6)) {
            refuse("udp_read_cb", what, peer, "group not accepted");
            continue;
        }
        HubDevice *d = device_by_mac(dgram_buf + 22);
        if (d == nullptr) {
            refuse("udp_read_cb", what, peer, "board not listed");
            continue;
        }
        if (d->backend_udp != nullptr) {
            HubPlug *pl = relay_plug(false);
            if (pl == nullptr) {
                refuse("udp_read_cb", d->mac_text, peer, "no relay for backend-udp");
                continue;
            }
            take_group(d, dgram_buf);
            pl->relay_datagram(d, &src, srclen, dgram_buf + kHeadLen, n - kHeadLen);
            continue;
        }
        udp_board(d, dgram_buf, &src, srclen, dgram_buf + kHeadLen,
                  static_cast<size_t>(n) - kHeadLen);
    }
}

static void udp_sweep_cb(struct ev_loop *loop, ev_timer *w, int revents)
{
    (void)w;
    (void)revents;
    ev_tstamp now = ev_now(loop);
    for (size_t i = 0; i < device_count; i++) {
        HubDevice *d = &devices[i];
        if (d->online && d->transport == HubTransport::udp && d->core->link == nullptr &&
            d->backend_udp == nullptr && now - d->core->udp_seen >= udp_timeout)
            board_link_down(d, "no datagram in time");
    }
}

// ---- start-up ----

static void fatal(const char *func, const char *fmt, const char *a, const char *b)
{
    log_err_as(func, fmt, a, b);
    exit(255);
}

static void raise_nofile()
{
    rlimit r;
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &r) < 0)
            log_warning_as("hub_start", "cannot raise the descriptor limit: %m\n");
    }
}

void hub_start(struct ev_loop *loop, const HubOptions *o)
{
    hub_loop = loop;
    raise_nofile();
    spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ev_timer_init(&resume_timer, resume_cb, kResumeSeconds, 0.);

    // A malformed group text ends the process here, at start-up, through
    // the UUID reader every program uses.
    group_count = o->group_count;
    groups = static_cast<uint8_t(*)[16]>(ss_malloc(16 * (group_count + 1)));
    for (int i = 0; i < group_count; i++)
        extinfo_uuid(o->groups[i], groups[i]);

    device_count = static_cast<size_t>(o->device_count);
    devices = static_cast<HubDevice *>(ss_malloc(sizeof(HubDevice) * (device_count + 1)));
    cores = static_cast<HubDeviceCore *>(ss_malloc(sizeof(HubDeviceCore) * (device_count + 1)));
    size_t size = 16;
    while (size < 2 * device_count)
        size *= 2;
    mac_table = static_cast<uint32_t *>(ss_malloc(size * sizeof *mac_table));
    mac_mask = size - 1;
    time_t now = time(nullptr);
    for (size_t i = 0; i < device_count; i++) {
        HubDevice *d = &devices[i];
        HubDeviceCore *c = &cores[i];
        d->core = c;
        c->dev = d;
        char err[160];
        c->words = strdup(o->devices[i]);
        if (c->words == nullptr)
            exit(1);
        if (hub_parse_device(c->words, d, &c->line, err, sizeof err) < 0)
            fatal("hub_start", "--device %s: %s\n", o->devices[i], err);
        if (device_by_mac(d->mac) != nullptr)
            fatal("hub_start", "--device %s: %s is listed twice\n", o->devices[i], d->mac_text);
        size_t k = mac_hash(d->mac) & mac_mask;
        while (mac_table[k] != 0)
            k = (k + 1) & mac_mask;
        mac_table[k] = static_cast<uint32_t>(i + 1);
        d->since = now;
        c->listen_fd = -1;
        hub_sink_init(c, &c->app);
        ev_init(&c->app_io, app_read_cb);
        ev_init(&c->pace_timer, pace_cb);
    }

    board_fd = bind_endpoint("hub_start", o->listen, SOCK_STREAM, true);
    if (board_fd < 0)
        fatal("hub_start", "--listen %s%s: cannot listen\n", o->listen, "");
    // UDP on the port TCP got (the same, unless it was 0: any free one).
    sockaddr_storage bound;
    socklen_t boundlen = sizeof bound;
    getsockname(board_fd, reinterpret_cast<sockaddr *>(&bound), &boundlen);
    char listen_text[80];
    hub_addr_text(&bound, listen_text, sizeof listen_text);
    udp_fd = bind_endpoint("hub_start", listen_text, SOCK_DGRAM, true);
    if (udp_fd < 0)
        fatal("hub_start", "--listen %s%s: cannot bind UDP\n", listen_text, "");
    ev_io_init(&board_io, board_accept_cb, board_fd, EV_READ);
    ev_io_start(loop, &board_io);
    ev_io_init(&udp_io, udp_read_cb, udp_fd, EV_READ);
    ev_io_start(loop, &udp_io);
    udp_timeout = o->udp_timeout > 0 ? o->udp_timeout : 90;
    double every = udp_timeout / 4 < 5 ? udp_timeout / 4 : 5;
    ev_timer_init(&udp_sweep, udp_sweep_cb, every, every);
    ev_timer_start(loop, &udp_sweep);

    for (size_t i = 0; i < device_count; i++) {
        HubDevice *d = &devices[i];
        HubDeviceCore *c = &cores[i];
        if (d->tcp_endpoint != nullptr) {
            c->listen_fd = bind_endpoint("hub_start", d->tcp_endpoint, SOCK_STREAM, false);
            if (c->listen_fd < 0)
                fatal("hub_start", "%s: cannot listen on tcp:%s\n", d->mac_text, d->tcp_endpoint);
            // The application's connection inherits bounded kernel buffers:
            // what a slow board has not taken must not pile up there for
            // minutes either (the kernel's own tuning would allow megabytes).
            int size = kAppSocketBuffer;
            setsockopt(c->listen_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
            setsockopt(c->listen_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
            ev_io_init(&c->listen_io, app_accept_cb, c->listen_fd, EV_READ);
            ev_io_start(loop, &c->listen_io);
        }
        if (d->pty_path != nullptr)
            hub_pty_start(c);
    }
    hub_status_start(o->status);
    log_info_as("hub_start", "listening on %s (tcp and udp) for %d devices\n", listen_text,
                static_cast<int>(device_count));
}
