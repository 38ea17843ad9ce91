// serdgram: bridges a serial port to a UDP server.  Each serial read goes
// out as one datagram of LinkHeader plus the queued bytes; the bare header
// is the heartbeat; each datagram from the server is written to the port.
#include <errno.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
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

LinkHeader udphead;

static void sock_recv_cb(struct ev_loop *loop, ev_io *w, int revents);
static void sock_send_cb(struct ev_loop *loop, ev_io *w, int revents);
static void heartbeat_cb(struct ev_loop *loop, ev_timer *w, int revents);

int one_instance()
{
    char path[kLockPathSize];
    if (lock_path(__func__, args_info.dev_arg, path, sizeof path) < 0)
        return 0;
    printf("path %s\n", path);
    fflush(stdout);
    if (lock_device(path) < 0) {
        log_warning("another serdgram is running\n");
        return -1;
    }
    return 0;
}

void check_args()
{
    check_timing(__func__, &args_info.vmin_arg, &args_info.vtime_arg);
    // The loop's timer cannot repeat with a negative interval.
    if (args_info.heartbeat_arg < 0) {
        log_err("heartbeat %d must not be negative\n", args_info.heartbeat_arg);
        exit(-1);
    }
}

int link_to_udpserver()
{
    return link_to_server(__func__, "udpserver", args_info.udpserver_arg, args_info.udpport_arg,
                          SOCK_DGRAM);
}

NetConn *new_sock(int fd, SerialPort *serial)
{
    return new_netconn(fd, serial, sock_recv_cb, sock_send_cb, heartbeat_cb,
                       static_cast<ev_tstamp>(args_info.heartbeat_arg));
}

void free_udp(struct ev_loop *loop, NetConn *conn)
{
    log_err("close and free udp\n");
    free_netconn(conn);
    ev_break(loop, EVBREAK_ALL);
}

void close_and_free_net(struct ev_loop *loop, NetConn *conn)
{
    if (conn == NULL)
        return;
    log_err("free udp fd: %d\n", conn->fd);
    stop_netconn(loop, conn);
    free_udp(loop, conn);
}

static void heartbeat_cb(struct ev_loop *loop, ev_timer *w, int revents)
{
    (void)revents;
    NetConn *conn = netconn_of(w);
    log_debug("send heartbeat\n");
    conn->head_out = 1;
    ssize_t n = sendto(conn->fd, &udphead, sizeof udphead, 0, NULL, 0);
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
        // A refusal the server host reported for an earlier datagram is
        // taken by whichever call comes first: here it ends the connection,
        // as it would have in sock_recv_cb, instead of leaving the next
        // datagram to go to the closed port.
        log_debug("heartbeat send err : %m(%d)\n", errno);
        close_and_free_net(loop, conn);
        return;
    }
    // Bytes a previous connection left queued go out now, without waiting
    // for a new serial byte.
    if (!bufempty(conn->serial->rxbuf))
        ev_io_start(loop, &conn->write_watcher->io);
}

static void sock_send_cb(struct ev_loop *loop, ev_io *w, int revents)
{
    (void)revents;
    NetConn *conn = netconn_of(w);
    SerialPort *serial = conn->serial;
    ByteBuffer *rx = serial->rxbuf;
    struct iovec iov[2];
    iov[0].iov_base = &udphead;
    iov[0].iov_len = sizeof udphead;
    iov[1].iov_base = rx->data + rx->idx;
    iov[1].iov_len = rx->len;
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    if (bufempty(rx)) {
        log_err("rxbuf is empty, should not enable udp send\n");
        // Left running, a writable socket would call us back at once.
        ev_io_stop(loop, w);
        return;
    }
    ssize_t n = sendmsg(conn->fd, &msg, 0);
    log_debug("sock_send_cb ret %ld\n", static_cast<long>(n));
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return;
        log_debug("send err : %m(%d)\n", errno);
        close_and_free_net(loop, conn);
        return;
    }
    breset(rx);
    ev_io_stop(loop, w);
    ev_io_start(loop, &serial->read_watcher->io);
}

static void sock_recv_cb(struct ev_loop *loop, ev_io *w, int revents)
{
    (void)revents;
    NetConn *conn = netconn_of(w);
    SerialPort *serial = conn->serial;
    char buf[kSerialReadSize];
    memset(buf, 0, sizeof buf);
    ssize_t n = recv(conn->fd, buf, sizeof buf, 0);
    log_debug("recv: %d\n", static_cast<int>(n));
    if (n >= 1) {
        bconcat(serial->txbuf, buf, static_cast<int>(n));
        serial_deliver(loop, serial, w);
        return;
    }
    if (n == 0) {
        log_debug("udpcli recv 0 bytes, return\n");
        return;
    }
    if (errno == EAGAIN || errno == EINTR) {
        log_debug("cli recv again\n");
        return;
    }
    log_debug("recv faild: %m %d\n", errno);
    close_and_free_net(loop, conn);
}

int main(int argc, char **argv)
{
    proc_args(argc, argv);
    if (one_instance() < 0)
        return 0;
    check_args();
    udp_head_init(&udphead, args_info.nic_arg, args_info.uuid_arg);
    struct ev_loop *loop = start_daemon(0);
    SerialOptions opt = {args_info.dev_arg,  args_info.speed_arg, args_info.data_arg,
                         args_info.parity_arg, args_info.stop_arg, args_info.vmin_arg,
                         args_info.vtime_arg};
    SerialPort *serial = create_serial(&opt);
    linegate_init();
    linegate_signals(loop);
    for (;;) {
        int fd = link_to_udpserver();
        if (fd == -1) {
            serial_pause(loop, serial, 1);
            log_debug("reconnect udpserver\n");
            continue;
        }
        setnonblocking(fd);
        NetConn *conn = new_sock(fd, serial);
        // Bytes a failed send left queued go first (the first heartbeat
        // starts their send); reading on top of them would let the queue
        // grow with every failed connection, past what one datagram holds.
        if (bufempty(serial->rxbuf))
            ev_io_start(loop, &serial->read_watcher->io);
        ev_io_start(loop, &conn->read_watcher->io);
        // The pause and the connect ran outside the loop, whose clock is a
        // second or more behind by now: a heartbeat timer started on it
        // would be a repeat late at once and fire twice in a row.
        ev_now_update(loop);
        ev_timer_start(loop, &conn->write_watcher->timer);
        ev_run(loop, 0);
        log_debug("going to reconnect udpserver\n");
        // A refused port fails every connection at its first heartbeat;
        // without a pause that is a flood of heartbeats at full CPU.
        serial_pause(loop, serial, 1);
    }
}
