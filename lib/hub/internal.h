// The core's own records, shared by its source files (hub.cc: devices,
// board links and the tcp: endpoint; pty.cc: the pty: endpoint; status.cc:
// the status socket).  Nothing here is for the plug-ins.
#pragma once

#include <ev.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#include "common/buffer.h"
#include "hub/core.h"
#include "hub/hub.h"

#define HUB_OWNER(ptr, type, member) \
    reinterpret_cast<type *>(reinterpret_cast<char *>(ptr) - offsetof(type, member))

// Bytes towards an application endpoint that it has not taken yet.  From a
// TCP board at most one read's worth (the board is not read while any is
// queued); from a UDP board, which cannot be slowed, at most kUpQueueMax.
constexpr int kUpRead = 16384;
constexpr int kUpQueueMax = 65536;
// Bytes towards a board's line not sent yet; the application is not read
// while the queue is full.
constexpr int kDownQueueMax = 65536;

// One application endpoint's descriptor and what it has not taken yet (the
// queue is allocated when bytes stay and freed when it empties).
struct HubDeviceCore;
struct HubSink {
    int fd;  // -1: nobody attached
    ev_io wio;
    ByteBuffer q;
    HubDeviceCore *owner;
};

struct HubPty;
struct HubLink;

struct HubDeviceCore {
    HubDevice *dev;
    char *words;  // the --device words, which the device's strings point into
    HubLineSettings line;
    // tcp: endpoint: the listener and its one client (sink.fd).
    int listen_fd;
    ev_io listen_io;
    ev_io app_io;  // EV_READ on the client
    HubSink app;
    // pty: endpoint.
    HubPty *pty;
    // The board: a TCP link, or the address of the latest datagram.
    HubLink *link;
    sockaddr_storage udp_peer;
    socklen_t udp_peerlen;
    ev_tstamp udp_seen;  // loop time of the latest valid datagram
    // Towards the board's line.
    ByteBuffer down;
    ev_timer pace_timer;
    HubPace pace;
    int ack_waits;      // consecutive looks at a frame not acknowledged yet
    bool app_paused;    // the applications are not read: the queue is full
    bool board_paused;  // the TCP link is not read: an application is behind
};

// hub.cc
// Line runs towards the applications: every plug-in sees each run, each
// endpoint gets them all in one writev; each run is counted in bytes_up
// when anyone took it, else in dropped_up.  At most kDeliverRuns at a time.
constexpr int kDeliverRuns = 64;
struct iovec;
void hub_deliver_runs(HubDeviceCore *c, const iovec *iov, int runs);
void hub_deliver_up(HubDeviceCore *c, const uint8_t *p, size_t n);
// Writes the runs to the endpoint (what it does not take now queues, a run
// behind a queue only whole and while the queue stays within kUpQueueMax);
// sets taken[i] for each run it took, now or into its queue.
void hub_sink_write(HubDeviceCore *c, HubSink *s, const iovec *iov, int runs, bool *taken);
void hub_sink_close(HubDeviceCore *c, HubSink *s);
// Reads an application endpoint's bytes towards the board: 1 while it is
// open, 0 when it ended (EOF or a failure, errno set; the caller ends it).
int hub_app_read(HubDeviceCore *c, int fd);
void hub_sink_init(HubDeviceCore *c, HubSink *s);
bool hub_app_attached(const HubDeviceCore *c);
void hub_sink_drained(HubDeviceCore *c);
// The listener tells the loop to wait after a refused accept (descriptor
// exhaustion): -1 and the connection shed, or the accepted descriptor.
int hub_accept(int listen_fd, ev_io *w, sockaddr_storage *peer, socklen_t *peerlen);
// "ip:port" of an address.
void hub_addr_text(const sockaddr_storage *a, char *text, size_t size);
double hub_clock();
extern HubPlug *hub_plugs;
extern uint64_t hub_accept_shed;

// pty.cc
// mkdir -p of the directory that holds `path` (mode 0755); failures show
// when the path is used.
void hub_make_parent(const char *path);
// Creates the pty of device c (raw, linked at its path); ends the process
// when it cannot.
void hub_pty_start(HubDeviceCore *c);
bool hub_pty_attached(const HubDeviceCore *c);
HubSink *hub_pty_sink(HubDeviceCore *c);
void hub_pty_resume(HubDeviceCore *c);
void hub_pty_pause(HubDeviceCore *c);
void hub_pty_stop_all();

// status.cc
void hub_status_start(const char *path);
void hub_status_stop();
