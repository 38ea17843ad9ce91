#include "hub_fake.h"

#include <arpa/inet.h>
#include <ev.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

struct ev_loop *hub_loop;

namespace {
HubDevice devs[8];
size_t ndevs;
HubPlug *plugs;
FakeLineWrite writes[64];
size_t nwrites;
HubRefusal refusals[8];
size_t nrefusals;
RelayFigures relays[8];
bool is_relay[8];
}  // namespace

void fake_relay_figures(size_t i, const RelayFigures &f)
{
    relays[i] = f;
    is_relay[i] = true;
}

bool relay_figures(const HubDevice *d, RelayFigures *f)
{
    size_t i = static_cast<size_t>(d - devs);
    if (i >= ndevs || !is_relay[i])
        return false;
    *f = relays[i];
    return true;
}

void hub_plug_register(HubPlug *p)
{
    p->next = plugs;
    plugs = p;
}

size_t hub_device_count() { return ndevs; }
HubDevice *hub_device_at(size_t i) { return i < ndevs ? &devs[i] : nullptr; }

size_t hub_line_write(HubDevice *d, const uint8_t *p, size_t n)
{
    if (!d->online || nwrites == sizeof writes / sizeof writes[0] || n > sizeof writes[0].bytes) {
        d->dropped_down += n;
        return 0;
    }
    FakeLineWrite *w = &writes[nwrites++];
    w->d = d;
    memcpy(w->bytes, p, n);
    w->n = n;
    d->bytes_down += n;
    return n;
}

ssize_t hub_udp_sendto(const sockaddr_storage *, socklen_t, const uint8_t *, size_t n)
{
    return (ssize_t)n;
}

size_t hub_refusal_count() { return nrefusals; }
const HubRefusal *hub_refusal_at(size_t i) { return i < nrefusals ? &refusals[i] : nullptr; }

void fake_hub_add_refusal(const char *what, uint64_t count)
{
    HubRefusal *r = &refusals[nrefusals++];
    snprintf(r->what, sizeof r->what, "%s", what);
    r->count = count;
}

void fake_hub_reset(size_t n)
{
    if (!hub_loop)
        hub_loop = ev_default_loop(0);
    memset(devs, 0, sizeof devs);
    plugs = nullptr;
    nwrites = 0;
    nrefusals = 0;
    memset(is_relay, 0, sizeof is_relay);
    ndevs = n;
    for (size_t i = 0; i < n; i++) {
        HubDevice *d = &devs[i];
        uint8_t mac[6] = {2, 0, 0, 0, 0, (uint8_t)(i + 1)};
        memcpy(d->mac, mac, 6);
        snprintf(d->mac_text, sizeof d->mac_text, "02:00:00:00:00:%02x", (unsigned)(i + 1));
        d->mqtt = true;
    }
}

HubDevice *fake_hub_device(size_t i) { return &devs[i]; }

void fake_hub_link(HubDevice *d, bool online, const char *group_text, const char *peer)
{
    d->online = online;
    if (online) {
        d->link_ups++;
        d->transport = HubTransport::tcp;
    }
    snprintf(d->group_text, sizeof d->group_text, "%s", group_text);
    snprintf(d->peer, sizeof d->peer, "%s", peer);
    d->since = time(nullptr);
    for (HubPlug *p = plugs; p; p = p->next)
        if (p->link_change)
            p->link_change(d);
}

void fake_hub_line(HubDevice *d, const void *p, size_t n)
{
    bool taken = false;
    for (HubPlug *pl = plugs; pl; pl = pl->next)
        if (pl->line_bytes && pl->line_bytes(d, static_cast<const uint8_t *>(p), n))
            taken = true;
    if (taken)
        d->bytes_up += n;
    else
        d->dropped_up += n;
}

size_t fake_hub_writes() { return nwrites; }
const FakeLineWrite *fake_hub_write_at(size_t i) { return &writes[i]; }

int fake_free_port()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t l = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &l);
    close(s);
    return ntohs(a.sin_port);
}
