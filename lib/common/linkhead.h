// The 28-byte LinkHeader that identifies the device to every remote server:
// magic "kovlat", the 16 bytes of the --uuid text, the MAC of --nic.
#pragma once

#include <stdint.h>

struct LinkHeader {
    uint8_t magic[6];
    uint8_t uuid[16];
    uint8_t mac[6];
};
static_assert(sizeof(LinkHeader) == 28, "LinkHeader is 28 bytes on the wire");

extern const uint8_t magic[6];

// Reads the hardware address of interface `nic` into mac[6].  0, or -1 when
// it cannot be read (also for a name that does not fit an interface request).
// Ends the process (255) when no query socket can be made.
int extinfo_nicmac(const char *nic, uint8_t *mac);

// Parses the 8-4-4-4-12 text into uuid[16]; returns 0 or ends the process (255).
int extinfo_uuid(const char *text, uint8_t *uuid);

// Fill `head` from magic, nic and uuid; end the process on any failure.
// The two names are one operation; each logs under its own name.
int tcp_head_init(LinkHeader *head, const char *nic, const char *uuid);
int udp_head_init(LinkHeader *head, const char *nic, const char *uuid);
