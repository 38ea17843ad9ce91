// linkhub's core: the configured devices, their board links and application
// endpoints, and the plug-ins that attach more endpoint kinds to a device
// (the MQTT bridge, the relay merge).  One libev loop, one thread.
//
// Ownership: HubDevice records are made from --device at start-up and live
// for the process; plug-ins may read every field and update the counters of
// their own direction, never free a record.  A plug-in that takes a
// descriptor from the core (relay_tcp) owns it from then on and closes it.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <time.h>

struct ev_loop;
struct JsonOut;  // the status document's writer, hub/json.h

enum class HubTransport : uint8_t { none, tcp, udp };

struct HubDevice {
    // Identity: the MAC from --device; the group of the current or the
    // latest link (all zero and "" before the first one).
    uint8_t mac[6];
    char mac_text[18];  // "aa:bb:cc:dd:ee:ff"
    uint8_t group[16];
    char group_text[37];  // "00112233-4455-6677-8899-aabbccddeeff"

    // Endpoints as configured (NULL / false when absent).
    const char *tcp_endpoint;  // "ADDR:PORT" of tcp:
    const char *pty_path;      // PATH of pty:
    bool mqtt;                 // the token mqtt
    const char *backend_tcp;   // "HOST:PORT" of backend-tcp: (a streamhop identity)
    const char *backend_udp;   // "HOST:PORT" of backend-udp: (a dgramhop identity)

    // Link state, kept by the core (by the relay plug-in for relay identities).
    bool online;
    HubTransport transport;
    char peer[64];     // "ip:port" of the current or latest link, "" when none yet
    time_t since;      // epoch seconds of the latest online/offline change
    time_t last_seen;  // epoch seconds of the latest valid frame or datagram

    // Counters.  up: from the board's line towards the applications;
    // down: towards the board's line.  The core counts every run of line
    // bytes once: in bytes_up when at least one application took it (a
    // tcp: or pty: endpoint, or a plug-in whose line_bytes returned true),
    // else in dropped_up.  bytes_down counts what went to the board;
    // dropped_down what hub_line_write or an application endpoint could not
    // send (board offline, queue full, link ended with bytes queued).
    uint64_t bytes_up, bytes_down, dropped_up, dropped_down;
    uint64_t link_ups, takeovers;

    struct HubDeviceCore *core;  // the core's own per-device state
    void *plug[4];               // one slot per plug-in (HubPlug::slot)
};

// A plug-in: every hook may be NULL.  Hooks are called from the loop, never
// re-entered from inside a core call the plug-in made.
struct HubPlug {
    const char *name;
    int slot;  // index into HubDevice::plug, 0..3, unique per plug-in

    // After online, transport, peer or since changed (link up, link down,
    // takeover): the new state is already in the record.
    void (*link_change)(HubDevice *d);
    // Each run of line bytes the board sent (one read's worth of payload
    // between two headers, or one datagram's), whether or not an
    // application endpoint of the core is attached.  Returns whether the
    // plug-in took the run (sent or queued it towards an application): the
    // core counts it in bytes_up when anyone took it, else in dropped_up.
    bool (*line_bytes)(HubDevice *d, const uint8_t *p, size_t n);
    // A TCP link with a relay identity's header (device has backend_tcp):
    // `rest` holds what followed the first header in the first read(s).
    // The plug-in owns `fd` from this call on.
    void (*relay_tcp)(HubDevice *d, int fd, const sockaddr_storage *peer, socklen_t peerlen,
                      const uint8_t *rest, size_t n);
    // A valid datagram of a relay identity (device has backend_udp), less
    // its 28-byte header.
    void (*relay_datagram)(HubDevice *d, const sockaddr_storage *src, socklen_t srclen,
                           const uint8_t *payload, size_t n);
    // Adds the plug-in's own fields to the device's object in the status
    // document.
    void (*status_fields)(HubDevice *d, JsonOut *j);
    // Adds the plug-in's own top-level members to the status document.
    void (*status_global)(JsonOut *j);

    HubPlug *next;  // the core's list
};

// Registers a plug-in (at start-up, before the loop runs).
void hub_plug_register(HubPlug *p);

// The configured devices, in --device order.
size_t hub_device_count();
HubDevice *hub_device_at(size_t i);

// Towards the board's line, exactly as the tcp: and pty: endpoints do
// (paced frames for a TCP board, datagrams of at most 1452 bytes for a UDP
// board).  Returns n when all of it was queued; 0 when it was dropped
// (board offline, or the device's bounded queue could not take all of it):
// then it is counted in dropped_down.  Never partial.
size_t hub_line_write(HubDevice *d, const uint8_t *p, size_t n);

// Sends one datagram from the listening UDP socket (the port the boards
// and relays send to).  Returns what sendto returned.
ssize_t hub_udp_sendto(const sockaddr_storage *to, socklen_t tolen, const uint8_t *p, size_t n);

// Identities or peers refused (unlisted MAC, foreign group, bad magic, no
// header in time), for the status document and the metrics.
struct HubRefusal {
    char what[64];  // "group/mac" text of an identity, or "ip" of a peer
    uint64_t count;
};
size_t hub_refusal_count();
const HubRefusal *hub_refusal_at(size_t i);

// The process's loop, set before any plug-in hook is called.
extern struct ev_loop *hub_loop;
