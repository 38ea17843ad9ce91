// The MQTT bridge (see mqtt.h for the topics and the state rules).
#include "hub/mqtt.h"

#include <errno.h>
#include <ev.h>
#include <mosquitto.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/buffer.h"
#include "common/log.h"
#include "hub/json.h"

namespace {

// Messages handed to the library and not yet sent (QoS 0) or acknowledged
// (QoS 1), and their payload bytes: beyond either an up message is dropped
// and counted.  The count stays below the library's message ids (1..65535),
// by which a confirmation names its message.
constexpr uint64_t kQueueMessages = 32768;
constexpr uint64_t kQueueBytes = 8u << 20;
constexpr unsigned kInflight = 4096;  // QoS 1 messages on the wire unacknowledged
constexpr int kKeepalive = 30;           // seconds
constexpr double kConnectBound = 15.0;   // seconds for TCP, TLS and CONNACK
constexpr int kSubscribeBatch = 64;      // topics per SUBSCRIBE packet
constexpr int kSlot = 1;                 // HubDevice::plug index of this plug-in

struct MqttDev {
    HubDevice *d;
    char group[37];       // the group of up_topic
    char up_topic[256];
    MqttState last;       // the latest state seen on the state topic (or published)
    bool have_last;
    bool claimed;         // this hub's online state stands for the current link
    bool was_online;
    bool unsent;          // a change could not be published (broker away)
    MqttDeviceStats st;
};

enum class Conn : uint8_t { idle, connecting, connected };

struct MqttClient {
    MqttConfig cfg;
    char host[256];
    int port;
    char id[128];
    char *password;
    char hub_topic[320];

    mosquitto *m;  // the current attempt's client, NULL between attempts
    Conn conn;
    bool dead;     // the library reported the end inside a call: tear down after it
    bool refused;  // this attempt was refused (CONNACK or TLS)
    char why[256]; // why this attempt ended, as the library or the broker said
    ev_tstamp attempt_at;
    double backoff;

    ev_io io;
    int io_fd, io_events;
    ev_timer tick;   // loop_misc once a second while a client exists
    ev_timer retry;  // the back-off between attempts

    MqttDev *devs;       // one per device with the token mqtt
    MqttDev **by_mac;    // the same, sorted by MAC text
    size_t ndevs;

    uint64_t queued, queued_bytes, published, dropped, delivered, down_dropped;
    uint32_t *mid_bytes;  // payload size of each message id not yet confirmed
    uint64_t connects, attempts, refusals;
    bool started;
};

MqttClient mq;

int by_mac_cmp(const void *a, const void *b)
{
    return strcmp((*static_cast<MqttDev *const *>(a))->d->mac_text,
                  (*static_cast<MqttDev *const *>(b))->d->mac_text);
}

MqttDev *dev_by_mac(const char *mac, size_t n)
{
    size_t lo = 0, hi = mq.ndevs;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        const char *t = mq.by_mac[mid]->d->mac_text;
        int c = strncmp(t, mac, n);
        if (c == 0 && t[n] != 0)
            c = 1;
        if (c == 0)
            return mq.by_mac[mid];
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return nullptr;
}

MqttDev *dev_of(HubDevice *d)
{
    return static_cast<MqttDev *>(d->plug[kSlot]);
}

// Watch the library's socket for what it wants now: the descriptor changes
// with every connection, and the write interest with every queued packet.
void mqtt_rearm()
{
    int fd = mq.m ? mosquitto_socket(mq.m) : -1;
    int ev = fd < 0 ? 0 : EV_READ | (mosquitto_want_write(mq.m) ? EV_WRITE : 0);
    if (fd == mq.io_fd && ev == mq.io_events && (fd < 0 || ev_is_active(&mq.io)))
        return;
    if (ev_is_active(&mq.io))
        ev_io_stop(hub_loop, &mq.io);
    mq.io_fd = fd;
    mq.io_events = ev;
    if (fd >= 0) {
        ev_io_set(&mq.io, fd, ev);
        ev_io_start(hub_loop, &mq.io);
    }
}

void note_why(const char *text)
{
    if (!mq.why[0])
        snprintf(mq.why, sizeof mq.why, "%s", text);
}

// Publishes through the current client; false when there is none or the
// library would not take it.
bool mqtt_send(const char *topic, const void *p, size_t n, bool retain)
{
    if (mq.conn != Conn::connected || !mq.m)
        return false;
    int mid = 0;
    int rc = mosquitto_publish(mq.m, &mid, topic, (int)n, p, mq.cfg.qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        log_debug("publish to %s: %s\n", topic, mosquitto_strerror(rc));
        return false;
    }
    mq.queued++;
    mq.queued_bytes += n;
    mq.mid_bytes[mid & 0xffff] = (uint32_t)n;
    return true;
}

void state_topic(char *out, size_t size, const char *group, const char *mac)
{
    snprintf(out, size, "%s/%s/%s/state", mq.cfg.prefix, group, mac);
}

// Publishes the device's state as this hub sees it, under `group`.
void publish_state(MqttDev *md, const char *group, bool online)
{
    HubDevice *d = md->d;
    MqttState s{};
    s.online = online;
    snprintf(s.hub, sizeof s.hub, "%s", mq.id);
    snprintf(s.peer, sizeof s.peer, "%s", d->peer);
    s.since = online ? (int64_t)d->since : (int64_t)(d->since ? d->since : time(nullptr));
    char topic[320];
    state_topic(topic, sizeof topic, group, d->mac_text);
    JsonOut j{};
    mqtt_state_text(&j, &s);
    bool sent = mqtt_send(topic, j.buf.data, (size_t)j.buf.len, true);
    bfree(&j.buf);
    md->unsent = !sent;
    if (sent) {
        md->last = s;
        md->have_last = true;
    }
    md->claimed = online;
    mqtt_rearm();  // a full socket leaves the packet queued for the write watcher
}

void set_up_topic(MqttDev *md)
{
    HubDevice *d = md->d;
    if (strcmp(md->group, d->group_text) == 0 && md->up_topic[0])
        return;
    snprintf(md->group, sizeof md->group, "%s", d->group_text);
    snprintf(md->up_topic, sizeof md->up_topic, "%s/%s/%s/up", mq.cfg.prefix, d->group_text,
             d->mac_text);
}

// --- the hooks the core calls ---

void mqtt_link_change(HubDevice *d)
{
    MqttDev *md = dev_of(d);
    if (!md)
        return;
    if (d->group_text[0])
        set_up_topic(md);
    if (d->online) {
        md->was_online = true;
        publish_state(md, d->group_text, true);
        return;
    }
    bool was = md->was_online;
    md->was_online = false;
    if (!was)
        return;
    // A board that moved on: its state now names the other hub.
    if (md->have_last && strcmp(md->last.hub, mq.id) != 0) {
        log_info("%s: state names hub %s, left as it is\n", d->mac_text, md->last.hub);
        md->claimed = false;
        md->unsent = false;
        return;
    }
    publish_state(md, d->group_text, false);
}

bool mqtt_line_bytes(HubDevice *d, const uint8_t *p, size_t n)
{
    MqttDev *md = dev_of(d);
    if (!md || n == 0)
        return false;
    set_up_topic(md);
    if (mq.conn != Conn::connected || mq.queued >= kQueueMessages ||
        mq.queued_bytes + n > kQueueBytes ||
        !mqtt_send(md->up_topic, p, n, false)) {
        md->st.up_dropped++;
        mq.dropped++;
        return false;
    }
    md->st.up_messages++;
    mq.published++;
    mqtt_rearm();
    return true;
}

void mqtt_status_fields(HubDevice *d, JsonOut *j)
{
    MqttDev *md = dev_of(d);
    if (!md)
        return;
    json_open(j, "mqtt");
    json_u64(j, "up", md->st.up_messages);
    json_u64(j, "up_dropped", md->st.up_dropped);
    json_u64(j, "down", md->st.down_messages);
    json_u64(j, "down_dropped", md->st.down_dropped);
    json_str(j, "state_hub", md->have_last ? md->last.hub : nullptr);
    json_close(j);
}

void mqtt_status_global(JsonOut *j)
{
    json_open(j, "mqtt");
    json_str(j, "broker", mq.cfg.broker);
    json_str(j, "id", mq.id);
    json_bool(j, "connected", mq.conn == Conn::connected);
    json_u64(j, "queued", mq.queued);
    json_u64(j, "queued_bytes", mq.queued_bytes);
    json_u64(j, "published", mq.published);
    json_u64(j, "dropped", mq.dropped);
    json_u64(j, "delivered", mq.delivered);
    json_u64(j, "down_dropped", mq.down_dropped);
    json_u64(j, "connects", mq.connects);
    json_u64(j, "attempts", mq.attempts);
    json_u64(j, "refusals", mq.refusals);
    json_close(j);
}

HubPlug mqtt_plug = {
    "mqtt", kSlot, mqtt_link_change, mqtt_line_bytes, nullptr, nullptr,
    mqtt_status_fields, mqtt_status_global, nullptr,
};

// --- library callbacks (inside a library call; never destroy the client here) ---

void mqtt_subscribe_all()
{
    const char *leaves[2] = {"down", "state"};
    char *topics[kSubscribeBatch];
    char store[kSubscribeBatch][320];
    int n = 0;
    for (size_t i = 0; i < mq.ndevs; i++) {
        for (const char *leaf : leaves) {
            snprintf(store[n], sizeof store[n], "%s/+/%s/%s", mq.cfg.prefix,
                     mq.devs[i].d->mac_text, leaf);
            topics[n] = store[n];
            n++;
            if (n == kSubscribeBatch || (i + 1 == mq.ndevs && leaf == leaves[1])) {
                int rc = mosquitto_subscribe_multiple(mq.m, nullptr, n, topics, mq.cfg.qos, 0,
                                                      nullptr);
                if (rc != MOSQ_ERR_SUCCESS)
                    log_err("subscribe: %s\n", mosquitto_strerror(rc));
                n = 0;
            }
        }
    }
}

void mqtt_connect_cb(mosquitto *, void *, int rc)
{
    if (rc != 0) {
        mq.refused = true;
        note_why(mosquitto_connack_string(rc));
        mq.dead = true;
        return;
    }
    mq.conn = Conn::connected;
    mq.connects++;
    mq.backoff = 1.0;
    log_info("connected to broker %s as %s\n", mq.cfg.broker, mq.id);
    mqtt_send(mq.hub_topic, "online", 6, true);
    mqtt_subscribe_all();
    for (size_t i = 0; i < mq.ndevs; i++) {
        MqttDev *md = &mq.devs[i];
        HubDevice *d = md->d;
        if (d->online && d->group_text[0])
            publish_state(md, d->group_text, true);
        else if (md->unsent && d->group_text[0] &&
                 (!md->have_last || strcmp(md->last.hub, mq.id) == 0))
            publish_state(md, d->group_text, false);
    }
}

void mqtt_disconnect_cb(mosquitto *, void *, int rc)
{
    if (rc != 0)
        note_why(rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc));
    mq.dead = true;
}

void mqtt_publish_cb(mosquitto *, void *, int mid)
{
    if (mq.queued)
        mq.queued--;
    uint32_t &n = mq.mid_bytes[mid & 0xffff];
    mq.queued_bytes -= n <= mq.queued_bytes ? n : mq.queued_bytes;
    n = 0;
}

void handle_state(MqttDev *md, const MqttTopicParts &t, const mosquitto_message *msg)
{
    HubDevice *d = md->d;
    MqttState s;
    if (!mqtt_state_parse(static_cast<const char *>(msg->payload), (size_t)msg->payloadlen, &s))
        return;
    char group[37];
    if (t.group_len >= sizeof group)
        return;
    memcpy(group, t.group, t.group_len);
    group[t.group_len] = 0;
    bool mine = strcmp(s.hub, mq.id) == 0;
    if (mine) {
        // A state this hub left online before it last ended: mark it offline.
        if (msg->retain && s.online && !d->online) {
            log_info("%s: marked offline (left online by this hub)\n", d->mac_text);
            MqttState off = s;
            off.online = false;
            off.since = time(nullptr);
            md->last = off;
            md->have_last = true;
            char topic[320];
            state_topic(topic, sizeof topic, group, d->mac_text);
            JsonOut j{};
            mqtt_state_text(&j, &off);
            mqtt_send(topic, j.buf.data, (size_t)j.buf.len, true);
            bfree(&j.buf);
        }
        return;
    }
    if (strcmp(group, d->group_text) != 0)
        return;
    md->last = s;
    md->have_last = true;
    if (!d->online)
        return;
    if (s.online && mqtt_state_newer(&s, (int64_t)d->since, mq.id)) {
        if (md->claimed)
            log_info("%s: hub %s holds the newer link\n", d->mac_text, s.hub);
        md->claimed = false;
        return;
    }
    // This hub holds the link and the other's state is older or offline.
    publish_state(md, group, true);
}

void handle_down(MqttDev *md, const MqttTopicParts &t, const mosquitto_message *msg)
{
    HubDevice *d = md->d;
    // A retained command is one from the past: never written late.
    bool ours = t.group_len == strlen(d->group_text) &&
                memcmp(t.group, d->group_text, t.group_len) == 0;
    if (msg->retain || !ours || msg->payloadlen <= 0) {
        if (msg->payloadlen > 0) {
            md->st.down_dropped++;
            mq.down_dropped++;
        }
        return;
    }
    size_t n = (size_t)msg->payloadlen;
    if (hub_line_write(d, static_cast<const uint8_t *>(msg->payload), n) == n) {
        md->st.down_messages++;
        mq.delivered++;
    } else {
        md->st.down_dropped++;
        mq.down_dropped++;
    }
}

void mqtt_message_cb(mosquitto *, void *, const mosquitto_message *msg)
{
    MqttTopicParts t;
    if (!msg->topic || !mqtt_topic_split(msg->topic, mq.cfg.prefix, &t))
        return;
    MqttDev *md = dev_by_mac(t.mac, t.mac_len);
    if (!md)
        return;
    if (t.leaf_len == 4 && memcmp(t.leaf, "down", 4) == 0)
        handle_down(md, t, msg);
    else if (t.leaf_len == 5 && memcmp(t.leaf, "state", 5) == 0)
        handle_state(md, t, msg);
}

void mqtt_log_cb(mosquitto *, void *, int level, const char *text)
{
    if (level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING))
        note_why(text);
    log_debug("libmosquitto: %s\n", text);
}

// --- connection attempts ---

void mqtt_schedule_retry()
{
    ev_timer_stop(hub_loop, &mq.retry);
    ev_timer_set(&mq.retry, mq.backoff, 0.0);
    ev_timer_start(hub_loop, &mq.retry);
}

// Ends the current client, whatever state it was in, and schedules the next
// attempt.  One ERR line per refused attempt, a WARNING per failed or lost
// one: the back-off paces them.
void mqtt_release()
{
    if (!mq.m)
        return;
    Conn was = mq.conn;
    if (ev_is_active(&mq.io))
        ev_io_stop(hub_loop, &mq.io);
    mq.io_fd = -1;
    mq.io_events = 0;
    ev_timer_stop(hub_loop, &mq.tick);
    mosquitto_destroy(mq.m);
    mq.m = nullptr;
    mq.conn = Conn::idle;
    mq.dead = false;
    // What the lost client still held is not sent by the next one.
    mq.dropped += mq.queued;
    mq.queued = 0;
    mq.queued_bytes = 0;
    memset(mq.mid_bytes, 0, sizeof(uint32_t) * 65536);
    for (size_t i = 0; i < mq.ndevs; i++)
        if (mq.devs[i].was_online || mq.devs[i].claimed)
            mq.devs[i].unsent = true;
    const char *why = mq.why[0] ? mq.why : "connection ended";
    if (mq.refused) {
        mq.refusals++;
        log_err("broker %s refused %s: %s; next attempt in %.0f s\n", mq.cfg.broker, mq.id, why,
                mq.backoff);
    } else if (was == Conn::connected) {
        log_warning("lost broker %s: %s; next attempt in %.0f s\n", mq.cfg.broker, why, mq.backoff);
    } else {
        log_warning("broker %s: %s; next attempt in %.0f s\n", mq.cfg.broker, why, mq.backoff);
    }
    mqtt_schedule_retry();
    mq.backoff = mqtt_backoff_next(mq.backoff);
}

// After every library call: tear down what it ended, watch what it wants.
void mqtt_after(int rc)
{
    if (rc != MOSQ_ERR_SUCCESS && mq.m) {
        if (rc == MOSQ_ERR_ERRNO)
            note_why(strerror(errno));
        else if (rc == MOSQ_ERR_TLS)
            note_why("TLS failure");
        else
            note_why(mosquitto_strerror(rc));
        if (rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_CONN_REFUSED || rc == MOSQ_ERR_AUTH)
            mq.refused = true;
        mq.dead = true;
    }
    if (mq.dead || (mq.m && mosquitto_socket(mq.m) < 0)) {
        mqtt_release();
        return;
    }
    mqtt_rearm();
}

void mqtt_io_cb(struct ev_loop *, ev_io *, int revents)
{
    int rc = MOSQ_ERR_SUCCESS;
    if (revents & EV_READ)
        rc = mosquitto_loop_read(mq.m, 1);
    if (rc == MOSQ_ERR_SUCCESS && !mq.dead && mq.m && (revents & EV_WRITE))
        rc = mosquitto_loop_write(mq.m, 1);
    mqtt_after(rc);
}

void mqtt_tick_cb(struct ev_loop *, ev_timer *, int)
{
    if (!mq.m)
        return;
    if (mq.conn == Conn::connecting && ev_now(hub_loop) - mq.attempt_at > kConnectBound) {
        note_why("no answer in time");
        mqtt_release();
        return;
    }
    mqtt_after(mosquitto_loop_misc(mq.m));
}

bool mqtt_new_client()
{
    mq.m = mosquitto_new(mq.id, true, nullptr);
    if (!mq.m) {
        log_err("mosquitto_new: %s\n", strerror(errno));
        return false;
    }
    mosquitto_int_option(mq.m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(mq.m, kInflight);
    mosquitto_connect_callback_set(mq.m, mqtt_connect_cb);
    mosquitto_disconnect_callback_set(mq.m, mqtt_disconnect_cb);
    mosquitto_publish_callback_set(mq.m, mqtt_publish_cb);
    mosquitto_message_callback_set(mq.m, mqtt_message_cb);
    mosquitto_log_callback_set(mq.m, mqtt_log_cb);
    int rc = mosquitto_will_set(mq.m, mq.hub_topic, 7, "offline", mq.cfg.qos, true);
    if (rc == MOSQ_ERR_SUCCESS && mq.cfg.user)
        rc = mosquitto_username_pw_set(mq.m, mq.cfg.user, mq.password);
    if (rc == MOSQ_ERR_SUCCESS && mq.cfg.cafile)
        rc = mosquitto_tls_set(mq.m, mq.cfg.cafile, nullptr, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        note_why(mosquitto_strerror(rc));
        return false;
    }
    return true;
}

void mqtt_retry_cb(struct ev_loop *, ev_timer *, int)
{
    mq.attempts++;
    mq.why[0] = 0;
    mq.refused = false;
    mq.dead = false;
    if (!mqtt_new_client()) {
        if (!mq.m) {
            mqtt_schedule_retry();
            mq.backoff = mqtt_backoff_next(mq.backoff);
            return;
        }
        mq.refused = true;
        mqtt_release();
        return;
    }
    mq.conn = Conn::connecting;
    mq.attempt_at = ev_now(hub_loop);
    ev_timer_set(&mq.tick, 1.0, 1.0);
    ev_timer_start(hub_loop, &mq.tick);
    // Non-blocking: TCP, TLS and CONNACK complete through the watcher.
    int rc = mosquitto_connect_async(mq.m, mq.host, mq.port, kKeepalive);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_CONN_PENDING) {
        note_why(rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc));
        if (rc == MOSQ_ERR_TLS)
            mq.refused = true;
        mqtt_release();
        return;
    }
    mqtt_after(MOSQ_ERR_SUCCESS);
}

char *read_password(const char *path)
{
    FILE *f = fopen(path, "r");
    if (!f) {
        log_err("mqtt-password-file %s: %s\n", path, strerror(errno));
        return nullptr;
    }
    char line[512];
    char *r = fgets(line, sizeof line, f);
    fclose(f);
    if (!r)
        line[0] = 0;
    line[strcspn(line, "\r\n")] = 0;
    char *p = static_cast<char *>(ss_malloc(strlen(line) + 1));
    memcpy(p, line, strlen(line) + 1);
    explicit_bzero(line, sizeof line);
    return p;
}

bool split_host_port(const char *text, char *host, size_t size, int *port)
{
    const char *colon = strrchr(text, ':');
    if (!colon || colon == text || !colon[1])
        return false;
    const char *h = text;
    size_t n = (size_t)(colon - text);
    if (h[0] == '[' && n >= 2 && h[n - 1] == ']') {
        h++;
        n -= 2;
    }
    if (n == 0 || n >= size)
        return false;
    char *end;
    long v = strtol(colon + 1, &end, 10);
    if (*end || v < 1 || v > 65535)
        return false;
    memcpy(host, h, n);
    host[n] = 0;
    *port = (int)v;
    return true;
}

bool prefix_ok(const char *p)
{
    if (!p || !*p || p[0] == '/' || p[strlen(p) - 1] == '/')
        return false;
    return strpbrk(p, "+#") == nullptr;
}

}  // namespace

// --- pieces without a broker ---

bool mqtt_level_ok(const char *s)
{
    return s && *s && strpbrk(s, "/+#") == nullptr;
}

double mqtt_backoff_next(double delay)
{
    double next = delay * 2.0;
    if (next < 1.0)
        next = 1.0;
    return next > 30.0 ? 30.0 : next;
}

bool mqtt_state_newer(const MqttState *other, int64_t mine, const char *my_id)
{
    if (other->since != mine)
        return other->since > mine;
    return strcmp(other->hub, my_id) > 0;
}

bool mqtt_topic_split(const char *topic, const char *prefix, MqttTopicParts *t)
{
    size_t pl = strlen(prefix);
    if (strncmp(topic, prefix, pl) != 0 || topic[pl] != '/')
        return false;
    const char *g = topic + pl + 1;
    const char *s1 = strchr(g, '/');
    if (!s1)
        return false;
    const char *m = s1 + 1;
    const char *s2 = strchr(m, '/');
    if (!s2)
        return false;
    const char *l = s2 + 1;
    if (strchr(l, '/') || s1 == g || s2 == m || !*l)
        return false;
    t->group = g;
    t->group_len = (size_t)(s1 - g);
    t->mac = m;
    t->mac_len = (size_t)(s2 - m);
    t->leaf = l;
    t->leaf_len = strlen(l);
    return true;
}

void mqtt_state_text(JsonOut *j, const MqttState *s)
{
    json_open(j, nullptr);
    json_bool(j, "online", s->online);
    json_str(j, "hub", s->hub);
    json_str(j, "peer", s->peer);
    json_i64(j, "since", s->since);
    json_close(j);
}

namespace {

struct Scan {
    const char *p, *end;
};

void skip_ws(Scan *s)
{
    while (s->p < s->end && (*s->p == ' ' || *s->p == '\t' || *s->p == '\n' || *s->p == '\r'))
        s->p++;
}

// A JSON string into out (truncated to size - 1; \u escapes other than
// ASCII refuse the string).
bool scan_string(Scan *s, char *out, size_t size)
{
    if (s->p >= s->end || *s->p != '"')
        return false;
    s->p++;
    size_t n = 0;
    while (s->p < s->end && *s->p != '"') {
        char c = *s->p++;
        if (c == '\\') {
            if (s->p >= s->end)
                return false;
            char e = *s->p++;
            switch (e) {
            case '"': case '\\': case '/': c = e; break;
            case 'n': c = '\n'; break;
            case 't': c = '\t'; break;
            case 'r': c = '\r'; break;
            case 'b': c = '\b'; break;
            case 'f': c = '\f'; break;
            case 'u': {
                if (s->end - s->p < 4)
                    return false;
                unsigned v = 0;
                for (int i = 0; i < 4; i++) {
                    char h = *s->p++;
                    v <<= 4;
                    if (h >= '0' && h <= '9') v |= (unsigned)(h - '0');
                    else if (h >= 'a' && h <= 'f') v |= (unsigned)(h - 'a' + 10);
                    else if (h >= 'A' && h <= 'F') v |= (unsigned)(h - 'A' + 10);
                    else return false;
                }
                if (v == 0 || v > 0x7f)
                    return false;
                c = (char)v;
                break;
            }
            default: return false;
            }
        } else if ((unsigned char)c < 0x20) {
            return false;
        }
        if (out && n + 1 < size)
            out[n++] = c;
    }
    if (s->p >= s->end)
        return false;
    s->p++;
    if (out && size)
        out[n] = 0;
    return true;
}

bool scan_word(Scan *s, const char *w)
{
    size_t n = strlen(w);
    if ((size_t)(s->end - s->p) < n || memcmp(s->p, w, n) != 0)
        return false;
    s->p += n;
    return true;
}

bool scan_number(Scan *s, int64_t *v)
{
    bool neg = false;
    if (s->p < s->end && *s->p == '-') {
        neg = true;
        s->p++;
    }
    if (s->p >= s->end || *s->p < '0' || *s->p > '9')
        return false;
    int64_t x = 0;
    while (s->p < s->end && *s->p >= '0' && *s->p <= '9') {
        if (x > (INT64_MAX - 9) / 10)
            return false;
        x = x * 10 + (*s->p++ - '0');
    }
    *v = neg ? -x : x;
    return true;
}

}  // namespace

bool mqtt_state_parse(const char *p, size_t n, MqttState *st)
{
    Scan s{p, p + n};
    memset(st, 0, sizeof *st);
    bool have_online = false, have_hub = false;
    skip_ws(&s);
    if (s.p >= s.end || *s.p++ != '{')
        return false;
    skip_ws(&s);
    if (s.p < s.end && *s.p == '}') {
        s.p++;
    } else {
        for (;;) {
            char key[16];
            skip_ws(&s);
            if (!scan_string(&s, key, sizeof key))
                return false;
            skip_ws(&s);
            if (s.p >= s.end || *s.p++ != ':')
                return false;
            skip_ws(&s);
            if (strcmp(key, "online") == 0) {
                if (scan_word(&s, "true"))
                    st->online = true;
                else if (scan_word(&s, "false"))
                    st->online = false;
                else
                    return false;
                have_online = true;
            } else if (strcmp(key, "hub") == 0) {
                if (!scan_string(&s, st->hub, sizeof st->hub))
                    return false;
                have_hub = true;
            } else if (strcmp(key, "peer") == 0) {
                if (!scan_word(&s, "null") && !scan_string(&s, st->peer, sizeof st->peer))
                    return false;
            } else if (strcmp(key, "since") == 0) {
                if (!scan_word(&s, "null") && !scan_number(&s, &st->since))
                    return false;
            } else {
                // Another member: a string, a number or a word.
                int64_t ignored;
                if (!scan_string(&s, nullptr, 0) && !scan_word(&s, "true") &&
                    !scan_word(&s, "false") && !scan_word(&s, "null") &&
                    !scan_number(&s, &ignored))
                    return false;
            }
            skip_ws(&s);
            if (s.p < s.end && *s.p == ',') {
                s.p++;
                continue;
            }
            if (s.p < s.end && *s.p == '}') {
                s.p++;
                break;
            }
            return false;
        }
    }
    skip_ws(&s);
    return s.p == s.end && have_online && have_hub;
}

// --- the bridge ---

int mqtt_start(const MqttConfig *c)
{
    if (!c->broker || !c->broker[0])
        return 0;
    mq.cfg = *c;
    if (!split_host_port(c->broker, mq.host, sizeof mq.host, &mq.port)) {
        log_err("mqtt %s: not HOST:PORT\n", c->broker);
        return -1;
    }
    if (!prefix_ok(c->prefix) || strlen(c->prefix) > 128) {
        log_err("mqtt-prefix '%s': empty, longer than 128, or with '+', '#' or an outer '/'\n",
                c->prefix ? c->prefix : "");
        return -1;
    }
    if (c->qos != 0 && c->qos != 1) {
        log_err("mqtt-qos %d: 0 or 1\n", c->qos);
        return -1;
    }
    if (c->id && strlen(c->id) >= sizeof mq.id) {
        log_err("mqtt-id: longer than %zu\n", sizeof mq.id - 1);
        return -1;
    }
    if (c->id && c->id[0]) {
        snprintf(mq.id, sizeof mq.id, "%s", c->id);
    } else {
        char host[64] = "";
        gethostname(host, sizeof host - 1);
        snprintf(mq.id, sizeof mq.id, "linkhub-%s", host);
    }
    if (!mqtt_level_ok(mq.id)) {
        log_err("mqtt-id '%s': empty, or with '/', '+' or '#'\n", mq.id);
        return -1;
    }
    if (c->user && !c->user[0])
        mq.cfg.user = nullptr;
    if (c->cafile && !c->cafile[0])
        mq.cfg.cafile = nullptr;
    if (mq.cfg.cafile && access(mq.cfg.cafile, R_OK) != 0) {
        log_err("mqtt-cafile %s: %s\n", mq.cfg.cafile, strerror(errno));
        return -1;
    }
    if (c->password_file && c->password_file[0]) {
        mq.password = read_password(c->password_file);
        if (!mq.password)
            return -1;
    }
    snprintf(mq.hub_topic, sizeof mq.hub_topic, "%s/hubs/%s", mq.cfg.prefix, mq.id);

    size_t n = hub_device_count();
    mq.devs = static_cast<MqttDev *>(ss_malloc(sizeof(MqttDev) * (n ? n : 1)));
    mq.by_mac = static_cast<MqttDev **>(ss_malloc(sizeof(MqttDev *) * (n ? n : 1)));
    for (size_t i = 0; i < n; i++) {
        HubDevice *d = hub_device_at(i);
        if (!d->mqtt)
            continue;
        MqttDev *md = &mq.devs[mq.ndevs];
        md->d = d;
        md->was_online = d->online;
        d->plug[kSlot] = md;
        mq.by_mac[mq.ndevs++] = md;
    }
    qsort(mq.by_mac, mq.ndevs, sizeof *mq.by_mac, by_mac_cmp);

    mq.mid_bytes = static_cast<uint32_t *>(ss_malloc(sizeof(uint32_t) * 65536));
    mosquitto_lib_init();
    mq.io_fd = -1;
    ev_init(&mq.io, mqtt_io_cb);
    ev_init(&mq.tick, mqtt_tick_cb);
    ev_init(&mq.retry, mqtt_retry_cb);
    mq.backoff = 1.0;
    // The first attempt as soon as the loop runs.
    ev_timer_set(&mq.retry, 0.0, 0.0);
    ev_timer_start(hub_loop, &mq.retry);
    hub_plug_register(&mqtt_plug);
    mq.started = true;
    atexit(mqtt_stop);
    log_info("bridge to %s as %s, prefix %s, %zu devices\n", mq.cfg.broker, mq.id, mq.cfg.prefix,
             mq.ndevs);
    return 0;
}

void mqtt_stop()
{
    if (!mq.started)
        return;
    mq.started = false;
    if (mq.m && mq.conn == Conn::connected) {
        for (size_t i = 0; i < mq.ndevs; i++) {
            MqttDev *md = &mq.devs[i];
            if (md->d->online && md->claimed && md->d->group_text[0])
                publish_state(md, md->d->group_text, false);
        }
        mqtt_send(mq.hub_topic, "offline", 7, true);
        mosquitto_disconnect(mq.m);
    }
    if (hub_loop) {
        if (ev_is_active(&mq.io))
            ev_io_stop(hub_loop, &mq.io);
        ev_timer_stop(hub_loop, &mq.tick);
        ev_timer_stop(hub_loop, &mq.retry);
    }
    if (mq.m)
        mosquitto_destroy(mq.m);
    mq.m = nullptr;
    mosquitto_lib_cleanup();
    for (size_t i = 0; i < mq.ndevs; i++)
        mq.devs[i].d->plug[kSlot] = nullptr;
    free(mq.devs);
    free(mq.by_mac);
    free(mq.mid_bytes);
    mq.mid_bytes = nullptr;
    mq.devs = nullptr;
    mq.by_mac = nullptr;
    mq.ndevs = 0;
    if (mq.password) {
        explicit_bzero(mq.password, strlen(mq.password));
        free(mq.password);
        mq.password = nullptr;
    }
}

void mqtt_stats(MqttStats *s)
{
    memset(s, 0, sizeof *s);
    s->enabled = mq.started;
    s->connected = mq.conn == Conn::connected;
    s->broker = mq.cfg.broker;
    s->id = mq.id;
    s->queued = mq.queued;
    s->queued_bytes = mq.queued_bytes;
    s->published = mq.published;
    s->dropped = mq.dropped;
    s->delivered = mq.delivered;
    s->down_dropped = mq.down_dropped;
    s->connects = mq.connects;
    s->attempts = mq.attempts;
    s->refusals = mq.refusals;
}

void mqtt_device_stats(HubDevice *d, MqttDeviceStats *s)
{
    MqttDev *md = mq.started ? dev_of(d) : nullptr;
    memset(s, 0, sizeof *s);
    s->state_hub = "";
    if (md) {
        *s = md->st;
        s->state_hub = md->have_last ? md->last.hub : "";
    }
}
