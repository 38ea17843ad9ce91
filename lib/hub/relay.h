// linkhub's relay plug-in: the server side of streamhop and dgramhop.
//
// A device with backend-tcp: is a streamhop identity.  Every TCP link with
// its header is one path; the paths open at one time form a session, whose
// frames are merged (hub/merge.h) and delivered once, in order, to one
// connection to the backend, opened with the session's first path and
// closed, once everything went out, after its last.  The backend's replies
// go back on every open path as 256-byte reply frames, one at a time.
//
// A device with backend-udp: is a dgramhop identity.  Every source address
// of its datagrams is one path; each datagram goes to the backend once, and
// each backend reply goes back on every path heard from within the dedup
// window of the latest datagram (dgramhop reads one of its sockets only).
//
// The plug-in owns every descriptor the core hands it and all it opens.
#pragma once

#include <stdint.h>

struct HubDevice;

// Registers the plug-in and resolves every relay identity's backend
// (numeric or by name); ends the process (status 1) when one does not
// resolve.  Called once, after hub_start and before the loop runs.
void relay_start();

// A relay identity's figures, as its status object shows them (streams:
// every session so far, the current one's included).
struct RelayFigures {
    bool stream, datagram;  // backend-tcp:, backend-udp: configured
    uint64_t stream_paths_open, sessions, frames_delivered, frames_duplicates, ambiguous_failovers;
    uint64_t datagram_paths_open, datagrams_delivered, datagram_duplicates, window_cut_short;
};
// false (and f untouched) for a device that is no relay identity.
bool relay_figures(const HubDevice *d, RelayFigures *f);
