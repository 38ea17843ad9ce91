// The serial port shared by the two serial bridges (serstream, serdgram).
//
// One SerialPort lives for the whole process: it owns the descriptor, both
// queues and both watcher records, and is released only on the fatal paths
// just before the process ends.  The program attaches one NetConn at a time
// in `conn`; that is a link, not ownership.
//
// Hand-over between the two directions:
//   serial bytes read        -> the connection's send callback tries them at
//                               once; only when bytes stay queued: stop
//                               serial read, start conn write
//   rxbuf sent (program)     -> stop conn write,   start serial read
//   server bytes queued      -> "linegate.sh in", then written at once when
//                               the port takes them (serial_deliver); only
//                               when bytes stay queued: stop conn read,
//                               start serial write
//   txbuf written            -> stop serial write, "linegate.sh out", start conn read
#pragma once

#include <ev.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "common/buffer.h"

struct NetConn;

// A libev watcher with a link to the record that owns it.  `io` comes first,
// so the address a callback receives is the record's.  `timer` is used by
// connection records only; its callback reaches the record through offsetof.
struct OwnedWatcher {
    ev_io io;
    ev_timer timer;
    void *owner;  // SerialPort or NetConn
};

// Reads a stream bridge takes per readable event at most (SerialPort::batch).
constexpr int kSerialBatch = 4;

struct SerialPort {
    int fd;
    NetConn *conn;              // attached connection, NULL between connections
    ByteBuffer *rxbuf;          // read from the port, not yet sent
    ByteBuffer *txbuf;          // from the server, not yet written to the port
    OwnedWatcher *read_watcher;   // EV_READ, serial_recv_cb
    OwnedWatcher *write_watcher;  // EV_WRITE, serial_send_cb
    const char *dev;            // device path, for the fatal-path message
    // Reads of kSerialReadSize a readable event may take at once (1: one
    // read, one frame).  With more, one read asks for batch times the size
    // and each kSerialReadSize piece of what it got is a frame of its own:
    // rx_split holds the payload lengths of the frames queued in rxbuf
    // before the last one (rx_nsplit of them; 0: rxbuf is one frame).
    int batch;
    int rx_nsplit;
    int rx_split[kSerialBatch - 1];
};

// A connection of a serial bridge.  Both programs use this shape; each
// program defines the callbacks and close_and_free_net.  serial_recv_cb
// also calls the write watcher's callback directly, with the watcher
// stopped, to send a fresh read at once, once the timer callback has sent
// the connection's first header and set head_out: the callback leaves what it did not
// send in rxbuf (it may release the connection), and the serial side starts
// the watcher for the rest.
struct NetConn {
    int fd;
    SerialPort *serial;
    OwnedWatcher *read_watcher;   // EV_READ, sock_recv_cb
    OwnedWatcher *write_watcher;  // EV_WRITE, sock_send_cb; timer: registration/heartbeat
    int head_sent;   // stream only: bytes of the header in progress already sent
    int head_alone;  // stream only: that header is a registration, no payload behind it
    int head_out;    // the first header (registration/heartbeat) was sent: data may follow
};

// Serial settings as the program's options give them.
struct SerialOptions {
    const char *dev;
    int speed;
    int data;
    const char *parity;
    int stop;
    int vmin;
    int vtime;
};

// Bytes per serial read (and per receive on the network side).
constexpr int kSerialReadSize = 1452;
// Starting capacity of each queue.
constexpr int kSerialQueueSize = 2048;
// Size of the buffer the lock path is built in.
constexpr size_t kLockPathSize = 2048;

// Opens and configures opt->dev; ends the process (255) on any failure.
SerialPort *create_serial(const SerialOptions *opt);
// Raw mode with the given line settings.  0, or -1 when the settings cannot
// be read or written; ends the process (255) for a parity or speed outside
// its tables.
int set_opt(int fd, int speed, int data_bits, char parity, int stop_bits, uint8_t vmin,
            uint8_t vtime);
// The record for an open, configured descriptor; watchers initialised only.
SerialPort *new_serial(int fd);

void serial_recv_cb(struct ev_loop *loop, ev_io *w, int revents);
void serial_send_cb(struct ev_loop *loop, ev_io *w, int revents);

// Stops both watchers, closes the port and releases it; NULL does nothing.
void close_and_free_serial(struct ev_loop *loop, SerialPort *port);
// Releases the record and everything it owns (not the descriptor).
void free_serial(SerialPort *port);

// Defined by each program: stops and closes the connection, empties the
// port's `conn`, releases the record and ends the current loop run.
// NULL does nothing.
void close_and_free_net(struct ev_loop *loop, NetConn *conn);

// The parts of a connection's life both programs share; each program's
// new_sock, close_and_free_net and free_* wrap them with their own lines.
//
// A record for connected socket fd, linked as serial->conn; watchers and the
// timer (first expiry at once, then every `repeat` seconds, 0: once) are
// initialised, none started.
NetConn *new_netconn(int fd, SerialPort *serial, void (*recv_cb)(struct ev_loop *, ev_io *, int),
                     void (*send_cb)(struct ev_loop *, ev_io *, int),
                     void (*timer_cb)(struct ev_loop *, ev_timer *, int), ev_tstamp repeat);
// Stops both watchers and the timer, closes the socket, unlinks the port.
void stop_netconn(struct ev_loop *loop, NetConn *conn);
// Frees the watcher records and the record itself.
void free_netconn(NetConn *conn);
// The record a connection watcher or timer belongs to.
NetConn *netconn_of(ev_io *w);
NetConn *netconn_of(ev_timer *w);

// The line-direction script linegate.sh, looked up on PATH at start-up
// (linegate_init; INFO line when there is none).  linegate runs it with "in"
// or "out", without a shell, and waits for it; its status and output are
// ignored.  Without a script it does nothing (see linegate.cc for when the
// search is repeated).  Every descriptor the bridges own is close-on-exec,
// so none reaches the script.
void linegate_init();
void linegate(const char *direction);

// TERM and INT while a turn is open (from the start of an "in" to the end
// of its "out") do not leave the line turned in: the process ends by the
// signal once the script under way is done and "out" has run.  Outside a
// turn they end the process at once, as by default.  linegate_signals
// installs that (once, with the loop the bridge runs); linegate_stop_fd is
// readable once a noted signal is due (-1 before linegate_signals), and
// linegate_finish then ends the turn and the process; it returns when no
// signal is due.
void linegate_signals(struct ev_loop *loop);
int linegate_stop_fd();
void linegate_finish();

// Milliseconds from `since` to now on the monotonic clock (capped at about
// 11 days).  Integer arithmetic: the boards have no FPU.
long ms_since(const struct timespec *since);

// A server chunk was queued in txbuf by the connection's read callback,
// whose watcher is conn_read: runs "linegate.sh in", then writes the bytes at
// once when the port takes them without waiting (serial_send_cb, which runs
// "linegate.sh out" when all went).  Only when bytes are left does the
// connection stop reading and the port's write watcher take over.
void serial_deliver(struct ev_loop *loop, SerialPort *port, ev_io *conn_read);

// Waits `seconds` between connection attempts (no connection attached)
// while watching the port: a hang-up ends the process as it does while
// connected (serial_recv_cb's fatal path).
void serial_pause(struct ev_loop *loop, SerialPort *port, int seconds);

// Start-up steps shared by the two programs' one_instance and check_args.
// Their log lines carry `func`, the name of the calling step.
//
// Builds "/var/run/<tail of dev from the first "tty">.pid" into path.  A dev
// without "tty": "not find tty" on standard output, process ends (255).
// 0, or -1 (WARNING logged) when the path does not fit: run without a lock.
int lock_path(const char *func, const char *dev, char *path, size_t size);
// Opens (O_CLOEXEC, never closed) and flocks path.  -1 only when another
// process holds the lock; any other failure means running without it.
int lock_device(const char *path);
// vmin or vtime above 256: ERR line, both replaced by 0 and 10.
void check_timing(const char *func, int *vmin, int *vtime);

// Resolves host/port and connects a blocking socket of `socktype` to the
// first address that takes it.  `name` ("tcpserver"/"udpserver") appears in
// the log lines.  Stream sockets get SO_REUSEPORT and SO_REUSEADDR first.
// The socket, or -1; ends the process (1) when the name does not resolve.
int link_to_server(const char *func, const char *name, const char *host, const char *port,
                   int socktype);
