// The pty: endpoint.  The hub holds the master for the life of the process;
// applications open the slave through the link at the configured path.
//
// While no slave descriptor is open the master reports a hang-up, for ever:
// its watcher is then stopped, and an inotify watch on the slave (its opens
// and closes) says when to look again.  The hub keeps no slave open itself:
// with one open the master would never tell that nobody is there, and what
// the board sent meanwhile would wait in the slave for the next
// application (bytes delivered late are worse than bytes dropped).
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "common/log.h"
#include "hub/internal.h"

struct HubPty {
    HubSink sink;  // the master, while an application has the slave open
    int master;
    ev_io rio;     // EV_READ on the master, while attached and not paused
    bool paused;   // the board's queue is full
    int wd;        // inotify watch on the slave
    char slave[64];
};

static int notify_fd = -1;
static ev_io notify_io;
// Devices by inotify watch number (watch numbers are small and increasing).
static HubDeviceCore **by_wd;
static int by_wd_size;

bool hub_pty_attached(const HubDeviceCore *c)
{
    return c->pty != nullptr && c->pty->sink.fd >= 0;
}

HubSink *hub_pty_sink(HubDeviceCore *c)
{
    return c->pty ? &c->pty->sink : nullptr;
}

void hub_pty_pause(HubDeviceCore *c)
{
    if (c->pty == nullptr)
        return;
    c->pty->paused = true;
    ev_io_stop(hub_loop, &c->pty->rio);
}

void hub_pty_resume(HubDeviceCore *c)
{
    if (c->pty == nullptr)
        return;
    c->pty->paused = false;
    if (c->pty->sink.fd >= 0)
        ev_io_start(hub_loop, &c->pty->rio);
}

// Whether an application has the slave open: the master reports a hang-up
// exactly while none has.
static bool slave_open(const HubPty *p)
{
    pollfd f;
    f.fd = p->master;
    f.events = 0;
    f.revents = 0;
    return poll(&f, 1, 0) >= 0 && (f.revents & POLLHUP) == 0;
}

static void pty_check(HubDeviceCore *c)
{
    HubPty *p = c->pty;
    bool open = slave_open(p);
    if (open == (p->sink.fd >= 0))
        return;
    if (open) {
        // Nothing older than the application reaches it.
        tcflush(p->master, TCOFLUSH);
        p->sink.fd = p->master;
        ev_io_set(&p->sink.wio, p->master, EV_WRITE);
        if (!p->paused && !c->app_paused)
            ev_io_start(hub_loop, &p->rio);
        log_info_as("app_attach", "%s: application attached to pty:%s\n", c->dev->mac_text,
                    c->dev->pty_path);
        return;
    }
    ev_io_stop(hub_loop, &p->rio);
    // hub_sink_close leaves the master open: it is the endpoint's.
    hub_sink_close(c, &p->sink);
    log_info_as("app_detach", "%s: application detached from pty:%s\n", c->dev->mac_text,
                c->dev->pty_path);
}

static void pty_read_cb(struct ev_loop *loop, ev_io *w, int revents)
{
    (void)loop;
    (void)revents;
    HubPty *p = HUB_OWNER(w, HubPty, rio);
    HubDeviceCore *c = p->sink.owner;
    if (hub_app_read(c, p->master) == 0)
        pty_check(c);  // EIO: the last slave descriptor closed
}

static void notify_cb(struct ev_loop *loop, ev_io *w, int revents)
{
    (void)loop;
    (void)w;
    (void)revents;
    alignas(inotify_event) char buf[4096];
    for (;;) {
        ssize_t n = read(notify_fd, buf, sizeof buf);
        if (n <= 0)
            return;
        for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const inotify_event *e = reinterpret_cast<const inotify_event *>(buf + off);
            if (e->mask & IN_Q_OVERFLOW) {
                for (int i = 0; i < by_wd_size; i++)
                    if (by_wd[i] != nullptr)
                        pty_check(by_wd[i]);
            } else if (e->wd >= 0 && e->wd < by_wd_size && by_wd[e->wd] != nullptr) {
                pty_check(by_wd[e->wd]);
            }
            off += sizeof(inotify_event) + e->len;
        }
    }
}

void hub_make_parent(const char *path)
{
    char dir[PATH_MAX];
    snprintf(dir, sizeof dir, "%s", path);
    char *slash = strrchr(dir, '/');
    if (slash == nullptr || slash == dir)
        return;
    *slash = '\0';
    for (char *p = dir + 1; *p; p++) {
        if (*p != '/')
            continue;
        *p = '\0';
        mkdir(dir, 0755);
        *p = '/';
    }
    mkdir(dir, 0755);
}

static void pty_fatal(HubDeviceCore *c, const char *what)
{
    log_err_as("hub_pty_start", "%s: pty:%s: %s: %m\n", c->dev->mac_text, c->dev->pty_path, what);
    exit(255);
}

void hub_pty_start(HubDeviceCore *c)
{
    if (notify_fd < 0) {
        notify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (notify_fd < 0)
            pty_fatal(c, "inotify");
        ev_io_init(&notify_io, notify_cb, notify_fd, EV_READ);
        ev_io_start(hub_loop, &notify_io);
    }
    HubPty *p = static_cast<HubPty *>(ss_malloc(sizeof *p));
    c->pty = p;
    hub_sink_init(c, &p->sink);
    p->master = open("/dev/ptmx", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (p->master < 0)
        pty_fatal(c, "/dev/ptmx");
    if (grantpt(p->master) < 0 || unlockpt(p->master) < 0 ||
        ptsname_r(p->master, p->slave, sizeof p->slave) != 0)
        pty_fatal(c, "unlockpt");
    // Readable and writable by the hub's user and group (grantpt leaves
    // the group only write access).
    chmod(p->slave, 0660);
    // Raw through the master (its terminal settings are the slave's), kept
    // across the applications' opens and closes.
    termios t;
    if (tcgetattr(p->master, &t) < 0)
        pty_fatal(c, "tcgetattr");
    cfmakeraw(&t);
    if (tcsetattr(p->master, TCSANOW, &t) < 0)
        pty_fatal(c, "tcsetattr");
    // A master whose slave was never opened does not report the hang-up:
    // one open and close puts it where every later close leaves it.
    int s = open(p->slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s < 0)
        pty_fatal(c, p->slave);
    close(s);
    ev_io_init(&p->rio, pty_read_cb, p->master, EV_READ);
    p->wd = inotify_add_watch(notify_fd, p->slave, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    if (p->wd < 0)
        pty_fatal(c, "inotify_add_watch");
    if (p->wd >= by_wd_size) {
        int n = by_wd_size ? by_wd_size : 16;
        while (n <= p->wd)
            n *= 2;
        by_wd = static_cast<HubDeviceCore **>(ss_realloc(by_wd, n * sizeof *by_wd));
        memset(by_wd + by_wd_size, 0, (n - by_wd_size) * sizeof *by_wd);
        by_wd_size = n;
    }
    by_wd[p->wd] = c;
    // The link appears whole: made under a temporary name, then renamed.
    hub_make_parent(c->dev->pty_path);
    char tmp[PATH_MAX];
    snprintf(tmp, sizeof tmp, "%s.%d.tmp", c->dev->pty_path, static_cast<int>(getpid()));
    unlink(tmp);
    if (symlink(p->slave, tmp) < 0)
        pty_fatal(c, "symlink");
    if (rename(tmp, c->dev->pty_path) < 0) {
        unlink(tmp);
        pty_fatal(c, "rename");
    }
    log_debug("%s: pty:%s is %s\n", c->dev->mac_text, c->dev->pty_path, p->slave);
}

void hub_pty_stop_all()
{
    for (int i = 0; i < by_wd_size; i++) {
        HubDeviceCore *c = by_wd[i];
        if (c == nullptr)
            continue;
        // Only a link that is still ours goes.
        char target[64];
        ssize_t n = readlink(c->dev->pty_path, target, sizeof target - 1);
        if (n > 0) {
            target[n] = '\0';
            if (strcmp(target, c->pty->slave) == 0)
                unlink(c->dev->pty_path);
        }
    }
}
