// The parts of linkhub that need no loop: the device words, the splitter of
// a board's stream, the pacing arithmetic.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "hub/core.h"

int hub_parse_mac(const char *text, uint8_t *mac)
{
    for (int i = 0; i < 6; i++) {
        const char *p = text + 3 * i;
        int v = 0;
        for (int k = 0; k < 2; k++) {
            char c = p[k];
            int x = c >= '0' && c <= '9' ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (x < 0)
                return -1;
            v = v * 16 + x;
        }
        if (p[2] != (i < 5 ? ':' : '\0'))
            return -1;
        mac[i] = static_cast<uint8_t>(v);
    }
    return 0;
}

// The value of "key:value" when `word` starts with `key` and a colon.
static const char *word_value(const char *word, const char *key)
{
    size_t n = strlen(key);
    if (strncmp(word, key, n) != 0 || word[n] != ':')
        return nullptr;
    return word + n + 1;
}

// A "HOST:PORT" value: a port after the last colon, something before it.
static bool host_port(const char *v)
{
    const char *colon = strrchr(v, ':');
    return colon != nullptr && colon != v && colon[1] != '\0';
}

// A whole decimal number within [lo, hi].
static bool bounded_number(const char *v, long lo, long hi, int *out)
{
    char *end = nullptr;
    long x = strtol(v, &end, 10);
    if (*v == '\0' || *end != '\0' || x < lo || x > hi)
        return false;
    *out = static_cast<int>(x);
    return true;
}

int hub_parse_device(char *words, HubDevice *d, HubLineSettings *line, char *err, size_t errlen)
{
    line->baud = kDefaultBaud;
    line->gap_ms = kDefaultGapMs;
    char *save = nullptr;
    char *word = strtok_r(words, " \t", &save);
    if (word == nullptr || hub_parse_mac(word, d->mac) < 0) {
        snprintf(err, errlen, "no MAC aa:bb:cc:dd:ee:ff first");
        return -1;
    }
    snprintf(d->mac_text, sizeof d->mac_text, "%02x:%02x:%02x:%02x:%02x:%02x", d->mac[0],
             d->mac[1], d->mac[2], d->mac[3], d->mac[4], d->mac[5]);
    int endpoints = 0;
    while ((word = strtok_r(nullptr, " \t", &save)) != nullptr) {
        const char *v;
        const char **slot = nullptr;
        if ((v = word_value(word, "tcp")) != nullptr) {
            slot = &d->tcp_endpoint;
            if (!host_port(v)) {
                snprintf(err, errlen, "tcp: needs ADDR:PORT, not %s", v);
                return -1;
            }
        } else if ((v = word_value(word, "pty")) != nullptr) {
            slot = &d->pty_path;
            if (*v == '\0') {
                snprintf(err, errlen, "pty: needs a path");
                return -1;
            }
        } else if ((v = word_value(word, "backend-tcp")) != nullptr) {
            slot = &d->backend_tcp;
        } else if ((v = word_value(word, "backend-udp")) != nullptr) {
            slot = &d->backend_udp;
        } else if (strcmp(word, "mqtt") == 0) {
            if (d->mqtt) {
                snprintf(err, errlen, "mqtt given twice");
                return -1;
            }
            d->mqtt = true;
            endpoints++;
            continue;
        } else if ((v = word_value(word, "baud")) != nullptr) {
            if (!bounded_number(v, 50, 20000000, &line->baud)) {
                snprintf(err, errlen, "baud: needs a speed in 50..20000000, not %s", v);
                return -1;
            }
            continue;
        } else if ((v = word_value(word, "gap")) != nullptr) {
            if (!bounded_number(v, 0, 10000, &line->gap_ms)) {
                snprintf(err, errlen, "gap: needs milliseconds in 0..10000, not %s", v);
                return -1;
            }
            continue;
        } else {
            snprintf(err, errlen, "unknown word %s", word);
            return -1;
        }
        if ((slot == &d->backend_tcp || slot == &d->backend_udp) && !host_port(v)) {
            snprintf(err, errlen, "%.*s needs HOST:PORT, not %s", static_cast<int>(v - word - 1),
                     word, v);
            return -1;
        }
        if (*slot != nullptr) {
            snprintf(err, errlen, "%.*s given twice", static_cast<int>(v - word - 1), word);
            return -1;
        }
        *slot = v;
        endpoints++;
    }
    if (endpoints == 0) {
        snprintf(err, errlen, "no endpoint (tcp:, pty:, mqtt, backend-tcp:, backend-udp:)");
        return -1;
    }
    return 0;
}

void hub_split(const uint8_t *head, HubSplit *s, const uint8_t *in, size_t n, uint8_t *scratch,
               HubEmit emit, void *ctx)
{
    const uint8_t *buf = in;
    size_t len = n;
    // The first `skip` bytes of buf went out already (a flushed tail).
    size_t skip = s->emitted;
    if (s->held_len > 0) {
        if (in != scratch + s->held_len)
            memmove(scratch + s->held_len, in, n);
        memcpy(scratch, s->held, s->held_len);
        buf = scratch;
        len = n + s->held_len;
    }
    size_t pos = 0;
    for (;;) {
        const void *h = memmem(buf + pos, len - pos, head, kHeadLen);
        if (h == nullptr)
            break;
        size_t at = static_cast<const uint8_t *>(h) - buf;
        size_t from = pos > skip ? pos : skip;
        if (at > from)
            emit(ctx, buf + from, at - from);
        pos = at + kHeadLen;
    }
    // The longest tail that could begin a header stays back.
    size_t k = len - pos < static_cast<size_t>(kHeadLen - 1) ? len - pos : kHeadLen - 1;
    for (; k > 0; k--)
        if (buf[len - k] == head[0] && memcmp(buf + len - k, head, k) == 0)
            break;
    size_t from = pos > skip ? pos : skip;
    if (len - k > from)
        emit(ctx, buf + from, len - k - from);
    memmove(s->held, buf + len - k, k);
    s->held_len = static_cast<uint8_t>(k);
    s->emitted = static_cast<uint8_t>(skip > len - k ? skip - (len - k) : 0);
}

void hub_split_flush(HubSplit *s, HubEmit emit, void *ctx)
{
    if (s->held_len > s->emitted)
        emit(ctx, s->held + s->emitted, s->held_len - s->emitted);
    s->emitted = s->held_len;
}

// The line is assumed 2 % slower than its nominal speed, so that the
// estimate never runs ahead of a real line (clock tolerance, stop bits).
static double line_rate(int baud)
{
    return baud / 10.0 * 0.98;
}

static double backlog_at(const HubPace *p, double now, int baud)
{
    double left = p->backlog - (now - p->at) * line_rate(baud);
    return left > 0 ? left : 0;
}

double hub_pace_wait(const HubPace *p, double now, int baud, double gap, size_t payload)
{
    double wait = 0;
    double over = backlog_at(p, now, baud) + static_cast<double>(payload) - kLineCredit;
    if (over > 0)
        wait = over / line_rate(baud);
    double gap_left = p->last_frame + gap - now;
    if (gap_left > wait)
        wait = gap_left;
    return wait;
}

void hub_pace_sent(HubPace *p, double now, int baud, size_t payload)
{
    p->backlog = backlog_at(p, now, baud) + static_cast<double>(payload);
    p->at = now;
    p->last_frame = now;
}
