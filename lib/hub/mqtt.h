// linkhub's MQTT bridge: every device with the endpoint token `mqtt` gets
// three topics on one broker, driven from the hub's own libev loop (one
// ev_io on the broker socket, one ev_timer for the library's periodic work
// and the reconnect back-off; no library thread, no blocking library call).
//
//   <prefix>/<group>/<mac>/up     each run of line bytes from the board
//   <prefix>/<group>/<mac>/down   subscribed: each payload goes to the line
//   <prefix>/<group>/<mac>/state  retained {"online","hub","peer","since"}
//   <prefix>/hubs/<id>            retained "online"; the will "offline"
//
// A state names the hub that published it.  Every hub subscribes to its
// devices' state topics and keeps the latest state it saw; it publishes
// "offline" for a device only while that state still names itself, so a
// board that moved to another hub keeps the other hub's state.  A hub that
// holds a link and sees another hub's state for the device answers with its
// own unless the other's link is the newer one (later since, or the same
// second and the greater hub id): two hubs that both believe they hold a
// board settle on one state instead of overwriting each other for ever.
//
// Ownership: one client record for the process; the library's client object
// is made for each connection attempt and destroyed when that connection
// ends, so nothing queued for a lost connection is sent late on the next.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "hub/hub.h"

struct MqttConfig {
    const char *broker;         // "HOST:PORT"; NULL or "" leaves the bridge off
    const char *prefix;         // topic prefix, "farwire"
    const char *id;             // client id and hub name; NULL: "linkhub-" + host name
    const char *user;           // NULL: no user name
    const char *password_file;  // first line is the password; NULL: none
    const char *cafile;         // TLS to the broker when given
    int qos;                    // 0 or 1
};

// Checks the configuration, registers the plug-in and makes the first
// connection attempt once the loop runs.  Returns 0 (also when the bridge is
// off), or -1 after an ERR line naming what is wrong.  Call before the
// loop runs, after hub_loop is set.
int mqtt_start(const MqttConfig *c);

// The bridge's figures, for the status document and the metrics.
struct MqttStats {
    bool enabled;
    bool connected;
    const char *broker;
    const char *id;
    uint64_t queued;       // messages handed to the library, not yet sent (QoS 0) or acknowledged
    uint64_t queued_bytes; // their payload bytes
    uint64_t published;    // up messages handed to the library
    uint64_t dropped;      // up messages dropped (broker away, queue full, lost unacknowledged)
    uint64_t delivered;    // down messages written to a line
    uint64_t down_dropped; // down messages not written (board offline, retained, foreign group)
    uint64_t connects;     // connections the broker accepted
    uint64_t attempts;     // connection attempts
    uint64_t refusals;     // attempts the broker refused (CONNACK or TLS)
};
void mqtt_stats(MqttStats *s);

// Per device (zero for a device without the token mqtt).
struct MqttDeviceStats {
    uint64_t up_messages, up_dropped;      // published / dropped towards the broker
    uint64_t down_messages, down_dropped;  // written to the line / not written
    const char *state_hub;                 // the hub the latest state seen names, "" if none
};
void mqtt_device_stats(HubDevice *d, MqttDeviceStats *s);

// Ends the bridge: marks the hub's online devices and the hub offline when
// connected, then frees the client and the library.  Also run at exit.
void mqtt_stop();

// --- pieces with no broker, shared with the unit tests ---

// The last state seen on a device's state topic.
struct MqttState {
    bool online;
    char hub[128];
    char peer[64];
    int64_t since;
};

// Parses a state payload; false when it is not one (the record is then
// unspecified).
bool mqtt_state_parse(const char *p, size_t n, MqttState *s);

// Writes the state payload as one JSON object into j.
void mqtt_state_text(JsonOut *j, const MqttState *s);

// Splits "<prefix>/<group>/<mac>/<leaf>": the three parts as views into
// topic (not NUL-terminated) with their lengths; false when the topic does
// not have that shape under prefix.
struct MqttTopicParts {
    const char *group, *mac, *leaf;
    size_t group_len, mac_len, leaf_len;
};
bool mqtt_topic_split(const char *topic, const char *prefix, MqttTopicParts *t);

// Whether a hub holding the link of a device since `mine` should give way to
// a state another hub published: that hub's link is the newer one.
bool mqtt_state_newer(const MqttState *other, int64_t mine, const char *my_id);

// The next reconnect delay after `delay` seconds failed: doubled, 1..30.
double mqtt_backoff_next(double delay);

// A text usable as an MQTT topic level: not empty, no '/', '+', '#' or NUL.
bool mqtt_level_ok(const char *s);
