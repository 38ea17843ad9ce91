// linkhub's own pieces behind hub.h: start-up from the options, the stream
// splitter, the device words, the pacing of frames towards a board.  The
// plug-ins use hub.h only; these are for linkhub's main and the unit tests.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/linkhead.h"
#include "hub/hub.h"

struct ev_loop;

constexpr int kHeadLen = static_cast<int>(sizeof(LinkHeader));
// Towards a TCP board: a frame is the board's header and at most this many
// line bytes (the board reads 1452 bytes at a time).
constexpr int kBoardRead = 1452;
constexpr int kFramePayload = kBoardRead - kHeadLen;
// Towards a UDP board: one datagram, no header.
constexpr int kDatagramPayload = 1452;

// Start-up values, from linkhub's options.
struct HubOptions {
    const char *listen;  // [ADDR:]PORT
    char **groups;
    int group_count;
    char **devices;
    int device_count;
    const char *status;  // Unix socket path
    int udp_timeout;     // seconds without a datagram before a UDP board is offline
};

// Builds every device, endpoint and listener; ends the process (255) with an
// ERR line on any fault of the configuration.  Registered plug-ins see
// hub_loop set once this returns.
void hub_start(struct ev_loop *loop, const HubOptions *o);

// One --device value: "MAC ENDPOINT [ENDPOINT]...", words separated by blanks.
// Endpoints: tcp:ADDR:PORT, pty:PATH, mqtt, backend-tcp:HOST:PORT,
// backend-udp:HOST:PORT; settings: baud:N (the line's speed, 10 bits a byte),
// gap:MS (the least time between two frames towards a TCP board).
// Fills d (strings point into `words`, which must outlive d) and the two
// settings; 0, or -1 with a reason in err.
struct HubLineSettings {
    int baud;    // bits per second on the board's line
    int gap_ms;  // least milliseconds between two frames to a TCP board
};
constexpr int kDefaultBaud = 115200;
constexpr int kDefaultGapMs = 20;
int hub_parse_device(char *words, HubDevice *d, HubLineSettings *line, char *err, size_t errlen);

// "aa:bb:cc:dd:ee:ff" (either case) into mac[6]; 0 or -1.
int hub_parse_mac(const char *text, uint8_t *mac);

// Splitting the stream from a board at its own header.  The bytes between
// two headers are line bytes; a header cut across reads is held back (at
// most kHeadLen - 1 bytes) until the next read tells.
//
// Held bytes that stay held (the stream paused right after them) are given
// out as line bytes by hub_split_flush after a short while: a byte must not
// wait for the next frame.  They stay in `held` for one more look: should
// the rest of a header follow after all, that rest is dropped (only the
// flushed part of the header reached the line).
struct HubSplit {
    uint8_t held[kHeadLen - 1];
    uint8_t held_len;
    uint8_t emitted;  // leading held bytes already given out
};
// Seconds a held tail waits for the rest of a header.
constexpr double kHoldSeconds = 0.1;
// Splits `in` (n bytes that follow what `s` holds) and calls emit for each
// run of line bytes, in order.  `scratch` has room for n + kHeadLen - 1
// bytes (the held bytes are put in front of the input there, unless `in`
// already lies right behind them in it: pass in == scratch + s->held_len
// to save the copy).
typedef void (*HubEmit)(void *ctx, const uint8_t *p, size_t n);
void hub_split(const uint8_t *head, HubSplit *s, const uint8_t *in, size_t n, uint8_t *scratch,
               HubEmit emit, void *ctx);
// Gives out what is held and not given out yet.
void hub_split_flush(HubSplit *s, HubEmit emit, void *ctx);
// Whether held bytes wait to be given out.
inline bool hub_split_waiting(const HubSplit *s)
{
    return s->held_len > s->emitted;
}

// The line's backlog as the hub estimates it: bytes sent towards the board
// that its line has not sent yet, at the line's speed.
struct HubPace {
    double backlog;     // bytes, at `at`
    double at;          // seconds (loop time)
    double last_frame;  // when the latest frame left, seconds
};
// Bytes of backlog a board may hold beyond what its line is sending: the
// board's serial driver takes about 4 KB before a write blocks, and it reads
// its socket again only when the write went through.
constexpr double kLineCredit = 2048;
// Seconds to wait before a frame of `payload` bytes may leave at `now`
// (0: now).  gap: the least time between two frames.
double hub_pace_wait(const HubPace *p, double now, int baud, double gap, size_t payload);
// A frame of `payload` bytes left at `now`.
void hub_pace_sent(HubPace *p, double now, int baud, size_t payload);
