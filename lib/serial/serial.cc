#include "serial.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "common/log.h"

SerialPort *create_serial(const SerialOptions *opt)
{
    // Close-on-exec, as every descriptor of the bridges: the line-direction
    // script must not hold the port open.
    int fd = open(opt->dev, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "open %s failed:%s\n", opt->dev, strerror(errno));
        exit(-1);
    }
    if (set_opt(fd, opt->speed, opt->data, opt->parity[0], opt->stop,
                static_cast<uint8_t>(opt->vmin), static_cast<uint8_t>(opt->vtime)) < 0) {
        fprintf(stderr, "set tty failed:%s\n", strerror(errno));
        exit(-1);
    }
    SerialPort *port = new_serial(fd);
    port->dev = opt->dev;
    return port;
}

static speed_t speed_constant(int speed)
{
    switch (speed) {
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    default: return B0;
    }
}

int set_opt(int fd, int speed, int data_bits, char parity, int stop_bits, uint8_t vmin,
            uint8_t vtime)
{
    struct termios oldtio, newtio;
    if (tcgetattr(fd, &oldtio) != 0) {
        log_err("SetupSerial 1");
        return -1;
    }
    memset(&newtio, 0, sizeof newtio);
    newtio.c_cflag |= CLOCAL | CREAD;
    newtio.c_cflag &= ~CSIZE;
    switch (data_bits) {
    case 5: newtio.c_cflag |= CS5; break;
    case 6: newtio.c_cflag |= CS6; break;
    case 7: newtio.c_cflag |= CS7; break;
    case 8: newtio.c_cflag |= CS8; break;
    default: break;
    }
    switch (parity) {
    case 'N':
        newtio.c_cflag &= ~PARENB;
        break;
    case 'O':
        newtio.c_cflag |= PARENB | PARODD;
        newtio.c_iflag |= INPCK | ISTRIP;
        break;
    case 'E':
        newtio.c_cflag |= PARENB;
        newtio.c_cflag &= ~PARODD;
        newtio.c_iflag |= INPCK | ISTRIP;
        break;
    default:
        log_err("error parity\n");
        exit(-1);
    }
    speed_t constant = speed_constant(speed);
    if (constant == B0) {
        log_err("error bps\n");
        exit(-1);
    }
    cfsetispeed(&newtio, constant);
    cfsetospeed(&newtio, constant);
    if (stop_bits == 2)
        newtio.c_cflag |= CSTOPB;
    else
        newtio.c_cflag &= ~CSTOPB;
    newtio.c_cc[VMIN] = vmin;
    newtio.c_cc[VTIME] = vtime;
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &newtio) != 0) {
        log_err("com set error");
        return -1;
    }
    return 0;
}

SerialPort *new_serial(int fd)
{
    SerialPort *port = static_cast<SerialPort *>(ss_malloc(sizeof *port));
    port->fd = fd;
    port->conn = NULL;
    port->batch = 1;
    port->rx_nsplit = 0;
    port->rxbuf = static_cast<ByteBuffer *>(ss_malloc(sizeof *port->rxbuf));
    port->txbuf = static_cast<ByteBuffer *>(ss_malloc(sizeof *port->txbuf));
    balloc(port->rxbuf, kSerialQueueSize);
    balloc(port->txbuf, kSerialQueueSize);
    port->read_watcher = static_cast<OwnedWatcher *>(ss_malloc(sizeof *port->read_watcher));
    port->write_watcher = static_cast<OwnedWatcher *>(ss_malloc(sizeof *port->write_watcher));
    port->read_watcher->owner = port;
    port->write_watcher->owner = port;
    ev_io_init(&port->read_watcher->io, serial_recv_cb, fd, EV_READ);
    ev_io_init(&port->write_watcher->io, serial_send_cb, fd, EV_WRITE);
    return port;
}

static SerialPort *port_of(ev_io *w)
{
    return static_cast<SerialPort *>(reinterpret_cast<OwnedWatcher *>(w)->owner);
}

// A tty whose adapter went away (USB unplugged, pty master closed) reads 0
// bytes for ever while polling readable; only the hang-up flags tell it from
// a read that simply found nothing (VMIN 0).
static bool hung_up(int fd)
{
    struct pollfd p;
    p.fd = fd;
    p.events = POLLIN;
    p.revents = 0;
    if (poll(&p, 1, 0) < 0)
        return false;
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// The fatal end of a serial error: connection first, then the port.
[[noreturn]] static void serial_failed(const char *func, struct ev_loop *loop, SerialPort *port)
{
    const char *dev = port->dev;
    close_and_free_net(loop, port->conn);
    close_and_free_serial(loop, port);
    log_err_as(func, "ttl: %s error, exit\n", dev ? dev : "");
    exit(-1);
}

void serial_recv_cb(struct ev_loop *loop, ev_io *w, int revents)
{
    (void)revents;
    SerialPort *port = port_of(w);
    // A stream bridge with nothing queued reads what kSerialBatch reads
    // would take from a driver holding that much; a read blocks no longer
    // for being larger, as the port's VMIN (at most 255) stays below the
    // size of one.  Bytes joining a queue left by a dropped connection are
    // read one size at a time, as they always were.
    char buf[kSerialReadSize * kSerialBatch];
    int batch = port->batch;
    if (batch > kSerialBatch || !bufempty(port->rxbuf))
        batch = 1;
    size_t size = static_cast<size_t>(kSerialReadSize) * static_cast<size_t>(batch);
    memset(buf, 0, size);
    ssize_t n = read(port->fd, buf, size);
    if (n == 0) {
        if (!hung_up(port->fd)) {
            log_debug("serial recv 0, return\n");
            return;
        }
        errno = EIO;
        n = -1;
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) {
            log_debug("recv again\n");
            return;
        }
        log_err("recv failed: %m(%d)\n", errno);
        serial_failed(__func__, loop, port);
    }
    // Each piece of kSerialReadSize is a frame of its own, as if read alone.
    int got = static_cast<int>(n);
    while (got > kSerialReadSize) {
        log_debug("serial num %ld\n", static_cast<long>(kSerialReadSize));
        port->rx_split[port->rx_nsplit++] = kSerialReadSize;
        got -= kSerialReadSize;
    }
    log_debug("serial num %ld\n", static_cast<long>(got));
    bconcat(port->rxbuf, buf, static_cast<int>(n));
    // The frame goes to the kernel at once; the port keeps being read when
    // it all went out, so a steady stream costs no watcher changes.  A send
    // already under way (its watcher active) takes these bytes next, and
    // none goes before the connection's first header.
    NetConn *conn = port->conn;
    if (conn != NULL && conn->head_out && !ev_is_active(&conn->write_watcher->io))
        ev_invoke(loop, &conn->write_watcher->io, EV_WRITE);
    if (bufempty(port->rxbuf))
        return;
    ev_io_stop(loop, w);
    // Without a connection (released earlier in this loop pass, or by the
    // send just tried) the bytes wait in rxbuf; the next connection starts
    // its write watcher for them.
    if (port->conn != NULL)
        ev_io_start(loop, &port->conn->write_watcher->io);
}

void serial_send_cb(struct ev_loop *loop, ev_io *w, int revents)
{
    (void)revents;
    SerialPort *port = port_of(w);
    ByteBuffer *tx = port->txbuf;
    if (bufempty(tx)) {
        log_err("txbuf is empty, should not enable tx\n");
        // Left running, an always-writable port would call us back at once.
        ev_io_stop(loop, w);
        return;
    }
    ssize_t n = write(port->fd, tx->data + tx->idx, tx->len);
    log_debug("write to serial %ld\n", static_cast<long>(n));
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return;
        log_err("serial_send_cb error\n");
        serial_failed(__func__, loop, port);
    }
    if (n < tx->len) {
        bshrink(tx, static_cast<int>(n));
        return;
    }
    breset(tx);
    ev_io_stop(loop, w);
    linegate("out");
    if (port->conn != NULL)
        ev_io_start(loop, &port->conn->read_watcher->io);
}

// What the write watcher would wait for: the port takes bytes now.
static bool writable_now(int fd)
{
    struct pollfd p;
    p.fd = fd;
    p.events = POLLOUT;
    p.revents = 0;
    return poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0;
}

void serial_deliver(struct ev_loop *loop, SerialPort *port, ev_io *conn_read)
{
    linegate("in");
    ev_io *w = &port->write_watcher->io;
    // A write still under way (left by an earlier connection) goes first.
    if (!ev_is_active(w) && writable_now(port->fd)) {
        ev_invoke(loop, w, EV_WRITE);
        if (bufempty(port->txbuf))
            return;  // written, "linegate.sh out" ran, the socket is still read
    }
    ev_io_stop(loop, conn_read);
    ev_io_start(loop, w);
}

long ms_since(const struct timespec *since)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    time_t s = now.tv_sec - since->tv_sec;
    if (s > 1000000)
        return 1000000000L;
    return static_cast<long>(s) * 1000 + (now.tv_nsec - since->tv_nsec) / 1000000;
}

void serial_pause(struct ev_loop *loop, SerialPort *port, int seconds)
{
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        long left = seconds * 1000L - ms_since(&start);
        if (left <= 0)
            return;
        // No events asked for on the port: poll wakes only for a hang-up or
        // an error, bytes arriving meanwhile stay in the terminal driver.
        // A signal that is to end the process after the turn of the line
        // wakes it too.
        struct pollfd p[2];
        p[0].fd = port->fd;
        p[0].events = 0;
        p[0].revents = 0;
        p[1].fd = linegate_stop_fd();
        p[1].events = POLLIN;
        p[1].revents = 0;
        int r = poll(p, 2, static_cast<int>(left));
        if (r < 0 && errno != EINTR) {
            sleep(static_cast<unsigned>(seconds));
            return;
        }
        linegate_finish();
        if (r > 0 && (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            // The read that a connected bridge would do: it ends the process
            // (or, should bytes still be there, queues them and we read on).
            serial_recv_cb(loop, &port->read_watcher->io, EV_READ);
        }
    }
}

void close_and_free_serial(struct ev_loop *loop, SerialPort *port)
{
    if (port == NULL)
        return;
    log_err("serial error, free serial fd: %d\n", port->fd);
    ev_io_stop(loop, &port->write_watcher->io);
    ev_io_stop(loop, &port->read_watcher->io);
    close(port->fd);
    free_serial(port);
}

void free_serial(SerialPort *port)
{
    log_err("serial error, close and free serial\n");
    bfree(port->rxbuf);
    bfree(port->txbuf);
    free(port->rxbuf);
    port->rxbuf = NULL;
    free(port->txbuf);
    port->txbuf = NULL;
    free(port->read_watcher);
    port->read_watcher = NULL;
    free(port->write_watcher);
    port->write_watcher = NULL;
    free(port);
}

NetConn *new_netconn(int fd, SerialPort *serial, void (*recv_cb)(struct ev_loop *, ev_io *, int),
                     void (*send_cb)(struct ev_loop *, ev_io *, int),
                     void (*timer_cb)(struct ev_loop *, ev_timer *, int), ev_tstamp repeat)
{
    NetConn *conn = static_cast<NetConn *>(ss_malloc(sizeof *conn));
    conn->fd = fd;
    conn->serial = serial;
    serial->conn = conn;
    conn->read_watcher = static_cast<OwnedWatcher *>(ss_malloc(sizeof *conn->read_watcher));
    conn->write_watcher = static_cast<OwnedWatcher *>(ss_malloc(sizeof *conn->write_watcher));
    conn->read_watcher->owner = conn;
    conn->write_watcher->owner = conn;
    ev_io_init(&conn->read_watcher->io, recv_cb, fd, EV_READ);
    ev_io_init(&conn->write_watcher->io, send_cb, fd, EV_WRITE);
    ev_timer_init(&conn->write_watcher->timer, timer_cb, 0., repeat);
    return conn;
}

void stop_netconn(struct ev_loop *loop, NetConn *conn)
{
    ev_io_stop(loop, &conn->write_watcher->io);
    ev_io_stop(loop, &conn->read_watcher->io);
    ev_timer_stop(loop, &conn->write_watcher->timer);
    close(conn->fd);
    conn->fd = -1;
    if (conn->serial != NULL && conn->serial->conn == conn)
        conn->serial->conn = NULL;
}

void free_netconn(NetConn *conn)
{
    free(conn->read_watcher);
    conn->read_watcher = NULL;
    free(conn->write_watcher);
    conn->write_watcher = NULL;
    free(conn);
}

NetConn *netconn_of(ev_io *w)
{
    return static_cast<NetConn *>(reinterpret_cast<OwnedWatcher *>(w)->owner);
}

NetConn *netconn_of(ev_timer *w)
{
    OwnedWatcher *ow = reinterpret_cast<OwnedWatcher *>(reinterpret_cast<char *>(w) -
                                                        offsetof(OwnedWatcher, timer));
    return static_cast<NetConn *>(ow->owner);
}
