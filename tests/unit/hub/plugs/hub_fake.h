// A stand-in for linkhub's core in the plug-in tests: devices made by the
// test, the registered plug-ins, and the line writes recorded.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "hub/hub.h"
#include "hub/relay.h"

struct FakeLineWrite {
    HubDevice *d;
    uint8_t bytes[4096];
    size_t n;
};

// Makes n devices with MACs 02:00:00:00:00:<i>, the token mqtt on each.
void fake_hub_reset(size_t n);
HubDevice *fake_hub_device(size_t i);
// Brings a device's link up or down as the core would, calling the plugs.
void fake_hub_link(HubDevice *d, bool online, const char *group_text, const char *peer);
// Line bytes from the board, through every plug.
void fake_hub_line(HubDevice *d, const void *p, size_t n);
size_t fake_hub_writes();
const FakeLineWrite *fake_hub_write_at(size_t i);
void fake_hub_add_refusal(const char *what, uint64_t count);
// Makes device i a relay identity with these figures (relay_figures).
void fake_relay_figures(size_t i, const RelayFigures &f);
// A loopback TCP port nothing listens on now.
int fake_free_port();
