// Prometheus figures of the hub (see metrics.h).
#include "hub/metrics.h"

#include <arpa/inet.h>
#include <ev.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/log.h"
#include "hub/hub.h"
#include "hub/mqtt.h"
#include "hub/relay.h"

namespace {

constexpr unsigned kConnectionLimit = 16;
constexpr unsigned kConnectionTimeout = 10;  // seconds an idle scrape connection stays

struct MetricsServer {
    MHD_Daemon *mhd;
    ev_io io;        // MHD's epoll descriptor
    ev_timer timer;  // MHD's own timeouts
    bool started;
};

MetricsServer ms;

void put(ByteBuffer *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

void put(ByteBuffer *out, const char *fmt, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n > 0)
        bconcat(out, line, n < (int)sizeof line ? n : (int)sizeof line - 1);
}

void family(ByteBuffer *out, const char *name, const char *type, const char *help)
{
    put(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// A family of one sample without labels.
void single(ByteBuffer *out, const char *name, const char *type, const char *help, uint64_t v)
{
    family(out, name, type, help);
    put(out, "%s %llu\n", name, (unsigned long long)v);
}

// A label value with \, " and newline escaped as the format asks.
const char *label(const char *s, char *buf, size_t size)
{
    size_t n = 0;
    for (; *s && n + 2 < size; s++) {
        char c = *s;
        if (c == '\\' || c == '"' || c == '\n') {
            buf[n++] = '\\';
            c = c == '\n' ? 'n' : c;
        }
        buf[n++] = c;
    }
    buf[n] = 0;
    return buf;
}

const char *transport_name(HubTransport t)
{
    switch (t) {
    case HubTransport::tcp: return "tcp";
    case HubTransport::udp: return "udp";
    default: return "none";
    }
}

using DevFigure = uint64_t (*)(HubDevice *);

void per_device(ByteBuffer *out, const char *name, const char *type, const char *help,
                DevFigure f)
{
    family(out, name, type, help);
    for (size_t i = 0; i < hub_device_count(); i++) {
        HubDevice *d = hub_device_at(i);
        put(out, "%s{mac=\"%s\"} %llu\n", name, d->mac_text, (unsigned long long)f(d));
    }
}

void per_direction(ByteBuffer *out, const char *name, const char *help, DevFigure up,
                   DevFigure down, bool mqtt_only)
{
    family(out, name, "counter", help);
    for (size_t i = 0; i < hub_device_count(); i++) {
        HubDevice *d = hub_device_at(i);
        if (mqtt_only && !d->mqtt)
            continue;
        put(out, "%s{mac=\"%s\",direction=\"up\"} %llu\n", name, d->mac_text,
            (unsigned long long)up(d));
        put(out, "%s{mac=\"%s\",direction=\"down\"} %llu\n", name, d->mac_text,
            (unsigned long long)down(d));
    }
}

MqttDeviceStats mqtt_of(HubDevice *d)
{
    MqttDeviceStats s;
    mqtt_device_stats(d, &s);
    return s;
}

// A family of the relay identities' figures (relay.h), one sample per
// identity and kind it has, labelled kind="stream" or kind="datagram"; a
// figure that a kind does not have is NULL.  Nothing when no device has one.
using RelayFigure = uint64_t (*)(const RelayFigures &);
struct RelaySeries {
    const char *name, *type, *help;
    RelayFigure stream, datagram;
};

void per_relay(ByteBuffer *out, const RelaySeries &r)
{
    bool head = false;
    for (size_t i = 0; i < hub_device_count(); i++) {
        HubDevice *d = hub_device_at(i);
        RelayFigures f;
        if (!relay_figures(d, &f))
            continue;
        const char *kinds[2] = {"stream", "datagram"};
        bool has[2] = {f.stream && r.stream, f.datagram && r.datagram};
        RelayFigure get[2] = {r.stream, r.datagram};
        for (int k = 0; k < 2; k++) {
            if (!has[k])
                continue;
            if (!head)
                family(out, r.name, r.type, r.help);
            head = true;
            put(out, "%s{mac=\"%s\",kind=\"%s\"} %llu\n", r.name, d->mac_text, kinds[k],
                (unsigned long long)get[k](f));
        }
    }
}

const RelaySeries relay_series[] = {
    {"linkhub_relay_paths_open", "gauge",
     "Paths open: a streamhop session's links, dgramhop sources heard from within 10 s.",
     [](const RelayFigures &f) { return f.stream_paths_open; },
     [](const RelayFigures &f) { return f.datagram_paths_open; }},
    {"linkhub_relay_sessions_total", "counter", "streamhop sessions begun.",
     [](const RelayFigures &f) { return f.sessions; }, nullptr},
    {"linkhub_relay_frames_delivered_total", "counter",
     "streamhop frames delivered to the backend, once each.",
     [](const RelayFigures &f) { return f.frames_delivered; }, nullptr},
    {"linkhub_relay_datagrams_delivered_total", "counter",
     "dgramhop datagrams delivered to the backend, once each.", nullptr,
     [](const RelayFigures &f) { return f.datagrams_delivered; }},
    {"linkhub_relay_duplicates_dropped_total", "counter",
     "Frames or datagrams dropped as copies of what another path delivered.",
     [](const RelayFigures &f) { return f.frames_duplicates; },
     [](const RelayFigures &f) { return f.datagram_duplicates; }},
    {"linkhub_relay_ambiguous_failovers_total", "counter",
     "streamhop failovers whose place in the stream was ambiguous.",
     [](const RelayFigures &f) { return f.ambiguous_failovers; }, nullptr},
    {"linkhub_relay_window_cut_short_total", "counter",
     "dgramhop payloads forgotten before their 2 s were over (window full).", nullptr,
     [](const RelayFigures &f) { return f.window_cut_short; }},
};

MHD_Result metrics_answer(void *, MHD_Connection *c, const char *url, const char *method,
                          const char *, const char *, size_t *upload_size, void **)
{
    if (*upload_size)
        return MHD_NO;
    int status = MHD_HTTP_OK;
    ByteBuffer body{};
    const char *type = "text/plain; version=0.0.4; charset=utf-8";
    if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0) {
        status = MHD_HTTP_METHOD_NOT_ALLOWED;
        bconcat(&body, "GET only\n", 9);
        type = "text/plain";
    } else if (strcmp(url, "/metrics") != 0) {
        status = MHD_HTTP_NOT_FOUND;
        bconcat(&body, "see /metrics\n", 13);
        type = "text/plain";
    } else {
        metrics_text(&body);
    }
    MHD_Response *r = MHD_create_response_from_buffer((size_t)body.len, body.data,
                                                      MHD_RESPMEM_MUST_COPY);
    bfree(&body);
    if (!r)
        return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    MHD_Result ret = MHD_queue_response(c, (unsigned)status, r);
    MHD_destroy_response(r);
    return ret;
}

void metrics_log(void *, const char *fmt, va_list ap)
{
    char text[256];
    vsnprintf(text, sizeof text, fmt, ap);
    text[strcspn(text, "\n")] = 0;
    log_warning("libmicrohttpd: %s\n", text);
}

// After every run: MHD says how soon it needs to run again (a connection's
// timeout, or 0 with work pending).
void metrics_rearm()
{
    ev_timer_stop(hub_loop, &ms.timer);
    MHD_UNSIGNED_LONG_LONG ms_left = 0;
    if (MHD_get_timeout(ms.mhd, &ms_left) != MHD_YES)
        return;
    double secs = (double)ms_left / 1000.0;
    ev_timer_set(&ms.timer, secs < 0.001 ? 0.001 : secs, 0.0);
    ev_timer_start(hub_loop, &ms.timer);
}

void metrics_io_cb(struct ev_loop *, ev_io *, int)
{
    MHD_run(ms.mhd);
    metrics_rearm();
}

void metrics_timer_cb(struct ev_loop *, ev_timer *, int)
{
    MHD_run(ms.mhd);
    metrics_rearm();
}

bool parse_addr(const char *text, sockaddr_storage *ss)
{
    const char *colon = strrchr(text, ':');
    if (!colon || !colon[1])
        return false;
    char host[64];
    size_t n = (size_t)(colon - text);
    const char *h = text;
    if (n >= 2 && h[0] == '[' && h[n - 1] == ']') {
        h++;
        n -= 2;
    }
    if (n == 0 || n >= sizeof host)
        return false;
    memcpy(host, h, n);
    host[n] = 0;
    char *end;
    long port = strtol(colon + 1, &end, 10);
    if (*end || port < 1 || port > 65535)
        return false;
    memset(ss, 0, sizeof *ss);
    sockaddr_in *a4 = reinterpret_cast<sockaddr_in *>(ss);
    sockaddr_in6 *a6 = reinterpret_cast<sockaddr_in6 *>(ss);
    if (inet_pton(AF_INET, host, &a4->sin_addr) == 1) {
        a4->sin_family = AF_INET;
        a4->sin_port = htons((uint16_t)port);
        return true;
    }
    if (inet_pton(AF_INET6, host, &a6->sin6_addr) == 1) {
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons((uint16_t)port);
        return true;
    }
    return false;
}

}  // namespace

void metrics_text(ByteBuffer *out)
{
    char a[128], b[128];
    family(out, "linkhub_device_online", "gauge", "1 while the board's link is up.");
    for (size_t i = 0; i < hub_device_count(); i++) {
        HubDevice *d = hub_device_at(i);
        put(out, "linkhub_device_online{mac=\"%s\"} %d\n", d->mac_text, d->online ? 1 : 0);
    }
    family(out, "linkhub_device_info", "gauge", "The group and transport of the board's latest link.");
    for (size_t i = 0; i < hub_device_count(); i++) {
        HubDevice *d = hub_device_at(i);
        put(out, "linkhub_device_info{mac=\"%s\",group=\"%s\",transport=\"%s\"} 1\n", d->mac_text,
            label(d->group_text, a, sizeof a), transport_name(d->transport));
    }
    per_direction(out, "linkhub_device_bytes_total", "Line bytes: up from the board, down to it.",
                  [](HubDevice *d) { return d->bytes_up; },
                  [](HubDevice *d) { return d->bytes_down; }, false);
    per_direction(out, "linkhub_device_dropped_bytes_total",
                  "Line bytes dropped: up by the application endpoints, down while offline or over the bound.",
                  [](HubDevice *d) { return d->dropped_up; },
                  [](HubDevice *d) { return d->dropped_down; }, false);
    per_device(out, "linkhub_device_link_ups_total", "counter", "Board links that came up.",
               [](HubDevice *d) { return d->link_ups; });
    per_device(out, "linkhub_device_takeovers_total", "counter",
               "Board links that replaced a link still up.",
               [](HubDevice *d) { return d->takeovers; });
    per_device(out, "linkhub_device_last_seen_seconds", "gauge",
               "Epoch seconds of the latest valid frame or datagram (0: none yet).",
               [](HubDevice *d) { return (uint64_t)(d->last_seen > 0 ? d->last_seen : 0); });

    family(out, "linkhub_refusals_total", "counter",
           "Identities or peers refused (unlisted MAC, foreign group, bad magic, no header in time).");
    for (size_t i = 0; i < hub_refusal_count(); i++) {
        const HubRefusal *r = hub_refusal_at(i);
        put(out, "linkhub_refusals_total{what=\"%s\"} %llu\n", label(r->what, b, sizeof b),
            (unsigned long long)r->count);
    }

    for (const RelaySeries &r : relay_series)
        per_relay(out, r);

    MqttStats s;
    mqtt_stats(&s);
    if (!s.enabled)
        return;
    per_direction(out, "linkhub_device_mqtt_messages_total",
                  "MQTT messages: up published from the line, down written to it.",
                  [](HubDevice *d) { return mqtt_of(d).up_messages; },
                  [](HubDevice *d) { return mqtt_of(d).down_messages; }, true);
    per_direction(out, "linkhub_device_mqtt_dropped_total",
                  "MQTT messages dropped: up with the broker away or the queue full, down while offline or retained.",
                  [](HubDevice *d) { return mqtt_of(d).up_dropped; },
                  [](HubDevice *d) { return mqtt_of(d).down_dropped; }, true);
    family(out, "linkhub_mqtt_connected", "gauge", "1 while the broker has accepted the hub.");
    put(out, "linkhub_mqtt_connected{broker=\"%s\",id=\"%s\"} %d\n", label(s.broker, a, sizeof a),
        label(s.id, b, sizeof b), s.connected ? 1 : 0);
    single(out, "linkhub_mqtt_queue_messages", "gauge",
           "Messages handed to the client library, not yet sent or acknowledged.", s.queued);
    single(out, "linkhub_mqtt_queue_bytes", "gauge", "Payload bytes of those messages.",
           s.queued_bytes);
    single(out, "linkhub_mqtt_dropped_total", "counter",
           "Up messages dropped: broker away, queue full, or unacknowledged when the connection ended.",
           s.dropped);
    single(out, "linkhub_mqtt_attempts_total", "counter", "Connection attempts to the broker.",
           s.attempts);
    single(out, "linkhub_mqtt_connects_total", "counter", "Connections the broker accepted.",
           s.connects);
    single(out, "linkhub_mqtt_refusals_total", "counter",
           "Attempts the broker refused (credentials, certificate).", s.refusals);
}

int metrics_start(const char *addr)
{
    if (!addr || !addr[0])
        return 0;
    sockaddr_storage ss;
    if (!parse_addr(addr, &ss)) {
        log_err("metrics %s: not IP:PORT\n", addr);
        return -1;
    }
    unsigned flags = MHD_USE_EPOLL | MHD_USE_ERROR_LOG;
    if (ss.ss_family == AF_INET6)
        flags |= MHD_USE_IPv6;
    // The logger first: MHD reports on the options after it.
    ms.mhd = MHD_start_daemon(flags, 0, nullptr, nullptr, metrics_answer, nullptr,
                              MHD_OPTION_EXTERNAL_LOGGER, metrics_log, nullptr,
                              MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr *>(&ss),
                              MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
                              MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeout,
                              MHD_OPTION_END);
    if (!ms.mhd) {
        log_err("metrics %s: cannot listen there\n", addr);
        return -1;
    }
    const MHD_DaemonInfo *info = MHD_get_daemon_info(ms.mhd, MHD_DAEMON_INFO_EPOLL_FD);
    if (!info || info->epoll_fd < 0) {
        log_err("metrics %s: no epoll descriptor\n", addr);
        MHD_stop_daemon(ms.mhd);
        ms.mhd = nullptr;
        return -1;
    }
    ev_io_init(&ms.io, metrics_io_cb, info->epoll_fd, EV_READ);
    ev_io_start(hub_loop, &ms.io);
    ev_init(&ms.timer, metrics_timer_cb);
    metrics_rearm();
    ms.started = true;
    atexit(metrics_stop);
    log_info("metrics on http://%s/metrics\n", addr);
    return 0;
}

void metrics_stop()
{
    if (!ms.started)
        return;
    ms.started = false;
    if (hub_loop) {
        ev_io_stop(hub_loop, &ms.io);
        ev_timer_stop(hub_loop, &ms.timer);
    }
    MHD_stop_daemon(ms.mhd);
    ms.mhd = nullptr;
}
