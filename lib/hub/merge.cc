#include "hub/merge.h"

#include <stdlib.h>
#include <string.h>

#include "common/log.h"

// ---------------------------------------------------------------- history

static MergeEntry *entry(const MergeStream *s, uint64_t i)
{
    return &s->ent[i & (s->ent_cap - 1)];
}

void mstream_init(MergeStream *s, const uint8_t head[kMergeHeadLen], MergeDeliver deliver,
                  const char *name)
{
    memcpy(s->head, head, kMergeHeadLen);
    s->deliver = deliver;
    s->name = name;
    // Not zero-filled: pages of the ring are touched only as it fills.
    s->ring = static_cast<uint8_t *>(ss_realloc(nullptr, kMergeHistoryBytes));
    s->ent_cap = 4096;
    s->ent = static_cast<MergeEntry *>(ss_malloc(s->ent_cap * sizeof(MergeEntry)));
}

void mstream_free(MergeStream *s)
{
    s->paths = NULL;
    free(s->ring);
    free(s->ent);
    s->ring = NULL;
    s->ent = NULL;
}

int mstream_placed(const MergeStream *s)
{
    int n = 0;
    for (const MergePath *p = s->paths; p; p = p->next)
        n += p->state == MERGE_PLACED;
    return n;
}

uint64_t mstream_copies_dropped(const MergeStream *s)
{
    return s->frames_ended > s->frames_delivered ? s->frames_ended - s->frames_delivered : 0;
}

bool mstream_path_full(const MergePath *p)
{
    return p->state == MERGE_UNPLACED &&
           ((uint32_t)p->pend.len >= kMergePendingBytes || p->nfr >= kMergePendingFrames);
}

static void path_fail(MergePath *p, const char *why)
{
    if (p->state != MERGE_FAILED) {
        p->state = MERGE_FAILED;
        p->why = why;
    }
}

// The oldest frame leaves the history: a path still reading it can no
// longer be checked (it is too far behind), and no path can be placed there.
static void evict_tail(MergeStream *s)
{
    s->tail++;
    for (MergePath *p = s->paths; p; p = p->next) {
        if (p->state == MERGE_PLACED && p->pos < s->tail)
            path_fail(p, "fell out of the history (too far behind)");
        if (p->scan_from < s->tail)
            p->scan_from = s->tail;
    }
}

static void grow_entries(MergeStream *s)
{
    uint32_t cap = s->ent_cap * 2;
    MergeEntry *e = static_cast<MergeEntry *>(ss_malloc(cap * sizeof(MergeEntry)));
    for (uint64_t i = s->tail; i < s->head_idx; i++)
        e[i & (cap - 1)] = *entry(s, i);
    free(s->ent);
    s->ent = e;
    s->ent_cap = cap;
}

// A new frame at the head: the one before it is final, and room for a whole
// frame is made in one piece of the ring, evicting the oldest frames.
static void open_frame(MergeStream *s)
{
    s->open = false;
    uint32_t w = 0;
    if (s->head_idx > s->tail) {
        const MergeEntry *last = entry(s, s->head_idx - 1);
        w = last->off + last->len;
    }
    if (w + kMergeFrameMax > kMergeHistoryBytes)
        w = 0;
    if (s->head_idx - s->tail == s->ent_cap) {
        if (s->ent_cap < kMergeHistoryFrames)
            grow_entries(s);
        else
            evict_tail(s);
    }
    while (s->tail < s->head_idx) {
        const MergeEntry *e = entry(s, s->tail);
        if (e->off < w + kMergeFrameMax && w < e->off + e->len)
            evict_tail(s);
        else
            break;
    }
    MergeEntry *e = entry(s, s->head_idx);
    e->off = w;
    e->len = 0;
    s->head_idx++;
    s->open = true;
    s->frames_delivered++;
}

static void deliver(MergeStream *s, const uint8_t *p, size_t n)
{
    MergeEntry *e = entry(s, s->head_idx - 1);
    memcpy(s->ring + e->off + e->len, p, n);
    e->len += (uint32_t)n;
    s->bytes_delivered += n;
    s->deliver(s, p, n);
}

// ------------------------------------------------------------ placed path

static void pend_take(MergePath *p, const uint8_t *data, size_t n);
static void pend_end(MergePath *p);

// Path p's bytes disagree with the history at its place.  Placed by the
// ambiguous rule, its current frame is placed again from scratch (the
// reading chosen was too far back); otherwise the path is not what it
// claims to be.
static void diverge(MergeStream *s, MergePath *p, const uint8_t *data, size_t n, bool ended)
{
    if (!p->tentative) {
        path_fail(p, "differs from the delivered stream");
        return;
    }
    const MergeEntry *e = entry(s, p->pos);
    uint32_t had = p->off;
    p->state = MERGE_UNPLACED;
    p->tentative = false;
    p->again = true;
    p->nfr = 0;
    p->cur = 0;
    breset(&p->pend);
    p->scan_from = s->tail;
    pend_take(p, s->ring + e->off, had);
    pend_take(p, data, n);
    if (ended)
        pend_end(p);
}

static void placed_take(MergeStream *s, MergePath *p, const uint8_t *data, size_t n)
{
    while (n > 0 && p->state == MERGE_PLACED) {
        if (p->pos == s->head_idx) {
            open_frame(s);
            p->off = 0;
            p->fresh = 0;
        }
        const MergeEntry *e = entry(s, p->pos);
        uint32_t have = e->len - p->off;
        size_t cmp = n < have ? n : have;
        if (cmp && memcmp(s->ring + e->off + p->off, data, cmp) != 0) {
            diverge(s, p, data, n, false);
            return;
        }
        p->off += (uint32_t)cmp;
        data += cmp;
        n -= cmp;
        if (n == 0)
            return;
        // More than the history has of this frame: new bytes, if the frame
        // is the one still growing at the head.
        if (!s->open || p->pos != s->head_idx - 1) {
            diverge(s, p, data, n, false);
            return;
        }
        deliver(s, data, n);
        p->off += (uint32_t)n;
        p->fresh += (uint32_t)n;
        p->tentative = false;
        p->again = false;
        return;
    }
}

static void placed_end(MergeStream *s, MergePath *p)
{
    const MergeEntry *e = entry(s, p->pos);
    if (p->pos >= s->head_idx) {
        path_fail(p, "sent an empty frame");
        return;
    }
    if (p->off < e->len) {
        diverge(s, p, NULL, 0, true);
        return;
    }
    if (s->open && p->pos == s->head_idx - 1)
        s->open = false;
    s->frames_ended++;
    p->pos++;
    p->off = 0;
    p->fresh = 0;
}

// ---------------------------------------------------------- unplaced path

static void pend_take(MergePath *p, const uint8_t *data, size_t n)
{
    if (n == 0)
        return;
    bconcat(&p->pend, reinterpret_cast<const char *>(data), (int)n);
    p->cur += (uint32_t)n;
}

static void pend_end(MergePath *p)
{
    if (p->nfr == p->plen_cap) {
        if (p->plen_cap >= 2 * kMergePendingFrames) {
            path_fail(p, "holds too many frames");
            return;
        }
        p->plen_cap = p->plen_cap ? p->plen_cap * 2 : 256;
        p->plen = static_cast<uint32_t *>(ss_realloc(p->plen, p->plen_cap * sizeof(uint32_t)));
    }
    p->plen[p->nfr++] = p->cur;
    p->cur = 0;
}

enum Fit { FIT_NO, FIT_BEYOND, FIT_COVERED };

// Whether path p's held frames fit the history from index i on: FIT_NO (a
// frame differs: for good, as the held frames and the history only grow),
// FIT_BEYOND (they agree as far as the history goes, and the path has more
// than the history), FIT_COVERED (the history holds all the path has).
// *same gets the bytes found equal.
static Fit fit_at(const MergeStream *s, const MergePath *p, uint64_t i, size_t *same)
{
    const uint8_t *q = reinterpret_cast<const uint8_t *>(p->pend.data);
    *same = 0;
    for (uint32_t k = 0; k <= p->nfr; k++, i++) {
        bool partial = k == p->nfr;
        uint32_t len = partial ? p->cur : p->plen[k];
        if (partial && len == 0)
            return FIT_COVERED;
        if (i >= s->head_idx)
            return FIT_BEYOND;
        const MergeEntry *e = entry(s, i);
        bool growing = s->open && i == s->head_idx - 1;
        if (partial && e->len >= len) {
            if (memcmp(s->ring + e->off, q, len))
                return FIT_NO;
            *same += len;
            return FIT_COVERED;
        }
        if (len < e->len)
            return FIT_NO;
        if (len > e->len) {
            if (!growing || memcmp(s->ring + e->off, q, e->len))
                return FIT_NO;
            *same += e->len;
            return FIT_BEYOND;
        }
        if (memcmp(s->ring + e->off, q, len))
            return FIT_NO;
        *same += len;
        q += len;
    }
    return FIT_COVERED;
}

// Places p at history index i and runs its held frames through the placed
// path's course (they compare equal where the history has them, and the
// rest is delivered).
static void place(MergeStream *s, MergePath *p, uint64_t i, bool tentative)
{
    ByteBuffer pend = p->pend;
    uint32_t *plen = p->plen;
    uint32_t nfr = p->nfr, cur = p->cur, cap = p->plen_cap;
    memset(&p->pend, 0, sizeof p->pend);
    p->plen = NULL;
    p->plen_cap = p->nfr = p->cur = 0;
    p->state = MERGE_PLACED;
    p->pos = i;
    p->off = 0;
    p->fresh = 0;
    p->tentative = tentative;
    const uint8_t *q = reinterpret_cast<const uint8_t *>(pend.data);
    for (uint32_t k = 0; k <= nfr; k++) {
        uint32_t len = k == nfr ? cur : plen[k];
        if (p->state == MERGE_PLACED)
            placed_take(s, p, q, len);
        else if (p->state == MERGE_UNPLACED)
            pend_take(p, q, len);
        if (k < nfr) {
            if (p->state == MERGE_PLACED)
                placed_end(s, p);
            else if (p->state == MERGE_UNPLACED)
                pend_end(p);
        }
        q += len;
    }
    bfree(&pend);
    free(plen);
    (void)cap;
}

// p's held frames fit in several places, all in the history, and it may
// hold no more: its older half goes (every place that fitted fits the rest),
// so that it is read on.  The earliest place can only move earlier, which
// keeps the failover's reading one that repeats nothing.
static void slide(MergeStream *s, MergePath *p)
{
    uint32_t k = p->nfr / 2, bytes = 0;
    for (uint32_t i = 0; i < k; i++)
        bytes += p->plen[i];
    if (k == 0)
        return;
    bshrink(&p->pend, (int)bytes);
    memmove(p->plen, p->plen + k, (p->nfr - k) * sizeof *p->plen);
    p->nfr -= k;
    p->scan_from = s->tail;
}

// Tries to place p.  While another path is placed, p is placed only where
// its frames fit in one place alone, and the history holds all of them or
// at least kMergeSureBytes of them (a path that is ahead then leads).
// Without one (the first path of a session, or a failover) p is placed at
// once: where its frames fit, or at the head where they fit nowhere; where
// they fit in several places, at the earliest, the one reading that cannot
// deliver a frame twice (every later reading takes more of the path's frames
// as new).
static void try_place(MergeStream *s, MergePath *p, bool failover)
{
    if (p->nfr == 0 && p->cur == 0)
        return;
    if (p->scan_from < s->tail)
        p->scan_from = s->tail;
    uint64_t first = 0, second = 0;
    Fit first_fit = FIT_NO, second_fit = FIT_NO;
    size_t first_same = 0, same;
    int found = 0;
    for (uint64_t i = p->scan_from; i < s->head_idx && found < 2; i++) {
        Fit f = fit_at(s, p, i, &same);
        if (f == FIT_NO) {
            if (!found)
                p->scan_from = i + 1;
            continue;
        }
        if (found++ == 0) {
            first = i;
            first_fit = f;
            first_same = same;
        } else {
            second = i;
            second_fit = f;
        }
    }
    p->ahead = !(found >= 1 && first_fit == FIT_COVERED);
    if (!failover) {
        if (found == 1 && (first_fit == FIT_COVERED || first_same >= kMergeSureBytes))
            place(s, p, first, false);
        else if (found == 2 && first_fit == FIT_COVERED && second_fit == FIT_COVERED &&
                 mstream_path_full(p))
            slide(s, p);
        return;
    }
    if (found == 0) {
        place(s, p, s->head_idx, false);
    } else if (found == 1) {
        place(s, p, first, false);
    } else {
        if (p->again) {  // the same failover: said and counted already
            place(s, p, first, true);
            return;
        }
        s->ambiguous++;
        log_warning("%s: a path's place is ambiguous after a failover (frames %llu and %llu "
                    "both fit): taking the earlier, which repeats nothing\n",
                    s->name, (unsigned long long)first, (unsigned long long)second);
        place(s, p, first, true);
    }
}

static void settle(MergeStream *s)
{
    for (MergePath *p = s->paths; p; p = p->next) {
        if (p->state != MERGE_UNPLACED)
            continue;
        try_place(s, p, mstream_placed(s) == 0);
    }
}

void mstream_path_add(MergeStream *s, MergePath *p)
{
    p->state = MERGE_UNPLACED;
    p->scan_from = s->tail;
    p->next = s->paths;
    s->paths = p;
}

void mstream_path_remove(MergeStream *s, MergePath *p)
{
    for (MergePath **l = &s->paths; *l; l = &(*l)->next) {
        if (*l == p) {
            *l = p->next;
            break;
        }
    }
    p->next = NULL;
    bfree(&p->pend);
    free(p->plen);
    p->plen = NULL;
    p->plen_cap = p->nfr = p->cur = 0;
    if (p->state != MERGE_FAILED)
        path_fail(p, "removed");
    settle(s);
}

// ---------------------------------------------------------------- splitting

static void take(MergeStream *s, MergePath *p, const uint8_t *data, size_t n)
{
    if (n == 0)
        return;
    p->in_frame += (uint32_t)n;
    if (p->state == MERGE_PLACED)
        placed_take(s, p, data, n);
    else if (p->state == MERGE_UNPLACED)
        pend_take(p, data, n);
}

static void frame_end(MergeStream *s, MergePath *p)
{
    p->in_frame = 0;
    if (p->state == MERGE_PLACED)
        placed_end(s, p);
    else if (p->state == MERGE_UNPLACED)
        pend_end(p);
}

// Whether the `avail` bytes at b begin the relay's header (all of it when
// avail >= kMergeHeadLen): its magic and MAC; the 16 group bytes between
// them are the relay's own and taken as they come.
static bool head_at(const uint8_t *h, const uint8_t *b, size_t avail)
{
    if (avail > kMergeHeadLen)
        avail = kMergeHeadLen;
    size_t m = avail < kMergeGroupAt ? avail : kMergeGroupAt;
    if (memcmp(b, h, m) != 0)
        return false;
    size_t mac = kMergeHeadLen - 6;
    return avail <= mac || memcmp(b + mac, h + mac, avail - mac) == 0;
}

size_t mstream_input(MergeStream *s, MergePath *p, const uint8_t *buf, size_t n)
{
    const uint8_t *h = s->head;
    size_t pos = 0, held = 0;
    while (pos < n && p->state != MERGE_FAILED) {
        // The next header starts at the latest where the frame is full.
        size_t limit = pos + (kMergeFrameMax - p->in_frame);
        size_t end = limit < n ? limit + 1 : n;
        size_t q = pos;
        bool found = false;
        while (q < end) {
            const void *k = memchr(buf + q, h[0], end - q);
            if (!k) {
                q = end;
                break;
            }
            q = (size_t)(static_cast<const uint8_t *>(k) - buf);
            size_t avail = n - q;
            if (head_at(h, buf + q, avail)) {
                if (avail >= kMergeHeadLen) {
                    found = true;
                    if (!s->group_known) {
                        memcpy(s->group, buf + q + kMergeGroupAt, sizeof s->group);
                        s->group_known = true;
                    }
                } else {
                    held = avail;
                }
                break;
            }
            q++;
        }
        if (!found && !held && q == limit + 1) {
            path_fail(p, "sent a frame longer than 1400 bytes");
            break;
        }
        take(s, p, buf + pos, q - pos);
        if (held || !found)
            break;
        if (p->in_frame == 0) {
            path_fail(p, "sent an empty frame");
            break;
        }
        frame_end(s, p);
        pos = q + kMergeHeadLen;
    }
    settle(s);
    return p->state == MERGE_FAILED ? 0 : held;
}

bool mstream_flush_held(MergeStream *s, MergePath *p, const uint8_t *held, size_t n)
{
    if (p->in_frame + n > kMergeFrameMax)
        return false;  // no room for them in the frame: they begin a header
    take(s, p, held, n);
    settle(s);
    return true;
}

// ------------------------------------------------------------------- hash

uint64_t merge_hash(const uint8_t *p, size_t n)
{
    const uint64_t m = 0xff51afd7ed558ccdull;
    uint64_t h = 0x9e3779b97f4a7c15ull ^ (n * 0xc4ceb9fe1a85ec53ull);
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t w;
        memcpy(&w, p, 8);
        h = (h ^ w) * m;
        h ^= h >> 32;
    }
    uint64_t w = 0;
    memcpy(&w, p, n);
    h = (h ^ w) * m;
    h ^= h >> 29;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 32;
    return h;
}

// ----------------------------------------------------------------- dedup

void dedup_init(MergeDedup *d, uint32_t window_ms)
{
    d->window_ms = window_ms;
}

void dedup_free(MergeDedup *d)
{
    free(d->e);
    free(d->bucket);
    memset(d, 0, sizeof *d);
}

static DedupEntry *slot(const MergeDedup *d, uint32_t s)
{
    return &d->e[s - 1];
}

static void age_unlink(MergeDedup *d, uint32_t s)
{
    DedupEntry *x = slot(d, s);
    if (x->prev)
        slot(d, x->prev)->next = x->next;
    else
        d->old = x->next;
    if (x->next)
        slot(d, x->next)->prev = x->prev;
    else
        d->young = x->prev;
    x->prev = x->next = 0;
}

static void age_push(MergeDedup *d, uint32_t s)
{
    DedupEntry *x = slot(d, s);
    x->prev = d->young;
    x->next = 0;
    if (d->young)
        slot(d, d->young)->next = s;
    else
        d->old = s;
    d->young = s;
}

static void drop_oldest(MergeDedup *d)
{
    uint32_t s = d->old;
    DedupEntry *x = slot(d, s);
    uint32_t *link = &d->bucket[x->hash & (d->cap - 1)];
    while (*link != s)
        link = &slot(d, *link)->chain;
    *link = x->chain;
    age_unlink(d, s);
    x->next = d->free_head;
    d->free_head = s;
    d->used--;
}

static void grow(MergeDedup *d)
{
    uint32_t cap = d->cap ? d->cap * 2 : 4096;
    d->e = static_cast<DedupEntry *>(ss_realloc(d->e, cap * sizeof(DedupEntry)));
    for (uint32_t i = cap; i-- > d->cap;) {
        d->e[i].next = d->free_head;
        d->free_head = i + 1;
    }
    free(d->bucket);
    d->bucket = static_cast<uint32_t *>(ss_malloc(cap * sizeof(uint32_t)));
    d->cap = cap;
    for (uint32_t s = d->old; s; s = slot(d, s)->next) {
        DedupEntry *x = slot(d, s);
        uint32_t b = (uint32_t)(x->hash & (cap - 1));
        x->chain = d->bucket[b];
        d->bucket[b] = s;
    }
}

bool dedup_arrival(MergeDedup *d, int path, const uint8_t *p, size_t n, uint64_t now_ms)
{
    uint64_t h = merge_hash(p, n);
    while (d->old && slot(d, d->old)->t_ms + d->window_ms < now_ms)
        drop_oldest(d);
    uint32_t s = 0;
    if (d->cap) {
        for (s = d->bucket[h & (d->cap - 1)]; s; s = slot(d, s)->chain)
            if (slot(d, s)->hash == h && slot(d, s)->len == n)
                break;
    }
    if (s) {
        age_unlink(d, s);
    } else {
        if (!d->free_head) {
            if (d->cap < kDedupMax) {
                grow(d);
            } else {
                drop_oldest(d);
                d->cut_short++;
            }
        }
        s = d->free_head;
        DedupEntry *x = slot(d, s);
        d->free_head = x->next;
        memset(x, 0, sizeof *x);
        x->hash = h;
        x->len = (uint32_t)n;
        uint32_t b = (uint32_t)(h & (d->cap - 1));
        x->chain = d->bucket[b];
        d->bucket[b] = s;
        d->used++;
    }
    age_push(d, s);
    DedupEntry *x = slot(d, s);
    x->t_ms = now_ms;
    uint32_t c = ++x->cnt[path];
    for (int q = 0; q < kDedupPaths; q++) {
        if (q != path && x->cnt[q] >= c) {
            d->duplicates++;
            return false;
        }
    }
    d->delivered++;
    return true;
}

void dedup_forget_path(MergeDedup *d, int path)
{
    for (uint32_t s = d->old; s; s = slot(d, s)->next)
        slot(d, s)->cnt[path] = 0;
}
