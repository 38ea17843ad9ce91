#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "hub/core.h"
#include "hub/json.h"

TEST(HubMac, ParsesBothCases)
{
    uint8_t mac[6];
    ASSERT_EQ(hub_parse_mac("aa:BB:0c:dd:ee:01", mac), 0);
    EXPECT_EQ(mac[1], 0xbb);
    EXPECT_EQ(mac[5], 0x01);
    EXPECT_EQ(hub_parse_mac("aa:bb:cc:dd:ee", mac), -1);
    EXPECT_EQ(hub_parse_mac("aa:bb:cc:dd:ee:ff:00", mac), -1);
    EXPECT_EQ(hub_parse_mac("aa-bb-cc-dd-ee-ff", mac), -1);
    EXPECT_EQ(hub_parse_mac("ag:bb:cc:dd:ee:ff", mac), -1);
}

// ---- the device words ----

struct Parsed {
    HubDevice d;
    HubLineSettings line;
    char err[160];
    std::string words;
    int rc;
};

static Parsed parse(const char *words)
{
    Parsed p;
    memset(&p.d, 0, sizeof p.d);
    p.words = words;
    p.err[0] = '\0';
    p.rc = hub_parse_device(&p.words[0], &p.d, &p.line, p.err, sizeof p.err);
    return p;
}

TEST(HubDeviceWords, EveryEndpointAndSetting)
{
    Parsed p = parse("AA:bb:cc:dd:ee:01  tcp:127.0.0.1:7001\tpty:/run/x/tty0 mqtt "
                     "backend-tcp:10.0.0.1:9 backend-udp:[::1]:10 baud:9600 gap:3");
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_STREQ(p.d.mac_text, "aa:bb:cc:dd:ee:01");
    EXPECT_STREQ(p.d.tcp_endpoint, "127.0.0.1:7001");
    EXPECT_STREQ(p.d.pty_path, "/run/x/tty0");
    EXPECT_TRUE(p.d.mqtt);
    EXPECT_STREQ(p.d.backend_tcp, "10.0.0.1:9");
    EXPECT_STREQ(p.d.backend_udp, "[::1]:10");
    EXPECT_EQ(p.line.baud, 9600);
    EXPECT_EQ(p.line.gap_ms, 3);
}

TEST(HubDeviceWords, Defaults)
{
    Parsed p = parse("aa:bb:cc:dd:ee:01 pty:/tmp/p");
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.d.tcp_endpoint, nullptr);
    EXPECT_FALSE(p.d.mqtt);
    EXPECT_EQ(p.line.baud, kDefaultBaud);
    EXPECT_EQ(p.line.gap_ms, kDefaultGapMs);
}

TEST(HubDeviceWords, Refused)
{
    const char *bad[] = {
        "",                                          // nothing
        "aa:bb:cc:dd:ee tcp:1.2.3.4:5",              // short MAC
        "aa:bb:cc:dd:ee:01",                         // no endpoint
        "aa:bb:cc:dd:ee:01 baud:9600",               // a setting is no endpoint
        "aa:bb:cc:dd:ee:01 tcp:7001",                // no address
        "aa:bb:cc:dd:ee:01 tcp:1.2.3.4:",            // no port
        "aa:bb:cc:dd:ee:01 pty:",                    // no path
        "aa:bb:cc:dd:ee:01 tcp:1.2.3.4:5 tcp:1.2.3.4:6",  // twice
        "aa:bb:cc:dd:ee:01 mqtt mqtt",
        "aa:bb:cc:dd:ee:01 pty:/a speed:9600",       // unknown word
        "aa:bb:cc:dd:ee:01 pty:/a baud:0",
        "aa:bb:cc:dd:ee:01 pty:/a baud:96k",
        "aa:bb:cc:dd:ee:01 pty:/a gap:-1",
        "aa:bb:cc:dd:ee:01 backend-tcp:host",
    };
    for (const char *words : bad) {
        Parsed p = parse(words);
        EXPECT_EQ(p.rc, -1) << words;
        EXPECT_NE(p.err[0], '\0') << words;
    }
}

// ---- the splitter ----

static const uint8_t kHead[kHeadLen] = {'k', 'o', 'v', 'l', 'a', 't', 1, 2, 3, 4, 5, 6, 7, 8,
                                        9,   10,  11,  12,  13,  14,  15, 16, 0xaa, 0xbb, 0xcc,
                                        0xdd, 0xee, 0x01};

struct Collect {
    std::string bytes;
    int runs = 0;
};

static void collect(void *ctx, const uint8_t *p, size_t n)
{
    Collect *c = static_cast<Collect *>(ctx);
    EXPECT_GT(n, 0u);
    c->bytes.append(reinterpret_cast<const char *>(p), n);
    c->runs++;
}

static std::string head()
{
    return std::string(reinterpret_cast<const char *>(kHead), kHeadLen);
}

// Feeds `stream` in reads of the given sizes (cycled) and returns the line bytes.
static std::string split_in(const std::string &stream, const std::vector<size_t> &sizes)
{
    HubSplit s;
    memset(&s, 0, sizeof s);
    Collect c;
    std::vector<uint8_t> scratch(stream.size() + kHeadLen);
    size_t pos = 0, k = 0;
    while (pos < stream.size()) {
        size_t n = sizes[k++ % sizes.size()];
        if (n > stream.size() - pos)
            n = stream.size() - pos;
        hub_split(kHead, &s, reinterpret_cast<const uint8_t *>(stream.data()) + pos, n,
                  scratch.data(), collect, &c);
        pos += n;
    }
    return c.bytes;
}

TEST(HubSplit, FramesInOneRead)
{
    std::string stream = head() + "abc" + head() + head() + "defg" + head();
    EXPECT_EQ(split_in(stream, {stream.size()}), "abcdefg");
}

TEST(HubSplit, HeaderCutAtEveryPlace)
{
    std::string stream = head() + "first" + head() + "second";
    for (size_t cut = 1; cut < stream.size(); cut++)
        EXPECT_EQ(split_in(stream, {cut, stream.size()}), "firstsecond") << cut;
}

TEST(HubSplit, OneByteAtATime)
{
    std::string stream;
    std::string want;
    for (int i = 0; i < 20; i++) {
        std::string payload(static_cast<size_t>(i * 7 % 50 + 1), static_cast<char>('a' + i));
        stream += head() + payload;
        want += payload;
    }
    EXPECT_EQ(split_in(stream, {1}), want);
    EXPECT_EQ(split_in(stream, {1, 2, 27, 28, 29, 3}), want);
}

TEST(HubSplit, HeldPrefixThatIsNoHeaderIsLineBytes)
{
    // Ends in the first 27 bytes of a header, then something else follows.
    std::string stream = head() + "x" + head().substr(0, 27) + "y";
    EXPECT_EQ(split_in(stream, {stream.size() - 1, 1}), "x" + head().substr(0, 27) + "y");
    // Every partial header, in one read and then the rest.
    for (size_t k = 1; k < kHeadLen; k++) {
        std::string s2 = head() + "p" + head().substr(0, k) + "q" + head() + "r";
        EXPECT_EQ(split_in(s2, {29 + k, 1, 100}), "p" + head().substr(0, k) + "qr") << k;
    }
}

TEST(HubSplit, SelfOverlappingPrefix)
{
    // The magic's first letter inside the held tail: "kk" before a header.
    std::string stream = head() + "kovk" + head() + "z";
    for (size_t cut = 1; cut < stream.size(); cut++)
        EXPECT_EQ(split_in(stream, {cut, 1000}), "kovkz") << cut;
}

TEST(HubSplit, ReadsRightBehindTheHeldBytes)
{
    // The caller may read into scratch right behind what is held.
    HubSplit s;
    memset(&s, 0, sizeof s);
    Collect c;
    uint8_t scratch[256];
    std::string a = "hello" + head().substr(0, 10);
    hub_split(kHead, &s, reinterpret_cast<const uint8_t *>(a.data()), a.size(), scratch, collect,
              &c);
    ASSERT_EQ(s.held_len, 10);
    std::string b = head().substr(10) + "world";
    memcpy(scratch + s.held_len, b.data(), b.size());
    hub_split(kHead, &s, scratch + s.held_len, b.size(), scratch, collect, &c);
    EXPECT_EQ(c.bytes, "helloworld");
    EXPECT_EQ(s.held_len, 0);
}

// ---- pacing ----

TEST(HubPace, FirstFrameGoesAtOnce)
{
    HubPace p{};
    EXPECT_EQ(hub_pace_wait(&p, 100.0, 115200, 0.01, 1424), 0);
}

TEST(HubPace, GapBetweenFrames)
{
    HubPace p{};
    hub_pace_sent(&p, 100.0, 115200, 1);
    EXPECT_NEAR(hub_pace_wait(&p, 100.0, 115200, 0.01, 1), 0.01, 1e-9);
    EXPECT_NEAR(hub_pace_wait(&p, 100.004, 115200, 0.01, 1), 0.006, 1e-9);
    EXPECT_EQ(hub_pace_wait(&p, 100.011, 115200, 0.01, 1), 0);
}

TEST(HubPace, LineBacklogBoundsBulk)
{
    HubPace p{};
    double rate = 115200 / 10.0 * 0.98;
    hub_pace_sent(&p, 0, 115200, 1424);
    // 1424 + 1424 is past the credit: wait until the line sent the excess.
    double want = (2 * 1424 - kLineCredit) / rate;
    EXPECT_NEAR(hub_pace_wait(&p, 0, 115200, 0, 1424), want, 1e-9);
    EXPECT_EQ(hub_pace_wait(&p, want + 1e-6, 115200, 0, 1424), 0);
    // Sustained: the frames leave no faster than the line sends.
    double now = 0;
    size_t sent = 1424;
    for (int i = 0; i < 100; i++) {
        now += hub_pace_wait(&p, now, 115200, 0, 1424);
        hub_pace_sent(&p, now, 115200, 1424);
        sent += 1424;
    }
    EXPECT_GE(now, (sent - kLineCredit) / rate - 1e-6);
    EXPECT_LE(now, sent / rate);
}

TEST(HubPace, IdleLineForgetsItsBacklog)
{
    HubPace p{};
    hub_pace_sent(&p, 0, 9600, 1424);
    hub_pace_sent(&p, 0, 9600, 600);
    EXPECT_GT(hub_pace_wait(&p, 0, 9600, 0, 1424), 0);
    EXPECT_EQ(hub_pace_wait(&p, 10, 9600, 0, 1424), 0);
}

// ---- the JSON writer ----

TEST(HubJson, CommasAndEscapes)
{
    JsonOut j{};
    json_open(&j, nullptr);
    json_str(&j, "a", "x\"y\\z\n\x01");
    json_u64(&j, "b", 18446744073709551615ull);
    json_i64(&j, "c", -5);
    json_bool(&j, "d", true);
    json_str(&j, "e", nullptr);
    json_open_array(&j, "f");
    json_open(&j, nullptr);
    json_bool(&j, "g", false);
    json_close(&j);
    json_open(&j, nullptr);
    json_close(&j);
    json_close_array(&j);
    json_open_array(&j, "h");
    json_close_array(&j);
    json_open(&j, "i");
    json_null(&j, "k");
    json_close(&j);
    json_close(&j);
    std::string text(j.buf.data, j.buf.len);
    EXPECT_EQ(text,
              "{\"a\":\"x\\\"y\\\\z\\n\\u0001\",\"b\":18446744073709551615,\"c\":-5,\"d\":true,"
              "\"e\":null,\"f\":[{\"g\":false},{}],\"h\":[],\"i\":{\"k\":null}}");
    bfree(&j.buf);
}

TEST(HubSplit, FlushedTailGoesOutOnceAndTheRestOfAHeaderIsDropped)
{
    HubSplit s;
    memset(&s, 0, sizeof s);
    Collect c;
    uint8_t scratch[512];
    auto feed = [&](const std::string &t) {
        hub_split(kHead, &s, reinterpret_cast<const uint8_t *>(t.data()), t.size(), scratch,
                  collect, &c);
    };
    // "ok" then a pause: the "k" might begin a header.
    feed(head() + "ok");
    EXPECT_EQ(c.bytes, "o");
    EXPECT_TRUE(hub_split_waiting(&s));
    hub_split_flush(&s, collect, &c);
    EXPECT_EQ(c.bytes, "ok");
    EXPECT_FALSE(hub_split_waiting(&s));
    hub_split_flush(&s, collect, &c);
    EXPECT_EQ(c.bytes, "ok");
    // Line bytes follow: the flushed "k" is not given out again.
    feed("!");
    EXPECT_EQ(c.bytes, "ok!");

    // A header cut after 3 bytes, flushed, then its rest arrives one byte
    // at a time: the rest is a header's, not line bytes.
    c.bytes.clear();
    feed(head().substr(0, 3));
    hub_split_flush(&s, collect, &c);
    EXPECT_EQ(c.bytes, head().substr(0, 3));
    for (char ch : head().substr(3))
        feed(std::string(1, ch));
    feed("data");
    EXPECT_EQ(c.bytes, head().substr(0, 3) + "data");
}
