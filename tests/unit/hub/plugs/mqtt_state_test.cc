// The MQTT bridge's pieces that need no broker: state payloads, topics, the
// rule between two hubs that both hold a board, the back-off.
#include <gtest/gtest.h>
#include <string.h>

#include "hub/json.h"
#include "hub/mqtt.h"

namespace {

MqttState parse(const char *text, bool *ok)
{
    MqttState s;
    *ok = mqtt_state_parse(text, strlen(text), &s);
    return s;
}

}  // namespace

TEST(MqttState, TextParsesBackToTheSameState)
{
    MqttState s{};
    s.online = true;
    snprintf(s.hub, sizeof s.hub, "linkhub-a \"quoted\" \\ back");
    snprintf(s.peer, sizeof s.peer, "127.0.0.1:40000");
    s.since = 1765300000;
    JsonOut j{};
    mqtt_state_text(&j, &s);
    std::string_view text(j.buf.data, (size_t)j.buf.len);
    EXPECT_EQ(text.substr(0, 15), "{\"online\":true,");
    MqttState back;
    ASSERT_TRUE(mqtt_state_parse(j.buf.data, (size_t)j.buf.len, &back));
    EXPECT_TRUE(back.online);
    EXPECT_STREQ(back.hub, s.hub);
    EXPECT_STREQ(back.peer, s.peer);
    EXPECT_EQ(back.since, s.since);
    bfree(&j.buf);
}

TEST(MqttState, ParsesWhitespaceNullsAndOtherMembers)
{
    bool ok;
    MqttState s = parse(" { \"extra\" : 12, \"online\" : false , \"hub\":\"h\\u0041\","
                        " \"peer\": null, \"since\": null, \"x\": true } ", &ok);
    ASSERT_TRUE(ok);
    EXPECT_FALSE(s.online);
    EXPECT_STREQ(s.hub, "hA");
    EXPECT_STREQ(s.peer, "");
    EXPECT_EQ(s.since, 0);
}

TEST(MqttState, RefusesWhatIsNotAState)
{
    bool ok;
    const char *bad[] = {
        "", "online", "{}", "{\"online\":true}", "{\"hub\":\"a\"}",
        "{\"online\":1,\"hub\":\"a\"}", "{\"online\":true,\"hub\":\"a\"", "{\"online\":true,\"hub\":\"a\"}x",
        "{\"online\":true,\"hub\":\"a\",\"since\":99999999999999999999}",
        "{\"online\":true,\"hub\":\"a\\u00e9\"}", "{\"online\":true,\"hub\":\"a\",\"n\":{}}",
        "{\"online\":true,,\"hub\":\"a\"}",
    };
    for (const char *t : bad) {
        parse(t, &ok);
        EXPECT_FALSE(ok) << t;
    }
}

TEST(MqttTopic, SplitsPrefixGroupMacLeaf)
{
    MqttTopicParts t;
    ASSERT_TRUE(mqtt_topic_split("site/fw/g1/02:00:00:00:00:01/down", "site/fw", &t));
    EXPECT_EQ(std::string_view(t.group, t.group_len), "g1");
    EXPECT_EQ(std::string_view(t.mac, t.mac_len), "02:00:00:00:00:01");
    EXPECT_EQ(std::string_view(t.leaf, t.leaf_len), "down");
    EXPECT_FALSE(mqtt_topic_split("site/fwx/g1/m/down", "site/fw", &t));
    EXPECT_FALSE(mqtt_topic_split("site/fw/g1/m", "site/fw", &t));
    EXPECT_FALSE(mqtt_topic_split("site/fw/g1/m/down/x", "site/fw", &t));
    EXPECT_FALSE(mqtt_topic_split("site/fw//m/down", "site/fw", &t));
    EXPECT_FALSE(mqtt_topic_split("site/fw/hubs/h", "site/fw", &t));
}

TEST(MqttTopic, LevelsRefuseSeparatorsAndWildcards)
{
    EXPECT_TRUE(mqtt_level_ok("linkhub-host1"));
    EXPECT_FALSE(mqtt_level_ok(""));
    EXPECT_FALSE(mqtt_level_ok(nullptr));
    EXPECT_FALSE(mqtt_level_ok("a/b"));
    EXPECT_FALSE(mqtt_level_ok("a+"));
    EXPECT_FALSE(mqtt_level_ok("#"));
}

TEST(MqttTakeover, TheNewerLinkWinsAndTiesGoToTheGreaterId)
{
    MqttState other{};
    other.online = true;
    snprintf(other.hub, sizeof other.hub, "hub-b");
    other.since = 200;
    EXPECT_TRUE(mqtt_state_newer(&other, 100, "hub-a"));
    EXPECT_FALSE(mqtt_state_newer(&other, 300, "hub-a"));
    // The same second: exactly one of the two hubs gives way.
    EXPECT_TRUE(mqtt_state_newer(&other, 200, "hub-a"));
    MqttState mine = other;
    snprintf(mine.hub, sizeof mine.hub, "hub-a");
    EXPECT_FALSE(mqtt_state_newer(&mine, 200, "hub-b"));
}

TEST(MqttBackoff, DoublesFromOneSecondToThirty)
{
    double d = 0.0;
    double seen[8];
    for (double &s : seen) {
        d = mqtt_backoff_next(d);
        s = d;
    }
    EXPECT_EQ(seen[0], 1.0);
    EXPECT_EQ(seen[1], 2.0);
    EXPECT_EQ(seen[4], 16.0);
    EXPECT_EQ(seen[5], 30.0);
    EXPECT_EQ(seen[7], 30.0);
}
