// linkhub's figures for Prometheus: the text exposition format (0.0.4)
// answered on GET /metrics by libmicrohttpd, run from the hub's own libev
// loop (its epoll descriptor under one ev_io, its timeouts on one ev_timer;
// no server thread).
//
//   linkhub_device_online{mac}                       gauge, 1 while the board's link is up
//   linkhub_device_info{mac,group,transport}         gauge 1: the latest link's group and transport
//   linkhub_device_bytes_total{mac,direction}        up: from the line; down: to the line
//   linkhub_device_dropped_bytes_total{mac,direction}
//   linkhub_device_link_ups_total{mac}, linkhub_device_takeovers_total{mac}
//   linkhub_device_last_seen_seconds{mac}            epoch of the latest valid frame
//   linkhub_device_mqtt_messages_total{mac,direction}, linkhub_device_mqtt_dropped_total{mac,direction}
//   linkhub_refusals_total{what}                     refused identities and peers
//   linkhub_relay_paths_open{mac,kind}               gauge; kind: stream (backend-tcp:), datagram
//   linkhub_relay_duplicates_dropped_total{mac,kind}, linkhub_relay_sessions_total{mac,kind},
//   linkhub_relay_frames_delivered_total, linkhub_relay_datagrams_delivered_total,
//   linkhub_relay_ambiguous_failovers_total, linkhub_relay_window_cut_short_total
//   linkhub_mqtt_connected, linkhub_mqtt_queue_messages, linkhub_mqtt_*_total
#pragma once

#include "common/buffer.h"

// Serves GET /metrics on addr ("IP:PORT", "[IPv6]:PORT"); NULL or "" leaves
// it off.  Returns 0, or -1 after an ERR line.  Call after hub_loop is set.
int metrics_start(const char *addr);
// Closes the listener and every connection.  Also run at exit.
void metrics_stop();

// Appends the whole exposition text to out (the caller bfree()s it).
void metrics_text(ByteBuffer *out);
