// streamhop: accepts one local TCP client per cycle and writes each chunk it
// sends, behind the link header, to the remote server over one connection
// per configured outgoing interface; replies read from one of them
// (remote_fd) go back to the client.  A cycle ends as a whole when a side
// closes, and the next one starts a second later.
#include <errno.h>
#include <ev.h>
#include <netdb.h>
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

// Readers that drop what the remote server sends on the connections other
// than remote_fd, one per entry, so that nothing piles up unread in the
// kernel.  Allocated with the table, for one cycle.
static SocketWatch *drain;

// A re-opened entry is connected inside the notification handler; the wait
// is bounded so that an unreachable server cannot stall the relay for the
// system's whole connect timeout.
static const int kReconnectSeconds = 3;

static RelaySession *session_of(ev_io *w, size_t offset)
{
    return reinterpret_cast<RelaySession *>(reinterpret_cast<char *>(w) - offset);
}

static void check_args()
{
    if (!args_info.port_arg) {
        log_err("please fill port parament\n");
        exit(-1);
    }
    if (!args_info.dstport_arg) {
        log_err("please fill dstport parament\n");
        exit(-1);
    }
    if (!args_info.dstip_arg) {
        log_err("please fill dstip parament\n");
        exit(-1);
    }
    if (!args_info.uuid_arg) {
        log_err("please fill uuid parament\n");
        exit(-1);
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

// At the start of a cycle (`at_start`) a remote name that does not resolve
// ends the process; for an entry re-opened while the relay runs it only
// leaves that entry closed, since names often fail just while interfaces
// come and go.
static int link_to_tcpserver(int *entry, bool at_start = true)
{
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res;
    int rc = getaddrinfo(args_info.dstip_arg, args_info.dstport_arg, &hints, &res);
    if (rc != 0) {
        fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(rc));
        if (at_start)
            exit(1);
        if (*entry > 0)
            close(*entry);
        *entry = -1;
        return -1;
    }
    addrinfo *p;
    for (p = res; p; p = p->ai_next) {
        if (connect(*entry, p->ai_addr, p->ai_addrlen) == 0) {
            log_debug("connect tcpserver ok\n");
            break;
        }
        log_debug("connect fail and close(%d)\n", *entry);
        if (*entry > 0)
            close(*entry);
        *entry = -1;
    }
    if (!p)
        fprintf(stderr, "Could not getaddrinfo\n");
    freeaddrinfo(res);
    return *entry;
}

static void close_and_free_net(struct ev_loop *loop, RelaySession *s)
{
    if (s->closed)
        return;
    s->closed = 1;

    ev_io_stop(loop, &st.io);
    if (st.fd > 0)
        close(st.fd);
    st.fd = -1;

    ev_io_stop(loop, &s->client_io);
    ev_io_stop(loop, &s->remote_io);
    ev_io_stop(loop, &s->listen_io);

    // Each descriptor of the cycle once: remote_fd is normally an entry.
    unsigned n = ifmon_count();
    for (unsigned i = 0; i < n; i++) {
        if (drain)
            ev_io_stop(loop, &drain[i].io);
        if (sdrfd[i] <= 0)
            continue;
        if (sdrfd[i] == s->remote_fd)
            s->remote_fd = -1;
        close(sdrfd[i]);
        sdrfd[i] = -1;
    }
    if (s->remote_fd > 0)
        close(s->remote_fd);
    s->remote_fd = -1;
    if (s->listen_fd > 0)
        close(s->listen_fd);
    s->listen_fd = -1;
    if (s->client_fd > 0)
        close(s->client_fd);
    s->client_fd = -1;

    free(sdrfd);
    sdrfd = NULL;
    free(drain);
    drain = NULL;
    ev_break(loop, EVBREAK_ALL);
}

static void recv_cb(struct ev_loop *loop, ev_io *w, int)
{
    RelaySession *s = session_of(w, offsetof(RelaySession, client_io));
    char buf[1400];
    memset(buf, 0, sizeof buf);
    ssize_t n = recv(s->client_fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        log_debug("cli recv again\n");
        return;
    }
    if (n < 0) {
        log_debug("recv faild: %s %d\n", strerror(errno), errno);
        close_and_free_net(loop, s);
        return;
    }
    if (n == 0) {
        log_debug("local server recv 0 bytes\n");
        close_and_free_net(loop, s);
        return;
    }
    log_debug("recv %d bytes\n", (int)n);
    for (unsigned i = 0; i < ifmon_count(); i++) {
        if (sdrfd[i] <= 0)
            continue;
        iovec iov[2] = {{&tcphead, sizeof tcphead}, {buf, (size_t)n}};
        msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_iov = iov;
        msg.msg_iovlen = 2;
        ssize_t ret = sendmsg(sdrfd[i], &msg, 0);
        if (ret < 0)
            log_err("sendto failed: %s(%d), sdrfd[%d] = %d\n", strerror(errno), errno, (int)i,
                    sdrfd[i]);
        log_debug("send ret = %d\n", (int)ret);
    }
}

static void remote_recv_cb(struct ev_loop *loop, ev_io *w, int)
{
    RelaySession *s = session_of(w, offsetof(RelaySession, remote_io));
    memset(remotebuffer, 0, sizeof remotebuffer);
    ssize_t n = recv(s->remote_fd, remotebuffer, sizeof remotebuffer, 0);
    if (n == 0) {
        log_debug("remote server close\n");
        close_and_free_net(loop, s);
        return;
    }
    if (n < 0)
        return;
    // The first 28 bytes are the server's header; the text ends at the
    // first zero byte or with what was read.
    const char *text = remotebuffer + sizeof(LinkHeader);
    int len = n > (ssize_t)sizeof(LinkHeader) ? (int)(n - sizeof(LinkHeader)) : 0;
    const char *zero = static_cast<const char *>(memchr(text, 0, len));
    if (zero)
        len = (int)(zero - text);
    if (s->client_fd > 0) {
        ssize_t ret = send(s->client_fd, text, len, 0);
        log_debug("send to local client %d bytes: %.*s\n", (int)ret, len, text);
    }
}

static void drain_cb(struct ev_loop *loop, ev_io *w, int)
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
    // End of stream or a failed connection: writes to it will now fail and
    // say so; nothing more to read.
    log_debug("stop draining fd %d\n", dw->sock);
    ev_io_stop(loop, w);
}

// remote_io on entry `remote`'s socket (-1: where it is), drain readers on
// the other connected entries except `closing` (-1: none), whose descriptor
// is about to be closed.
static void watch_entries(int remote, int closing)
{
    if (remote >= 0) {
        ev_io_stop(loop, &sercli.remote_io);
        sercli.remote_fd = sdrfd[remote];
        ev_io_init(&sercli.remote_io, remote_recv_cb, sercli.remote_fd, EV_READ);
        ev_io_start(loop, &sercli.remote_io);
    }
    for (unsigned j = 0; j < ifmon_count(); j++) {
        ev_io_stop(loop, &drain[j].io);
        drain[j].sock = sdrfd[j];
        if ((int)j != closing && sdrfd[j] > 0 && sdrfd[j] != sercli.remote_fd) {
            ev_io_init(&drain[j].io, drain_cb, sdrfd[j], EV_READ);
            ev_io_start(loop, &drain[j].io);
        }
    }
}

static void set_connect_timeout(int fd, int seconds)
{
    timeval tv = {seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// streamhop's step for entry i of the table.
static int stream_entry_step(int i, IfmonEvent event, const char *name, const char *func)
{
    switch (event) {
    case IFMON_OPENED_DUMP:
        if (link_to_tcpserver(&sdrfd[i]) < 0) {
            sercli.remote_fd = -1;
            close_and_free_net(loop, &sercli);
            return 1;
        }
        watch_entries(i, -1);
        return 0;
    case IFMON_REOPENED:
        if (sdrfd[i] > 0) {
            set_connect_timeout(sdrfd[i], kReconnectSeconds);
            if (link_to_tcpserver(&sdrfd[i], false) > 0) {
                set_connect_timeout(sdrfd[i], 0);
                watch_entries(i, -1);
                return 0;
            }
        }
        log_err_as(func, "connect %s to tcpserver failed, sdrfd[%d] = %d\n", name, i, sdrfd[i]);
        watch_entries(-1, -1);
        return 0;
    case IFMON_CLOSING: {
        // The descriptor is about to go: nothing may stay watching it.
        int fd = sdrfd[i];
        ev_io_stop(loop, &drain[i].io);
        if (fd != sercli.remote_fd)
            return 0;
        ev_io_stop(loop, &sercli.remote_io);
        sercli.remote_fd = -1;
        int next = -1;
        for (unsigned j = 0; j < ifmon_count(); j++)
            if ((int)j != i && sdrfd[j] > 0)
                next = (int)j;
        if (next >= 0) {
            watch_entries(next, i);
            log_debug_as(func, "remote_fd moves to sdrfd[%d] = %d\n", next, sdrfd[next]);
        }
        return 0;
    }
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
    s->client_fd = fd;
    log_debug("stop listen\n");
    ev_io_stop(loop, &s->listen_io);
    ev_io_init(&s->client_io, recv_cb, s->client_fd, EV_READ);
    ev_io_start(loop, &s->client_io);
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
            log_err("listen failed: %s(%d)\n", strerror(errno), errno);
            exit(1);
        }
        log_debug("listen ok\n");
        while (!(host = gethostbyname(args_info.dstip_arg))) {
            log_err("Get host name error: %s\n", args_info.dstip_arg);
            sleep(1);
        }
        ev_io_init(&sercli.listen_io, accept_cb, sercli.listen_fd, EV_READ);
        ev_io_start(loop, &sercli.listen_io);

        st.fd = ip_monitor();
        ev_io_init(&st.io, ipstat_cb, st.fd, EV_READ);
        ev_io_start(loop, &st.io);

        unsigned n = args_info.outdev_given;
        sdrfd = static_cast<int *>(ss_malloc(sizeof(int) * (n + 1)));
        drain = static_cast<SocketWatch *>(ss_malloc(sizeof(SocketWatch) * (n + 1)));
        for (unsigned i = 0; i < n; i++) {
            sdrfd[i] = -1;
            drain[i].sock = -1;
            ev_io_init(&drain[i].io, drain_cb, -1, EV_READ);
        }
        log_debug("given outdev %d\n", (int)n);

        get_ifi_info();
        ev_run(loop, 0);
        // A cycle torn down in the dump, or a loop left for another reason:
        // make sure nothing of this cycle stays open.
        close_and_free_net(loop, &sercli);
        sleep(1);
        log_debug("=================goto recreate=====================\n");
    }
}
