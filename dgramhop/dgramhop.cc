// dgramhop: relays each local UDP datagram, behind the link header, to the
// remote endpoint once over every configured outgoing interface; replies
// read on one interface socket go back to the most recent local sender.
#include <arpa/inet.h>
#include <errno.h>
#include <ev.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "cmdline.h"
#include "common/buffer.h"
#include "common/daemon.h"
#include "common/linkhead.h"
#include "common/log.h"
#include "common/net.h"
#include "ifmon/ifmon.h"

LinkHeader udphead;
struct hostent *host;
struct sockaddr_in local;
SocketWatch *testlisten;
// The reply watcher: the socket of one configured interface.
SocketWatch test;
// The entry `test` belongs to, -1 before the dump gave it one.
static int test_entry = -1;

static SocketWatch *watch_of(ev_io *w)
{
    return reinterpret_cast<SocketWatch *>(reinterpret_cast<char *>(w) -
                                           offsetof(SocketWatch, io));
}

// The relay cannot work without a destination: say so at start-up (as
// streamhop does) rather than fail later in the resolver.
static void check_args()
{
    if (!args_info.dstip_arg) {
        log_err("please fill dstip parament\n");
        exit(-1);
    }
    if (!args_info.dstport_given) {
        log_err("please fill dstport parament\n");
        exit(-1);
    }
}

static void recv_cb(struct ev_loop *, ev_io *w, int)
{
    SocketWatch *listener = watch_of(w);
    testlisten = listener;

    char buf[16000];
    sockaddr_in from;
    memset(&from, 0, sizeof from);
    iovec iov = {buf, sizeof buf};
    msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t res = recvmsg(listener->sock, &msg, 0);
    log_debug("res = %d", (int)res);
    if (res < 0)
        return;

    sockaddr_in dst;
    memset(&dst, 0, sizeof dst);
    dst.sin_family = AF_INET;
    dst.sin_port = htons((uint16_t)args_info.dstport_arg);
    memcpy(&dst.sin_addr, host->h_addr_list[0], 4);

    for (unsigned i = 0; i < ifmon_count(); i++) {
        if (sdrfd[i] <= 0)
            continue;
        iovec out[2] = {{&udphead, sizeof udphead}, {buf, (size_t)res}};
        msghdr m;
        memset(&m, 0, sizeof m);
        m.msg_name = &dst;
        m.msg_namelen = sizeof dst;
        m.msg_iov = out;
        m.msg_iovlen = 2;
        // Entry sockets are non-blocking: a path that cannot take the
        // datagram now loses it, and the other paths still get it.
        ssize_t ret = sendmsg(sdrfd[i], &m, MSG_DONTWAIT);
        if (ret < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS))
            log_debug("%s is full: datagram dropped there, sdrfd[%d] = %d",
                      args_info.outdev_arg[i], (int)i, sdrfd[i]);
        else if (ret < 0)
            log_err("sendto failed: %m(%d)", errno);
        log_debug("send ret = %d", (int)ret);
    }

    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = from.sin_port;
    local.sin_addr = from.sin_addr;
}

static void trans_recv_cb(struct ev_loop *, ev_io *w, int)
{
    SocketWatch *tw = watch_of(w);
    char buf[512];
    memset(buf, 0, sizeof buf);
    ssize_t n = recv(tw->sock, buf, sizeof buf, 0);
    if (n > 0) {
        if (!testlisten) {
            // Nobody has sent yet, so there is nobody to answer.
            log_debug("drop %d bytes: no local sender yet", (int)n);
            return;
        }
        ssize_t sent = sendto(testlisten->sock, buf, n, 0, reinterpret_cast<sockaddr *>(&local),
                              sizeof local);
        log_debug("recv remote data : %.*s, local fd = %d, send num = %d", (int)n, buf,
                  testlisten->sock, (int)sent);
    } else if (n == 0) {
        log_debug("remote server closed");
    } else {
        log_debug("recv remote data err");
    }
}

// Points `test` at entry i (without starting it).
static void test_follow(int i)
{
    test_entry = i;
    test.sock = sdrfd[i];
    ev_io_init(&test.io, trans_recv_cb, test.sock, EV_READ);
}

// The reply watcher follows its entry: stopped before the entry's socket is
// closed, moved to the socket that re-opens it.
static int dgram_entry_step(int i, IfmonEvent event, const char *name, const char *func)
{
    struct ev_loop *loop = EV_DEFAULT;
    switch (event) {
    case IFMON_OPENED_DUMP:
        test_follow(i);
        log_info_as(func, "create sock: %d for %s", sdrfd[i], name);
        break;
    case IFMON_CLOSING:
        if (i == test_entry && test.sock > 0) {
            ev_io_stop(loop, &test.io);
            test.sock = -1;
        }
        break;
    case IFMON_REOPENED:
        if (sdrfd[i] > 0 && (i == test_entry || test.sock <= 0)) {
            ev_io_stop(loop, &test.io);
            test_follow(i);
            ev_io_start(loop, &test.io);
            log_info_as(func, "create sock: %d for %s", sdrfd[i], name);
        }
        break;
    }
    return 0;
}

int main(int argc, char **argv)
{
    proc_args(argc, argv);
    check_args();
    udp_head_init(&udphead, args_info.nic_arg, args_info.uuid_arg);
    struct ev_loop *loop = start_daemon(1);

    SocketWatch listener;
    memset(&listener, 0, sizeof listener);
    listener.sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (listener.sock < 0) {
        log_err("socket failed: %m(%d)", errno);
        exit(-1);
    }

    while (!(host = gethostbyname(args_info.dstip_arg)) || host->h_addrtype != AF_INET ||
           host->h_length != 4 || !host->h_addr_list[0]) {
        log_err("Get host name error: %s", args_info.dstip_arg);
        sleep(1);
    }

    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)args_info.port_arg);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(listener.sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        log_err("bind failed: %m(%d)", errno);
        exit(-1);
    }
    setnonblocking(listener.sock);
    ev_io_init(&listener.io, recv_cb, listener.sock, EV_READ);
    ev_io_start(loop, &listener.io);
    log_info("dgramhop: listen port %d", args_info.port_arg);

    ifmon_setup(SOCK_DGRAM, args_info.outdev_arg, args_info.outdev_given, dgram_entry_step);
    st.fd = ip_monitor();
    ev_io_init(&st.io, ipstat_cb, st.fd, EV_READ);
    ev_io_start(loop, &st.io);
    log_info("dgramhop: listen netlink");

    sdrfd = static_cast<int *>(ss_malloc(sizeof(int) * (args_info.outdev_given + 1)));
    for (unsigned i = 0; i < args_info.outdev_given; i++)
        sdrfd[i] = -1;

    get_ifi_info();
    if (test.sock > 0)
        ev_io_start(loop, &test.io);

    ev_run(loop, 0);
    log_err("ev_run exit");
    return -1;
}
