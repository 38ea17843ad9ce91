// serstream: bridges a serial port to a TCP server.  Serial bytes go out as
// frames of LinkHeader plus payload; each chunk from the server loses its
// first 28 bytes and the rest is written to the port.
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <ev.h>

#include "cmdline.h"
#include "common/buffer.h"
#include "common/daemon.h"
#include "common/linkhead.h"
#include "common/log.h"
#include "common/net.h"
#include "serial/serial.h"

LinkHeader tcphead;

static constexpr int kHeadSize = static_cast<int>(sizeof(LinkHeader));

static void sock_recv_cb(struct ev_loop *loop, ev_io *w, int revents);
static void sock_send_cb(struct ev_loop *loop, ev_io *w, int revents);
static void regist_cb(struct ev_loop *loop, ev_timer *w, int revents);

int one_instance()
{
    char path[kLockPathSize];
    if (lock_path(__func__, args_info.dev_arg, path, sizeof path) < 0)
        return 0;
    log_debug("dev pid file %s\n", path);
    if (lock_device(path) < 0) {
        log_warning("another beaconer is running\n");
        return -1;
    }
    return 0;
}

void check_args()
{
    check_timing(__func__, &args_info.vmin_arg, &args_info.vtime_arg);
}

int link_to_tcpserver()
{
    int fd = link_to_server(__func__, "tcpserver", args_info.tcpserver_arg, args_info.tcpport_arg,
                            SOCK_STREAM);
    if (fd >= 0)
        log_debug("link_to_tcpserver ok\n");
    return fd;
}

int tcp_alive(int sock)
{
    int on = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0) {
        log_warning("Set tcp keepalive failed: %s\n", strerror(errno));
        return 0;
    }
    int probes = 2;
    if (setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) < 0) {
        log_warning("Set tcp_keepalive_probes failed: %s\n", strerror(errno));
        return 0;
    }
    int idle = 5;
    if (setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) < 0) {
        log_warning("Set tcp_keepalive_time failed: %s\n", strerror(errno));
        return 0;
    }
    int intvl = args_info.alivetimer_arg;
    if (setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl) < 0) {
        log_warning("Set tcp_keepalive_intvl failed: %s\n", strerror(errno));
        return 0;
    }
    return 1;
}

NetConn *new_sock(int fd, SerialPort *serial)
{
    return new_netconn(fd, serial, sock_recv_cb, sock_send_cb, regist_cb, 0.);
}

void free_tcp(struct ev_loop *loop, NetConn *conn)
{
    log_err("close and free tcp\n");
    free_netconn(conn);
    ev_break(loop, EVBREAK_ALL);
}

void close_and_free_net(struct ev_loop *loop, NetConn *conn)
{
    if (conn == NULL)
        return;
    log_err("free tcp fd: %d\n", conn->fd);
    stop_netconn(loop, conn);
    free_tcp(loop, conn);
}

// The registration header goes out alone.  Should the kernel take only part
// of it, the write watcher finishes it before any frame follows.
static void regist_cb(struct ev_loop *loop, ev_timer *w, int revents)
{
    (void)revents;
    NetConn *conn = netconn_of(w);
    log_debug("send heartbeat\n");
    conn->head_out = 1;
    ssize_t n = send(conn->fd, &tcphead, kHeadSize, 0);
    if ((n >= 0 && n < kHeadSize) || (n < 0 && errno == EAGAIN)) {
        conn->head_sent = n > 0 ? static_cast<int>(n) : 0;
        conn->head_alone = 1;
        ev_io_start(loop, &conn->write_watcher->io);
    }
    // Bytes left queued by the previous connection go out now, behind the
    // registration, without waiting for a new serial byte.
    if (!bufempty(conn->serial->rxbuf))
        ev_io_start(loop, &conn->write_watcher->io);
}

// Sends the rest of the registration header; 1 when it is complete.
static int finish_registration(struct ev_loop *loop, NetConn *conn)
{
    const char *head = reinterpret_cast<const char *>(&tcphead);
    ssize_t n = send(conn->fd, head + conn->head_sent, kHeadSize - conn->head_sent, 0);
    log_debug_as("sock_send_cb", "sock_send_cb ret %d\n", static_cast<int>(n));
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return 0;
        log_debug_as("sock_send_cb", "send err : %m(%d)\n", errno);
        close_and_free_net(loop, conn);
        return -1;
    }
    conn->head_sent += static_cast<int>(n);
    if (conn->head_sent < kHeadSize)
        return 0;
    conn->head_sent = 0;
    conn->head_alone = 0;
    return 1;
}

static void sock_send_cb(struct ev_loop *loop, ev_io *w, int revents)
{
    (void)revents;
    NetConn *conn = netconn_of(w);
    SerialPort *serial = conn->serial;
    ByteBuffer *rx = serial->rxbuf;
    if (conn->head_alone) {
        int done = finish_registration(loop, conn);
        if (done < 0)
            return;  // released
        if (done > 0 && bufempty(rx))
            ev_io_stop(loop, w);
        return;
    }
    if (bufempty(rx)) {
        log_err("rxbuf is empty, should not enable tcp send\n");
        ev_io_stop(loop, w);
        return;
    }
    // Every queued frame goes behind its own header in one gather write; a
    // header the kernel took only part of is completed first, so the stream
    // never holds a cut header.
    int frames = serial->rx_nsplit + 1;
    struct iovec iov[2 * kSerialBatch];
    char *payload = rx->data + rx->idx;
    int rest = rx->len;
    for (int i = 0; i < frames; i++) {
        int len = i + 1 < frames ? serial->rx_split[i] : rest;
        iov[2 * i].iov_base = reinterpret_cast<char *>(&tcphead);
        iov[2 * i].iov_len = kHeadSize;
        iov[2 * i + 1].iov_base = payload;
        iov[2 * i + 1].iov_len = len;
        payload += len;
        rest -= len;
    }
    int head_rest = kHeadSize - conn->head_sent;
    iov[0].iov_base = reinterpret_cast<char *>(&tcphead) + conn->head_sent;
    iov[0].iov_len = head_rest;
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = iov;
    msg.msg_iovlen = 2 * frames;
    ssize_t n = sendmsg(conn->fd, &msg, 0);
    log_debug("sock_send_cb ret %d\n", static_cast<int>(n));
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return;
        log_debug("send err : %m(%d)\n", errno);
        close_and_free_net(loop, serial->conn);
        return;
    }
    // A header the kernel cut is completed first and its payload follows
    // it.  A whole frame that went out up to exactly its header's end (or
    // further) sends the rest as a new frame behind its own header.
    if (conn->head_sent > 0 ? n <= head_rest : n < head_rest) {
        // The rest of this header leads the next try.
        conn->head_sent += static_cast<int>(n);
        return;
    }
    conn->head_sent = 0;
    int left = static_cast<int>(n - head_rest);
    if (left >= rx->len + (frames - 1) * kHeadSize) {
        breset(rx);
        serial->rx_nsplit = 0;
        ev_io_stop(loop, w);
        ev_io_start(loop, &serial->read_watcher->io);
        return;
    }
    // Partly sent: whole frames leave the queue; a frame cut in its payload
    // (at its header's end included) keeps the rest as a new frame behind
    // its own header, a later header the kernel cut is completed first.
    int done = 0;  // frames fully sent
    int drop = 0;  // payload bytes sent
    for (;;) {
        int len = done + 1 < frames ? serial->rx_split[done] : rx->len - drop;
        if (left < len) {
            // Cut inside this frame's payload: its rest is a frame of its own.
            drop += left;
            if (done + 1 < frames)
                serial->rx_split[done] = len - left;
            break;
        }
        drop += len;
        left -= len;
        done++;
        // The next frame's header: none of it, or a cut one, went out.
        if (left < kHeadSize) {
            conn->head_sent = left;
            break;
        }
        left -= kHeadSize;
    }
    bshrink(rx, drop);
    int keep = serial->rx_nsplit - done;
    for (int i = 0; i < keep; i++)
        serial->rx_split[i] = serial->rx_split[done + i];
    serial->rx_nsplit = keep;
}

// Prints at most n bytes of a chunk, up to its first zero byte.
static int text_len(const char *buf, int n)
{
    const void *zero = memchr(buf, 0, n);
    return zero ? static_cast<int>(static_cast<const char *>(zero) - buf) : n;
}

static void sock_recv_cb(struct ev_loop *loop, ev_io *w, int revents)
{
    (void)revents;
    NetConn *conn = netconn_of(w);
    SerialPort *serial = conn->serial;
    char buf[kSerialReadSize];
    memset(buf, 0, sizeof buf);
    ssize_t n = recv(conn->fd, buf, sizeof buf, 0);
    if (n > 0) {
        int len = static_cast<int>(n);
        log_debug("recv %d Bytes : %.*s\n", len, text_len(buf, len), buf);
        if (len <= kHeadSize) {
            // Header only (or less): nothing for the port, keep reading.
            log_debug("chunk of %d bytes carries no data\n", len);
            return;
        }
        bconcat(serial->txbuf, buf + kHeadSize, len - kHeadSize);
        serial_deliver(loop, serial, w);
        return;
    }
    if (n == 0) {
        log_debug("tcpcli recv 0 bytes, return\n");
        close_and_free_net(loop, serial->conn);
        return;
    }
    if (errno == EAGAIN || errno == EINTR) {
        log_debug("cli recv again\n");
        return;
    }
    close_and_free_net(loop, conn);
}

int main(int argc, char **argv)
{
    proc_args(argc, argv);
    if (one_instance() < 0)
        return 0;
    check_args();
    tcp_head_init(&tcphead, args_info.nic_arg, args_info.uuid_arg);
    struct ev_loop *loop = start_daemon(0);
    SerialOptions opt = {args_info.dev_arg,  args_info.speed_arg, args_info.data_arg,
                         args_info.parity_arg, args_info.stop_arg, args_info.vmin_arg,
                         args_info.vtime_arg};
    SerialPort *serial = create_serial(&opt);
    // A stream takes what waits on the line in one read, a frame per
    // kSerialReadSize of it, all in one gather write.
    serial->batch = kSerialBatch;
    linegate_init();
    linegate_signals(loop);
    for (;;) {
        int fd = link_to_tcpserver();
        if (fd == -1) {
            serial_pause(loop, serial, 1);
            log_debug("reconnect tcpserver\n");
            continue;
        }
        setnonblocking(fd);
        tcp_alive(fd);
        NetConn *conn = new_sock(fd, serial);
        serial->conn = conn;
        ev_io_start(loop, &serial->read_watcher->io);
        ev_io_start(loop, &conn->read_watcher->io);
        ev_timer_start(loop, &conn->write_watcher->timer);
        ev_run(loop, 0);
        log_debug("tcpcli going to reconnect tcp server\n");
        serial_pause(loop, serial, 1);
    }
}
