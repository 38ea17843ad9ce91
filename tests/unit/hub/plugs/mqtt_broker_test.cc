// The MQTT bridge against a real broker (mosquitto on a free loopback
// port), with a stand-in for the core: what reaches the topics, what reaches
// the line, and the state rules.  Skipped where no mosquitto is installed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ev.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "hub/mqtt.h"
#include "hub_fake.h"

namespace {

const char *kGroup = "00112233-4455-6677-8899-aabbccddeeff";
const char *kMosquitto = "/usr/sbin/mosquitto";

bool port_open(int port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

struct Seen {
    std::string topic, payload;
    bool retain;
};

// A subscriber on its own library thread.
struct Watcher {
    mosquitto *m = nullptr;
    std::mutex lock;
    std::vector<Seen> seen;

    static void on_message(mosquitto *, void *obj, const mosquitto_message *msg)
    {
        Watcher *w = static_cast<Watcher *>(obj);
        std::lock_guard<std::mutex> g(w->lock);
        w->seen.push_back({msg->topic, std::string(static_cast<const char *>(msg->payload),
                                                   (size_t)msg->payloadlen),
                           msg->retain});
    }
    bool start(int port, const char *sub)
    {
        m = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(m, on_message);
        if (mosquitto_connect(m, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS)
            return false;
        mosquitto_subscribe(m, nullptr, sub, 1);
        return mosquitto_loop_start(m) == MOSQ_ERR_SUCCESS;
    }
    void publish(const char *topic, const std::string &p, bool retain)
    {
        mosquitto_publish(m, nullptr, topic, (int)p.size(), p.data(), 1, retain);
    }
    std::vector<Seen> on(const std::string &topic)
    {
        std::lock_guard<std::mutex> g(lock);
        std::vector<Seen> out;
        for (auto &s : seen)
            if (s.topic == topic)
                out.push_back(s);
        return out;
    }
    ~Watcher()
    {
        if (m) {
            mosquitto_disconnect(m);
            mosquitto_loop_stop(m, false);
            mosquitto_destroy(m);
        }
    }
};

// Runs the hub's loop until pred() holds or `secs` pass.
template <class F> bool run_until(F pred, double secs = 10.0)
{
    timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    ev_timer nudge;
    ev_timer_init(&nudge, [](struct ev_loop *, ev_timer *, int) {}, 0.02, 0.02);
    ev_timer_start(hub_loop, &nudge);
    bool ok = false;
    for (;;) {
        if (pred()) {
            ok = true;
            break;
        }
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        if ((double)(t.tv_sec - t0.tv_sec) + (t.tv_nsec - t0.tv_nsec) / 1e9 > secs)
            break;
        ev_run(hub_loop, EVRUN_ONCE);
    }
    ev_timer_stop(hub_loop, &nudge);
    return ok;
}

class MqttBroker : public ::testing::Test {
protected:
    pid_t broker = -1;
    int port = 0;
    char dir[64] = "/tmp/fwmqttXXXXXX";
    std::string addr;

    void SetUp() override
    {
        if (access(kMosquitto, X_OK) != 0)
            GTEST_SKIP() << "no mosquitto";
        ASSERT_TRUE(mkdtemp(dir));
        port = fake_free_port();
        std::string conf = std::string(dir) + "/m.conf";
        FILE *f = fopen(conf.c_str(), "w");
        fprintf(f, "listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n", port);
        fclose(f);
        broker = fork();
        if (broker == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            execl(kMosquitto, "mosquitto", "-c", conf.c_str(), (char *)nullptr);
            _exit(127);
        }
        for (int i = 0; i < 500 && !port_open(port); i++)
            usleep(10000);
        ASSERT_TRUE(port_open(port));
        addr = "127.0.0.1:" + std::to_string(port);
        fake_hub_reset(2);
        fake_hub_device(1)->mqtt = false;
    }
    void TearDown() override
    {
        mqtt_stop();
        if (broker > 0) {
            kill(broker, SIGTERM);
            waitpid(broker, nullptr, 0);
        }
        std::string rm = std::string("rm -rf ") + dir;
        if (system(rm.c_str()) != 0)
            ADD_FAILURE() << rm;
    }
    void start_bridge(const char *id)
    {
        MqttConfig c{};
        c.broker = addr.c_str();
        c.prefix = "fwtest";
        c.id = id;
        c.qos = 1;
        ASSERT_EQ(mqtt_start(&c), 0);
        MqttStats s;
        ASSERT_TRUE(run_until([&] { mqtt_stats(&s); return s.connected; }));
    }
    std::string topic(const char *leaf, size_t dev = 0)
    {
        return std::string("fwtest/") + kGroup + "/" + fake_hub_device(dev)->mac_text + "/" + leaf;
    }
};

}  // namespace

TEST_F(MqttBroker, LineBytesGoUpAndDownMessagesReachTheLine)
{
    Watcher w;
    ASSERT_TRUE(w.start(port, "fwtest/#"));
    // A command left retained before the hub came: from the past, never written.
    w.publish(topic("down").c_str(), "old", true);
    ASSERT_TRUE(run_until([&] { return !w.on(topic("down")).empty(); }));
    start_bridge("hub-a");
    HubDevice *d = fake_hub_device(0);
    MqttDeviceStats ds;
    ASSERT_TRUE(run_until([&] { mqtt_device_stats(d, &ds); return ds.down_dropped == 1; }));
    fake_hub_link(d, true, kGroup, "127.0.0.1:5000");
    std::string bytes("\x00\x01kovlat\xff", 9);
    fake_hub_line(d, bytes.data(), bytes.size());
    EXPECT_EQ(d->bytes_up, bytes.size());  // queued for the broker: taken
    EXPECT_EQ(d->dropped_up, 0u);
    ASSERT_TRUE(run_until([&] { return !w.on(topic("up")).empty(); }));
    EXPECT_EQ(w.on(topic("up"))[0].payload, bytes);
    auto st = w.on(topic("state"));
    ASSERT_FALSE(st.empty());
    MqttState s;
    ASSERT_TRUE(mqtt_state_parse(st.back().payload.data(), st.back().payload.size(), &s));
    EXPECT_TRUE(s.online);
    EXPECT_STREQ(s.hub, "hub-a");
    EXPECT_STREQ(s.peer, "127.0.0.1:5000");
    EXPECT_TRUE(w.on("fwtest/hubs/hub-a").size() >= 1);
    EXPECT_EQ(w.on("fwtest/hubs/hub-a").back().payload, "online");

    // Down: byte-exact, once.
    std::string cmd("\x10\x00\x7f", 3);
    w.publish(topic("down").c_str(), cmd, false);
    ASSERT_TRUE(run_until([&] { return fake_hub_writes() == 1; }));
    EXPECT_EQ(std::string((const char *)fake_hub_write_at(0)->bytes, fake_hub_write_at(0)->n), cmd);
    mqtt_device_stats(d, &ds);
    EXPECT_EQ(ds.down_messages, 1u);
    EXPECT_EQ(ds.down_dropped, 1u);

    // The device without the token has no topics.
    fake_hub_link(fake_hub_device(1), true, kGroup, "127.0.0.1:5001");
    fake_hub_line(fake_hub_device(1), "x", 1);
    EXPECT_EQ(fake_hub_device(1)->dropped_up, 1u);  // no topic: nobody took it
    fake_hub_link(d, false, kGroup, "127.0.0.1:5000");
    ASSERT_TRUE(run_until([&] {
        auto v = w.on(topic("state"));
        return !v.empty() && v.back().payload.find("\"online\":false") != std::string::npos;
    }));
    EXPECT_TRUE(w.on(topic("up", 1)).empty());
    EXPECT_TRUE(w.on(topic("state", 1)).empty());
}

TEST_F(MqttBroker, AHubThatLostTheBoardToAnotherLeavesTheOthersState)
{
    Watcher w;
    ASSERT_TRUE(w.start(port, "fwtest/#"));
    start_bridge("hub-a");
    HubDevice *d = fake_hub_device(0);
    fake_hub_link(d, true, kGroup, "127.0.0.1:5000");
    ASSERT_TRUE(run_until([&] { return !w.on(topic("state")).empty(); }));
    // Another hub takes the board with a newer link.
    char other[256];
    snprintf(other, sizeof other,
             "{\"online\":true,\"hub\":\"hub-b\",\"peer\":\"127.0.0.1:6000\",\"since\":%lld}",
             (long long)time(nullptr) + 5);
    w.publish(topic("state").c_str(), other, true);
    MqttDeviceStats ds;
    ASSERT_TRUE(run_until([&] {
        mqtt_device_stats(d, &ds);
        return strcmp(ds.state_hub, "hub-b") == 0;
    }));
    // Our link ends late: the state still names hub-b.
    fake_hub_link(d, false, kGroup, "127.0.0.1:5000");
    run_until([] { return false; }, 0.5);
    auto v = w.on(topic("state"));
    EXPECT_EQ(v.back().payload, other);

    // An older claim from another hub while we hold the link is answered.
    fake_hub_link(d, true, kGroup, "127.0.0.1:5002");
    ASSERT_TRUE(run_until([&] { return w.on(topic("state")).back().payload.find("hub-a") != std::string::npos; }));
    w.publish(topic("state").c_str(),
              "{\"online\":false,\"hub\":\"hub-c\",\"peer\":\"\",\"since\":1}", true);
    size_t before = w.on(topic("state")).size();
    ASSERT_TRUE(run_until([&] {
        auto s = w.on(topic("state"));
        return s.size() >= before + 1 && s.back().payload.find("hub-a") != std::string::npos;
    }));
}
