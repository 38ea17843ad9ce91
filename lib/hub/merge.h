// The merge of a relay's paths back into one stream: pure logic, no I/O.
//
// streamhop sends the same frames (the 28-byte header, then 1 to 1400 bytes
// of the client's) over every path, each path from the moment it connected.
// Frames carry no sequence number, so a path is placed by content: the
// stream keeps a bounded history of the frames it delivered (their bytes,
// in one ring), and every placed path has a position in it.  A path behind
// the head compares its frames with the history and delivers nothing; a
// path at the head delivers what is new; a new path is placed by matching
// its first frames against the history.
//
// dgramhop sends every datagram once per path; MergeDedup delivers each
// once by counting arrivals per payload and path.
//
// Ownership: the caller owns every record (zero-filled before *_init) and
// frees it with the matching *_free; nothing here closes a descriptor or
// logs except the WARNING of an ambiguous failover.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/buffer.h"

// Payload bytes of one frame at most, and the relay's header length.
constexpr uint32_t kMergeFrameMax = 1400;
constexpr uint32_t kMergeHeadLen = 28;
constexpr uint32_t kMergeGroupAt = 6;  // the 16 group bytes follow the magic
// Delivered bytes kept for placing and checking paths that are behind: the
// relay closes a path more than 1 MiB behind its fastest one, and kernel
// buffers on both ends (a path socket takes up to 1 MiB at the hub) and
// proxies on the way hold more.
constexpr uint32_t kMergeHistoryBytes = 8u << 20;
// Frames of the history at most (tiny frames cost an entry each).
constexpr uint32_t kMergeHistoryFrames = 1u << 18;
// What a path that is not placed yet may hold before it is no longer read.
constexpr uint32_t kMergePendingBytes = 256u << 10;
constexpr uint32_t kMergePendingFrames = 8192;
// Bytes of a new path that must match the history, in one place only, for
// it to be placed ahead of the history's end while another path is placed.
constexpr uint32_t kMergeSureBytes = 2048;

enum MergeState : uint8_t {
    MERGE_UNPLACED,  // frames held until the path's place is known
    MERGE_PLACED,    // following the history at pos
    MERGE_FAILED,    // to be closed: `why` says why
};

struct MergeEntry {
    uint32_t off;  // in the ring; every frame lies in one piece
    uint32_t len;
};

struct MergePath {
    MergePath *next;
    uint8_t state;
    bool tentative;  // placed by the ambiguous rule and not yet at the head
    bool again;      // placed anew after its ambiguous place proved too early
    bool ahead;      // not placed: it holds bytes the history has not (yet)
    const char *why;
    uint64_t pos;    // placed: the history index of the current frame
    uint32_t off;    // placed: bytes of that frame seen on this path
    uint32_t fresh;  // placed: bytes of that frame this path delivered
    uint32_t in_frame;  // payload bytes since the last header (splitter)
    // Not placed: the payload bytes of its frames, the lengths of the
    // complete ones, the length of the current one.
    ByteBuffer pend;
    uint32_t *plen;
    uint32_t plen_cap, nfr, cur;
    uint64_t scan_from;  // history indexes below it cannot be its place
    void *owner;         // the caller's record
};

struct MergeStream;
typedef void (*MergeDeliver)(MergeStream *s, const uint8_t *p, size_t n);

struct MergeStream {
    uint8_t head[kMergeHeadLen];  // the relay's magic and MAC, where paths split
    uint8_t group[16];            // the group of the first header seen
    bool group_known;
    uint8_t *ring;
    uint32_t ring_w;  // where the frame at the head starts
    MergeEntry *ent;  // history index i at ent[i & (ent_cap - 1)]
    uint32_t ent_cap;
    uint64_t tail, head_idx;  // the history holds frames [tail, head_idx)
    bool open;                // frame head_idx - 1 may still grow
    MergePath *paths;
    MergeDeliver deliver;
    const char *name;  // for the WARNING
    // Counters.  frames_ended counts each frame once per path that went
    // through it to its end: the copies dropped are frames_ended less the
    // frames delivered (mstream_copies_dropped).
    uint64_t frames_delivered, bytes_delivered, frames_ended, ambiguous;
};

void mstream_init(MergeStream *s, const uint8_t head[kMergeHeadLen], MergeDeliver deliver,
                  const char *name);
// Frees the history; paths still in the stream are the caller's (their held
// frames go with mstream_path_remove).
void mstream_free(MergeStream *s);
// A new path (zero-filled by the caller), not placed yet.
void mstream_path_add(MergeStream *s, MergePath *p);
// Takes a path out (closed, failed or gone).  The other paths may be placed
// now (a failover), which may deliver.
void mstream_path_remove(MergeStream *s, MergePath *p);
// Bytes read from path p after its first header.  A header is the relay's
// magic and MAC (head[0..6) and head[22..28)) around any 16 group bytes.  Returns how many bytes at
// the end (at most 27) may begin a header and are to be offered again in
// front of the next read.  Afterwards p->state may be MERGE_FAILED (the
// caller closes it and removes it).
size_t mstream_input(MergeStream *s, MergePath *p, const uint8_t *buf, size_t n);
// Takes held bytes as payload: nothing came after them for a while.  False
// when they cannot be (the frame is full: a header must follow); they stay.
bool mstream_flush_held(MergeStream *s, MergePath *p, const uint8_t *held, size_t n);
// Whether the path's held frames reached their bound (stop reading it).
bool mstream_path_full(const MergePath *p);
// Paths placed and not failed.
int mstream_placed(const MergeStream *s);
// Frames that came over a path and were not delivered (copies).
uint64_t mstream_copies_dropped(const MergeStream *s);

// A 64-bit hash of n bytes (not for adversaries: for telling copies apart).
uint64_t merge_hash(const uint8_t *p, size_t n);

// Datagram copies: every datagram of an identity arrives once per path.
constexpr int kDedupPaths = 4;
constexpr uint32_t kDedupMax = 1u << 19;  // payloads remembered at most

struct DedupEntry {
    uint64_t hash;
    uint64_t t_ms;  // latest arrival
    uint32_t len;
    uint32_t chain;       // next in the bucket (slot + 1, 0 none)
    uint32_t prev, next;  // age list (slot + 1)
    uint32_t cnt[kDedupPaths];
};

struct MergeDedup {
    DedupEntry *e;
    uint32_t *bucket;  // slot + 1 of the newest entry with that hash bucket
    uint32_t cap, used;
    uint32_t free_head;   // free slots (slot + 1), through `next`
    uint32_t old, young;  // age list ends (slot + 1)
    uint32_t window_ms;
    uint64_t delivered, duplicates, cut_short;
};

void dedup_init(MergeDedup *d, uint32_t window_ms);
void dedup_free(MergeDedup *d);
// One arrival of payload p on path `path` (0..kDedupPaths-1) at now_ms.
// True when it is to be delivered: the path's count for this payload now
// exceeds every other path's.
bool dedup_arrival(MergeDedup *d, int path, const uint8_t *p, size_t n, uint64_t now_ms);
// The path's slot goes to another source: its counts start from zero.
void dedup_forget_path(MergeDedup *d, int path);
