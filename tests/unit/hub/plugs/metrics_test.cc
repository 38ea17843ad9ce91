// The Prometheus text of the hub's figures, and the scrape endpoint served
// from the hub's loop.
#include <arpa/inet.h>
#include <ev.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "hub/metrics.h"
#include "hub_fake.h"

namespace {

std::string text()
{
    ByteBuffer b{};
    metrics_text(&b);
    std::string s(b.data ? b.data : "", (size_t)b.len);
    bfree(&b);
    return s;
}

// Every sample line is "name{labels} value" or "name value", every family
// has HELP and TYPE before its samples.
void expect_well_formed(const std::string &t)
{
    std::string family;
    size_t pos = 0;
    while (pos < t.size()) {
        size_t nl = t.find('\n', pos);
        ASSERT_NE(nl, std::string::npos) << "last line unterminated";
        std::string line = t.substr(pos, nl - pos);
        pos = nl + 1;
        if (line.rfind("# HELP ", 0) == 0) {
            family = line.substr(7, line.find(' ', 7) - 7);
            continue;
        }
        if (line.rfind("# TYPE ", 0) == 0) {
            EXPECT_EQ(line.substr(7, family.size()), family);
            continue;
        }
        EXPECT_EQ(line.rfind(family, 0), 0u) << line << " outside its family " << family;
        size_t sp = line.rfind(' ');
        ASSERT_NE(sp, std::string::npos) << line;
        std::string value = line.substr(sp + 1);
        EXPECT_FALSE(value.empty()) << line;
        EXPECT_EQ(value.find_first_not_of("0123456789"), std::string::npos) << line;
    }
}

}  // namespace

TEST(Metrics, EveryDeviceHasItsGaugeAndCounters)
{
    fake_hub_reset(2);
    HubDevice *d = fake_hub_device(0);
    fake_hub_link(d, true, "00112233-4455-6677-8899-aabbccddeeff", "127.0.0.1:1");
    d->bytes_up = 123;
    d->dropped_down = 7;
    fake_hub_add_refusal("10.0.0.\"1\"", 3);
    std::string t = text();
    expect_well_formed(t);
    EXPECT_NE(t.find("linkhub_device_online{mac=\"02:00:00:00:00:01\"} 1\n"), std::string::npos);
    EXPECT_NE(t.find("linkhub_device_online{mac=\"02:00:00:00:00:02\"} 0\n"), std::string::npos);
    EXPECT_NE(t.find("linkhub_device_bytes_total{mac=\"02:00:00:00:00:01\",direction=\"up\"} 123\n"),
              std::string::npos);
    EXPECT_NE(t.find("linkhub_device_dropped_bytes_total{mac=\"02:00:00:00:00:01\",direction=\"down\"} 7\n"),
              std::string::npos);
    EXPECT_NE(t.find("linkhub_device_link_ups_total{mac=\"02:00:00:00:00:01\"} 1\n"), std::string::npos);
    EXPECT_NE(t.find("group=\"00112233-4455-6677-8899-aabbccddeeff\",transport=\"tcp\"} 1"),
              std::string::npos);
    EXPECT_NE(t.find("linkhub_refusals_total{what=\"10.0.0.\\\"1\\\"\"} 3\n"), std::string::npos);
    // Counters end in _total; the bridge's figures only when it runs.
    EXPECT_EQ(t.find("linkhub_mqtt_connected"), std::string::npos);
}

TEST(Metrics, RelayIdentitiesHaveTheirFiguresPerKind)
{
    fake_hub_reset(3);
    RelayFigures both{};
    both.stream = both.datagram = true;
    both.stream_paths_open = 2;
    both.frames_delivered = 41;
    both.frames_duplicates = 40;
    both.ambiguous_failovers = 1;
    both.datagram_paths_open = 3;
    both.datagrams_delivered = 9;
    both.datagram_duplicates = 18;
    fake_relay_figures(0, both);
    RelayFigures dgram{};
    dgram.datagram = true;
    dgram.datagrams_delivered = 5;
    fake_relay_figures(2, dgram);
    std::string t = text();
    expect_well_formed(t);
    const char *m1 = "{mac=\"02:00:00:00:00:01\",kind=";
    auto has = [&](const std::string &line) { return t.find(line + "\n") != std::string::npos; };
    EXPECT_TRUE(has("linkhub_relay_paths_open" + std::string(m1) + "\"stream\"} 2")) << t;
    EXPECT_TRUE(has("linkhub_relay_paths_open" + std::string(m1) + "\"datagram\"} 3"));
    EXPECT_TRUE(has("linkhub_relay_frames_delivered_total" + std::string(m1) + "\"stream\"} 41"));
    EXPECT_TRUE(has("linkhub_relay_duplicates_dropped_total" + std::string(m1) + "\"stream\"} 40"));
    EXPECT_TRUE(has("linkhub_relay_duplicates_dropped_total" + std::string(m1) + "\"datagram\"} 18"));
    EXPECT_TRUE(has("linkhub_relay_ambiguous_failovers_total" + std::string(m1) + "\"stream\"} 1"));
    EXPECT_TRUE(has("linkhub_relay_datagrams_delivered_total" + std::string(m1) + "\"datagram\"} 9"));
    EXPECT_TRUE(has("linkhub_relay_datagrams_delivered_total{mac=\"02:00:00:00:00:03\","
                    "kind=\"datagram\"} 5"));
    EXPECT_NE(t.find("# TYPE linkhub_relay_paths_open gauge\n"), std::string::npos);
    // A kind a device lacks, and a device that is no relay, have no series.
    EXPECT_EQ(t.find("mac=\"02:00:00:00:00:03\",kind=\"stream\""), std::string::npos);
    EXPECT_EQ(t.find("linkhub_relay_ambiguous_failovers_total{mac=\"02:00:00:00:00:01\",kind=\"datagram\""),
              std::string::npos);
    EXPECT_EQ(t.find("linkhub_relay_paths_open{mac=\"02:00:00:00:00:02\""), std::string::npos);

    // Without relay identities, no relay families at all.
    fake_hub_reset(1);
    EXPECT_EQ(text().find("linkhub_relay_"), std::string::npos);
}

TEST(Metrics, AnswersAScrapeFromTheLoop)
{
    fake_hub_reset(1);
    int port = fake_free_port();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string addr = "127.0.0.1:" + std::to_string(port);
    ASSERT_EQ(metrics_start(addr.c_str()), 0);

    std::atomic<bool> done{false};
    std::string reply, notfound;
    auto get = [&](const char *path, std::string *out) {
        int c = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            close(c);
            return;
        }
        std::string req = std::string("GET ") + path + " HTTP/1.0\r\nHost: x\r\n\r\n";
        if (send(c, req.data(), req.size(), 0) < 0) {
            close(c);
            return;
        }
        char buf[4096];
        ssize_t n;
        while ((n = recv(c, buf, sizeof buf, 0)) > 0)
            out->append(buf, (size_t)n);
        close(c);
    };
    std::thread client([&] {
        get("/metrics", &reply);
        get("/other", &notfound);
        done = true;
    });
    ev_timer nudge;
    ev_timer_init(&nudge, [](struct ev_loop *, ev_timer *, int) {}, 0.02, 0.02);
    ev_timer_start(hub_loop, &nudge);
    for (int i = 0; i < 500 && !done; i++)
        ev_run(hub_loop, EVRUN_ONCE);
    ev_timer_stop(hub_loop, &nudge);
    client.join();
    metrics_stop();
    ASSERT_EQ(reply.rfind("HTTP/1.", 0), 0u) << reply;
    EXPECT_NE(reply.find(" 200 "), std::string::npos);
    EXPECT_NE(reply.find("text/plain; version=0.0.4"), std::string::npos);
    EXPECT_NE(reply.find("linkhub_device_online{mac=\"02:00:00:00:00:01\"} 0\n"), std::string::npos);
    EXPECT_NE(notfound.find(" 404 "), std::string::npos);
}
