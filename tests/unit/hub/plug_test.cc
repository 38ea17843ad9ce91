// The core in one process with a plug-in of the test's: every hook is
// called with what the contract says.  hub_start runs once per process, so
// this is one test that walks through the hooks in order.
#include <arpa/inet.h>
#include <ev.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "common/linkhead.h"
#include "hub/core.h"
#include "hub/hub.h"
#include "hub/json.h"

namespace {

struct Seen {
    int link_changes = 0;
    std::string line;
    int relay_fd = -1;
    std::string relay_rest;
    HubDevice *relay_dev = nullptr;
    std::string datagram;
    HubDevice *datagram_dev = nullptr;
    bool take = true;  // what on_line_bytes answers
} seen;

void on_link_change(HubDevice *)
{
    seen.link_changes++;
}

bool on_line_bytes(HubDevice *, const uint8_t *p, size_t n)
{
    seen.line.append(reinterpret_cast<const char *>(p), n);
    return seen.take;
}

void on_relay_tcp(HubDevice *d, int fd, const sockaddr_storage *, socklen_t, const uint8_t *rest,
                  size_t n)
{
    seen.relay_dev = d;
    seen.relay_fd = fd;
    seen.relay_rest.assign(reinterpret_cast<const char *>(rest), n);
}

void on_relay_datagram(HubDevice *d, const sockaddr_storage *, socklen_t, const uint8_t *p,
                       size_t n)
{
    seen.datagram_dev = d;
    seen.datagram.assign(reinterpret_cast<const char *>(p), n);
}

void on_status_fields(HubDevice *, JsonOut *j)
{
    json_str(j, "test_field", "here");
}

void on_status_global(JsonOut *j)
{
    json_u64(j, "test_global", 42);
}

HubPlug plug = {"test", 1, on_link_change, on_line_bytes, on_relay_tcp, on_relay_datagram,
                on_status_fields, on_status_global, nullptr};

LinkHeader header(uint8_t last)
{
    LinkHeader h;
    memcpy(h.magic, magic, 6);
    static const uint8_t g[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                  0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    memcpy(h.uuid, g, 16);
    const uint8_t mac[6] = {2, 0, 0, 0, 0, last};
    memcpy(h.mac, mac, 6);
    return h;
}

// Runs the loop until cond() holds (at most about 2 s).
template <typename F> bool spin(struct ev_loop *loop, F cond)
{
    for (int i = 0; i < 2000 && !cond(); i++) {
        ev_run(loop, EVRUN_NOWAIT);
        usleep(1000);
    }
    return cond();
}

int hub_port()
{
    // The board listener is the first TCP socket bound on 127.0.0.1 by
    // hub_start; find it among our descriptors.
    for (int fd = 3; fd < 64; fd++) {
        sockaddr_in a;
        socklen_t l = sizeof a;
        int type = 0;
        socklen_t tl = sizeof type;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&a), &l) == 0 && a.sin_family == AF_INET &&
            getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tl) == 0 && type == SOCK_STREAM)
            return ntohs(a.sin_port);
    }
    return -1;
}

}  // namespace

TEST(HubPlugHooks, EveryHookInTurn)
{
    char dir[] = "/tmp/hubplugXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string status = std::string(dir) + "/status.sock";
    char group[] = "00112233-4455-6677-8899-aabbccddeeff";
    char *groups[] = {group};
    char d1[] = "02:00:00:00:00:01 mqtt";
    char d2[] = "02:00:00:00:00:02 backend-tcp:127.0.0.1:9 backend-udp:127.0.0.1:9";
    char *devices[] = {d1, d2};
    HubOptions o = {"127.0.0.1:0", groups, 1, devices, 2, status.c_str(), 90};
    struct ev_loop *loop = ev_default_loop(0);
    hub_plug_register(&plug);
    hub_start(loop, &o);
    ASSERT_EQ(hub_loop, loop);
    ASSERT_EQ(hub_device_count(), 2u);
    HubDevice *a = hub_device_at(0);
    HubDevice *relay = hub_device_at(1);
    EXPECT_TRUE(a->mqtt);
    EXPECT_STREQ(relay->backend_tcp, "127.0.0.1:9");
    EXPECT_EQ(hub_device_at(2), nullptr);
    int port = hub_port();
    ASSERT_GT(port, 0);
    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    // A board link: link_change, then its line bytes.
    int b = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(b, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    LinkHeader h1 = header(1);
    std::string frames = std::string(reinterpret_cast<char *>(&h1), sizeof h1) + "abc" +
                         std::string(reinterpret_cast<char *>(&h1), sizeof h1) + "def";
    ASSERT_EQ(send(b, frames.data(), frames.size(), 0), static_cast<ssize_t>(frames.size()));
    ASSERT_TRUE(spin(loop, [] { return seen.line == "abcdef"; })) << seen.line;
    EXPECT_EQ(seen.link_changes, 1);
    EXPECT_TRUE(a->online);
    EXPECT_EQ(a->transport, HubTransport::tcp);
    EXPECT_STREQ(a->group_text, group);
    // An mqtt-only device: what the plug-in took is up, what it did not is dropped.
    EXPECT_EQ(a->bytes_up, 6u);
    EXPECT_EQ(a->dropped_up, 0u);
    seen.take = false;
    frames = std::string(reinterpret_cast<char *>(&h1), sizeof h1) + "gh";
    ASSERT_EQ(send(b, frames.data(), frames.size(), 0), static_cast<ssize_t>(frames.size()));
    ASSERT_TRUE(spin(loop, [] { return seen.line == "abcdefgh"; })) << seen.line;
    EXPECT_EQ(a->bytes_up, 6u);
    EXPECT_EQ(a->dropped_up, 2u);
    seen.take = true;

    // Towards it: one frame, behind its header.
    const uint8_t down[] = "down";
    EXPECT_EQ(hub_line_write(a, down, 4), 4u);
    char got[64];
    ssize_t n = recv(b, got, sizeof got, 0);
    ASSERT_EQ(n, 32);
    EXPECT_EQ(memcmp(got, &h1, sizeof h1), 0);
    EXPECT_EQ(memcmp(got + 28, "down", 4), 0);
    EXPECT_EQ(a->bytes_down, 4u);

    // A relay identity's link goes to the plug-in with what followed.
    int r = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(r, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    LinkHeader h2 = header(2);
    std::string first = std::string(reinterpret_cast<char *>(&h2), sizeof h2) + "rest";
    ASSERT_EQ(send(r, first.data(), first.size(), 0), static_cast<ssize_t>(first.size()));
    ASSERT_TRUE(spin(loop, [] { return seen.relay_fd >= 0; }));
    EXPECT_EQ(seen.relay_dev, relay);
    EXPECT_EQ(seen.relay_rest, "rest");
    EXPECT_STREQ(relay->group_text, group);  // from the header, before the hook
    close(seen.relay_fd);
    close(r);

    // A relay identity's datagram too, less its header.
    int u = socket(AF_INET, SOCK_DGRAM, 0);
    std::string dgram = std::string(reinterpret_cast<char *>(&h2), sizeof h2) + "gram";
    ASSERT_EQ(sendto(u, dgram.data(), dgram.size(), 0, reinterpret_cast<sockaddr *>(&to),
                     sizeof to),
              static_cast<ssize_t>(dgram.size()));
    ASSERT_TRUE(spin(loop, [] { return seen.datagram_dev != nullptr; }));
    EXPECT_EQ(seen.datagram_dev, relay);
    EXPECT_EQ(seen.datagram, "gram");

    // hub_udp_sendto leaves from the boards' port.
    sockaddr_storage back;
    socklen_t backlen = sizeof back;
    ASSERT_EQ(getsockname(u, reinterpret_cast<sockaddr *>(&back), &backlen), 0);
    const uint8_t reply[] = "reply";
    EXPECT_EQ(hub_udp_sendto(&back, backlen, reply, 5), 5);
    sockaddr_in from;
    socklen_t fromlen = sizeof from;
    n = recvfrom(u, got, sizeof got, 0, reinterpret_cast<sockaddr *>(&from), &fromlen);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(ntohs(from.sin_port), port);
    close(u);

    // The status document carries the plug-in's members.
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa;
    memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", status.c_str());
    ASSERT_EQ(connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    std::string doc;
    spin(loop, [&] {
        char buf[4096];
        ssize_t k = recv(s, buf, sizeof buf, MSG_DONTWAIT);
        if (k > 0)
            doc.append(buf, k);
        return k == 0;
    });
    EXPECT_NE(doc.find("\"test_field\":\"here\""), std::string::npos) << doc;
    EXPECT_NE(doc.find("\"test_global\":42"), std::string::npos) << doc;
    close(s);

    // The board goes: link_change again; nothing more is taken for it.
    close(b);
    ASSERT_TRUE(spin(loop, [&] { return !a->online; }));
    EXPECT_EQ(seen.link_changes, 2);
    EXPECT_EQ(hub_line_write(a, down, 4), 0u);
    EXPECT_EQ(a->dropped_down, 4u);
    EXPECT_EQ(hub_refusal_count(), 0u);
    unlink(status.c_str());
    rmdir(dir);
}
