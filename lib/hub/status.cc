// The status socket: each connection gets one JSON document and is closed.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/log.h"
#include "hub/internal.h"
#include "hub/json.h"

// A reader that takes longer than this for its document is dropped.
constexpr double kStatusSeconds = 10;

struct StatusConn {
    ev_io io;
    ev_timer timer;
    int fd;
    JsonOut out;
    int sent;
};

static int status_fd = -1;
static ev_io status_io;
static char status_path[108];

static const char *transport_name(HubTransport t)
{
    return t == HubTransport::tcp ? "tcp" : t == HubTransport::udp ? "udp" : nullptr;
}

static void status_document(JsonOut *j)
{
    json_open(j, nullptr);
    json_open_array(j, "devices");
    for (size_t i = 0; i < hub_device_count(); i++) {
        HubDevice *d = hub_device_at(i);
        json_open(j, nullptr);
        json_str(j, "group", d->group_text[0] ? d->group_text : nullptr);
        json_str(j, "mac", d->mac_text);
        json_bool(j, "online", d->online);
        json_str(j, "transport", transport_name(d->transport));
        json_str(j, "peer", d->peer[0] ? d->peer : nullptr);
        json_i64(j, "since", d->since);
        if (d->last_seen != 0)
            json_i64(j, "last_seen", d->last_seen);
        else
            json_null(j, "last_seen");
        json_u64(j, "bytes_up", d->bytes_up);
        json_u64(j, "bytes_down", d->bytes_down);
        json_u64(j, "dropped_up", d->dropped_up);
        json_u64(j, "dropped_down", d->dropped_down);
        json_bool(j, "app_connected", hub_app_attached(d->core));
        json_str(j, "tcp", d->tcp_endpoint);
        json_str(j, "pty", d->pty_path);
        json_u64(j, "link_ups", d->link_ups);
        json_u64(j, "takeovers", d->takeovers);
        for (HubPlug *p = hub_plugs; p; p = p->next)
            if (p->status_fields)
                p->status_fields(d, j);
        json_close(j);
    }
    json_close_array(j);
    json_open_array(j, "refused");
    for (size_t i = 0; i < hub_refusal_count(); i++) {
        const HubRefusal *r = hub_refusal_at(i);
        json_open(j, nullptr);
        json_str(j, "what", r->what);
        json_u64(j, "count", r->count);
        json_close(j);
    }
    json_close_array(j);
    json_u64(j, "accept_shed", hub_accept_shed);
    for (HubPlug *p = hub_plugs; p; p = p->next)
        if (p->status_global)
            p->status_global(j);
    json_close(j);
    bconcat(&j->buf, "\n", 1);
}

static void status_end(StatusConn *s)
{
    ev_io_stop(hub_loop, &s->io);
    ev_timer_stop(hub_loop, &s->timer);
    close(s->fd);
    bfree(&s->out.buf);
    free(s);
}

static void status_write_cb(struct ev_loop *loop, ev_io *w, int revents)
{
    (void)loop;
    (void)revents;
    StatusConn *s = HUB_OWNER(w, StatusConn, io);
    ssize_t n = write(s->fd, s->out.buf.data + s->sent, s->out.buf.len - s->sent);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n > 0)
        s->sent += static_cast<int>(n);
    if (n <= 0 || s->sent == s->out.buf.len)
        status_end(s);
}

static void status_timer_cb(struct ev_loop *loop, ev_timer *w, int revents)
{
    (void)loop;
    (void)revents;
    status_end(HUB_OWNER(w, StatusConn, timer));
}

static void status_accept_cb(struct ev_loop *loop, ev_io *w, int revents)
{
    (void)revents;
    sockaddr_storage peer;
    socklen_t peerlen;
    int fd = hub_accept(status_fd, w, &peer, &peerlen);
    if (fd < 0)
        return;
    StatusConn *s = static_cast<StatusConn *>(ss_malloc(sizeof *s));
    s->fd = fd;
    status_document(&s->out);
    ev_io_init(&s->io, status_write_cb, fd, EV_WRITE);
    ev_timer_init(&s->timer, status_timer_cb, kStatusSeconds, 0.);
    // Mostly it all goes at once.
    ssize_t n = write(fd, s->out.buf.data, s->out.buf.len);
    if (n == s->out.buf.len || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        status_end(s);
        return;
    }
    s->sent = n > 0 ? static_cast<int>(n) : 0;
    ev_io_start(loop, &s->io);
    ev_timer_start(loop, &s->timer);
}

void hub_status_start(const char *path)
{
    sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof a.sun_path) {
        log_err("--status %s: path too long\n", path);
        exit(255);
    }
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path);
    snprintf(status_path, sizeof status_path, "%s", path);
    status_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // A socket left by an earlier run is replaced; anything else stays.
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISSOCK(st.st_mode))
        unlink(path);
    hub_make_parent(path);
    if (status_fd < 0 || bind(status_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 ||
        listen(status_fd, 64) < 0) {
        log_err("--status %s: %m\n", path);
        exit(255);
    }
    ev_io_init(&status_io, status_accept_cb, status_fd, EV_READ);
    ev_io_start(hub_loop, &status_io);
}

void hub_status_stop()
{
    if (status_fd >= 0)
        unlink(status_path);
}
